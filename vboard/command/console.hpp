#pragma once

// What vboard itself writes while a program runs: the program's output
// passed on, the view, the trace and the capture, and the knobs' input.
// The first write that fails is kept, to be told on whichever stream still
// works.

#include "board.hpp"
#include "knobs.hpp"
#include "live_view.hpp"
#include "status_line.hpp"
#include "vcd.hpp"

#include <chrono>
#include <optional>
#include <string>

namespace vboard::command {

class Console : public Observer {
public:
    // Each descriptor -1 where that output is not wanted.
    Console(int view_fd, ViewStyle style, int trace_fd, int vcd_fd, VcdTimescale vcd_tick, Knobs* knobs);
    ~Console() { finish(); }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // On a terminal that takes escapes, the status line pinned at its
    // bottom from now on, showing `speed`; `resized`, a descriptor that
    // becomes readable when the terminal's size changes (or -1).
    void pin_status_line(double speed, int resized);
    // The terminal given back as it was (the status line's row and the
    // whole screen's scrolling).
    void finish();

    bool on_readable(int fd) override;
    void on_terminal_wanted() override;
    Passed on_stdout(std::string_view bytes) override;
    Passed on_stderr(std::string_view bytes) override;
    Passed on_event(const Event& event) override;

    // How many transfers the display lost while busy.
    std::size_t violations() const { return violations_; }

    // Says what failed, on standard error unless that is what failed.
    void report() const;

    // Whether the view went to standard output and its reader has gone
    // (`vboard run --view - ... | head`): vboard then ends as a tool whose
    // output pipe closed does, quietly, with 128 + SIGPIPE.
    bool view_reader_gone() const { return view_reader_gone_; }

    void on_idle() override;

private:
    Passed passed(int error, const char* what);
    // What the event tells of the program's virtual time and of the ADC
    // channels it reads.
    void follow(const Event& event);
    // The status line redrawn where it would show something new, at most
    // every 50 ms unless `now`.
    void update_status(bool now);
    double virtual_now() const;
    // vboard's complaint on its standard error, on a line of its own where
    // that is the view's terminal.
    void complain(const std::string& text);

    std::optional<LiveView> view_;
    int view_fd_;
    std::optional<StatusLine> status_;
    bool stdout_shared_ = false; // standard output goes to the view's terminal
    bool stderr_shared_ = false;
    double speed_ = 0;
    int resized_ = -1;
    // The program's virtual time as the events tell it, and the pause it
    // is in since the real time it was seen, if any.
    double t_ = 0;
    double pause_ends_ = 0;
    std::optional<std::chrono::steady_clock::time_point> pause_seen_at_;
    unsigned read_channels_ = 0; // bit N: the program reads ADC channel N
    std::string status_text_;
    std::chrono::steady_clock::time_point drawn_at_{};
    int trace_;
    std::optional<VcdWriter> vcd_;
    std::string failure_;
    int failed_stream_ = -1;
    bool view_on_stdout_ = false;
    bool view_reader_gone_ = false;
    std::size_t violations_ = 0;
    Knobs* knobs_;
};

} // namespace vboard::command
