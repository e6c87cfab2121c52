#pragma once

// The messages between the preload library, which runs inside the program
// under test, and the board, which runs in the vboard process. They travel
// over a SOCK_SEQPACKET socket that the board hands the program as file
// descriptor VBOARD_CHANNEL_FD. Every request gets exactly one reply, and the
// program waits for it: what the board records therefore happens in the
// program's own order, interleaved correctly with the ioctls that umockdev
// hands to the board's device models.

#include <cstdint>

namespace vboard::wire {

inline constexpr const char* channel_fd_variable = "VBOARD_CHANNEL_FD";

// Largest payload of one message; sysfs attributes are at most a page.
inline constexpr std::uint32_t max_payload = 4096;

enum class Request : std::uint32_t {
    hello,       // arg0: pid
    open,        // fd: result of the real open (or -errno); arg0: flags; payload: path as the program gave it
    read,        // fd; arg0: file offset; arg1: byte count
    write,       // fd; arg0: file offset; payload: the bytes
    close,       // fd
    log,         // arg0: syslog priority; payload: the message
    sleep_begin, // arg0: requested nanoseconds
    sleep_end,   // arg0: real nanoseconds slept; arg1: 1 if the sleep was cut short
    handler,     // arg0: signal number; arg1: 1 if a handler function was installed, 0 for SIG_DFL/SIG_IGN
};

struct RequestHeader {
    Request type;
    std::int32_t fd;
    std::int64_t arg0;
    std::int64_t arg1;
    std::uint32_t length; // payload bytes that follow the header
    std::uint32_t reserved;
};

// What the preload is to do with a file descriptor after an open request.
enum class Handling : std::uint32_t {
    pass,      // not the board's business: use the real descriptor as it is
    device,    // a /dev node: umockdev serves it; report its close
    attribute, // a sysfs attribute: the board serves its reads, writes and seeks
};

struct Reply {
    std::int64_t result; // the call's return value; -1 with `error` set for a failure
    std::int32_t error;  // errno for a failed call
    Handling handling;   // open requests only
    // sleep_begin only: cut the sleep short after this many nanoseconds and
    // raise `raise_signal` (-1: sleep the whole time). For other requests a
    // `raise_signal` other than 0 is raised just before the call returns.
    std::int64_t interrupt_after_ns;
    std::int32_t raise_signal;
    std::uint32_t length; // payload bytes that follow (read data)
};

} // namespace vboard::wire
