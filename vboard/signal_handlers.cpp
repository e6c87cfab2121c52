#include "signal_handlers.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vboard {

namespace {

constexpr int watched[] = {SIGHUP, SIGINT, SIGTERM};

std::uint64_t bit(int signal)
{
    return std::uint64_t{1} << (signal - 1);
}

} // namespace

SignalHandlers::~SignalHandlers()
{
    if (status_fd_ >= 0) {
        close(status_fd_);
    }
}

void SignalHandlers::watch(pid_t pid)
{
    if (status_fd_ >= 0) {
        close(status_fd_);
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    status_fd_ = open(path, O_RDONLY | O_CLOEXEC);
    pid_ = pid;
    caught_ = 0;
}

std::vector<SignalHandlers::Change> SignalHandlers::look()
{
    std::vector<Change> changes;
    char text[4096];
    const ssize_t n = status_fd_ >= 0 ? pread(status_fd_, text, sizeof text - 1, 0) : -1;
    if (n <= 0) {
        return changes; // it has ended
    }
    text[n] = '\0';
    const char* line = std::strstr(text, "\nSigCgt:");
    if (line == nullptr) {
        return changes;
    }
    const std::uint64_t caught = std::strtoull(line + 8, nullptr, 16);
    for (const int signal : watched) {
        if (((caught ^ caught_) & bit(signal)) != 0) {
            changes.push_back({signal, (caught & bit(signal)) != 0});
        }
    }
    caught_ = caught;
    return changes;
}

} // namespace vboard
