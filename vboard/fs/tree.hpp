#pragma once

// The board's filesystem as the kernel would lay it out: the whole of its
// /sys (below "sys/") and its device nodes (below "dev/"), which the run's
// namespace puts at /sys and /dev/NAME. Paths here are relative to the
// tree's root ("sys/class/pwm/pwmchip0"); the program sees them with a
// leading slash.
//
//  - the driver core's part is fixed for the board's life: directories,
//    relative symbolic links (a class or bus entry to its device, /sys/dev/char
//    to a node's device) and read-only files of fixed text (dev, uevent, name);
//  - a device with behaviour (the IIO ADC, the PWM chip) owns its directory:
//    the attribute files its driver declares now, and subdirectories that
//    follow from their paths; files appear and vanish as the driver adds and
//    removes them (a PWM channel on export);
//  - a node (dev/i2c-0) is served by its driver's model;
//  - what an absent= fault names is not there, nor a link that would lead to it.
//
// It knows nothing of FUSE (fuse_server.hpp serves it) nor of open files
// (open_files.hpp).

#include "../devices/node.hpp"
#include "../devices/sysfs.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vboard {

class FaultPlan;

class FsTree {
public:
    using Ino = std::uint64_t;
    static constexpr Ino root_ino = 1;

    enum class Kind { directory, link, file, attribute, node };

    struct Entry {
        Ino ino;
        Kind kind;
        unsigned mode;  // permission bits: 0755 for a directory, 0644, 0444 or 0200 for an attribute, 0600 for a node
        bool transient; // may vanish while the board runs (never to be cached)
        std::size_t size; // a link's target length
    };

    // A device whose directory a driver fills: its path in the tree
    // ("sys/devices/platform/fc030000.adc/iio:device0"), its name in the
    // record ("iio:device0"), and the path programs usually reach it by
    // ("/sys/bus/iio/devices/iio:device0"), with which its files are recorded.
    struct Device {
        std::string directory;
        std::string name;
        std::string alias;
        SysfsDevice* model;
    };
    // A character device node dev/NAME.
    struct Node {
        std::string name; // "spidev3.0"
        DeviceNode* model;
        unsigned major;
        unsigned minor;
    };

    // Where a path of the tree lies, as a lookup finds it.
    struct Place {
        Entry entry{};
        std::string path;               // in the tree ("sys/...")
        const Device* device = nullptr; // in (or above) a device's directory
        std::string attr;               // the attribute's path below it
        AttributeFile file{};
        const Node* node = nullptr;
        const std::string* text = nullptr; // a fixed file's text, a link's target
    };

    explicit FsTree(const FaultPlan& faults);

    void add_directory(const std::string& path);
    void add_link(const std::string& path, std::string target);
    void add_file(const std::string& path, std::string text);
    void add_device(Device device);
    void add_node(Node node);

    // The nodes there are, for the namespace to put in /dev.
    std::vector<std::string> node_names() const;

    std::optional<Place> lookup(Ino parent, std::string_view name);
    std::optional<Place> place(Ino ino);
    // The path of an inode ("" for the root).
    const std::string& path_of(Ino ino) const { return paths_[ino - 1]; }

    // A directory's entries (names and what they are), or the errno of listing it.
    struct Listing {
        int error = 0;
        std::vector<std::pair<std::string, Entry>> entries;
    };
    Listing list(Ino directory);

    // The path as the program sees it ("/sys/class/pwm/pwmchip0/export"),
    // with `.`, `..` and the tree's links resolved, lexically: a path that
    // would leave the board is returned as given.
    std::string canonical(const std::string& path) const;

private:
    struct Fixed {
        Kind kind; // directory, link or file
        std::string text;
    };

    std::optional<Place> find(const std::string& path) const;
    bool hidden(const std::string& path) const;
    Ino ino_of(const std::string& path);

    const FaultPlan& faults_;
    std::map<std::string, Fixed> fixed_;
    std::vector<Device> devices_;
    std::vector<Node> nodes_;
    std::vector<std::string> paths_; // by ino - 1
    std::unordered_map<std::string, Ino> inos_;
};

} // namespace vboard
