#pragma once

// Serves the board's filesystem (tree.hpp, open_files.hpp) on a FUSE
// connection that a run's namespace has mounted: the kernel's VFS then
// gives every file operation its own rules (sharing across dup, fork and
// exec, access modes, O_NONBLOCK, FIOCLEX and FIONBIO, readv and pread,
// relative paths, poll and epoll) and passes what a driver would see to
// the tree. One thread answers the kernel's requests, one at a time, in
// the order they come; each request a program makes of a file goes past
// the board's DeviceCalls.

#include "../device_calls.hpp"
#include "open_files.hpp"
#include "tree.hpp"

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

struct fuse_session;

namespace vboard {

class FuseServer {
public:
    // Serves on `device` (a /dev/fuse descriptor, which the server takes
    // over). Throws BoardError (board.hpp) when the session cannot be made.
    FuseServer(int device, FsTree& tree, OpenFiles& files, std::mutex& devices_lock, DeviceCalls& calls);
    // Stops serving; the mount itself goes with the namespace it is in.
    ~FuseServer();
    FuseServer(const FuseServer&) = delete;
    FuseServer& operator=(const FuseServer&) = delete;

private:
    friend struct FuseRequests; // the request handlers, in fuse_server.cpp

    void serve();
    // True while `pid` is ending: the kernel then closes its files for it.
    bool exiting(pid_t pid);

    FsTree& tree_;
    OpenFiles& files_;
    std::mutex& devices_lock_;
    DeviceCalls& calls_;
    std::map<std::uint64_t, FsTree::Listing> listings_; // open directories, as listed when opened
    std::uint64_t next_listing_ = 1;
    fuse_session* session_ = nullptr;
    int stop_ = -1; // eventfd: tells the serving thread to end
    pid_t stat_pid_ = 0; // the process whose /proc/PID/statm stat_fd_ is
    int stat_fd_ = -1;
    std::thread thread_;
};

} // namespace vboard
