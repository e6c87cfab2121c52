#pragma once

// The board's sysfs below one directory (the devices that have behaviour:
// the IIO ADC, the PWM chip), with the rules of the kernel's sysfs (kernfs):
//
//  - a device directory holds the attribute files its driver declares now,
//    and subdirectories follow from their paths; files appear and vanish as
//    the driver adds and removes them (a PWM channel on export);
//  - opening a file for reading needs a show(), for writing a store(),
//    whoever asks (EACCES, root included); nothing can be created, removed
//    or renamed;
//  - each open file has its own state: a read at offset 0 runs show() and
//    keeps the text, reads further on pick up the rest of that text;
//  - each write() is one store() of the bytes written (at most a page),
//    whatever the file offset; an empty write stores nothing;
//  - a driver's refusal is the write's errno (EINVAL, EBUSY, ENODEV...).
//
// It knows nothing of FUSE (sysfs/fuse_mount.hpp serves it): every call
// here is one request of a program, in the program's order, and the
// accesses are recorded as the devices saw them.

#include "../devices/sysfs.hpp"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vboard {

class Recorder;
class FaultPlan;

class SysfsTree {
public:
    using Ino = std::uint64_t;
    static constexpr Ino root_ino = 1;

    struct Node {
        Ino ino;
        bool directory;
        unsigned mode;  // permission bits: 0755 for a directory, 0644, 0444 or 0200 for a file
        bool transient; // may vanish while the board runs (never to be cached)
    };

    // `mount_path` is where the tree appears to programs, e.g. /sys/devices/platform.
    SysfsTree(std::string mount_path, Recorder& recorder, FaultPlan& faults, std::mutex& devices_lock);

    // `directory` is the device's directory below the tree's root
    // ("fc030000.adc/iio:device0"), `name` its name in the record
    // ("iio:device0"), `alias` the path programs usually reach it by
    // ("/sys/bus/iio/devices/iio:device0"), with which opens are recorded.
    void add_device(std::string directory, std::string name, std::string alias, SysfsDevice& model);

    const std::string& mount_path() const { return mount_path_; }

    // The name of the device whose directory holds `canonical_path` (a path
    // as programs see it), if any.
    std::optional<std::string> device_at(const std::string& canonical_path) const;

    std::optional<Node> lookup(Ino parent, std::string_view name);
    std::optional<Node> node(Ino ino);

    // A directory's entries (names and nodes), or the errno of opening it.
    struct Listing {
        int error = 0;
        std::vector<std::pair<std::string, Node>> entries;
    };
    Listing list(Ino directory);

    // The open files of programs, by a number of the tree's choosing.
    // open() returns 0 and sets `file`, or the errno.
    int open(Ino ino, int flags, std::uint64_t& file);
    // Bytes read (into `data`) or written, or -1 with `error` set.
    long read(std::uint64_t file, std::uint64_t offset, std::size_t count, std::string& data, int& error);
    long write(std::uint64_t file, std::string_view bytes, int& error);
    // A descriptor of the file closed: by the program's close() (recorded),
    // or by the kernel as the process ends. release() when its last
    // descriptor is gone.
    void flush(std::uint64_t file, bool by_program);
    void release(std::uint64_t file);

private:
    struct Device {
        std::string directory;
        std::string name;
        std::string alias;
        SysfsDevice* model;
    };
    // Where a path of the tree lies: a directory above or of a device, or
    // in a device (`attr` below its directory).
    struct Place {
        Node node;
        Device* device = nullptr;
        std::string attr;
        AttributeFile file{};
    };
    struct OpenFile {
        Device* device;
        std::string attr;
        std::string canonical_path;
        std::optional<std::string> shown; // the text of the last show()
    };

    std::optional<Place> find(const std::string& path);
    Ino ino_of(const std::string& path);
    std::string canonical(const std::string& path) const;
    bool hidden(const std::string& path) const;

    std::string mount_path_;
    Recorder& recorder_;
    FaultPlan& faults_;
    std::mutex& lock_;
    std::vector<Device> devices_;
    std::vector<std::string> paths_; // by ino - 1
    std::unordered_map<std::string, Ino> inos_;
    std::map<std::uint64_t, OpenFile> files_;
    std::uint64_t next_file_ = 1;
};

} // namespace vboard
