#pragma once

// The board's / as the program sees it: an umockdev testbed (a temporary
// directory that umockdev's preload puts in place of /sys and /dev), its
// device nodes served by the device models, the mount point of the sysfs
// filesystem and the links that lead there (/sys/class/pwm/pwmchip0,
// /sys/bus/iio/devices/iio:device0).

#include "device_calls.hpp"
#include "devices/node.hpp"
#include "process.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace vboard {

class FaultPlan;

class Testbed {
public:
    // Where the board's sysfs filesystem is mounted, as the program sees it:
    // the platform bus, where the kernel puts the SoC's devices.
    static constexpr const char* sysfs_mount_point = "/sys/devices/platform";

    // `devices_lock` is held during every call on a node, and `calls` hears
    // of each.
    Testbed(std::mutex& devices_lock, DeviceCalls& calls);
    ~Testbed();

    // Where TMPDIR does not say otherwise, testbeds from now on are made in
    // memory (the user's runtime directory or /dev/shm, when either is a
    // tmpfs): a board is set up and torn down in a few milliseconds less
    // than on a disk's filesystem, whose journal sees every file. The
    // environment itself is left as it was, so programs see the user's own.
    // Call it first thing, while the process has no other thread.
    static void prefer_memory_for_testbeds();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // The directory that stands for the board's /.
    const std::string& root() const { return root_; }

    // A character device node /dev/NAME of `subsystem`, served by `node`.
    // With no subsystem, the node alone, without a device in umockdev's
    // sysfs (where the device's own directory is the board's sysfs).
    void add_node(const std::string& name, const std::string& subsystem, const std::string& major_minor,
                  DeviceNode& node, FaultPlan& faults);

    // A directory (and its parents) and a relative symbolic link, both given
    // as the program sees them (/sys/...).
    void add_directory(const std::string& path);
    void add_link(const std::string& path, const std::string& target);

    // The path as the program sees it, with `.`, `..` and the testbed's own
    // links resolved, lexically: a path that would leave the board is
    // returned as given. Nothing below `stop_at` (a mount point) is looked at.
    std::string canonical(const std::string& path, const std::string& stop_at) const;

    // Removes a file or directory of the testbed (a canonical path below
    // /dev or /sys, never below `keep`), for an `absent=` fault.
    void remove(const std::string& canonical_path, const std::string& keep);

    // The environment of a program run on the board: the caller's, with the
    // preloads, the testbed, the board description, the board's channel and
    // clock set.
    std::vector<std::string> environment(const std::string& channel, const std::string& clock) const;

private:
    struct NodeBinding;
    enum class NodeOp { ioctl, read, write };
    void serve(NodeBinding& binding, NodeCall& call, NodeOp op);

    std::mutex& devices_lock_;
    DeviceCalls& calls_;
    UMockdevTestbed* testbed_ = nullptr;
    std::string root_;
    std::unique_ptr<Janitor> janitor_;
    std::vector<std::unique_ptr<NodeBinding>> nodes_;
};

} // namespace vboard
