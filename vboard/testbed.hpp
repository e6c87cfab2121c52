#pragma once

// The board's / as the program sees it: a testbed (a temporary directory
// that umockdev's preload puts in place of /sys and /dev, laid out as
// umockdev's own library would lay it out), its
// device nodes and the models that serve them (each open of a node is a
// connection to the board, made by vboard's preload), the mount point of the sysfs
// filesystem and the links that lead there (/sys/class/pwm/pwmchip0,
// /sys/bus/iio/devices/iio:device0).

#include "devices/node.hpp"
#include "process.hpp"
#include "protocol.hpp"

#include <memory>
#include <string>
#include <vector>

namespace vboard {

class FaultPlan;

class Testbed {
public:
    // Where the board's sysfs filesystem is mounted, as the program sees it:
    // the platform bus, where the kernel puts the SoC's devices.
    static constexpr const char* sysfs_mount_point = "/sys/devices/platform";

    // Makes the testbed in TMPDIR if that is set, else in memory (the user's
    // runtime directory or /dev/shm, whichever is a tmpfs: a board is set up
    // and torn down in a few milliseconds less than on a disk's filesystem,
    // whose journal sees every file), else in /tmp. Throws BoardError
    // (board.hpp) when it cannot.
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // The directory that stands for the board's /.
    const std::string& root() const { return root_; }

    // A node of the board and the model behind it.
    struct Node {
        std::string name; // "spidev3.0"
        DeviceNode& model;
        FaultPlan& faults;
        unsigned major;
        unsigned minor;
    };

    // A character device node /dev/NAME of `subsystem`, served by `node`.
    // With no subsystem, the node alone, without a device in the testbed's
    // sysfs (where the device's own directory is the board's sysfs).
    void add_node(const std::string& name, const std::string& subsystem, const std::string& major_minor,
                  DeviceNode& node, FaultPlan& faults);

    // The node /dev/NAME, or null.
    Node* node(const std::string& name);
    // One call of a program on `node`, with what a fault plan injects, on
    // the run's thread with the devices' lock held.
    static void serve(Node& node, NodeCall& call, wire::NodeOp op);
    // What fstat() shows of a descriptor of `node`: the same character
    // device as a stat() of its path.
    wire::NodeStat stat(const Node& node) const;

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
    std::vector<std::string> environment(const std::string& channel, const std::string& nodes,
                                         const std::string& clock) const;

private:
    std::string root_;
    std::unique_ptr<Janitor> janitor_;
    std::vector<std::unique_ptr<Node>> nodes_;
};

} // namespace vboard
