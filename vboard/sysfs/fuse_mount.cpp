#define FUSE_USE_VERSION 312
#include "fuse_mount.hpp"

#include "../board.hpp"

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

// libfuse's own complaints (a failed mount, say), kept for the error message.
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

struct stat stat_of(const SysfsTree::Node& node)
{
    struct stat st {};
    st.st_ino = node.ino;
    // sysfs shows every attribute as a page long, whatever its value.
    st.st_mode = (node.directory ? S_IFDIR : S_IFREG) | node.mode;
    st.st_nlink = node.directory ? 2 : 1;
    st.st_size = node.directory ? 0 : 4096;
    st.st_blksize = 4096;
    st.st_uid = geteuid();
    st.st_gid = getegid();
    st.st_atime = st.st_mtime = st.st_ctime = board_start;
    return st;
}

fuse_entry_param entry_of(const SysfsTree::Node& node)
{
    fuse_entry_param e{};
    e.ino = node.ino;
    e.attr = stat_of(node);
    e.attr_timeout = node.transient ? 0 : lasting_seconds;
    e.entry_timeout = e.attr_timeout;
    return e;
}

} // namespace

// The kernel's requests, one function each. Those a program makes of a file
// go past the board's DeviceCalls (refused with EIO once the run has
// stopped the program).
struct FuseRequests {
    static SysfsMount& mount(fuse_req_t req) { return *static_cast<SysfsMount*>(fuse_req_userdata(req)); }

    static void lookup(fuse_req_t req, fuse_ino_t parent, const char* name)
    {
        const auto node = mount(req).tree_.lookup(parent, name);
        if (!node) {
            fuse_reply_err(req, ENOENT);
            return;
        }
        const fuse_entry_param e = entry_of(*node);
        fuse_reply_entry(req, &e);
    }

    static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*)
    {
        const auto node = mount(req).tree_.node(ino);
        if (!node) {
            fuse_reply_err(req, ENOENT);
            return;
        }
        const struct stat st = stat_of(*node);
        fuse_reply_attr(req, &st, node->transient ? 0 : lasting_seconds);
    }

    // Truncation (a shell's `>`) and the like change nothing in sysfs.
    static void setattr(fuse_req_t req, fuse_ino_t ino, struct stat*, int, fuse_file_info* fi)
    {
        getattr(req, ino, fi);
    }

    static void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
    {
        SysfsMount& m = mount(req);
        if (!m.calls_.before()) {
            fuse_reply_err(req, EIO);
            return;
        }
        SysfsTree::Listing listing = m.tree_.list(ino);
        if (listing.error != 0) {
            fuse_reply_err(req, listing.error);
            return;
        }
        fi->fh = m.next_listing_++;
        m.listings_.emplace(fi->fh, std::move(listing));
        m.calls_.after();
        fuse_reply_open(req, fi);
    }

    static void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi)
    {
        SysfsMount& m = mount(req);
        const auto it = m.listings_.find(fi->fh);
        if (it == m.listings_.end()) {
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
                st.st_ino = at == 0 ? ino : SysfsTree::root_ino;
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
        mount(req).listings_.erase(fi->fh);
        fuse_reply_err(req, 0);
    }

    static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
    {
        SysfsMount& m = mount(req);
        std::uint64_t file = 0;
        if (!m.calls_.before()) {
            fuse_reply_err(req, EIO);
            return;
        }
        const int error = m.tree_.open(ino, fi->flags, file);
        m.calls_.after();
        if (error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        fi->fh = file;
        // Every read() and write() comes here as the program made it: no
        // page cache, and the offset is the program's own.
        fi->direct_io = 1;
        fi->keep_cache = 0;
        fuse_reply_open(req, fi);
    }

    static void read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi)
    {
        SysfsMount& m = mount(req);
        std::string data;
        int error = 0;
        if (!m.calls_.before()) {
            fuse_reply_err(req, EIO);
            return;
        }
        const long n = m.tree_.read(fi->fh, static_cast<std::uint64_t>(offset), size, data, error);
        m.calls_.after();
        if (n < 0) {
            fuse_reply_err(req, error);
            return;
        }
        fuse_reply_buf(req, data.data(), data.size());
    }

    static void write(fuse_req_t req, fuse_ino_t, const char* buffer, size_t size, off_t, fuse_file_info* fi)
    {
        SysfsMount& m = mount(req);
        int error = 0;
        if (!m.calls_.before()) {
            fuse_reply_err(req, EIO);
            return;
        }
        const long n = m.tree_.write(fi->fh, std::string_view(buffer, size), error);
        m.calls_.after();
        if (n < 0) {
            fuse_reply_err(req, error);
            return;
        }
        fuse_reply_write(req, static_cast<size_t>(n));
    }

    static void flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
    {
        SysfsMount& m = mount(req);
        if (!m.calls_.before()) {
            fuse_reply_err(req, EIO);
            return;
        }
        m.tree_.flush(fi->fh, !m.exiting(fuse_req_ctx(req)->pid));
        m.calls_.after();
        fuse_reply_err(req, 0);
    }

    static void release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
    {
        mount(req).tree_.release(fi->fh);
        fuse_reply_err(req, 0);
    }

    // Nothing can be made in sysfs: the VFS says EACCES to a file's
    // creation (no create()), EPERM to the rest.
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
        ops.lookup = lookup;
        ops.getattr = getattr;
        ops.setattr = setattr;
        ops.opendir = opendir;
        ops.readdir = readdir;
        ops.releasedir = releasedir;
        ops.open = open;
        ops.read = read;
        ops.write = write;
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

SysfsMount::SysfsMount(SysfsTree& tree, std::string mount_point, DeviceCalls& calls)
    : tree_(tree), mount_point_(std::move(mount_point)), calls_(calls)
{
    if (access("/dev/fuse", F_OK) != 0) {
        throw BoardError("the board's sysfs needs FUSE, and /dev/fuse is missing: load the fuse module "
                         "(modprobe fuse), or start the container with /dev/fuse "
                         "(docker run --device /dev/fuse --cap-add SYS_ADMIN)");
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        throw BoardError("the board's sysfs needs FUSE, and /dev/fuse is not open to this user: Debian makes it "
                         "read-write for everyone (mode 0666); as root, chmod 0666 /dev/fuse, or run vboard as root");
    }
    fuse_set_log_func(keep_complaint);
    const char* argv[] = {"vboard", "-o", "default_permissions,fsname=vboard,subtype=sysfs"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    const fuse_lowlevel_ops ops = FuseRequests::operations();
    session_ = fuse_session_new(&args, &ops, sizeof ops, this);
    fuse_opt_free_args(&args); // what option parsing added to them
    if (session_ == nullptr || fuse_session_mount(session_, mount_point_.c_str()) != 0) {
        const std::string why = fuse_complaint.empty() ? "" : " (" + fuse_complaint + ")";
        if (session_ != nullptr) {
            fuse_session_destroy(session_);
        }
        throw BoardError("cannot mount the board's sysfs on " + mount_point_ + why +
                         (geteuid() != 0 ? "; as a normal user this needs fusermount3 (Debian package fuse3)" : ""));
    }
    stop_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { serve(); });
}

SysfsMount::~SysfsMount()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(stop_, &one, sizeof one);
    thread_.join();
    close(stop_);
    if (stat_fd_ >= 0) {
        close(stat_fd_);
    }
    fuse_session_unmount(session_);
    fuse_session_destroy(session_);
}

// True while the process is ending: the kernel then closes its files for
// it, and that is no close() the program made. An ending process has let
// its memory go before its files (do_exit() calls exit_mm() before
// exit_files()), and /proc/PID/statm shows no memory at all then: a much
// cheaper read than the PF_EXITING flag in /proc/PID/stat. The file of the
// last process asked about stays open: a program mostly closes files from
// one process, and a pread() of it is one system call where an open, a read
// and a close are three.
bool SysfsMount::exiting(pid_t pid)
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

cpu_set_t SysfsMount::cpus() const
{
    cpu_set_t set;
    CPU_ZERO(&set);
    pthread_getaffinity_np(const_cast<std::thread&>(thread_).native_handle(), sizeof set, &set);
    return set;
}

void SysfsMount::run_on(const cpu_set_t& cpus)
{
    pthread_setaffinity_np(thread_.native_handle(), sizeof cpus, &cpus);
}

void SysfsMount::serve()
{
    fuse_buf buffer{};
    const int fd = fuse_session_fd(session_);
    // A request can go between poll() and read() (a process killed while
    // it waits for its answer takes it back): a blocking read would then
    // wait for the next one, maybe for ever, and the mount could not stop.
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
            break; // unmounted from outside
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        if (fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            break;
        }
    }
    std::free(buffer.mem);
}

} // namespace vboard
