#include "testbed.hpp"

#include "faults.hpp"
#include "protocol.hpp"

#include <linux/magic.h>
#include <sys/statfs.h>
#include <umockdev.h>
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

// umockdev 0.17.16 hands a zero-length read() or write() on a node to the
// board correctly (i2c-dev makes it an address-only transfer), but on its
// way asks GLib to read zero bytes of payload into no buffer, and GLib
// complains on vboard's standard error, in the middle of the program's
// output. That one complaint is dropped; every other message of GLib stays.
void quiet_empty_payload_complaint()
{
    static const bool installed = [] {
        g_log_set_handler(
            "GLib-GIO", static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
            [](const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer data) {
                if (std::strstr(message, "g_input_stream_read_all: assertion 'buffer != NULL' failed") == nullptr) {
                    g_log_default_handler(domain, level, message, data);
                }
            },
            nullptr);
        return true;
    }();
    static_cast<void>(installed);
}

bool is_writable_tmpfs(const char* dir)
{
    struct statfs fs{};
    return dir != nullptr && dir[0] == '/' && statfs(dir, &fs) == 0 && fs.f_type == TMPFS_MAGIC &&
           access(dir, W_OK | X_OK) == 0;
}

} // namespace

void Testbed::prefer_memory_for_testbeds()
{
    if (std::getenv("TMPDIR") != nullptr) {
        return;
    }
    const std::array<const char*, 2> candidates{std::getenv("XDG_RUNTIME_DIR"), "/dev/shm"};
    for (const char* dir : candidates) {
        if (is_writable_tmpfs(dir)) {
            // umockdev makes its testbed in GLib's temporary directory, which
            // GLib reads from TMPDIR once and keeps.
            setenv("TMPDIR", dir, 1);
            g_get_tmp_dir();
            unsetenv("TMPDIR");
            return;
        }
    }
}

// A device node and the umockdev handler that feeds it.
struct Testbed::NodeBinding {
    Testbed* testbed;
    std::string name; // "spidev3.0"
    DeviceNode* node;
    FaultPlan* faults;
    UMockdevIoctlBase* handler = nullptr;
    std::vector<UMockdevIoctlClient*> open_files; // one reference each

    // The open files whose last descriptor has been closed, told to the
    // node as closed. umockdev notices a closed connection on its own time;
    // the kernel releases the file as the last descriptor goes, so before
    // the next open of the node every connection already closed counts.
    void sweep(bool all)
    {
        for (auto it = open_files.begin(); it != open_files.end();) {
            if (all || !umockdev_ioctl_client_get_connected(*it)) {
                node->closed(*it);
                g_object_unref(*it);
                it = open_files.erase(it);
            } else {
                ++it;
            }
        }
    }
};

Testbed::Testbed(std::mutex& devices_lock, DeviceCalls& calls) : devices_lock_(devices_lock), calls_(calls)
{
    quiet_empty_payload_complaint();
    testbed_ = umockdev_testbed_new();
    gchar* dir = umockdev_testbed_get_root_dir(testbed_);
    root_ = dir;
    g_free(dir);
    janitor_ = std::make_unique<Janitor>(root_, root_ + sysfs_mount_point);
}

Testbed::~Testbed()
{
    for (const auto& node : nodes_) {
        umockdev_testbed_detach_ioctl(testbed_, ("/dev/" + node->name).c_str(), nullptr);
        g_object_unref(node->handler);
        std::lock_guard guard(devices_lock_);
        node->sweep(true);
    }
    g_object_unref(testbed_);
}

void Testbed::add_node(const std::string& name, const std::string& subsystem, const std::string& major_minor,
                       DeviceNode& node, FaultPlan& faults)
{
    const std::string devname = "/dev/" + name;
    if (!subsystem.empty()) {
        gchar* syspath = umockdev_testbed_add_device(testbed_, subsystem.c_str(), name.c_str(), nullptr, "dev",
                                                     major_minor.c_str(), nullptr, "DEVNAME", devname.c_str(),
                                                     nullptr);
        g_free(syspath);
    } else {
        // Only the node: its major:minor where umockdev's preload looks for
        // it to show the file as a character device.
        fs::create_directories(root_ + "/dev/.node");
        fs::create_symlink(major_minor, root_ + "/dev/.node/" + name);
    }
    // umockdev records the node's major:minor but leaves the node itself to
    // us; an empty file is enough, as umockdev answers every call on it.
    std::ofstream(root_ + devname);

    auto binding = std::make_unique<NodeBinding>(NodeBinding{this, name, &node, &faults, nullptr, {}});
    binding->handler = umockdev_ioctl_base_new();
    using Callback = gboolean (*)(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer);
    const Callback on_ioctl = [](UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) -> gboolean {
        auto& b = *static_cast<NodeBinding*>(data);
        NodeCall call(client);
        b.testbed->serve(b, call, NodeOp::ioctl);
        return TRUE;
    };
    const Callback on_read = [](UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) -> gboolean {
        auto& b = *static_cast<NodeBinding*>(data);
        NodeCall call(client);
        b.testbed->serve(b, call, NodeOp::read);
        return TRUE;
    };
    const Callback on_write = [](UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) -> gboolean {
        auto& b = *static_cast<NodeBinding*>(data);
        NodeCall call(client);
        b.testbed->serve(b, call, NodeOp::write);
        return TRUE;
    };
    // A connection is one open file of the node: umockdev makes it at
    // open() and drops it when the last descriptor of it is closed.
    using Notify = void (*)(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer);
    const Notify on_connect = [](UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        auto& b = *static_cast<NodeBinding*>(data);
        std::lock_guard guard(b.testbed->devices_lock_);
        b.sweep(false);
        b.open_files.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)));
        b.node->opened(client);
    };
    const Notify on_vanish = [](UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        auto& b = *static_cast<NodeBinding*>(data);
        std::lock_guard guard(b.testbed->devices_lock_);
        const auto it = std::find(b.open_files.begin(), b.open_files.end(), client);
        if (it != b.open_files.end()) {
            b.node->closed(client);
            g_object_unref(client);
            b.open_files.erase(it);
        }
    };
    g_signal_connect(binding->handler, "client-connected", G_CALLBACK(on_connect), binding.get());
    g_signal_connect(binding->handler, "client-vanished", G_CALLBACK(on_vanish), binding.get());
    g_signal_connect(binding->handler, "handle-ioctl", G_CALLBACK(on_ioctl), binding.get());
    g_signal_connect(binding->handler, "handle-read", G_CALLBACK(on_read), binding.get());
    g_signal_connect(binding->handler, "handle-write", G_CALLBACK(on_write), binding.get());
    umockdev_testbed_attach_ioctl(testbed_, devname.c_str(), binding->handler, nullptr);
    nodes_.push_back(std::move(binding));
}

// On umockdev's thread. Every call on a node takes the devices' lock: the
// run loop and the sysfs filesystem reach the same models.
void Testbed::serve(NodeBinding& binding, NodeCall& call, NodeOp op)
{
    if (!calls_.before()) {
        call.complete(-1, EIO);
        call.answer();
        return;
    }
    {
        std::lock_guard guard(devices_lock_);
        switch (op) {
        case NodeOp::ioctl:
            binding.node->ioctl(call, binding.faults->ioctl_error(binding.name, call.request()));
            break;
        case NodeOp::read:
            binding.node->read(call);
            break;
        case NodeOp::write:
            binding.node->write(call);
            break;
        }
        if (!call.completed()) {
            call.complete(-1, EIO);
        }
    }
    calls_.after();
    call.answer();
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

std::vector<std::string> Testbed::environment(const std::string& channel, const std::string& clock) const
{
    std::vector<std::string> env;
    std::string asan_options = "verify_asan_link_order=0";
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name == "LD_PRELOAD" || name == "UMOCKDEV_DIR" || name == "MRAA_JSON_PLATFORM" ||
            name == wire::channel_variable || name == wire::clock_variable) {
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
    env.push_back(std::string("LD_PRELOAD=") + VBOARD_PRELOAD_LIBRARY + ":libumockdev-preload.so.0");
    env.push_back("UMOCKDEV_DIR=" + root_);
    env.push_back(std::string("MRAA_JSON_PLATFORM=") + VBOARD_BOARD_JSON);
    env.push_back(std::string(wire::channel_variable) + "=" + channel);
    env.push_back(std::string(wire::clock_variable) + "=" + clock);
    // A sanitized program cannot have its runtime first in line behind preloads.
    env.push_back("ASAN_OPTIONS=" + asan_options);
    return env;
}

} // namespace vboard
