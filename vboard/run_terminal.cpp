// The terminal the run was started from, and the signals the caller
// passes on: the program gets them as a shell's job would.

#include "run.hpp"

#include <csignal>
#include <termios.h>
#include <unistd.h>

namespace vboard {

namespace {

// Makes `group` the foreground of the terminal on standard input. A process
// outside the foreground that does so is sent SIGTTOU, which would stop
// vboard; it is blocked for the call, as shells do.
bool make_foreground(pid_t group)
{
    sigset_t block;
    sigset_t old;
    sigemptyset(&block);
    sigaddset(&block, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    const bool made = tcsetpgrp(STDIN_FILENO, group) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return made;
}

} // namespace

// Signals the caller received go to the program's process group, as a
// terminal's would; vboard then waits for it to end, for a while.
void Run::pass_on_signals()
{
    unsigned char signals[16];
    const ssize_t n = read(options_.signals, signals, sizeof signals);
    for (ssize_t i = 0; i < n; ++i) {
        passed_signal_ = signals[i];
        board_.recorder.record(ProgramEvent{board_.recorder.now(), ProgramEvent::Kind::signal, 0, passed_signal_});
        if (!program_ended_) {
            kill(-program_, passed_signal_);
        }
        grace_ends_ = monotonic_ns() + std::chrono::duration_cast<std::chrono::nanoseconds>(options_.grace).count();
    }
}

// A program that reads the terminal vboard was started from gets it as a
// shell would give it to a job: its process group becomes the terminal's
// foreground, so that it can read there and Ctrl-C reaches it.
void Run::take_terminal()
{
    if (program_ <= 0 || options_.keep_terminal || !options_.inherit_input || !isatty(STDIN_FILENO) ||
        tcgetpgrp(STDIN_FILENO) != getpgrp()) {
        return;
    }
    terminal_taken_ = make_foreground(program_);
}

// A program in a background group that reads (or writes, with TOSTOP) the
// terminal is stopped by the kernel (SIGTTIN, SIGTTOU), as a shell's
// background job is: it wants the terminal after all.
void Run::hand_over_terminal()
{
    stopped_for_terminal_ = false;
    if (!options_.keep_terminal || terminal_taken_ || program_ended_) {
        return;
    }
    if (observer_ != nullptr) {
        observer_->on_terminal_wanted();
    }
    terminal_taken_ = isatty(STDIN_FILENO) && make_foreground(program_);
    kill(-program_, SIGCONT);
}

void Run::give_terminal_back()
{
    if (!terminal_taken_) {
        return;
    }
    make_foreground(getpgrp());
    terminal_taken_ = false;
}

} // namespace vboard
