#include "testbed.hpp"

#include "board.hpp"
#include "faults.hpp"
#include "protocol.hpp"

#include <ftw.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace vboard {

namespace fs = std::filesystem;

namespace {

bool is_writable_tmpfs(const char* dir)
{
    struct statfs fs{};
    return dir != nullptr && dir[0] == '/' && statfs(dir, &fs) == 0 && fs.f_type == TMPFS_MAGIC &&
           access(dir, W_OK | X_OK) == 0;
}

std::string testbeds_directory()
{
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir != nullptr && tmpdir[0] != '\0') {
        return tmpdir;
    }
    for (const char* dir : std::array<const char*, 2>{std::getenv("XDG_RUNTIME_DIR"), "/dev/shm"}) {
        if (is_writable_tmpfs(dir)) {
            return dir;
        }
    }
    return "/tmp";
}

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream file(path);
    file << text;
    if (!file.flush()) {
        throw BoardError("cannot write " + path + ": " + std::strerror(errno));
    }
}

// Removes the testbed, never past a file system mounted in it (the board's
// sysfs, if it could not be unmounted): what is below that is not ours.
void remove_testbed(const std::string& root)
{
    nftw(
        root.c_str(),
        [](const char* path, const struct stat*, int type, FTW*) {
            if (type == FTW_DP) {
                rmdir(path); // after what it holds
            } else if (type == FTW_F || type == FTW_SL || type == FTW_SLN) {
                unlink(path);
            }
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

} // namespace

Testbed::Testbed()
{
    std::string pattern = testbeds_directory() + "/vboard.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw BoardError("cannot make the board's directory " + pattern + ": " + std::strerror(errno) +
                         " (TMPDIR names where it goes)");
    }
    root_ = pattern;
    janitor_ = std::make_unique<Janitor>(root_, root_ + sysfs_mount_point);
    fs::create_directories(root_ + "/dev/.node");
    fs::create_directories(root_ + "/sys");
}

Testbed::~Testbed()
{
    remove_testbed(root_);
    if (access(root_.c_str(), F_OK) != 0) {
        janitor_->dismiss();
    }
}

// umockdev's preload shows a file of the testbed's /dev as the character
// device whose major:minor the link dev/.node/NAME holds. A device of a
// subsystem also has its directory in /sys/devices with the attributes
// and links the kernel's driver core gives it (dev, uevent, subsystem,
// /sys/class/SUBSYSTEM/NAME, /sys/dev/char/MAJOR:MINOR).
void Testbed::add_node(const std::string& name, const std::string& subsystem, const std::string& major_minor,
                       DeviceNode& node, FaultPlan& faults)
{
    unsigned major = 0;
    unsigned minor = 0;
    std::sscanf(major_minor.c_str(), "%u:%u", &major, &minor);
    if (!subsystem.empty()) {
        const std::string device = "/sys/devices/" + name;
        fs::create_directories(root_ + device);
        write_file(root_ + device + "/dev", major_minor + "\n");
        write_file(root_ + device + "/uevent", "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) +
                                                   "\nDEVNAME=" + name + "\n");
        add_link(device + "/subsystem", "../../class/" + subsystem);
        add_link("/sys/class/" + subsystem + "/" + name, "../../devices/" + name);
        add_link("/sys/dev/char/" + major_minor, "../../devices/" + name);
    }
    fs::create_symlink(major_minor, root_ + "/dev/.node/" + name);
    // An empty file stands for the node itself. A program never reads or
    // writes it: our preload connects each open of it to the board instead.
    write_file(root_ + "/dev/" + name, "");
    nodes_.push_back(std::make_unique<Node>(Node{name, node, faults, major, minor}));
}

Testbed::Node* Testbed::node(const std::string& name)
{
    for (const auto& n : nodes_) {
        if (n->name == name) {
            return n.get();
        }
    }
    return nullptr;
}

void Testbed::serve(Node& node, NodeCall& call, wire::NodeOp op)
{
    switch (op) {
    case wire::NodeOp::ioctl:
        node.model.ioctl(call, node.faults.ioctl_error(node.name, call.request()));
        break;
    case wire::NodeOp::read:
        node.model.read(call);
        break;
    case wire::NodeOp::write:
        node.model.write(call);
        break;
    default:
        call.complete(-1, EINVAL);
        break;
    }
    if (!call.completed()) {
        call.complete(-1, EIO);
    }
}

wire::NodeStat Testbed::stat(const Node& node) const
{
    struct stat file{};
    const auto permissions = ::stat((root_ + "/dev/" + node.name).c_str(), &file) == 0 ? file.st_mode & 07777 : 0600;
    return wire::NodeStat{node.major, node.minor, static_cast<std::uint32_t>(S_IFCHR | permissions), 0};
}

void Testbed::add_directory(const std::string& path)
{
    fs::create_directories(root_ + path);
}

void Testbed::add_link(const std::string& path, const std::string& target)
{
    const fs::path link = root_ + path;
    fs::create_directories(link.parent_path());
    fs::create_symlink(target, link);
}

std::string Testbed::canonical(const std::string& path, const std::string& stop_at) const
{
    if (path.empty() || path.front() != '/') {
        return path;
    }
    // Component by component, following the testbed's links as the kernel
    // would, but only inside the testbed and never into a mount point.
    std::vector<std::string> resolved;
    std::vector<std::string> pending;
    for (const auto& part : fs::path(path).relative_path()) {
        pending.push_back(part.string());
    }
    std::reverse(pending.begin(), pending.end());
    int links_followed = 0;
    auto joined = [&resolved] {
        std::string text;
        for (const auto& part : resolved) {
            text += "/" + part;
        }
        return text.empty() ? std::string("/") : text;
    };
    while (!pending.empty()) {
        const std::string part = pending.back();
        pending.pop_back();
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (resolved.empty()) {
                return path; // above the board's /
            }
            resolved.pop_back();
            continue;
        }
        resolved.push_back(part);
        const std::string here = joined();
        if (path_within(here, stop_at)) {
            continue;
        }
        std::error_code error;
        const fs::path target = fs::read_symlink(root_ + here, error);
        if (error) {
            continue; // not a link (or not there): taken as it is
        }
        if (++links_followed > 40 || target.is_absolute()) {
            return path; // a loop, or a link out of the board
        }
        resolved.pop_back();
        std::vector<std::string> parts;
        for (const auto& p : target) {
            parts.push_back(p.string());
        }
        pending.insert(pending.end(), parts.rbegin(), parts.rend());
    }
    return joined();
}

void Testbed::remove(const std::string& canonical_path, const std::string& keep)
{
    if (path_within(canonical_path, keep)) {
        return; // the mount's own business
    }
    std::error_code ignored;
    if (!path_within(keep, canonical_path)) {
        fs::remove_all(root_ + canonical_path, ignored);
        return;
    }
    // Above the mount point: everything but the way down to it.
    for (const auto& entry : fs::directory_iterator(root_ + canonical_path, ignored)) {
        const std::string child = canonical_path + (canonical_path == "/" ? "" : "/") + entry.path().filename().string();
        remove(child, keep);
    }
}

std::vector<std::string> Testbed::environment(const std::string& channel, const std::string& nodes,
                                              const std::string& clock) const
{
    std::vector<std::string> env;
    std::string asan_options = "verify_asan_link_order=0";
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name == "LD_PRELOAD" || name == "UMOCKDEV_DIR" || name == "MRAA_JSON_PLATFORM" ||
            name == wire::channel_variable || name == wire::nodes_variable || name == wire::clock_variable) {
            continue;
        }
        if (name == "ASAN_OPTIONS") {
            asan_options = entry.substr(name.size() + 1) + ":" + asan_options;
            continue;
        }
        env.push_back(entry);
    }
    // Our preload first: umockdev's reaches libc through dlsym, so a wrapper
    // listed after it would never see the program's calls.
    env.push_back(std::string("LD_PRELOAD=") + VBOARD_PRELOAD_LIBRARY + ":" + VBOARD_UMOCKDEV_PRELOAD);
    env.push_back("UMOCKDEV_DIR=" + root_);
    env.push_back(std::string("MRAA_JSON_PLATFORM=") + VBOARD_BOARD_JSON);
    env.push_back(std::string(wire::channel_variable) + "=" + channel);
    env.push_back(std::string(wire::nodes_variable) + "=" + nodes);
    env.push_back(std::string(wire::clock_variable) + "=" + clock);
    // A sanitized program cannot have its runtime first in line behind preloads.
    env.push_back("ASAN_OPTIONS=" + asan_options);
    return env;
}

} // namespace vboard
