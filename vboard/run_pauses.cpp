// Virtual time: the pauses of the program's processes, which each make on
// the board's channel, and the stops and interrupts the run's options time
// by them.
//
// A pause of the program is where virtual time moves on. Something due at
// exactly the moment a pause ends (a stop, a SIGINT) happens before the
// program resumes: stopping at 3 s a program that pauses 1 s at a time ends
// it before it does anything at 3 s.

#include "run.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vboard {

void Run::accept_process()
{
    for (;;) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            return;
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length);
        Process process;
        process.fd = fd;
        process.pid = peer.pid;
        process.pidfd = static_cast<int>(syscall(SYS_pidfd_open, peer.pid, 0));
        processes_.push_back(std::move(process));
    }
}

bool Run::serve(Process& process)
{
    wire::RequestHeader header{};
    const ssize_t n = recv(process.fd, &header, sizeof header, 0);
    if (n < 0) {
        return errno == EINTR || errno == EAGAIN;
    }
    if (n == 0) {
        return false;
    }
    if (static_cast<std::size_t>(n) < sizeof header) {
        return true;
    }
    // Before the board answers, it takes in everything the program has
    // written so far, so that line counts are exact at this point. A
    // program the run has stopped does nothing more.
    drain_output();
    take_log();
    if (process.pid == program_) {
        note_handlers();
    }
    if (result_.stopped) {
        return false;
    }
    wire::Reply reply{0, -1, 0, 0};
    if (header.type == wire::Request::sleep_begin) {
        reply = handle_sleep_begin(process, header.arg0);
    } else if (header.type == wire::Request::sleep_end) {
        handle_sleep_end(process, header.arg0, header.arg1 != 0);
        if (sigint_due()) {
            send_sigint(board_.recorder.now_ns());
        }
    }
    send(process.fd, &reply, sizeof reply, MSG_NOSIGNAL);
    return true;
}

wire::Reply Run::handle_sleep_begin(Process& process, std::int64_t ns)
{
    const std::int64_t now = board_.recorder.now_ns();
    {
        // A pause is where a person would look at the display.
        std::lock_guard guard(board_.devices_lock);
        board_.lcd.record_screen_if_changed();
    }
    board_.recorder.record(ProgramEvent{to_seconds(now), ProgramEvent::Kind::sleep, to_seconds(ns)});
    process.sleep_start = now;
    process.sleep_length = ns;
    process.planned_interrupt.reset();

    wire::Reply reply{0, -1, 0, 0};
    const std::int64_t end = now + ns;
    const std::optional<std::int64_t> stop_at = options_.stop_at ? std::optional(to_ns(*options_.stop_at)) : std::nullopt;
    const std::optional<std::int64_t> sigint_at =
        !sigint_sent_ && options_.sigint_at ? std::optional(to_ns(*options_.sigint_at)) : std::nullopt;
    const bool stop_in_sleep = stop_at && *stop_at <= end;
    const bool sigint_in_sleep = sigint_at && *sigint_at <= end;
    // The observer's times up to the first of the board's own in this pause.
    std::int64_t observed_until = end;
    for (const auto& due : {stop_in_sleep ? stop_at : std::nullopt, sigint_in_sleep ? sigint_at : std::nullopt}) {
        if (due) {
            observed_until = std::min(observed_until, std::max(now, *due));
        }
    }
    if (const auto sent = observe_pause(now, observed_until); sent || result_.stopped) {
        if (sent && process.pid == program_) {
            // The preload sleeps until then and raises the signal itself.
            process.planned_interrupt = sent->second;
            process.planned_signal = sent->first;
            reply.interrupt_after_ns = sent->second - now;
            reply.raise_signal = sent->first;
        } else if (sent) {
            send_signal_at(sent->first, sent->second);
        }
        return reply;
    }
    if (stop_in_sleep && !(sigint_in_sleep && *sigint_at < *stop_at)) {
        stop(std::max(now, *stop_at));
        return reply;
    }
    if (process.pid != program_) {
        // Another process of the program (a shell's `sleep`): the program
        // gets a SIGINT due meanwhile when this pause ends.
        if (sigint_due()) {
            send_sigint(now);
        }
        return reply;
    }
    if (sigint_in_sleep) {
        process.planned_interrupt = std::max(now, *sigint_at);
    } else if (sigint_due()) {
        process.planned_interrupt = now;
    }
    if (process.planned_interrupt) {
        // The preload sleeps until then and raises the signal itself, so the
        // program's pause is cut short at exactly that virtual time.
        sigint_sent_ = true;
        process.planned_signal = SIGINT;
        reply.interrupt_after_ns = *process.planned_interrupt - now;
        reply.raise_signal = SIGINT;
    }
    return reply;
}

void Run::handle_sleep_end(Process& process, std::int64_t real_ns, bool cut_short)
{
    if (process.planned_interrupt) {
        board_.recorder.advance_to(*process.planned_interrupt);
        board_.recorder.record(ProgramEvent{to_seconds(*process.planned_interrupt), ProgramEvent::Kind::signal, 0,
                                            process.planned_signal});
        process.planned_interrupt.reset();
        return;
    }
    std::int64_t end = process.sleep_start + process.sleep_length;
    if (cut_short) {
        // Cut short by a signal from elsewhere: as far as it got in real time.
        const double slept = static_cast<double>(real_ns) * options_.speed;
        end = process.sleep_start + (slept < static_cast<double>(process.sleep_length) ? static_cast<std::int64_t>(slept)
                                                                                      : process.sleep_length);
    }
    if (process.pid != program_ && !sigint_sent_ && options_.sigint_at && to_ns(*options_.sigint_at) <= end) {
        const std::int64_t at = std::max(board_.recorder.now_ns(), to_ns(*options_.sigint_at));
        board_.recorder.advance_to(at);
        send_sigint(at);
    }
    board_.recorder.advance_to(end);
}

void Run::stop(std::int64_t at)
{
    if (result_.stopped) {
        return;
    }
    kill_program();
    result_.stopped = true;
    board_.recorder.advance_to(at);
    std::lock_guard guard(board_.devices_lock);
    board_.lcd.record_screen_if_changed();
    board_.recorder.record(ProgramEvent{board_.recorder.now(), ProgramEvent::Kind::stopped});
}

void Run::send_sigint(std::int64_t at)
{
    if (program_ <= 0) {
        return;
    }
    sigint_sent_ = true;
    send_signal_at(SIGINT, at);
}

void Run::send_signal_at(int signal, std::int64_t at)
{
    if (program_ <= 0 || program_ended_) {
        return;
    }
    board_.recorder.record(ProgramEvent{to_seconds(at), ProgramEvent::Kind::signal, 0, signal});
    syscall(SYS_pidfd_send_signal, program_pidfd_, signal, nullptr, 0);
}

// The program is paused from `from` to `until` and does nothing meanwhile:
// the observer gets each time it wants there, with virtual time at it, in
// order, having first been given everything up to the pause.
std::optional<std::pair<int, std::int64_t>> Run::observe_pause(std::int64_t from, std::int64_t until)
{
    if (observer_ == nullptr || !observer_->wanted_time()) {
        return std::nullopt; // an observer that wants no time (a live view) gets the pause as before
    }
    deliver();
    observing_pause_ = true;
    pause_signal_.reset();
    // A time the pause ends at is the program's first: what it does then
    // comes before the observer's turn (at its next pause).
    const auto due = [&](std::optional<std::int64_t> wanted) { return wanted && (*wanted <= from || *wanted < until); };
    for (auto wanted = observer_->wanted_time(); due(wanted) && !result_.stopped && !pause_signal_;
         wanted = observer_->wanted_time()) {
        const std::int64_t at = std::max(from, *wanted);
        board_.recorder.advance_to(at);
        observer_->on_time(at);
        deliver(); // what the observer did (a knob turned) goes back to it
    }
    observing_pause_ = false;
    return pause_signal_;
}

void Run::observe_due()
{
    if (observer_ == nullptr || program_ended_ || result_.stopped) {
        return;
    }
    if (const auto wanted = observer_->wanted_time(); wanted && *wanted < board_.recorder.now_ns()) {
        observer_->on_time(*wanted);
        deliver();
    }
}

bool Run::sigint_due() const
{
    if (sigint_sent_) {
        return false;
    }
    if (options_.sigint_after_lines && lines_ >= *options_.sigint_after_lines) {
        return true;
    }
    return options_.sigint_when && options_.sigint_when(board_.recorder.events());
}

} // namespace vboard
