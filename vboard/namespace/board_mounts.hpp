#pragma once

// The board's /dev and /sys at their real paths, in a mount namespace of the
// run's own (and a user namespace, for a user other than root): whatever
// way a program reaches a path (the C library or raw system calls, a static
// binary, `..`, symbolic links, relative paths, openat(), /proc/self/fd),
// the kernel resolves it inside the board. The mounts live in the
// namespace and go with its last process.
//
//   /sys        the board's filesystem (its "sys" directory), over a bind
//               of the PC's sysfs, which nothing can see but /proc/mounts'
//               "sysfs /sys" line (i2c-tools looks for it there)
//   /dev        a tmpfs of the board's: its nodes (the board's filesystem's
//               "dev" files), the PC's harmless ones (null, zero, full,
//               random, urandom, tty, ptmx, pts/), a private shm/, the
//               fd, stdin, stdout and stderr links, char/MAJOR:MINOR links
//               as udev makes them, /dev/log, and .vboard/ with what the
//               time preload needs (the channel and the clock page)

#include <string>
#include <vector>

namespace vboard::init {

struct NodeName {
    std::string name; // "i2c-0"
    unsigned major;
    unsigned minor;
};

// Enters a new mount namespace (and, for a user other than root, a user
// namespace first, mapping the user to itself), where nothing propagates
// back to the PC's. Fails the run (report.hpp) where the system refuses.
void enter_mount_namespace();

// Opens the board filesystem's FUSE connection, hands it to the run to be
// served, and mounts the board's /dev and /sys from it; hands the clock
// page's file to the run too.
void mount_board(const std::vector<NodeName>& nodes);

} // namespace vboard::init
