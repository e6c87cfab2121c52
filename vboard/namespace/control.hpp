#pragma once

// What the board's init (vboard-init) tells the run that started it, over
// the control socket it inherits (a SOCK_SEQPACKET socketpair): one report
// per message, some with a descriptor passed along (SCM_RIGHTS). The run
// never writes to it.
//
// vboard-init is started as
//   vboard-init NODE... -- PROGRAM [ARG]...
// with the descriptors below in place and the program's environment as its
// own. NODE is a node's name, major and minor ("i2c-0:89:0"), for /dev.

#include <cstdint>

namespace vboard::control {

// The descriptors vboard-init is started with, besides the program's
// standard input, output and error.
inline constexpr int control_fd = 3;     // the control socket
inline constexpr int channel_fd = 4;     // the board's channel (SOCK_SEQPACKET, unbound): /dev/.vboard/channel
inline constexpr int log_fd = 5;         // the board's syslog (SOCK_DGRAM, unbound): /dev/log
inline constexpr int exec_status_fd = 6; // a pipe: the errno of a failed execve() of the program, or nothing

// Where the program's processes find virtual time, inside the namespace.
inline constexpr const char* board_directory = "/dev/.vboard";
inline constexpr const char* channel_path = "/dev/.vboard/channel";
inline constexpr const char* clock_path = "/dev/.vboard/clock";

enum class Kind : std::uint32_t {
    fuse,    // descriptor: the board filesystem's FUSE connection, mounted in the namespace, to be served now
    clock,   // descriptor: the clock page's file (a page of the namespace's /dev)
    started, // descriptor: a pidfd of the program's process
    stopped, // value: the signal that stopped the program (SIGTTIN, SIGTTOU: it wants the terminal)
    ended,   // value: the program's wait status; count: the processes of the run that were still running
    failed,  // text: what could not be set up, and what to do about it
};

struct Report {
    Kind kind;
    std::int32_t value;
    std::int32_t count;
    std::uint32_t reserved;
    char text[1024];
};

} // namespace vboard::control
