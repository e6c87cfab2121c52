#include "open_files.hpp"

#include "../events.hpp"
#include "../faults.hpp"

#include <cerrno>
#include <fcntl.h>
#include <vector>

namespace vboard {

namespace {

// A store() gets at most one page (kernfs_fop_write_iter), and a show()
// fills at most one.
constexpr std::size_t page_size = 4096;

} // namespace

OpenFiles::OpenFiles(Recorder& recorder, FaultPlan& faults) : recorder_(recorder), faults_(faults) {}

std::string OpenFiles::device_name(const OpenFile& open_file) const
{
    return open_file.node != nullptr ? open_file.node->name : open_file.device != nullptr ? open_file.device->name : "";
}

std::string OpenFiles::shown_path(const OpenFile& open_file) const
{
    if (open_file.node != nullptr) {
        return "/dev/" + open_file.node->name;
    }
    return open_file.device->alias + "/" + open_file.attr;
}

int OpenFiles::open(const FsTree::Place& place, int flags, std::uint64_t& file)
{
    const int access = flags & O_ACCMODE;
    if (place.entry.kind == FsTree::Kind::file) {
        // The driver core's own read-only files, which a deny= fault
        // refuses as any other; nothing to record.
        if (access != O_RDONLY || faults_.denied("/" + place.path)) {
            return EACCES;
        }
        file = next_file_++;
        files_[file].text = place.text;
        return 0;
    }
    if (place.entry.kind == FsTree::Kind::node) {
        file = next_file_++;
        const int error = open_node(*place.node, file);
        if (error != 0) {
            files_.erase(file);
        }
        return error;
    }
    if (place.entry.kind != FsTree::Kind::attribute) {
        return EISDIR;
    }
    OpenFile open_file;
    open_file.device = place.device;
    open_file.attr = place.attr;
    open_file.canonical_path = "/" + place.device->directory + "/" + place.attr;
    // kernfs_fop_open: reading needs a show(), writing a store().
    int error = 0;
    if (faults_.denied(open_file.canonical_path)) {
        error = EACCES;
    } else if ((access != O_WRONLY && !place.file.readable) || (access != O_RDONLY && !place.file.writable)) {
        error = EACCES;
    }
    recorder_.record(FileEvent{recorder_.now(), device_name(open_file), shown_path(open_file), FileEvent::Op::open, error});
    if (error != 0) {
        return error;
    }
    file = next_file_++;
    files_.emplace(file, std::move(open_file));
    return 0;
}

// The driver's open(), which a deny= fault refuses as the permission
// check before it would.
int OpenFiles::open_node(const FsTree::Node& node, std::uint64_t file)
{
    OpenFile& open_file = files_[file];
    open_file.node = &node;
    open_file.canonical_path = "/dev/" + node.name;
    const int error = faults_.denied(open_file.canonical_path) ? EACCES : 0;
    recorder_.record(FileEvent{recorder_.now(), node.name, shown_path(open_file), FileEvent::Op::open, error});
    if (error == 0) {
        node.model->opened(&open_file);
    }
    return error;
}

bool OpenFiles::stream(std::uint64_t file) const
{
    const auto it = files_.find(file);
    return it != files_.end() && it->second.node != nullptr && it->second.node->model->stream();
}

long OpenFiles::read(std::uint64_t file, std::uint64_t offset, std::size_t count, bool nonblocking,
                     const UserMemory& memory, std::string& data, int& error)
{
    const auto it = files_.find(file);
    if (it == files_.end()) {
        error = EBADF;
        return -1;
    }
    OpenFile& open_file = it->second;
    if (open_file.text != nullptr) {
        const std::string& text = *open_file.text;
        data = offset < text.size() ? text.substr(static_cast<std::size_t>(offset), count) : "";
        return static_cast<long>(data.size());
    }
    if (open_file.node == nullptr) {
        return read_attribute(open_file, offset, count, data, error);
    }
    data.assign(count, '\0');
    NodeCall call(&open_file, memory, {reinterpret_cast<std::uint8_t*>(data.data()), data.size()}, nonblocking);
    const long n = call_node(open_file, call, false, error);
    data.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return n;
}

// A read from the start is the driver showing its value afresh; the reads
// that follow only pick up the rest of it.
long OpenFiles::read_attribute(OpenFile& open_file, std::uint64_t offset, std::size_t count, std::string& data,
                               int& error)
{
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

long OpenFiles::write(std::uint64_t file, std::string_view bytes, bool nonblocking, const UserMemory& memory, int& error)
{
    const auto it = files_.find(file);
    if (it == files_.end() || it->second.text != nullptr) {
        error = EBADF;
        return -1;
    }
    OpenFile& open_file = it->second;
    if (open_file.node != nullptr) {
        std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
        NodeCall call(&open_file, memory, copy, nonblocking);
        return call_node(open_file, call, true, error);
    }
    if (bytes.empty()) {
        return 0; // sysfs_kf_write: nothing to store
    }
    bytes = bytes.substr(0, page_size);
    error = faults_.write_refused(open_file.canonical_path) ? EINVAL
                                                            : open_file.device->model->store(open_file.attr, bytes);
    const long result = error == 0 ? static_cast<long>(bytes.size()) : -1;
    recorder_.record(SysfsAccess{recorder_.now(), open_file.device->name, open_file.attr, SysfsAccess::Op::write,
                                 std::string(bytes), result, error});
    return result;
}

long OpenFiles::ioctl(std::uint64_t file, unsigned long request, std::uint64_t argument,
                      std::span<const std::uint8_t> copied_in, bool compat, const UserMemory& memory, int& error)
{
    const auto it = files_.find(file);
    if (it == files_.end() || it->second.node == nullptr) {
        error = ENOTTY; // sysfs attributes take no ioctl
        return -1;
    }
    OpenFile& open_file = it->second;
    NodeCall call(&open_file, memory, request, argument, copied_in, compat);
    open_file.node->model->ioctl(call, faults_.ioctl_error(open_file.node->name, request));
    if (!call.completed()) {
        call.complete(-1, EIO);
    }
    error = call.result() < 0 ? call.error() : 0;
    return call.result();
}

long OpenFiles::call_node(OpenFile& open_file, NodeCall& call, bool is_write, int& error)
{
    if (is_write) {
        open_file.node->model->write(call);
    } else {
        open_file.node->model->read(call);
    }
    if (!call.completed()) {
        call.complete(-1, EIO);
    }
    error = call.result() < 0 ? call.error() : 0;
    return call.result();
}

unsigned OpenFiles::poll(std::uint64_t file, bool waits)
{
    const auto it = files_.find(file);
    if (it == files_.end()) {
        return 0;
    }
    if (it->second.node == nullptr) {
        return default_poll_mask; // kernfs: an attribute nobody has notified
    }
    return it->second.node->model->poll(&it->second, waits);
}

void OpenFiles::flush(std::uint64_t file, bool by_program)
{
    const auto it = files_.find(file);
    if (it == files_.end() || !by_program || it->second.text != nullptr) {
        return;
    }
    recorder_.record(FileEvent{recorder_.now(), device_name(it->second), shown_path(it->second), FileEvent::Op::close, 0});
}

void OpenFiles::release(std::uint64_t file)
{
    const auto it = files_.find(file);
    if (it == files_.end()) {
        return;
    }
    if (it->second.node != nullptr) {
        it->second.node->model->closed(&it->second);
    }
    files_.erase(it);
}

void OpenFiles::release_all()
{
    while (!files_.empty()) {
        release(files_.begin()->first);
    }
}

} // namespace vboard
