#pragma once

// What a program on the board may still do as root. The run's namespaces
// give it the board's /dev, /sys and /proc, but not a kernel of its own:
// root's capabilities act on the PC's kernel, and a board's start-up script
// uses them (mount -t sysfs, mount -t devtmpfs, mknod, insmod, hwclock -s,
// ifconfig), which on the board reach the board and here would reach the
// PC: its sysfs and devices under the board's, its modules, its clock, its
// network. So the program starts with the capabilities a container's root
// has by default and no others, in its bounding set too (no setuid binary
// or file capability regains them); what they refuse fails with EPERM.

namespace vboard::init {

// For the program's process, just before execve(). Returns false (errno
// set) where the kernel refuses.
bool keep_container_capabilities();

} // namespace vboard::init
