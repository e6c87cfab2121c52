#pragma once

// The messages between the preload library, which runs inside every process
// of the program under test, and the board, which runs in the vboard
// process. Each process connects on its own to the board's channel, a
// SOCK_SEQPACKET socket whose path the board gives in VBOARD_CHANNEL, so no
// two processes ever share a connection or the state of a request. Every
// request gets exactly one reply, and the process waits for it: what the
// board records therefore happens in the process's own order.
//
// /sys is the kernel's business (the board's sysfs is a FUSE filesystem).
// What remains on the channel is what only the process itself can tell: its
// pauses, its syslog messages, its signal handlers, and its opens of sysfs
// paths that do not exist.
//
// The board's device nodes (/dev/i2c-0, /dev/spidev3.0, /dev/iio:device0)
// have a socket of their own, VBOARD_NODES. Each open() of a node makes a new
// connection, and that connection is the descriptor the program gets: dup()
// and fork() share it as they share an open file, and the board sees the
// connection end when the last descriptor of it is closed, as a driver sees
// release(). Each ioctl(), read() and write() is one message carrying every
// byte of the program's memory the call may read (the argument block, and
// the buffers it points to), and one reply carrying back what the call
// wrote there.

#include <cstdint>

namespace vboard::wire {

inline constexpr const char* channel_variable = "VBOARD_CHANNEL";
inline constexpr const char* clock_variable = "VBOARD_CLOCK";
inline constexpr const char* nodes_variable = "VBOARD_NODES";

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
    open,        // fd: -errno of the open that failed; arg0: flags; payload: the path as the program gave it
                 // (a /dev node the board has not got, or a /sys path that does not exist)
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
    std::int64_t result;
    std::int32_t error;  // errno for a failed call
    std::int32_t unused;
    // sleep_begin only: cut the sleep short after this many nanoseconds and
    // raise `raise_signal` (-1: sleep the whole time).
    std::int64_t interrupt_after_ns;
    std::int32_t raise_signal;
    std::uint32_t reserved;
};

// --- On a node's connection ---------------------------------------------------------

enum class NodeOp : std::uint32_t {
    open,  // the first message of a connection; request: the open flags; path_length bytes of path follow
    close, // the program closed the descriptor it got from open()
    ioctl, // request: the ioctl request; argument: its third argument, as given
    read,  // one segment: the program's buffer (argument: the count it asked for)
    write, // one segment: the program's bytes (argument: the count it gave)
    stat,  // fstat(): the reply's bytes are a NodeStat
};

// What fstat() shows of a node's descriptor: the character device it is.
struct NodeStat {
    std::uint32_t major;
    std::uint32_t minor;
    std::uint32_t mode; // S_IFCHR and the node's permissions
    std::uint32_t reserved;
};

// A piece of the program's memory that a call reaches.
struct Segment {
    std::uint64_t address; // where it is in the program
    std::uint32_t length;
    std::uint32_t flags;   // segment_in, segment_out
};
inline constexpr std::uint32_t segment_in = 1;  // its bytes follow the segment table
inline constexpr std::uint32_t segment_out = 2; // the board sends it back, as the call left it

struct NodeRequest {
    std::uint32_t magic;    // node_magic: anything else is bytes that reached the socket past the preload
    NodeOp op;
    std::int32_t fd;        // the descriptor the program uses
    std::int32_t pid;       // the process that makes an open or a close (else 0)
    std::uint32_t segments; // Segment records that follow, then the bytes of each segment_in one
    std::uint64_t request;
    std::uint64_t argument;
    std::uint32_t path_length;
};
inline constexpr std::uint32_t node_magic = 0x564e4f44; // "VNOD"

struct NodeReply {
    std::int64_t result;
    std::int32_t error;     // errno for a failed call
    std::uint32_t returned; // bytes that follow: each segment_out segment in turn (a read(): the bytes read)
};

// Largest message either way. Every kernel limit on a node's call is far
// below it (spidev's buffer is 4096 bytes, an I2C message 8192), so a call
// whose memory does not fit is one the driver refuses for its size anyway.
inline constexpr std::uint32_t max_node_message = 128 * 1024;
// Most segments of one call (an SPI message of 511 transfers has 1023).
inline constexpr std::uint32_t max_node_segments = 1024;

} // namespace vboard::wire
