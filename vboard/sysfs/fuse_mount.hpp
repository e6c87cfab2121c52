#pragma once

// Serves a SysfsTree to programs as a FUSE filesystem mounted in the
// board's testbed, so that every way in (open and read, stdio, a shell's
// redirection, pread, a duplicated descriptor, several processes at once)
// meets the same sysfs rules in the kernel's VFS. One thread answers the
// kernel's requests, one at a time, in the order they come.

#include "../device_calls.hpp"
#include "tree.hpp"

#include <sched.h>

#include <map>
#include <string>
#include <thread>

struct fuse_session;

namespace vboard {

class SysfsMount {
public:
    // Mounts `tree` on the existing directory `mount_point`; `calls` hears
    // of each request a program makes of a file (open, read, write, close).
    // Throws BoardError (board.hpp) when the filesystem cannot be mounted.
    SysfsMount(SysfsTree& tree, std::string mount_point, DeviceCalls& calls);
    // Unmounts (lazily: nothing the board's programs left open can keep it).
    ~SysfsMount();
    SysfsMount(const SysfsMount&) = delete;
    SysfsMount& operator=(const SysfsMount&) = delete;

    const std::string& mount_point() const { return mount_point_; }

    // The CPUs the serving thread may run on.
    cpu_set_t cpus() const;
    void run_on(const cpu_set_t& cpus);

private:
    friend struct FuseRequests; // the request handlers, in fuse_mount.cpp

    void serve();
    bool exiting(pid_t pid);

    SysfsTree& tree_;
    std::string mount_point_;
    DeviceCalls& calls_;
    std::map<std::uint64_t, SysfsTree::Listing> listings_; // open directories, as listed when opened
    std::uint64_t next_listing_ = 1;
    fuse_session* session_ = nullptr;
    int stop_ = -1; // eventfd: tells the serving thread to end
    pid_t stat_pid_ = 0; // the process whose /proc/PID/statm stat_fd_ is
    int stat_fd_ = -1;
    std::thread thread_;
};

} // namespace vboard
