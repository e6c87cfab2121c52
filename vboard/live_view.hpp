#pragma once

// What the devices saw, drawn for a person at a terminal as it happens: the
// LCD as a box each time its screen changes, SPI transfers as TX/RX hex and
// ASCII, ADC reads, the PWM duty cycle as a bar, configuration requests,
// failures (an LCD transfer lost while the controller was busy among them,
// in red), libmraa's log and the program's end. I2C frames, single LCD
// instructions and reads of the ADC's buffer are left to the trace: a screen
// update or a capture is hundreds of them.

#include "events.hpp"

#include <string>

namespace vboard {

class LiveView {
public:
    explicit LiveView(int fd) : fd_(fd) {}
    // Draws the event; returns 0, or the errno of the write that failed.
    int show(const Event& event);

private:
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

public:
    // The ADC's inputs as a status line: each channel's count and voltage,
    // the one the arrow keys turn marked.
    void show_inputs(const std::array<std::optional<int>, 8>& counts, int selected);
    // A line of vboard's own about the view (live control switched off...).
    void say(const std::string& text);

    int fd_;
    int error_ = 0;
    unsigned long long pwm_period_ns_ = 0;
};

} // namespace vboard
