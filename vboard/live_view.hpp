#pragma once

// What the devices saw, drawn for a person at a terminal as it happens: the
// LCD as a box each time its screen changes, SPI transfers as TX/RX hex and
// ASCII, ADC reads, the PWM duty cycle as a bar, configuration requests,
// failures (an LCD transfer lost while the controller was busy among them,
// in red), libmraa's log and the program's end. I2C frames, single LCD
// instructions and reads of the ADC's buffer are left to the trace: a screen
// update or a capture is hundreds of them. See docs/view.md.

#include "events.hpp"
#include "view_style.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace vboard {

// What the knobs stand at: each ADC channel's count, the channel the arrow
// keys turn (where they do), and the channels the program has read.
struct KnobsState {
    std::array<std::optional<int>, 8> counts;
    int selected = 0;
    bool keys = false;
    unsigned read_channels = 0; // bit N: channel N
};

class LiveView {
public:
    LiveView(int fd, ViewStyle style);
    // Draws the event; returns 0, or the errno of the write that failed.
    int show(const Event& event);

    // Bytes the program's output put on the stream the view shares.
    void passed_on(std::string_view bytes);
    // Whether the last thing written there left a line unfinished.
    bool line_open() const { return line_open_; }

    // The status line's text (ASCII): the virtual time, the speed, and
    // where given the knobs' state.
    static std::string status(double t, double speed, const std::optional<KnobsState>& knobs);
    // Without a status line: the arrow keys moved on to `channel`.
    void selected(int channel);
    // A line of vboard's own about the view (live control switched off...).
    void say(const std::string& text);
    int error() const { return error_; }
    bool escapes() const { return style_.escapes; }

private:
    const char* dim() const;
    const char* bold() const;
    const char* red() const;
    const char* plain() const;
    std::string stamp(double t) const;
    std::string failure(int error) const;
    std::string printable(const std::string& bytes) const;

    void line(const std::string& text);
    void show(const LcdScreen& screen);
    void show(const SpiTransfer& transfer);
    void show(const SysfsAccess& access);
    void show(const BufferRead& read);
    void show(const IoctlCall& call);
    void show(const I2cWrite& write);
    void show(const I2cRead& read);
    void show(const LcdViolation& violation);
    void show(const FileEvent& file);
    void show(const LogLine& log);
    void show(const ProgramEvent& program);
    void show(const LcdOperation&) {}
    void show(const InputChange& change);

    int fd_;
    ViewStyle style_;
    bool line_open_ = false;
    int error_ = 0;
    unsigned long long pwm_period_ns_ = 0;
};

} // namespace vboard
