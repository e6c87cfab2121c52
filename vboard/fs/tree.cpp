#include "tree.hpp"

#include "../faults.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace vboard {

namespace {

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

std::string parent_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string join(const std::string& directory, std::string_view name)
{
    return directory.empty() ? std::string(name) : directory + "/" + std::string(name);
}

FsTree::Place at(const FsTree::Entry& entry)
{
    FsTree::Place place;
    place.entry = entry;
    return place;
}

unsigned file_mode(const AttributeFile& file)
{
    return (file.readable ? 0444u : 0u) | (file.writable ? 0200u : 0u);
}

// i2c-dev, spidev and the IIO core make their nodes for root alone, as udev
// leaves them without a rule of the board's own.
constexpr unsigned node_mode = 0600;

} // namespace

FsTree::FsTree(const FaultPlan& faults) : faults_(faults)
{
    paths_.emplace_back(); // the root
    inos_.emplace("", root_ino);
}

void FsTree::add_directory(const std::string& path)
{
    for (std::string p = path; !p.empty(); p = parent_of(p)) {
        fixed_.emplace(p, Fixed{Kind::directory, ""});
    }
}

void FsTree::add_link(const std::string& path, std::string target)
{
    add_directory(parent_of(path));
    fixed_[path] = Fixed{Kind::link, std::move(target)};
}

void FsTree::add_file(const std::string& path, std::string text)
{
    add_directory(parent_of(path));
    fixed_[path] = Fixed{Kind::file, std::move(text)};
}

void FsTree::add_device(Device device)
{
    add_directory(parent_of(device.directory));
    devices_.push_back(std::move(device));
}

void FsTree::add_node(Node node)
{
    add_directory("dev");
    nodes_.push_back(std::move(node));
}

std::vector<std::string> FsTree::node_names() const
{
    std::vector<std::string> names;
    for (const Node& node : nodes_) {
        if (!hidden("dev/" + node.name)) {
            names.push_back(node.name);
        }
    }
    return names;
}

std::string FsTree::canonical(const std::string& path) const
{
    if (path.empty() || path.front() != '/') {
        return path;
    }
    // Component by component, following the tree's links as the kernel
    // would, but only inside the board.
    std::vector<std::string> resolved;
    std::vector<std::string> pending;
    for (const auto& part : std::filesystem::path(path).relative_path()) {
        pending.push_back(part.string());
    }
    std::reverse(pending.begin(), pending.end());
    int links_followed = 0;
    const auto joined = [&resolved] {
        std::string text;
        for (const auto& part : resolved) {
            text += (text.empty() ? "" : "/") + part;
        }
        return text;
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
        const auto fixed = fixed_.find(joined());
        if (fixed == fixed_.end() || fixed->second.kind != Kind::link) {
            continue;
        }
        const std::filesystem::path target(fixed->second.text);
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
    return "/" + joined();
}

// What an absent= fault names, and a link that leads there (or to a
// device an absent= fault took away).
bool FsTree::hidden(const std::string& path) const
{
    if (faults_.absent_paths().empty()) {
        return false;
    }
    const std::string shown = canonical("/" + path);
    for (const auto& absent : faults_.absent_paths()) {
        if (path_within(shown, absent)) {
            return true;
        }
    }
    return false;
}

FsTree::Ino FsTree::ino_of(const std::string& path)
{
    const auto [it, added] = inos_.emplace(path, paths_.size() + 1);
    if (added) {
        paths_.push_back(path);
    }
    return it->second;
}

std::optional<FsTree::Place> FsTree::find(const std::string& path) const
{
    if (hidden(path)) {
        return std::nullopt;
    }
    const Entry directory{0, Kind::directory, 0755, false, 0};
    if (path.empty()) {
        return at(directory);
    }
    if (const auto fixed = fixed_.find(path); fixed != fixed_.end()) {
        Place place = at(directory);
        if (fixed->second.kind == Kind::link) {
            place.entry = Entry{0, Kind::link, 0777, false, fixed->second.text.size()};
            place.text = &fixed->second.text;
        } else if (fixed->second.kind == Kind::file) {
            place.entry = Entry{0, Kind::file, 0444, false, 0};
            place.text = &fixed->second.text;
        }
        return place;
    }
    for (const Node& node : nodes_) {
        if (path == "dev/" + node.name) {
            Place place = at(Entry{0, Kind::node, node_mode, false, 0});
            place.node = &node;
            return place;
        }
    }
    for (const Device& device : devices_) {
        std::string_view rest;
        if (path == device.directory || below(device.directory, path, rest)) {
            Place place = at(directory);
            place.device = &device;
            return place;
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
                Place place = at(Entry{0, Kind::attribute, file_mode(file), file.transient, 0});
                place.device = &device;
                place.attr = std::string(rest);
                place.file = file;
                return place;
            }
            if (below(file.path, rest, inside)) {
                found = at(directory);
                found->device = &device;
                found->attr = std::string(rest);
                transient_only = transient_only && file.transient;
            }
        }
        if (found) {
            found->entry.transient = transient_only;
        }
        return found;
    }
    return std::nullopt;
}

std::optional<FsTree::Place> FsTree::lookup(Ino parent, std::string_view name)
{
    if (parent == 0 || parent > paths_.size()) {
        return std::nullopt;
    }
    const std::string path = join(paths_[parent - 1], name);
    auto found = find(path);
    if (found) {
        found->entry.ino = ino_of(path);
        found->path = path;
    }
    return found;
}

std::optional<FsTree::Place> FsTree::place(Ino ino)
{
    if (ino == 0 || ino > paths_.size()) {
        return std::nullopt;
    }
    auto found = find(paths_[ino - 1]);
    if (found) {
        found->entry.ino = ino;
        found->path = paths_[ino - 1];
    }
    return found;
}

FsTree::Listing FsTree::list(Ino ino)
{
    Listing listing;
    const auto here = place(ino);
    if (!here) {
        listing.error = ENOENT;
        return listing;
    }
    if (here->entry.kind != Kind::directory) {
        listing.error = ENOTDIR;
        return listing;
    }
    const std::string path = paths_[ino - 1];
    if (faults_.denied(canonical("/" + path))) {
        listing.error = EACCES;
        return listing;
    }
    // The next component of every fixed entry, device directory, file and
    // node below this one, in the order they were declared.
    std::vector<std::string> names;
    const auto add = [&names](std::string_view rest) {
        const std::string name(first_component(rest));
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    };
    for (const auto& [fixed_path, fixed] : fixed_) {
        if (std::string_view rest; below(fixed_path, path, rest)) {
            add(rest);
        }
    }
    for (const Node& node : nodes_) {
        // `rest` points into the node's path: it must outlive the test.
        const std::string node_path = "dev/" + node.name;
        if (std::string_view rest; below(node_path, path, rest)) {
            add(rest);
        }
    }
    for (const Device& device : devices_) {
        std::string_view rest;
        if (below(device.directory, path, rest)) {
            add(rest);
        } else if (path == device.directory || below(path, device.directory, rest)) {
            const std::string inside = path == device.directory ? "" : std::string(rest);
            for (const auto& file : device.model->attributes()) {
                if (std::string_view below_here; below(file.path, inside, below_here)) {
                    add(below_here);
                }
            }
        }
    }
    for (const auto& name : names) {
        const std::string child = join(path, name);
        if (auto found = find(child)) {
            found->entry.ino = ino_of(child);
            listing.entries.emplace_back(name, found->entry);
        }
    }
    return listing;
}

} // namespace vboard
