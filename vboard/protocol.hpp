#pragma once

// Virtual time, between the time preload (preload/), which runs inside every
// dynamically linked process of the program under test, and the board,
// which runs in the vboard process. Everything else a program does reaches
// the board through the kernel (the namespace's /dev and /sys, /dev/log).
//
// The program's clocks read a page the board shares with every process of
// the run (VBOARD_CLOCK names it, a file of the namespace's /dev that no
// other run can reach). A pause is a request on the board's channel, a
// SOCK_SEQPACKET socket whose path VBOARD_CHANNEL gives: each process
// connects on its own, so no two processes ever share a connection or the
// state of a request. Every request gets exactly one reply, and the process
// waits for it: what the board records therefore happens in the process's
// own order.

#include <cstdint>

namespace vboard::wire {

inline constexpr const char* channel_variable = "VBOARD_CHANNEL";
inline constexpr const char* clock_variable = "VBOARD_CLOCK";
// The time preload, for qemu-arm to load (its patch 0003) where it runs a
// board program: the guest's clock reads and pauses go through it.
inline constexpr const char* time_library_variable = "VBOARD_TIME_LIBRARY";

// `now_ns` is written by the board only (__atomic_store_n) while the
// program waits for it, and read with __atomic_load_n.
struct ClockPage {
    std::int64_t now_ns;            // virtual time since the run began
    std::int64_t realtime_base_ns;  // CLOCK_REALTIME when the run began
    std::int64_t monotonic_base_ns; // CLOCK_MONOTONIC, the same
    std::int64_t boottime_base_ns;  // CLOCK_BOOTTIME, the same
    double speed;                   // virtual seconds per real second: real pauses are this much shorter
};

enum class Request : std::uint32_t {
    sleep_begin, // arg0: requested nanoseconds
    sleep_end,   // arg0: real nanoseconds slept; arg1: 1 if the sleep was cut short
};

struct RequestHeader {
    Request type;
    std::int32_t reserved;
    std::int64_t arg0;
    std::int64_t arg1;
};

struct Reply {
    std::int64_t result;
    // sleep_begin only: cut the sleep short after this many nanoseconds and
    // raise `raise_signal` (-1: sleep the whole time).
    std::int64_t interrupt_after_ns;
    std::int32_t raise_signal;
    std::uint32_t reserved;
};

} // namespace vboard::wire
