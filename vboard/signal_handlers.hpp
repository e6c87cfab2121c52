#pragma once

// Which of the signals the board sends or passes on (SIGINT, SIGTERM,
// SIGHUP) a process catches, as the kernel tells it in /proc/PID/status
// (SigCgt): looked at where the board needs to know, and told as changes.

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace vboard {

class SignalHandlers {
public:
    SignalHandlers() = default;
    ~SignalHandlers();
    SignalHandlers(const SignalHandlers&) = delete;
    SignalHandlers& operator=(const SignalHandlers&) = delete;

    // The process to watch (the program's own).
    void watch(pid_t pid);

    struct Change {
        int signal;
        bool caught;
    };
    // What changed since the last look, in signal order.
    std::vector<Change> look();

private:
    pid_t pid_ = -1;
    int status_fd_ = -1; // its /proc/PID/status, kept open: a pread() per look
    std::uint64_t caught_ = 0; // bit N-1: signal N, as SigCgt shows them
};

} // namespace vboard
