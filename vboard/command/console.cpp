#include "console.hpp"

#include "output_files.hpp"
#include "trace.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace vboard::command {

Console::Console(int view_fd, int trace_fd, int vcd_fd, VcdTimescale vcd_tick, Knobs* knobs)
    : trace_(trace_fd), knobs_(knobs)
{
    if (view_fd >= 0) {
        view_.emplace(view_fd);
    }
    if (vcd_fd >= 0) {
        vcd_.emplace([vcd_fd](std::string_view bytes) { return write_all(vcd_fd, bytes); }, vcd_tick);
    }
}

void Console::show_inputs()
{
    if (view_ && knobs_ != nullptr && knobs_->keys_on()) {
        view_->show_inputs(knobs_->counts(), knobs_->selected());
    }
}

bool Console::on_readable(int fd)
{
    if (knobs_ == nullptr) {
        return false;
    }
    std::string complaint;
    bool moved = false;
    const bool keep = knobs_->take(fd, complaint, moved);
    if (!complaint.empty()) {
        write_all(STDERR_FILENO, complaint);
    }
    if (moved) {
        show_inputs();
    }
    return keep;
}

void Console::on_terminal_wanted()
{
    if (knobs_ != nullptr && knobs_->keys_on()) {
        knobs_->give_up_keys();
        if (view_) {
            view_->say("the program reads the terminal: the arrow keys are its own now, live control is off");
        }
    }
}

Observer::Passed Console::on_stdout(std::string_view bytes)
{
    return passed(write_all(STDOUT_FILENO, bytes), "standard output");
}

Observer::Passed Console::on_stderr(std::string_view bytes)
{
    return passed(write_all(STDERR_FILENO, bytes), "standard error");
}

Observer::Passed Console::on_event(const Event& event)
{
    if (std::holds_alternative<LcdViolation>(event)) {
        ++violations_;
    }
    if (view_) {
        if (const int error = view_->show(event); error != 0) {
            return passed(error, "the view");
        }
        if (const auto* change = std::get_if<InputChange>(&event);
            change != nullptr && knobs_ != nullptr && knobs_->keys_on()) {
            view_->show_inputs(change->counts, knobs_->selected());
        }
    }
    if (trace_ >= 0) {
        if (const Passed p = passed(write_all(trace_, to_json(event) + "\n"), "the trace"); p != Passed::ok) {
            return p;
        }
    }
    if (vcd_) {
        return passed(vcd_->draw(event), "the capture");
    }
    return Passed::ok;
}

void Console::report() const
{
    if (failure_.empty()) {
        return;
    }
    const std::string message = "vboard: cannot write " + failure_ + "; the program was stopped\n";
    if (write_all(failed_stream_ == STDERR_FILENO ? STDOUT_FILENO : STDERR_FILENO, message) != 0) {
        write_all(STDOUT_FILENO, message);
    }
}

Observer::Passed Console::passed(int error, const char* what)
{
    if (error == 0) {
        return Passed::ok;
    }
    if (error == EPIPE && (std::strcmp(what, "standard output") == 0 || std::strcmp(what, "standard error") == 0)) {
        return Passed::closed;
    }
    if (failure_.empty()) {
        failure_ = std::string(what) + ": " + std::strerror(error);
        failed_stream_ = std::strcmp(what, "standard error") == 0 ? STDERR_FILENO : STDOUT_FILENO;
    }
    return Passed::failed;
}

} // namespace vboard::command
