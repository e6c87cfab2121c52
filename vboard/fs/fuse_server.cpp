#define FUSE_USE_VERSION 312
#include "fuse_server.hpp"

#include "../board.hpp"
#include "user_memory.hpp"

#include <fuse_lowlevel.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vboard {

namespace {

// How long the kernel may keep what it learnt of an entry that lasts for the
// board's whole life; transient ones (a PWM channel's files) are never kept,
// so that export and unexport show at once.
constexpr double lasting_seconds = 3600;

// libfuse's own complaints, kept for the error message.
thread_local std::string fuse_complaint;

void keep_complaint(enum fuse_log_level, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    fuse_complaint = text;
    while (!fuse_complaint.empty() && fuse_complaint.back() == '\n') {
        fuse_complaint.pop_back();
    }
}

const std::time_t board_start = std::time(nullptr);

struct stat stat_of(const FsTree::Entry& entry)
{
    struct stat st {};
    st.st_ino = entry.ino;
    switch (entry.kind) {
    case FsTree::Kind::directory:
        st.st_mode = S_IFDIR | entry.mode;
        st.st_nlink = 2;
        break;
    case FsTree::Kind::link:
        st.st_mode = S_IFLNK | entry.mode;
        st.st_size = static_cast<off_t>(entry.size);
        break;
    case FsTree::Kind::node:
        // A FUSE file can only be a regular file: a character device's
        // inode would send its opens to the PC's driver of that number.
        st.st_mode = S_IFREG | entry.mode;
        break;
    case FsTree::Kind::file:
    case FsTree::Kind::attribute:
        // sysfs shows every attribute as a page long, whatever its value.
        st.st_mode = S_IFREG | entry.mode;
        st.st_size = 4096;
        break;
    }
    st.st_nlink = st.st_nlink == 0 ? 1 : st.st_nlink;
    st.st_blksize = 4096;
    st.st_uid = geteuid();
    st.st_gid = getegid();
    st.st_atime = st.st_mtime = st.st_ctime = board_start;
    return st;
}

fuse_entry_param entry_of(const FsTree::Entry& entry)
{
    fuse_entry_param e{};
    e.ino = entry.ino;
    e.attr = stat_of(entry);
    e.attr_timeout = entry.transient ? 0 : lasting_seconds;
    e.entry_timeout = e.attr_timeout;
    return e;
}

} // namespace

// The kernel's requests, one function each. Those a program makes of a file
// go past the board's DeviceCalls (refused with EIO once the run has
// stopped the program); the tree and the devices behind it are reached with
// the devices' lock held.
struct FuseRequests {
    static FuseServer& server(fuse_req_t req) { return *static_cast<FuseServer*>(fuse_req_userdata(req)); }

    // Runs `work` as one call of the program's: false if the run refused it.
    template <typename Work>
    static bool device_call(FuseServer& s, Work work, bool opens = false)
    {
        if (!s.calls_.before(opens)) {
            return false;
        }
        {
            std::lock_guard guard(s.devices_lock_);
            work();
        }
        s.calls_.after();
        return true;
    }

    static void init(void*, fuse_conn_info* conn)
    {
        // The board's links never change: the kernel may keep their targets.
        if ((conn->capable & FUSE_CAP_CACHE_SYMLINKS) != 0) {
            conn->want |= FUSE_CAP_CACHE_SYMLINKS;
        }
    }

    static void lookup(fuse_req_t req, fuse_ino_t parent, const char* name)
    {
        FuseServer& s = server(req);
        std::optional<FsTree::Place> found;
        {
            std::lock_guard guard(s.devices_lock_);
            found = s.tree_.lookup(parent, name);
        }
        if (!found) {
            fuse_reply_err(req, ENOENT);
            return;
        }
        const fuse_entry_param e = entry_of(found->entry);
        fuse_reply_entry(req, &e);
    }

    static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*)
    {
        FuseServer& s = server(req);
        std::optional<FsTree::Place> found;
        {
            std::lock_guard guard(s.devices_lock_);
            found = s.tree_.place(ino);
        }
        if (!found) {
            fuse_reply_err(req, ENOENT);
            return;
        }
        const struct stat st = stat_of(found->entry);
        fuse_reply_attr(req, &st, found->entry.transient ? 0 : lasting_seconds);
    }

    // Truncation (a shell's `>`) and the like change nothing in sysfs or a node.
    static void setattr(fuse_req_t req, fuse_ino_t ino, struct stat*, int, fuse_file_info* fi)
    {
        getattr(req, ino, fi);
    }

    static void readlink(fuse_req_t req, fuse_ino_t ino)
    {
        FuseServer& s = server(req);
        std::string target;
        {
            std::lock_guard guard(s.devices_lock_);
            const auto found = s.tree_.place(ino);
            if (found && found->entry.kind == FsTree::Kind::link) {
                target = *found->text;
            }
        }
        if (target.empty()) {
            fuse_reply_err(req, EINVAL);
            return;
        }
        fuse_reply_readlink(req, target.c_str());
    }

    static void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
    {
        FuseServer& s = server(req);
        FsTree::Listing listing;
        if (!device_call(s, [&] { listing = s.tree_.list(ino); }, true)) {
            fuse_reply_err(req, EIO);
            return;
        }
        if (listing.error != 0) {
            fuse_reply_err(req, listing.error);
            return;
        }
        fi->fh = s.next_listing_++;
        s.listings_.emplace(fi->fh, std::move(listing));
        fuse_reply_open(req, fi);
    }

    static void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi)
    {
        FuseServer& s = server(req);
        const auto it = s.listings_.find(fi->fh);
        if (it == s.listings_.end()) {
            fuse_reply_err(req, EBADF);
            return;
        }
        const auto& entries = it->second.entries;
        std::string buffer(size, '\0');
        std::size_t used = 0;
        // Entries 0 and 1 are "." and "..", then the listing.
        for (auto at = static_cast<std::size_t>(offset); at < entries.size() + 2; ++at) {
            struct stat st {};
            const char* name = at == 0 ? "." : "..";
            if (at >= 2) {
                st = stat_of(entries[at - 2].second);
                name = entries[at - 2].first.c_str();
            } else {
                st.st_ino = at == 0 ? ino : FsTree::root_ino;
                st.st_mode = S_IFDIR;
            }
            const std::size_t needed = fuse_add_direntry(req, nullptr, 0, name, nullptr, 0);
            if (used + needed > size) {
                break;
            }
            fuse_add_direntry(req, buffer.data() + used, size - used, name, &st, static_cast<off_t>(at + 1));
            used += needed;
        }
        fuse_reply_buf(req, buffer.data(), used);
    }

    static void releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
    {
        server(req).listings_.erase(fi->fh);
        fuse_reply_err(req, 0);
    }

    static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
    {
        FuseServer& s = server(req);
        std::uint64_t file = 0;
        int error = ENOENT; // a file that vanished since the program looked it up
        bool stream = false;
        const bool allowed = device_call(s, [&] {
            if (const auto found = s.tree_.place(ino)) {
                error = s.files_.open(*found, fi->flags, file);
                stream = error == 0 && s.files_.stream(file);
            }
        }, true);
        if (!allowed || error != 0) {
            fuse_reply_err(req, allowed ? error : EIO);
            return;
        }
        fi->fh = file;
        // Every read() and write() comes here as the program made it: no
        // page cache, and the offset is the program's own.
        fi->direct_io = 1;
        fi->keep_cache = 0;
        fi->nonseekable = stream ? 1 : 0;
        fuse_reply_open(req, fi);
    }

    static void read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi)
    {
        FuseServer& s = server(req);
        const ProcessMemory memory(fuse_req_ctx(req)->pid);
        std::string data;
        int error = 0;
        long n = -1;
        if (!device_call(s, [&] {
                n = s.files_.read(fi->fh, static_cast<std::uint64_t>(offset), size, (fi->flags & O_NONBLOCK) != 0,
                                  memory, data, error);
            })) {
            fuse_reply_err(req, EIO);
            return;
        }
        if (n < 0) {
            fuse_reply_err(req, error);
            return;
        }
        fuse_reply_buf(req, data.data(), data.size());
    }

    static void write(fuse_req_t req, fuse_ino_t, const char* buffer, size_t size, off_t, fuse_file_info* fi)
    {
        FuseServer& s = server(req);
        const ProcessMemory memory(fuse_req_ctx(req)->pid);
        int error = 0;
        long n = -1;
        if (!device_call(s, [&] {
                n = s.files_.write(fi->fh, std::string_view(buffer, size), (fi->flags & O_NONBLOCK) != 0, memory,
                                   error);
            })) {
            fuse_reply_err(req, EIO);
            return;
        }
        if (n < 0) {
            fuse_reply_err(req, error);
            return;
        }
        fuse_reply_write(req, static_cast<size_t>(n));
    }

    // A request on a node, as the kernel passes it for a file of a FUSE
    // filesystem: the request and the argument as the program gave them,
    // and for a request that encodes its size and direction, what the
    // kernel copied in. What the driver writes back it copies to the
    // program itself, so that a fault there is the driver's EFAULT.
    static void ioctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void* arg, fuse_file_info* fi, unsigned flags,
                      const void* in_buf, size_t in_bufsz, size_t)
    {
        FuseServer& s = server(req);
        if ((flags & FUSE_IOCTL_DIR) != 0) {
            fuse_reply_err(req, ENOTTY);
            return;
        }
        const ProcessMemory memory(fuse_req_ctx(req)->pid);
        const std::span<const std::uint8_t> copied_in(static_cast<const std::uint8_t*>(in_buf), in_bufsz);
        int error = 0;
        long result = -1;
        if (!device_call(s, [&] {
                result = s.files_.ioctl(fi->fh, cmd, reinterpret_cast<std::uintptr_t>(arg), copied_in,
                                        (flags & FUSE_IOCTL_COMPAT) != 0, memory, error);
            })) {
            fuse_reply_err(req, EIO);
            return;
        }
        if (result < 0) {
            fuse_reply_err(req, error);
            return;
        }
        fuse_reply_ioctl(req, static_cast<int>(result), nullptr, 0);
    }

    // `ph` comes with a caller that will wait unless it is ready now. No
    // node makes a caller wait in real time (a scan is made in virtual
    // time as soon as someone waits for it), so nothing is ever notified.
    static void poll(fuse_req_t req, fuse_ino_t, fuse_file_info* fi, fuse_pollhandle* ph)
    {
        FuseServer& s = server(req);
        unsigned events = 0;
        const bool allowed = device_call(s, [&] { events = s.files_.poll(fi->fh, ph != nullptr); });
        if (ph != nullptr) {
            fuse_pollhandle_destroy(ph);
        }
        if (!allowed) {
            fuse_reply_err(req, EIO);
            return;
        }
        fuse_reply_poll(req, events);
    }

    static void flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
    {
        FuseServer& s = server(req);
        const bool by_program = !s.exiting(fuse_req_ctx(req)->pid);
        if (!device_call(s, [&] { s.files_.flush(fi->fh, by_program); })) {
            fuse_reply_err(req, EIO);
            return;
        }
        fuse_reply_err(req, 0);
    }

    static void release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
    {
        FuseServer& s = server(req);
        {
            std::lock_guard guard(s.devices_lock_);
            s.files_.release(fi->fh);
        }
        fuse_reply_err(req, 0);
    }

    // Nothing can be made in sysfs or among the nodes: the VFS says EACCES
    // to a file's creation (no create()), EPERM to the rest.
    static void create(fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) { fuse_reply_err(req, EACCES); }
    static void mknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { fuse_reply_err(req, EPERM); }
    static void mkdir(fuse_req_t req, fuse_ino_t, const char*, mode_t) { fuse_reply_err(req, EPERM); }
    static void remove(fuse_req_t req, fuse_ino_t, const char*) { fuse_reply_err(req, EPERM); }
    static void symlink(fuse_req_t req, const char*, fuse_ino_t, const char*) { fuse_reply_err(req, EPERM); }
    static void link(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { fuse_reply_err(req, EPERM); }
    static void rename(fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned)
    {
        fuse_reply_err(req, EPERM);
    }

    static fuse_lowlevel_ops operations()
    {
        fuse_lowlevel_ops ops{};
        ops.init = init;
        ops.lookup = lookup;
        ops.getattr = getattr;
        ops.setattr = setattr;
        ops.readlink = readlink;
        ops.opendir = opendir;
        ops.readdir = readdir;
        ops.releasedir = releasedir;
        ops.open = open;
        ops.read = read;
        ops.write = write;
        ops.ioctl = ioctl;
        ops.poll = poll;
        ops.flush = flush;
        ops.release = release;
        ops.create = create;
        ops.mknod = mknod;
        ops.mkdir = mkdir;
        ops.unlink = remove;
        ops.rmdir = remove;
        ops.symlink = symlink;
        ops.link = link;
        ops.rename = rename;
        return ops;
    }
};

FuseServer::FuseServer(int device, FsTree& tree, OpenFiles& files, std::mutex& devices_lock, DeviceCalls& calls)
    : tree_(tree), files_(files), devices_lock_(devices_lock), calls_(calls)
{
    fuse_set_log_func(keep_complaint);
    const char* argv[] = {"vboard"};
    fuse_args args = FUSE_ARGS_INIT(1, const_cast<char**>(argv));
    const fuse_lowlevel_ops ops = FuseRequests::operations();
    session_ = fuse_session_new(&args, &ops, sizeof ops, this);
    fuse_opt_free_args(&args); // what option parsing added to them
    // "/dev/fd/N": the connection is open already, and mounted where the
    // namespace wants it; libfuse only serves it.
    const std::string connection = "/dev/fd/" + std::to_string(device);
    if (session_ == nullptr || fuse_session_mount(session_, connection.c_str()) != 0) {
        const std::string why = fuse_complaint.empty() ? "" : " (" + fuse_complaint + ")";
        if (session_ != nullptr) {
            fuse_session_destroy(session_);
        }
        close(device);
        throw BoardError("cannot serve the board's filesystem" + why);
    }
    stop_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { serve(); });
}

FuseServer::~FuseServer()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(stop_, &one, sizeof one);
    thread_.join();
    close(stop_);
    if (stat_fd_ >= 0) {
        close(stat_fd_);
    }
    // Closing the connection aborts whatever a process still waits for.
    fuse_session_destroy(session_);
    std::lock_guard guard(devices_lock_);
    files_.release_all();
}

// An ending process has let its memory go before its files (do_exit()
// calls exit_mm() before exit_files()), and /proc/PID/statm shows no memory
// at all then: a much cheaper read than the PF_EXITING flag in
// /proc/PID/stat. The file of the last process asked about stays open: a
// program mostly closes files from one process, and a pread() of it is one
// system call where an open, a read and a close are three.
bool FuseServer::exiting(pid_t pid)
{
    char text[1024];
    ssize_t n = -1;
    for (int attempt = 0; attempt < 2 && n < 0; ++attempt) {
        if (pid != stat_pid_ || attempt > 0) {
            // A file of a process that has ended reads as an error, even
            // when a new process has its id: open the new one's.
            if (stat_fd_ >= 0) {
                close(stat_fd_);
            }
            char path[64];
            std::snprintf(path, sizeof path, "/proc/%d/statm", static_cast<int>(pid));
            stat_fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
            stat_pid_ = pid;
        }
        n = stat_fd_ >= 0 ? pread(stat_fd_, text, sizeof text - 1, 0) : -1;
    }
    if (n < 0) {
        return true; // gone already
    }
    text[n] = '\0';
    return std::strtoul(text, nullptr, 10) == 0; // the first field: its size in pages
}

void FuseServer::serve()
{
    fuse_buf buffer{};
    const int fd = fuse_session_fd(session_);
    // A request can go between poll() and read() (a process killed while
    // it waits for its answer takes it back): a blocking read would then
    // wait for the next one, maybe for ever, and the server could not stop.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    // The next request is mostly there already once one is answered (the
    // program, woken by the answer, ran on to its next call): the thread
    // reads first and waits only when there is none.
    for (;;) {
        const int n = fuse_session_receive_buf(session_, &buffer);
        if (n > 0) {
            fuse_session_process_buf(session_, &buffer);
            continue;
        }
        if (n == -EINTR) {
            continue;
        }
        if (n != -EAGAIN) {
            break; // the namespace and its mount have gone
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        if (fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            break;
        }
    }
    std::free(buffer.mem);
}

} // namespace vboard
