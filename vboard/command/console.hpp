#pragma once

// What vboard itself writes while a program runs: the program's output
// passed on, the view, the trace and the capture, and the knobs' input.
// The first write that fails is kept, to be told on whichever stream still
// works.

#include "board.hpp"
#include "knobs.hpp"
#include "live_view.hpp"
#include "vcd.hpp"

#include <optional>
#include <string>

namespace vboard::command {

class Console : public Observer {
public:
    // Each descriptor -1 where that output is not wanted.
    Console(int view_fd, int trace_fd, int vcd_fd, VcdTimescale vcd_tick, Knobs* knobs);

    // The knobs' state, drawn as the view's status line.
    void show_inputs();

    bool on_readable(int fd) override;
    void on_terminal_wanted() override;
    Passed on_stdout(std::string_view bytes) override;
    Passed on_stderr(std::string_view bytes) override;
    Passed on_event(const Event& event) override;

    // How many transfers the display lost while busy.
    std::size_t violations() const { return violations_; }

    // Says what failed, on standard error unless that is what failed.
    void report() const;

private:
    Passed passed(int error, const char* what);

    std::optional<LiveView> view_;
    int trace_;
    std::optional<VcdWriter> vcd_;
    std::string failure_;
    int failed_stream_ = -1;
    std::size_t violations_ = 0;
    Knobs* knobs_;
};

} // namespace vboard::command
