#pragma once

// The process's connection to the board's channel (protocol.hpp), for its
// pauses. Made on first use in each process (a child of fork() makes its
// own: replies on a shared connection would cross), and made again should
// the program have closed its descriptor or put something else at its
// number (the daemon's closerange(), a dup2() over it): the connection is
// known by its socket's inode, never by its number alone. A pause made
// while another is under way in the process (a signal handler that sleeps,
// another thread) gets a connection of its own for as long as it lasts.

#include "../protocol.hpp"

namespace vboard::preload {

class Pause {
public:
    // Takes a connection for one pause; valid() is false off the board, or
    // where no connection can be made (the process has no descriptor left).
    Pause();
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

    bool valid() const { return fd_ >= 0; }
    // One request and its reply; false if the board did not answer.
    bool ask(wire::Request type, std::int64_t arg0, std::int64_t arg1, wire::Reply& reply);

private:
    int fd_ = -1;
    bool own_ = false; // a connection of this pause's alone, closed with it
};

// Whether the process runs on the board (VBOARD_CHANNEL is set).
bool on_board();

} // namespace vboard::preload
