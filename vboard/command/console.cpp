#include "console.hpp"

#include "output_files.hpp"
#include "trace.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace vboard::command {

namespace {

// Whether `fd` writes to the same terminal as `view_fd`: the same device,
// or both the controlling terminal (the view opened as /dev/tty, which is
// a device of its own), whose session the kernel tells.
bool same_terminal(int fd, int view_fd)
{
    struct stat a {};
    struct stat b {};
    if (isatty(fd) == 0 || fstat(fd, &a) != 0 || fstat(view_fd, &b) != 0) {
        return false;
    }
    const pid_t session = tcgetsid(fd);
    return a.st_rdev == b.st_rdev || (session >= 0 && session == tcgetsid(view_fd));
}

// Whether two descriptors write the same open pipe, file or device.
bool same_file(int fd, int other)
{
    struct stat a {};
    struct stat b {};
    return fstat(fd, &a) == 0 && fstat(other, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The ADC channel a sysfs attribute of the IIO device belongs to, as the
// driver names them: in_voltageN_raw, and scan_elements/in_voltageN_en.
std::optional<int> adc_channel_of(const std::string& attr)
{
    const std::string name = attr.substr(attr.rfind('/') + 1);
    if (name.size() < 12 || name.compare(0, 10, "in_voltage") != 0 || name[10] < '0' || name[10] > '7' ||
        (name.compare(11, std::string::npos, "_raw") != 0 && name.compare(11, std::string::npos, "_en") != 0)) {
        return std::nullopt;
    }
    return name[10] - '0';
}

constexpr auto status_interval = std::chrono::milliseconds(50);

} // namespace

Console::Console(int view_fd, ViewStyle style, int trace_fd, int vcd_fd, VcdTimescale vcd_tick, Knobs* knobs)
    : view_fd_(view_fd), trace_(trace_fd), knobs_(knobs)
{
    if (view_fd >= 0) {
        view_.emplace(view_fd, style);
        stdout_shared_ = same_terminal(STDOUT_FILENO, view_fd);
        view_on_stdout_ = same_file(STDOUT_FILENO, view_fd);
        stderr_shared_ = same_terminal(STDERR_FILENO, view_fd);
    }
    if (vcd_fd >= 0) {
        vcd_.emplace([vcd_fd](std::string_view bytes) { return write_all(vcd_fd, bytes); }, vcd_tick);
    }
}

void Console::pin_status_line(double speed, int resized)
{
    speed_ = speed;
    resized_ = resized;
    if (!view_ || !view_->escapes() || isatty(view_fd_) == 0) {
        return;
    }
    status_.emplace(view_fd_);
    int error = 0;
    if (!status_->begin(error)) {
        status_.reset();
        return;
    }
    if (error != 0) {
        passed(error, "the view");
        status_.reset();
        return;
    }
    update_status(true);
}

void Console::finish()
{
    if (status_) {
        status_->end();
        status_.reset();
    }
}

double Console::virtual_now() const
{
    if (!pause_seen_at_) {
        return t_;
    }
    if (std::isinf(speed_)) {
        return pause_ends_;
    }
    const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - *pause_seen_at_).count();
    return std::min(pause_ends_, t_ + real * speed_);
}

void Console::update_status(bool now)
{
    if (!status_ || !failure_.empty()) {
        return;
    }
    // Checked first: on_event comes here for every event, and the knobs'
    // counts are read from the board's devices.
    const auto real = std::chrono::steady_clock::now();
    if (!now && real - drawn_at_ < status_interval) {
        return;
    }
    std::optional<KnobsState> knobs;
    if (knobs_ != nullptr && read_channels_ != 0) {
        knobs = KnobsState{knobs_->counts(), knobs_->selected(), knobs_->keys_on(), read_channels_};
    }
    const std::string text = LiveView::status(virtual_now(), speed_, knobs);
    if (text == status_text_) {
        return;
    }
    status_text_ = text;
    drawn_at_ = real;
    passed(status_->draw(text), "the view");
}

void Console::follow(const Event& event)
{
    t_ = std::max(t_, time_of(event));
    pause_seen_at_.reset();
    if (const auto* program = std::get_if<ProgramEvent>(&event);
        program != nullptr && program->kind == ProgramEvent::Kind::sleep) {
        pause_ends_ = program->t + program->seconds;
        pause_seen_at_ = std::chrono::steady_clock::now();
    }
    if (const auto* access = std::get_if<SysfsAccess>(&event);
        access != nullptr && access->dev.rfind("iio:device", 0) == 0 && access->error == 0) {
        // Read it, or put it in the buffer's scans.
        const bool enabled = access->op == SysfsAccess::Op::read || access->bytes.rfind('1', 0) == 0;
        if (const auto channel = adc_channel_of(access->attr); channel && enabled) {
            read_channels_ |= 1U << *channel;
            if (knobs_ != nullptr) {
                knobs_->program_reads(*channel);
            }
        }
    }
}

void Console::on_idle()
{
    update_status(false);
}

void Console::complain(const std::string& text)
{
    const bool own_line = view_ && stderr_shared_ && view_->line_open();
    write_all(STDERR_FILENO, own_line ? "\n" + text : text);
    if (view_ && stderr_shared_) {
        view_->passed_on(text);
    }
}

bool Console::on_readable(int fd)
{
    if (fd == resized_) {
        char bytes[64];
        while (read(fd, bytes, sizeof bytes) > 0) {
        }
        if (status_) {
            passed(status_->relayout(), "the view");
        }
        return true;
    }
    if (knobs_ == nullptr) {
        return false;
    }
    std::string complaint;
    bool moved = false;
    const bool keep = knobs_->take(fd, complaint, moved);
    if (!complaint.empty()) {
        complain(complaint);
    }
    if (moved) {
        if (status_) {
            update_status(true);
        } else if (view_) {
            view_->selected(knobs_->selected());
        }
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
        update_status(true);
    }
}

Observer::Passed Console::on_stdout(std::string_view bytes)
{
    if (view_ && stdout_shared_) {
        view_->passed_on(bytes);
    }
    return passed(write_all(STDOUT_FILENO, bytes), "standard output");
}

Observer::Passed Console::on_stderr(std::string_view bytes)
{
    if (view_ && stderr_shared_) {
        view_->passed_on(bytes);
    }
    return passed(write_all(STDERR_FILENO, bytes), "standard error");
}

Observer::Passed Console::on_event(const Event& event)
{
    if (std::holds_alternative<LcdViolation>(event)) {
        ++violations_;
    }
    follow(event);
    if (view_) {
        if (const int error = view_->show(event); error != 0) {
            return passed(error, "the view");
        }
        update_status(std::holds_alternative<InputChange>(event));
    }
    if (!failure_.empty()) {
        return Passed::failed; // the status line could not be drawn
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
    if (failure_.empty() || view_reader_gone_) {
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
        view_reader_gone_ = error == EPIPE && view_on_stdout_ && std::strcmp(what, "the view") == 0;
        failure_ = std::string(what) + ": " + std::strerror(error);
        failed_stream_ = std::strcmp(what, "standard error") == 0 ? STDERR_FILENO : STDOUT_FILENO;
    }
    return Passed::failed;
}

} // namespace vboard::command
