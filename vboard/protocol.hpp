#pragma once

// The messages between the preload library, which runs inside every process
// of the program under test, and the board, which runs in the vboard
// process. Each process connects on its own to the board's channel, a
// SOCK_SEQPACKET socket whose path the board gives in VBOARD_CHANNEL, so no
// two processes ever share a connection or the state of a request. Every
// request gets exactly one reply, and the process waits for it: what the
// board records therefore happens in the process's own order.
//
// The files of the board's devices never pass through here: /sys is the
// kernel's business (the board's sysfs is a FUSE filesystem) and /dev
// umockdev's. What remains is what only the process itself can tell: its
// pauses, its syslog messages, its signal handlers, the device nodes it
// opens and closes, and its opens of sysfs paths that do not exist.

#include <cstdint>

namespace vboard::wire {

inline constexpr const char* channel_variable = "VBOARD_CHANNEL";
inline constexpr const char* clock_variable = "VBOARD_CLOCK";

// The program's clocks. The board keeps virtual time in a file it shares
// with every process of the program (VBOARD_CLOCK), one page long; a
// process's clock_gettime(), gettimeofday() and time() read the run's start
// plus virtual time, so what a program measures is what the board counts.
// `now_ns` is written by the board only (__atomic_store_n) while the
// program waits for it, and read with __atomic_load_n.
struct ClockPage {
    std::int64_t now_ns;            // virtual time since the run began
    std::int64_t realtime_base_ns;  // CLOCK_REALTIME when the run began
    std::int64_t monotonic_base_ns; // CLOCK_MONOTONIC, the same
    std::int64_t boottime_base_ns;  // CLOCK_BOOTTIME, the same
    double speed;                   // virtual seconds per real second: real pauses are this much shorter
};

// Largest payload of one message (a syslog line, a path).
inline constexpr std::uint32_t max_payload = 4096;

enum class Request : std::uint32_t {
    open,        // fd: result of the real open (or -errno); arg0: flags; payload: the path as the program gave it
                 // (a /dev node, or a /sys path that does not exist)
    close,       // fd: a descriptor the board asked to hear about
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

struct Reply {
    std::int64_t result; // open: the descriptor, or -1 with `error` set (the board may refuse it)
    std::int32_t error;  // errno for a failed call
    std::int32_t watch;  // open only: 1 if the board wants to hear of the descriptor's close
    // sleep_begin only: cut the sleep short after this many nanoseconds and
    // raise `raise_signal` (-1: sleep the whole time).
    std::int64_t interrupt_after_ns;
    std::int32_t raise_signal;
    std::uint32_t reserved;
};

} // namespace vboard::wire
