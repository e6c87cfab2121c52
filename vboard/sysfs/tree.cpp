#include "tree.hpp"

#include "../events.hpp"
#include "../faults.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>

namespace vboard {

namespace {

// A store() gets at most one page (kernfs_fop_write_iter).
constexpr std::size_t page_size = 4096;

// True if `path` lies below `directory` ("" is the tree's root); `rest` is then the part below it.
bool below(std::string_view path, std::string_view directory, std::string_view& rest)
{
    if (directory.empty()) {
        rest = path;
        return !path.empty();
    }
    if (path.size() <= directory.size() || path.compare(0, directory.size(), directory) != 0 ||
        path[directory.size()] != '/') {
        return false;
    }
    rest = path.substr(directory.size() + 1);
    return true;
}

// The first component of a relative path.
std::string_view first_component(std::string_view path)
{
    return path.substr(0, path.find('/'));
}

unsigned file_mode(const AttributeFile& file)
{
    return (file.readable ? 0444u : 0u) | (file.writable ? 0200u : 0u);
}

} // namespace

SysfsTree::SysfsTree(std::string mount_path, Recorder& recorder, FaultPlan& faults, std::mutex& devices_lock)
    : mount_path_(std::move(mount_path)), recorder_(recorder), faults_(faults), lock_(devices_lock)
{
    paths_.emplace_back(); // the root
    inos_.emplace("", root_ino);
}

void SysfsTree::add_device(std::string directory, std::string name, std::string alias, SysfsDevice& model)
{
    std::lock_guard guard(lock_);
    devices_.push_back(Device{std::move(directory), std::move(name), std::move(alias), &model});
}

std::optional<std::string> SysfsTree::device_at(const std::string& canonical_path) const
{
    for (const auto& device : devices_) {
        if (path_within(canonical_path, canonical(device.directory))) {
            return device.name;
        }
    }
    return std::nullopt;
}

std::string SysfsTree::canonical(const std::string& path) const
{
    return path.empty() ? mount_path_ : mount_path_ + "/" + path;
}

bool SysfsTree::hidden(const std::string& path) const
{
    const std::string full = canonical(path);
    for (const auto& absent : faults_.absent_paths()) {
        if (path_within(full, absent)) {
            return true;
        }
    }
    return false;
}

SysfsTree::Ino SysfsTree::ino_of(const std::string& path)
{
    const auto [it, added] = inos_.emplace(path, paths_.size() + 1);
    if (added) {
        paths_.push_back(path);
    }
    return it->second;
}

std::optional<SysfsTree::Place> SysfsTree::find(const std::string& path)
{
    if (hidden(path)) {
        return std::nullopt;
    }
    const Node directory{0, true, 0755, false};
    if (path.empty()) {
        return Place{directory, nullptr, "", {}};
    }
    for (auto& device : devices_) {
        std::string_view rest;
        if (path == device.directory || below(device.directory, path, rest)) {
            return Place{directory, &device, "", {}};
        }
        if (!below(path, device.directory, rest)) {
            continue;
        }
        // In the device: a file it declares, or a directory above some.
        std::optional<Place> found;
        bool transient_only = true;
        for (const auto& file : device.model->attributes()) {
            std::string_view inside;
            if (file.path == rest) {
                return Place{Node{0, false, file_mode(file), file.transient}, &device, std::string(rest), file};
            }
            if (below(file.path, rest, inside)) {
                found = Place{directory, &device, std::string(rest), {}};
                transient_only = transient_only && file.transient;
            }
        }
        if (found) {
            found->node.transient = transient_only;
        }
        return found;
    }
    return std::nullopt;
}

std::optional<SysfsTree::Node> SysfsTree::lookup(Ino parent, std::string_view name)
{
    std::lock_guard guard(lock_);
    if (parent == 0 || parent > paths_.size()) {
        return std::nullopt;
    }
    const std::string& base = paths_[parent - 1];
    const std::string path = base.empty() ? std::string(name) : base + "/" + std::string(name);
    auto place = find(path);
    if (!place) {
        return std::nullopt;
    }
    place->node.ino = ino_of(path);
    return place->node;
}

std::optional<SysfsTree::Node> SysfsTree::node(Ino ino)
{
    std::lock_guard guard(lock_);
    if (ino == 0 || ino > paths_.size()) {
        return std::nullopt;
    }
    auto place = find(paths_[ino - 1]);
    if (!place) {
        return std::nullopt;
    }
    place->node.ino = ino;
    return place->node;
}

SysfsTree::Listing SysfsTree::list(Ino ino)
{
    std::lock_guard guard(lock_);
    Listing listing;
    const auto place = ino == 0 || ino > paths_.size() ? std::nullopt : find(paths_[ino - 1]);
    if (!place) {
        listing.error = ENOENT;
        return listing;
    }
    if (!place->node.directory) {
        listing.error = ENOTDIR;
        return listing;
    }
    const std::string path = paths_[ino - 1];
    if (faults_.denied(canonical(path))) {
        listing.error = EACCES;
        return listing;
    }
    // The next component of every device directory and file below this one.
    std::vector<std::string> names;
    auto add = [&names](std::string_view rest) {
        const std::string name(first_component(rest));
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    };
    for (const auto& device : devices_) {
        std::string_view rest;
        if (below(device.directory, path, rest)) {
            add(rest);
        } else if (path == device.directory || below(path, device.directory, rest)) {
            const std::string inside = path == device.directory ? "" : std::string(rest);
            for (const auto& file : device.model->attributes()) {
                std::string_view below_here;
                if (below(file.path, inside, below_here)) {
                    add(below_here);
                }
            }
        }
    }
    for (const auto& name : names) {
        const std::string child = path.empty() ? name : path + "/" + name;
        if (auto found = find(child)) {
            found->node.ino = ino_of(child);
            listing.entries.emplace_back(name, found->node);
        }
    }
    return listing;
}

int SysfsTree::open(Ino ino, int flags, std::uint64_t& file)
{
    std::lock_guard guard(lock_);
    const auto place = ino == 0 || ino > paths_.size() ? std::nullopt : find(paths_[ino - 1]);
    if (!place) {
        return ENOENT; // a file that vanished since the program looked it up
    }
    if (place->node.directory) {
        return EISDIR;
    }
    const std::string path = canonical(paths_[ino - 1]);
    Device& device = *place->device;
    const std::string shown_path = device.alias + "/" + place->attr;
    // kernfs_fop_open: reading needs a show(), writing a store().
    const int access = flags & O_ACCMODE;
    int error = 0;
    if (faults_.denied(path)) {
        error = EACCES;
    } else if ((access != O_WRONLY && !place->file.readable) || (access != O_RDONLY && !place->file.writable)) {
        error = EACCES;
    }
    recorder_.record(FileEvent{recorder_.now(), device.name, shown_path, FileEvent::Op::open, error});
    if (error != 0) {
        return error;
    }
    file = next_file_++;
    files_.emplace(file, OpenFile{&device, place->attr, path, std::nullopt});
    return 0;
}

long SysfsTree::read(std::uint64_t file, std::uint64_t offset, std::size_t count, std::string& data, int& error)
{
    std::lock_guard guard(lock_);
    const auto it = files_.find(file);
    if (it == files_.end()) {
        error = EBADF;
        return -1;
    }
    OpenFile& open_file = it->second;
    // A read from the start is the driver showing its value afresh; the
    // reads that follow only pick up the rest of it.
    const bool fresh = offset == 0 || !open_file.shown;
    if (fresh) {
        std::optional<std::string> value = open_file.device->model->show(open_file.attr, error);
        if (!value) {
            recorder_.record(SysfsAccess{recorder_.now(), open_file.device->name, open_file.attr, SysfsAccess::Op::read,
                                         "", -1, error});
            return -1;
        }
        if (value->size() > page_size) {
            value->resize(page_size);
        }
        open_file.shown = std::move(value);
    }
    const std::string& shown = *open_file.shown;
    data = offset < shown.size() ? shown.substr(static_cast<std::size_t>(offset), count) : "";
    if (fresh) {
        recorder_.record(SysfsAccess{recorder_.now(), open_file.device->name, open_file.attr, SysfsAccess::Op::read, data,
                                     static_cast<long>(data.size()), 0});
    }
    return static_cast<long>(data.size());
}

long SysfsTree::write(std::uint64_t file, std::string_view bytes, int& error)
{
    std::lock_guard guard(lock_);
    const auto it = files_.find(file);
    if (it == files_.end()) {
        error = EBADF;
        return -1;
    }
    if (bytes.empty()) {
        return 0; // sysfs_kf_write: nothing to store
    }
    bytes = bytes.substr(0, page_size);
    OpenFile& open_file = it->second;
    error = faults_.write_refused(open_file.canonical_path) ? EINVAL
                                                            : open_file.device->model->store(open_file.attr, bytes);
    const long result = error == 0 ? static_cast<long>(bytes.size()) : -1;
    recorder_.record(SysfsAccess{recorder_.now(), open_file.device->name, open_file.attr, SysfsAccess::Op::write,
                                 std::string(bytes), result, error});
    return result;
}

void SysfsTree::flush(std::uint64_t file, bool by_program)
{
    std::lock_guard guard(lock_);
    const auto it = files_.find(file);
    if (it != files_.end() && by_program) {
        const OpenFile& open_file = it->second;
        recorder_.record(FileEvent{recorder_.now(), open_file.device->name,
                                   open_file.device->alias + "/" + open_file.attr, FileEvent::Op::close, 0});
    }
}

void SysfsTree::release(std::uint64_t file)
{
    std::lock_guard guard(lock_);
    files_.erase(file);
}

} // namespace vboard
