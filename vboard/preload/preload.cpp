// libvboard-preload.so: what only a process itself can tell the virtual
// board, loaded into every process of the program under test.
//
// umockdev (another preload) redirects /sys and /dev into the board's
// testbed, where sysfs is a FUSE filesystem with the kernel's rules. This
// library
// - reports every pause (sleep, usleep, nanosleep, clock_nanosleep on the
//   monotonic or the real-time clock, relative or absolute, and a poll() or
//   select() on no descriptor at all), which is how the board keeps virtual
//   time; waits for it, shortened by the board's speed; and cuts a pause
//   short with a signal when the board asks for one;
// - gives the program's clocks the board's virtual time (clock_gettime,
//   gettimeofday, time), so that what it measures is what the board counts;
// - catches syslog, which glibc would send to the host's /dev/log and so to
//   its console, and sends each message to the board instead;
// - reports the installation of signal handlers;
// - connects each open() of one of the board's nodes to the board, and
//   sends each ioctl(), read() and write() on it there as one message with
//   the memory the call reaches (see protocol.hpp); a bad pointer in it is
//   EFAULT, as from the kernel; fstat() on it shows the character device,
//   and a stdio stream on it reads and writes the same way;
// - keeps the PC's own device nodes out of reach (only harmless ones such as
//   /dev/null stay).
//
// Each process connects to the board on its own (VBOARD_CHANNEL names the
// socket), again after a fork, so no two processes share a request.
//
// It must come before umockdev's preload in LD_PRELOAD: umockdev reaches libc
// through dlopen/dlsym, so a wrapper listed after it would be bypassed.
// Without VBOARD_CHANNEL in the environment it passes everything through.

#include "../protocol.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/spi/spidev.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

using vboard::wire::Reply;
using vboard::wire::Request;
using vboard::wire::RequestHeader;

// --- The real functions ------------------------------------------------------

template <typename F>
F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);
using open_2_fn = int (*)(const char*, int);
using nanosleep_fn = int (*)(const timespec*, timespec*);
using clock_nanosleep_fn = int (*)(clockid_t, int, const timespec*, timespec*);
using clock_gettime_fn = int (*)(clockid_t, timespec*);
using gettimeofday_fn = int (*)(timeval*, void*);
using time_fn = time_t (*)(time_t*);
using poll_fn = int (*)(pollfd*, nfds_t, int);
using select_fn = int (*)(int, fd_set*, fd_set*, fd_set*, timeval*);
using sigaction_fn = int (*)(int, const struct sigaction*, struct sigaction*);
using signal_fn = sighandler_t (*)(int, sighandler_t);
using close_fn = int (*)(int);
using fopen_fn = FILE* (*)(const char*, const char*);
using ioctl_fn = int (*)(int, unsigned long, ...);
using read_fn = ssize_t (*)(int, void*, size_t);
using read_chk_fn = ssize_t (*)(int, void*, size_t, size_t);
using write_fn = ssize_t (*)(int, const void*, size_t);
using dup2_fn = int (*)(int, int);
using dup3_fn = int (*)(int, int, int);
using fclose_fn = int (*)(FILE*);
using fdopen_fn = FILE* (*)(int, const char*);
using dup_fn = int (*)(int);
using fcntl_fn = int (*)(int, int, ...);
using fstat_fn = int (*)(int, struct stat*);
using fstat64_fn = int (*)(int, struct stat64*);
using fxstat_fn = int (*)(int, int, struct stat*);
using fxstat64_fn = int (*)(int, int, struct stat64*);

// The next definition of each wrapped function (umockdev's or libc's),
// looked up on first use. Two threads racing here store the same
// value, so no lock is needed.
struct {
    open_fn open, open64;
    open_2_fn open_2, open64_2;
    openat_fn openat, openat64;
    nanosleep_fn nanosleep;
    clock_nanosleep_fn clock_nanosleep;
    clock_gettime_fn clock_gettime;
    gettimeofday_fn gettimeofday;
    time_fn time;
    poll_fn poll;
    select_fn select;
    sigaction_fn sigaction;
    signal_fn signal;
    fopen_fn fopen, fopen64;
    fclose_fn fclose;
    fdopen_fn fdopen;
    fstat_fn fstat;
    fstat64_fn fstat64;
    fxstat_fn __fxstat;
    fxstat64_fn __fxstat64;
} real_fns;

template <typename F>
F real(F& slot, const char* name)
{
    if (slot == nullptr) {
        slot = next<F>(name);
    }
    return slot;
}

#define REAL(name) real(real_fns.name, #name)

// --- The channel to the board -------------------------------------------------

pthread_mutex_t channel_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t node_lock = PTHREAD_MUTEX_INITIALIZER; // node_call's
int channel_fd = -1;
pid_t channel_pid = 0; // the process that connected channel_fd
bool off_board = false; // no VBOARD_CHANNEL, or the board cannot be reached

// Raw system calls: nothing that umockdev or a sanitizer wraps may stand
// between the process and the board.
long raw_getpid()
{
    return syscall(SYS_getpid);
}

// Connects this process to the board, once per process: a child of fork()
// must not use its parent's connection, where replies would cross. Called
// with channel_lock held. The program may not have run our constructor yet
// (libmraa logs from its own constructor), so this runs on first use.
bool connected()
{
    const auto pid = static_cast<pid_t>(raw_getpid());
    if (channel_pid == pid) {
        return channel_fd >= 0;
    }
    if (channel_pid != 0 && channel_fd >= 0) {
        syscall(SYS_close, channel_fd); // the parent's
    }
    channel_pid = pid;
    channel_fd = -1;
    const char* path = std::getenv(vboard::wire::channel_variable);
    sockaddr_un address{};
    if (path == nullptr || std::strlen(path) >= sizeof address.sun_path) {
        off_board = true;
        return false;
    }
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path);
    const long fd = syscall(SYS_socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    if (syscall(SYS_connect, fd, &address, sizeof address) != 0) {
        syscall(SYS_close, fd);
        return false;
    }
    channel_fd = static_cast<int>(fd);
    return true;
}

bool on_board()
{
    if (off_board) {
        return false;
    }
    pthread_mutex_lock(&channel_lock);
    const bool yes = connected();
    pthread_mutex_unlock(&channel_lock);
    return yes;
}

bool send_all(const void* data, std::size_t length)
{
    for (;;) {
        const long n = syscall(SYS_sendto, channel_fd, data, length, MSG_NOSIGNAL, nullptr, 0);
        if (n >= 0) {
            return static_cast<std::size_t>(n) == length;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

long receive(void* data, std::size_t length)
{
    for (;;) {
        const long n = syscall(SYS_recvfrom, channel_fd, data, length, 0, nullptr, nullptr);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

struct Message {
    RequestHeader header;
    char payload[vboard::wire::max_payload];
};

// Sends one request and waits for its reply. A board that has gone away
// leaves the program nothing sensible to run against: it ends at once.
Reply request(Request type, int fd, std::int64_t arg0, std::int64_t arg1, const void* payload = nullptr,
              std::size_t length = 0)
{
    static Message message;
    const int saved_errno = errno;
    pthread_mutex_lock(&channel_lock);
    if (!connected()) {
        _exit(125);
    }
    if (length > sizeof message.payload) {
        length = sizeof message.payload;
    }
    message.header = RequestHeader{type, fd, arg0, arg1, static_cast<std::uint32_t>(length), 0};
    if (length > 0) {
        std::memcpy(message.payload, payload, length);
    }
    Reply reply{};
    if (!send_all(&message, sizeof message.header + length) || receive(&reply, sizeof reply) != sizeof reply) {
        _exit(125);
    }
    pthread_mutex_unlock(&channel_lock);
    errno = saved_errno;
    return reply;
}

// A fork() while another thread held the lock leaves it held in the child.
__attribute__((constructor)) void start()
{
    pthread_atfork(nullptr, nullptr, [] {
        pthread_mutex_init(&channel_lock, nullptr);
        pthread_mutex_init(&node_lock, nullptr);
    });
}

// --- Device nodes ------------------------------------------------------------------

// What a path under /dev is to the program.
enum class DevicePath {
    none,       // not under /dev
    board_node, // one of the board's nodes, in the testbed: the board serves it
    host_node,  // one of the PC's harmless nodes (/dev/null, a terminal): reached as it is
    blocked,    // any other node of the PC (its disks, its I2C buses...): the board has no such thing
};

// `path` with `.` and `..` resolved as text, into `out`; false if too long.
bool lexical(const char* path, char (&out)[PATH_MAX])
{
    std::size_t length = 0;
    for (const char* part = path; *part != '\0';) {
        while (*part == '/') {
            ++part;
        }
        const char* end = part;
        while (*end != '\0' && *end != '/') {
            ++end;
        }
        const std::size_t size = static_cast<std::size_t>(end - part);
        if (size == 2 && part[0] == '.' && part[1] == '.') {
            while (length > 0 && out[--length] != '/') {
            }
        } else if (size > 0 && !(size == 1 && part[0] == '.')) {
            if (length + 1 + size >= sizeof out) {
                return false;
            }
            out[length++] = '/';
            std::memcpy(out + length, part, size);
            length += size;
        }
        part = end;
    }
    out[length] = '\0';
    return true;
}

DevicePath classify(const char* path)
{
    char resolved[PATH_MAX];
    if (path == nullptr || path[0] != '/' || !lexical(path, resolved) || std::strncmp(resolved, "/dev/", 5) != 0) {
        return DevicePath::none;
    }
    const char* testbed = std::getenv("UMOCKDEV_DIR");
    char node[PATH_MAX];
    if (testbed != nullptr && std::snprintf(node, sizeof node, "%s%s", testbed, resolved) < static_cast<int>(sizeof node) &&
        syscall(SYS_faccessat2, AT_FDCWD, node, F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
        return DevicePath::board_node;
    }
    static constexpr const char* harmless[] = {"null", "zero", "full", "random", "urandom", "tty", "ptmx",
                                               "stdin", "stdout", "stderr"};
    const char* name = resolved + 5;
    for (const char* h : harmless) {
        if (std::strcmp(name, h) == 0) {
            return DevicePath::host_node;
        }
    }
    static constexpr const char* harmless_directories[] = {"pts/", "fd/", "shm/"};
    for (const char* prefix : harmless_directories) {
        if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) {
            return DevicePath::host_node;
        }
    }
    return DevicePath::blocked;
}

// An open of a sysfs path that does not exist never reaches the board's
// sysfs filesystem; the board records it from here.
bool is_missing_attribute(const char* path, int fd)
{
    return fd < 0 && (errno == ENOENT || errno == ENOTDIR) && path != nullptr && std::strncmp(path, "/sys/", 5) == 0;
}

// After an open that failed: the board records an open of a sysfs path that
// is not there, and of a node of the PC's that it has not got.
int after_failed_open(const char* path, int flags, DevicePath kind)
{
    const int open_errno = errno;
    if ((kind == DevicePath::blocked || is_missing_attribute(path, -1)) && on_board()) {
        request(Request::open, -open_errno, flags, 0, path, std::strlen(path));
    }
    errno = open_errno;
    return -1;
}

// --- The board's nodes ------------------------------------------------------------
//
// The descriptor of an open node is a connection to the board (see
// protocol.hpp). Which descriptors are is known here for those this process
// opened, and found out on first use for the rest (a descriptor inherited
// through exec(), or made by dup()): a socket whose peer is the board's
// node socket.

enum class FdKind : unsigned char {
    unknown,
    other,
    node,        // a node's open file
    node_opened, // the same, by the descriptor open() gave: its close() is recorded
};

constexpr int max_fds = 4096; // beyond this, descriptors are taken for what they seem: not the board's
FdKind fd_kinds[max_fds];

const char* nodes_socket()
{
    static const char* path = std::getenv(vboard::wire::nodes_variable);
    return path;
}

// The C library's own functions, past umockdev's wrappers: a descriptor
// that is not one of the board's nodes has nothing for umockdev to do, and
// its wrappers block and unblock every signal around each call.
template <typename F>
F libc(const char* name)
{
    static void* handle = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    return reinterpret_cast<F>(dlsym(handle != nullptr ? handle : RTLD_NEXT, name));
}

#define LIBC(type, name)                                                  \
    ([]() {                                                               \
        static const auto fn = libc<type>(#name);                         \
        return fn;                                                        \
    }())

FdKind find_kind(int fd)
{
    struct stat st{};
    if (syscall(SYS_fstat, fd, &st) != 0) {
        return FdKind::unknown; // not open: nothing to remember
    }
    sockaddr_un peer{};
    socklen_t length = sizeof peer;
    const char* nodes = nodes_socket();
    if (!S_ISSOCK(st.st_mode) || nodes == nullptr || syscall(SYS_getpeername, fd, &peer, &length) != 0 ||
        length <= offsetof(sockaddr_un, sun_path)) {
        return FdKind::other;
    }
    return std::strncmp(peer.sun_path, nodes, sizeof peer.sun_path) == 0 ? FdKind::node : FdKind::other;
}

bool is_node(int fd)
{
    if (fd < 0 || fd >= max_fds) {
        return false;
    }
    if (fd_kinds[fd] == FdKind::unknown) {
        fd_kinds[fd] = find_kind(fd);
    }
    return fd_kinds[fd] == FdKind::node || fd_kinds[fd] == FdKind::node_opened;
}

void set_kind(int fd, FdKind kind)
{
    if (fd >= 0 && fd < max_fds) {
        fd_kinds[fd] = kind;
    }
}

// One call on a node: the request, the segment table and the bytes of the
// segments sent go out in one message straight from the program's memory,
// and the reply's bytes land straight in it. The kernel checks every
// pointer on the way: memory the program has not got is EFAULT, as a
// driver's copy_from_user() or copy_to_user() would say.
struct NodeCall {
    vboard::wire::NodeRequest request;
    vboard::wire::Segment table[vboard::wire::max_node_segments];
    iovec out[vboard::wire::max_node_segments + 2]; // request, table, the segments' bytes
    iovec in[vboard::wire::max_node_segments + 1];  // reply, the segments coming back
    vboard::wire::NodeReply reply;
    int outs = 0;
    int ins = 0;
    std::size_t sent = 0;
    std::size_t returned = 0;
    bool too_big = false; // a segment did not fit in a message: the board never sees it

    void start(vboard::wire::NodeOp op, int fd, std::uint64_t request_number, std::uint64_t argument)
    {
        // Only an open and a close say which process makes them (the board
        // records the close of the descriptor open() gave): a system call
        // less on every other call.
        const bool says_who = op == vboard::wire::NodeOp::open || op == vboard::wire::NodeOp::close;
        request = vboard::wire::NodeRequest{vboard::wire::node_magic,
                                            op,
                                            fd,
                                            says_who ? static_cast<std::int32_t>(raw_getpid()) : 0,
                                            0,
                                            request_number,
                                            argument,
                                            0};
        out[0] = {&request, sizeof request};
        out[1] = {table, 0};
        outs = 2;
        in[0] = {&reply, sizeof reply};
        ins = 1;
        sent = returned = 0;
        too_big = false;
    }

    void add(const void* address, std::size_t length, std::uint32_t flags)
    {
        const bool sends = (flags & vboard::wire::segment_in) != 0;
        const bool returns = (flags & vboard::wire::segment_out) != 0;
        if (request.segments == vboard::wire::max_node_segments || length > vboard::wire::max_node_message ||
            (sends && sent + length > vboard::wire::max_node_message) ||
            (returns && returned + length > vboard::wire::max_node_message)) {
            too_big = true;
            return;
        }
        auto* base = const_cast<void*>(address);
        table[request.segments++] = {reinterpret_cast<std::uintptr_t>(address), static_cast<std::uint32_t>(length), flags};
        out[1].iov_len += sizeof(vboard::wire::Segment);
        if (sends && length > 0) {
            out[outs++] = {base, length};
            sent += length;
        }
        if (returns && length > 0) {
            in[ins++] = {base, length};
            returned += length;
        }
    }
};

NodeCall node_call;

// Sends node_call on `fd` and waits for the reply: the call's result, or -1
// with errno.
long exchange(int fd)
{
    msghdr message{};
    message.msg_iov = node_call.out;
    message.msg_iovlen = static_cast<std::size_t>(node_call.outs);
    long n = 0;
    do {
        n = syscall(SYS_sendmsg, fd, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return errno == EFAULT ? -EFAULT : -EIO;
    }
    message = msghdr{};
    message.msg_iov = node_call.in;
    message.msg_iovlen = static_cast<std::size_t>(node_call.ins);
    for (;;) {
        n = syscall(SYS_recvmsg, fd, &message, 0);
        if (n >= 0 || (errno != EINTR && errno != EAGAIN)) {
            break;
        }
        if (errno == EAGAIN) {
            // The program made the descriptor non-blocking; the board answers
            // every call all the same.
            pollfd wait{fd, POLLIN, 0};
            syscall(SYS_poll, &wait, 1, -1);
        }
    }
    if (n < 0) {
        return errno == EFAULT ? -EFAULT : -EIO; // EFAULT: the memory to write the answer to is not the program's
    }
    if (static_cast<std::size_t>(n) < sizeof node_call.reply) {
        return -EIO; // the board has gone
    }
    if (node_call.reply.result < 0) {
        return -(node_call.reply.error != 0 ? node_call.reply.error : EIO);
    }
    return node_call.reply.result;
}

// Runs node_call on `fd` for the program: its result, or -1 with errno.
long finish_call(int fd)
{
    const long result = exchange(fd);
    pthread_mutex_unlock(&node_lock);
    if (result < 0) {
        errno = static_cast<int>(-result);
        return -1;
    }
    return result;
}

ssize_t node_transfer(int fd, vboard::wire::NodeOp op, const void* buffer, std::size_t count)
{
    pthread_mutex_lock(&node_lock);
    node_call.start(op, fd, 0, count);
    // The drivers' own limits are far below a message's (see protocol.hpp).
    const std::size_t length = std::min<std::size_t>(count, vboard::wire::max_node_message);
    node_call.add(buffer, length, op == vboard::wire::NodeOp::read ? vboard::wire::segment_out : vboard::wire::segment_in);
    return finish_call(fd);
}

// Copies `length` bytes of the program's memory at `address` into `to`, or
// false where the program has no such memory (never a crash here).
bool copy_in(void* to, const void* address, std::size_t length)
{
    iovec local{to, length};
    iovec remote{const_cast<void*>(address), length};
    return length == 0 || syscall(SYS_process_vm_readv, raw_getpid(), &local, 1, &remote, 1, 0) == static_cast<long>(length);
}

// The memory an I2C_RDWR reaches: the message set, the messages, and each
// message's buffer (sent back if it is read into).
bool add_i2c_messages(const void* arg)
{
    i2c_rdwr_ioctl_data set{};
    if (!copy_in(&set, arg, sizeof set)) {
        return false;
    }
    node_call.add(arg, sizeof set, vboard::wire::segment_in);
    if (set.nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) {
        return true; // refused by the board before it looks at them
    }
    static i2c_msg messages[I2C_RDWR_IOCTL_MAX_MSGS];
    if (!copy_in(messages, set.msgs, set.nmsgs * sizeof(i2c_msg))) {
        return false;
    }
    node_call.add(set.msgs, set.nmsgs * sizeof(i2c_msg), vboard::wire::segment_in);
    for (std::size_t i = 0; i < set.nmsgs; ++i) {
        const bool reads = (messages[i].flags & I2C_M_RD) != 0;
        node_call.add(messages[i].buf, messages[i].len,
                      vboard::wire::segment_in | (reads ? vboard::wire::segment_out : 0));
    }
    return true;
}

// I2C_SMBUS: the arguments, and the data block, which i2c-dev copies back
// for a read and for the two process calls.
bool add_smbus(const void* arg)
{
    i2c_smbus_ioctl_data args{};
    if (!copy_in(&args, arg, sizeof args)) {
        return false;
    }
    node_call.add(arg, sizeof args, vboard::wire::segment_in);
    if (args.data != nullptr) {
        const bool back = args.read_write == I2C_SMBUS_READ || args.size == I2C_SMBUS_PROC_CALL ||
                          args.size == I2C_SMBUS_BLOCK_PROC_CALL;
        node_call.add(args.data, sizeof(i2c_smbus_data),
                      vboard::wire::segment_in | (back ? vboard::wire::segment_out : 0));
    }
    return true;
}

// SPI_IOC_MESSAGE(n): the transfer records, each transfer's bytes out and
// the memory its bytes in land in.
bool add_spi_message(unsigned long request_number, const void* arg)
{
    static spi_ioc_transfer records[(1u << _IOC_SIZEBITS) / sizeof(spi_ioc_transfer)];
    const std::size_t size = _IOC_SIZE(request_number);
    if (!copy_in(records, arg, size)) {
        return false;
    }
    node_call.add(arg, size, vboard::wire::segment_in);
    for (std::size_t i = 0; i < size / sizeof(spi_ioc_transfer); ++i) {
        const spi_ioc_transfer& t = records[i];
        if (t.tx_buf != 0) {
            node_call.add(reinterpret_cast<const void*>(t.tx_buf), t.len, vboard::wire::segment_in);
        }
        if (t.rx_buf != 0) {
            node_call.add(reinterpret_cast<const void*>(t.rx_buf), t.len,
                          vboard::wire::segment_in | vboard::wire::segment_out);
        }
    }
    return true;
}

int node_ioctl(int fd, unsigned long request_number, void* arg)
{
    pthread_mutex_lock(&node_lock);
    node_call.start(vboard::wire::NodeOp::ioctl, fd, request_number, reinterpret_cast<std::uintptr_t>(arg));
    bool readable = true;
    if (request_number == I2C_RDWR) {
        readable = add_i2c_messages(arg);
    } else if (request_number == I2C_SMBUS) {
        readable = add_smbus(arg);
    } else if (request_number == I2C_FUNCS) {
        node_call.add(arg, sizeof(unsigned long), vboard::wire::segment_out);
    } else if (_IOC_TYPE(request_number) == SPI_IOC_MAGIC && _IOC_NR(request_number) == 0 &&
               _IOC_DIR(request_number) == _IOC_WRITE) {
        readable = add_spi_message(request_number, arg);
    } else if (_IOC_DIR(request_number) != _IOC_NONE && _IOC_SIZE(request_number) > 0) {
        // An ioctl that says its size and direction (_IOW: the program's
        // memory is read, _IOR: written).
        const std::uint32_t flags = ((_IOC_DIR(request_number) & _IOC_WRITE) != 0 ? vboard::wire::segment_in : 0) |
                                    ((_IOC_DIR(request_number) & _IOC_READ) != 0 ? vboard::wire::segment_out : 0);
        node_call.add(arg, _IOC_SIZE(request_number), flags);
    }
    if (!readable) {
        pthread_mutex_unlock(&node_lock);
        errno = EFAULT;
        return -1;
    }
    return static_cast<int>(finish_call(fd));
}

// The descriptor open() gave for a node is closed: the board records it (a
// descriptor made from it by dup() or fork() closes without a trace, as the
// open file lives on).
void node_closing(int fd)
{
    pthread_mutex_lock(&node_lock);
    node_call.start(vboard::wire::NodeOp::close, fd, 0, 0);
    finish_call(fd);
}

// Opens one of the board's nodes: a new connection to the board, which
// answers as the driver's open() would.
int open_node(const char* path, int flags)
{
    const char* nodes = nodes_socket();
    sockaddr_un address{};
    if (nodes == nullptr || std::strlen(nodes) >= sizeof address.sun_path) {
        errno = ENODEV;
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, nodes);
    const long fd = syscall(SYS_socket, AF_UNIX, SOCK_SEQPACKET | ((flags & O_CLOEXEC) != 0 ? SOCK_CLOEXEC : 0), 0);
    if (fd < 0) {
        return -1;
    }
    if (syscall(SYS_connect, fd, &address, sizeof address) != 0) {
        syscall(SYS_close, fd);
        errno = EIO; // the board has gone
        return -1;
    }
    const int descriptor = static_cast<int>(fd);
    pthread_mutex_lock(&node_lock);
    node_call.start(vboard::wire::NodeOp::open, descriptor, static_cast<std::uint32_t>(flags), 0);
    const std::size_t length = std::strlen(path);
    node_call.request.path_length = static_cast<std::uint32_t>(length);
    node_call.out[node_call.outs++] = {const_cast<char*>(path), length};
    if (finish_call(descriptor) < 0) {
        const int error = errno;
        syscall(SYS_close, descriptor);
        errno = error;
        return -1;
    }
    set_kind(descriptor, FdKind::node_opened);
    return descriptor;
}

mode_t mode_argument(int flags, va_list args)
{
    const bool has_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    return has_mode ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// The board's /sys, for the absolute `path` under it, in `out`: the testbed
// directory in front of the path, as umockdev's own wrappers make it.
bool testbed_sysfs_path(const char* path, char (&out)[PATH_MAX])
{
    if (path == nullptr || std::strncmp(path, "/sys", 4) != 0 || (path[4] != '/' && path[4] != '\0')) {
        return false;
    }
    const char* testbed = std::getenv("UMOCKDEV_DIR");
    return testbed != nullptr && std::snprintf(out, sizeof out, "%s%s", testbed, path) < static_cast<int>(sizeof out);
}

// Opens `path` with `real_open` unless it is a node of the board (connected
// to the board), a node of the PC's the board has not got, or a path under
// /sys, opened in the testbed straight away: umockdev's open() would make
// the same path, but blocks and unblocks every signal around it and looks
// whether its testbed has been disabled (vboard never disables it), four
// system calls more than a program's open() on the board. (Not asking
// umockdev at all also spares it failed opens of missing nodes, of which
// umockdev 0.17.16 keeps count: the 50th aborts the program.)
template <typename Open>
int board_open(const char* path, int flags, mode_t mode, Open real_open)
{
    const DevicePath kind = classify(path);
    if (kind == DevicePath::board_node && nodes_socket() != nullptr) {
        return open_node(path, flags); // the board records the open, whatever it says
    }
    if (kind == DevicePath::blocked) {
        errno = ENOENT;
        return after_failed_open(path, flags, kind);
    }
    char sysfs_path[PATH_MAX];
    const int fd = testbed_sysfs_path(path, sysfs_path) ? LIBC(openat_fn, openat)(AT_FDCWD, sysfs_path, flags, mode)
                                                        : real_open();
    if (fd < 0) {
        return after_failed_open(path, flags, kind);
    }
    set_kind(fd, FdKind::other);
    return fd;
}

// --- Virtual time -------------------------------------------------------------------

std::int64_t monotonic_ns()
{
    timespec now{};
    // The host's own clock: how long a real wait took.
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

timespec to_timespec(std::int64_t ns)
{
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

std::int64_t to_ns(const timespec& ts)
{
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

bool valid(const timespec* ts)
{
    return ts != nullptr && ts->tv_nsec >= 0 && ts->tv_nsec < 1000000000 && ts->tv_sec >= 0;
}

// The board's clock page, mapped on first use (raw system calls: umockdev
// must not redirect the board's own file), or null off the board.
const vboard::wire::ClockPage* clock_page()
{
    static const vboard::wire::ClockPage* page = nullptr;
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] {
        const char* path = std::getenv(vboard::wire::clock_variable);
        if (path == nullptr) {
            return;
        }
        const long fd = syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        void* mapped = reinterpret_cast<void*>(
            syscall(SYS_mmap, nullptr, sizeof(vboard::wire::ClockPage), PROT_READ, MAP_SHARED, fd, 0));
        syscall(SYS_close, fd);
        if (mapped != MAP_FAILED) {
            page = static_cast<const vboard::wire::ClockPage*>(mapped);
        }
    });
    return page;
}

// A clock's reading in virtual time, or false for a clock the board does not
// keep (the CPU-time clocks) or off the board.
bool virtual_now(clockid_t clock, std::int64_t& ns)
{
    const auto* page = clock_page();
    if (page == nullptr) {
        return false;
    }
    switch (clock) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
        ns = page->realtime_base_ns;
        break;
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_MONOTONIC_RAW:
        ns = page->monotonic_base_ns;
        break;
    case CLOCK_BOOTTIME:
        ns = page->boottime_base_ns;
        break;
    default:
        return false;
    }
    ns += __atomic_load_n(&page->now_ns, __ATOMIC_ACQUIRE);
    return true;
}

// umockdev's own preload waits with usleep() in the ioctl emulation it
// would give a node of its own (the board's nodes never reach it); only the
// program's pauses are the program's time.
bool called_by_program(const void* caller)
{
    Dl_info info{};
    return dladdr(caller, &info) == 0 || info.dli_fname == nullptr ||
           std::strstr(info.dli_fname, "libumockdev-preload") == nullptr;
}

// Waits `ns` nanoseconds of the host's time; 0, or EINTR with what was left.
int real_sleep(std::int64_t ns, std::int64_t& left_ns)
{
    timespec request_ts = to_timespec(ns);
    timespec rem{};
    if (syscall(SYS_nanosleep, &request_ts, &rem) == 0) {
        left_ns = 0;
        return 0;
    }
    left_ns = to_ns(rem);
    return errno;
}

// Sleeps `ns` nanoseconds of the program's time, which is a real wait
// shorter by the board's speed. Returns 0, or EINTR when the sleep was cut
// short, with what was left of it in `left_ns`.
int board_sleep(const void* caller, std::int64_t ns, std::int64_t& left_ns)
{
    left_ns = 0;
    if (ns == 0) {
        // A pause of nothing is a wish to let other threads run; a
        // nanosleep of 0 would wait out the timer slack, some 50 us, each
        // time.
        sched_yield();
        return 0;
    }
    const auto* page = clock_page();
    if (page == nullptr || !called_by_program(caller) || !on_board()) {
        return real_sleep(ns, left_ns);
    }
    const double speed = page->speed;
    const Reply plan = request(Request::sleep_begin, -1, ns, 0);
    // The board may want a signal delivered during this pause, at a given
    // point of it: sleep until then and raise it.
    const bool planned = plan.interrupt_after_ns >= 0;
    const std::int64_t sleep_ns = planned && plan.interrupt_after_ns < ns ? plan.interrupt_after_ns : ns;
    const std::int64_t start = monotonic_ns();
    std::int64_t real_left = 0;
    // At an unlimited speed a pause takes no real time at all.
    const auto real_ns = std::isfinite(speed) ? static_cast<std::int64_t>(static_cast<double>(sleep_ns) / speed) : 0;
    bool interrupted = false;
    if (real_ns > 0) {
        interrupted = real_sleep(real_ns, real_left) == EINTR;
    } else {
        sched_yield();
    }
    if (planned) {
        raise(plan.raise_signal);
    }
    const bool cut = interrupted || planned;
    request(Request::sleep_end, -1, monotonic_ns() - start, cut ? 1 : 0);
    if (!cut) {
        return 0;
    }
    left_ns = interrupted && !planned ? std::min(ns, static_cast<std::int64_t>(static_cast<double>(real_left) * speed))
                                      : ns - sleep_ns;
    return EINTR;
}

// --- syslog -------------------------------------------------------------------------

int log_mask = 0xff;

void send_log(int priority, const char* format, va_list args)
{
    if ((LOG_MASK(LOG_PRI(priority)) & log_mask) == 0) {
        return;
    }
    char text[1024];
    const int n = std::vsnprintf(text, sizeof text, format, args);
    if (n < 0 || !on_board()) {
        return;
    }
    const std::size_t length = static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1;
    request(Request::log, -1, LOG_PRI(priority), 0, text, length);
}

void report_handler(int signo, bool installed)
{
    if (on_board()) {
        request(Request::handler, -1, signo, installed ? 1 : 0);
    }
}

// A node's descriptor is always ready, as the board's files were before
// and as a character device without poll() support is to the kernel: the
// call itself waits for the board. (Past 64 descriptors, a poll() is left
// to the kernel as it is.)
int poll_descriptors(pollfd* fds, nfds_t count, int timeout_ms)
{
    constexpr nfds_t most = 64;
    constexpr short always = POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;
    int nodes[most];
    int ready = 0;
    for (nfds_t i = 0; i < count && count <= most; ++i) {
        nodes[i] = is_node(fds[i].fd) ? fds[i].fd : -1;
        ready += nodes[i] >= 0 ? 1 : 0;
    }
    if (ready == 0) {
        return REAL(poll)(fds, count, timeout_ms);
    }
    // The others polled without waiting, with the nodes' entries put aside
    // (poll() skips a negative descriptor).
    for (nfds_t i = 0; i < count; ++i) {
        if (nodes[i] >= 0) {
            fds[i].fd = -1;
        }
    }
    const int others = REAL(poll)(fds, count, 0);
    for (nfds_t i = 0; i < count; ++i) {
        if (nodes[i] >= 0) {
            fds[i].fd = nodes[i];
            fds[i].revents = static_cast<short>(fds[i].events & always);
        }
    }
    return others < 0 ? others : others + ready;
}

// stdio on a node: a stream that reads and writes through the board as
// read() and write() would (the C library's own read() and write(), which
// a plain stream would use, pass by every preload). Its buffer is a
// character device's block size, which the kernel gives in st_blksize and
// glibc takes for a stream's buffer: a spidev read() or write() of more
// would fail where the board's stream asks for 4096 bytes at a time.
struct NodeStream {
    int fd;
    char buffer[4096];
};

ssize_t stream_read(void* cookie, char* buffer, std::size_t size)
{
    return read(static_cast<NodeStream*>(cookie)->fd, buffer, size);
}

ssize_t stream_write(void* cookie, const char* buffer, std::size_t size)
{
    const ssize_t n = write(static_cast<NodeStream*>(cookie)->fd, buffer, size);
    return n < 0 ? 0 : n; // a cookie's write must not return a negative count; errno says what failed
}

// glibc calls this last, once it is done with the buffer.
int stream_close(void* cookie)
{
    auto* stream = static_cast<NodeStream*>(cookie);
    const int result = close(stream->fd);
    std::free(stream);
    return result;
}

FILE* node_stream(int fd, const char* mode)
{
    static const cookie_io_functions_t io{stream_read, stream_write, nullptr, stream_close};
    auto* cookie = static_cast<NodeStream*>(std::malloc(sizeof(NodeStream)));
    if (cookie == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    cookie->fd = fd;
    FILE* stream = fopencookie(cookie, mode, io);
    if (stream == nullptr) {
        std::free(cookie);
        return nullptr;
    }
    // fileno() gives the node's descriptor, for the program's ioctl()s on
    // it: glibc reads and writes a cookie's stream only through the
    // functions above, and its own descriptor is no more than a mark.
    stream->_fileno = fd;
    setvbuf(stream, cookie->buffer, _IOFBF, sizeof cookie->buffer);
    return stream;
}

template <typename Open>
FILE* board_fopen(const char* path, const char* mode, Open real_fopen)
{
    const DevicePath kind = classify(path);
    if (kind == DevicePath::blocked) {
        errno = ENOENT;
        return nullptr;
    }
    if (kind != DevicePath::board_node || nodes_socket() == nullptr || mode == nullptr) {
        return real_fopen();
    }
    const bool plus = std::strchr(mode, '+') != nullptr;
    const int access = plus ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
    const int fd = open_node(path, access | (std::strchr(mode, 'e') != nullptr ? O_CLOEXEC : 0));
    if (fd < 0) {
        return nullptr;
    }
    FILE* stream = node_stream(fd, mode);
    if (stream == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return stream;
}

// A descriptor that F_DUPFD made is found out on first use, like dup()'s.
int after_fcntl(int command, int result)
{
    if (command == F_DUPFD || command == F_DUPFD_CLOEXEC) {
        set_kind(result, FdKind::unknown);
    }
    return result;
}

// fstat() on a node's descriptor: the character device, as a stat() of the
// node's path shows it (the descriptor itself is a socket).
int node_fstat(int fd, struct stat* st)
{
    if (syscall(SYS_fstat, fd, st) != 0) {
        return -1;
    }
    vboard::wire::NodeStat node{};
    pthread_mutex_lock(&node_lock);
    node_call.start(vboard::wire::NodeOp::stat, fd, 0, 0);
    node_call.add(&node, sizeof node, vboard::wire::segment_out);
    if (finish_call(fd) < 0) {
        return -1;
    }
    st->st_mode = node.mode;
    st->st_rdev = makedev(node.major, node.minor);
    st->st_size = 0;
    st->st_blksize = 4096;
    st->st_blocks = 0;
    return 0;
}

} // namespace

// --- The wrapped C library functions -------------------------------------------------

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return board_open(path, flags, mode, [&] { return REAL(open)(path, flags, mode); });
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return board_open(path, flags, mode, [&] { return REAL(open64)(path, flags, mode); });
}

int __open_2(const char* path, int flags)
{
    return board_open(path, flags, 0, [&] { return real(real_fns.open_2, "__open_2")(path, flags); });
}

int __open64_2(const char* path, int flags)
{
    return board_open(path, flags, 0, [&] { return real(real_fns.open64_2, "__open64_2")(path, flags); });
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return board_open(path, flags, mode, [&] { return REAL(openat)(dirfd, path, flags, mode); });
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return board_open(path, flags, mode, [&] { return REAL(openat64)(dirfd, path, flags, mode); });
}

// stdio opens through the C library's own open(), which no preload sees.
FILE* fopen(const char* path, const char* mode)
{
    return board_fopen(path, mode, [&] { return REAL(fopen)(path, mode); });
}

FILE* fopen64(const char* path, const char* mode)
{
    return board_fopen(path, mode, [&] { return REAL(fopen64)(path, mode); });
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (is_node(fd)) {
        return node_ioctl(fd, request, arg);
    }
    return LIBC(ioctl_fn, ioctl)(fd, request, arg);
}

ssize_t read(int fd, void* buffer, size_t count)
{
    if (is_node(fd)) {
        return node_transfer(fd, vboard::wire::NodeOp::read, buffer, count);
    }
    return LIBC(read_fn, read)(fd, buffer, count);
}

// read() as _FORTIFY_SOURCE builds call it (Debian's packages are so built).
ssize_t __read_chk(int fd, void* buffer, size_t count, size_t buffer_size)
{
    if (count > buffer_size) {
        return LIBC(read_chk_fn, __read_chk)(fd, buffer, count, buffer_size); // the C library's own verdict
    }
    return read(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count)
{
    if (is_node(fd)) {
        return node_transfer(fd, vboard::wire::NodeOp::write, buffer, count);
    }
    return LIBC(write_fn, write)(fd, buffer, count);
}

int close(int fd)
{
    if (fd >= 0 && fd < max_fds) {
        if (fd_kinds[fd] == FdKind::node_opened) {
            node_closing(fd);
        }
        fd_kinds[fd] = FdKind::unknown;
    }
    return LIBC(close_fn, close)(fd);
}

// stdio closes through the C library's own close(), which no preload sees
// (a node's stream closes through close(), above).
int fclose(FILE* stream)
{
    const int fd = stream != nullptr ? fileno(stream) : -1;
    const int result = REAL(fclose)(stream);
    set_kind(fd, FdKind::unknown);
    return result;
}

FILE* fdopen(int fd, const char* mode)
{
    if (is_node(fd)) {
        return node_stream(fd, mode);
    }
    return REAL(fdopen)(fd, mode);
}

// A new descriptor may have a number whose earlier descriptor was closed
// where no wrapper saw it: what it is now is found out on first use.
int dup(int fd)
{
    const int result = LIBC(dup_fn, dup)(fd);
    set_kind(result, FdKind::unknown);
    return result;
}

int dup2(int fd, int fd2)
{
    const int result = LIBC(dup2_fn, dup2)(fd, fd2);
    if (result >= 0 && fd != fd2) {
        set_kind(fd2, FdKind::unknown);
    }
    return result;
}

int dup3(int fd, int fd2, int flags)
{
    const int result = LIBC(dup3_fn, dup3)(fd, fd2, flags);
    if (result >= 0) {
        set_kind(fd2, FdKind::unknown);
    }
    return result;
}

// fcntl()'s third argument is a number or a pointer, whichever the
// command takes; the C library passes it on as one machine word either way.
int fcntl(int fd, int command, ...)
{
    va_list args;
    va_start(args, command);
    void* arg = va_arg(args, void*);
    va_end(args);
    return after_fcntl(command, LIBC(fcntl_fn, fcntl)(fd, command, arg));
}

int fcntl64(int fd, int command, ...)
{
    va_list args;
    va_start(args, command);
    void* arg = va_arg(args, void*);
    va_end(args);
    return after_fcntl(command, LIBC(fcntl_fn, fcntl64)(fd, command, arg));
}

int fstat(int fd, struct stat* st)
{
    return is_node(fd) ? node_fstat(fd, st) : REAL(fstat)(fd, st);
}

int fstat64(int fd, struct stat64* st)
{
    return is_node(fd) ? node_fstat(fd, reinterpret_cast<struct stat*>(st)) : REAL(fstat64)(fd, st);
}

// fstat() as programs built against glibc before 2.33 call it.
int __fxstat(int version, int fd, struct stat* st)
{
    return is_node(fd) ? node_fstat(fd, st) : REAL(__fxstat)(version, fd, st);
}

int __fxstat64(int version, int fd, struct stat64* st)
{
    return is_node(fd) ? node_fstat(fd, reinterpret_cast<struct stat*>(st))
                       : REAL(__fxstat64)(version, fd, st);
}

// glibc implements sleep() and usleep() on its internal nanosleep, which no
// preload can see, so each is wrapped on its own.
unsigned sleep(unsigned seconds)
{
    std::int64_t left = 0;
    board_sleep(__builtin_return_address(0), std::int64_t{seconds} * 1000000000, left);
    return static_cast<unsigned>((left + 999999999) / 1000000000);
}

int usleep(useconds_t microseconds)
{
    std::int64_t left = 0;
    if (board_sleep(__builtin_return_address(0), std::int64_t{microseconds} * 1000, left) != 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

int nanosleep(const timespec* duration, timespec* remaining)
{
    if (!valid(duration)) {
        return REAL(nanosleep)(duration, remaining);
    }
    std::int64_t left = 0;
    if (board_sleep(__builtin_return_address(0), to_ns(*duration), left) != 0) {
        if (remaining != nullptr) {
            *remaining = to_timespec(left);
        }
        errno = EINTR;
        return -1;
    }
    return 0;
}

// A sleep until an absolute time (Python's time.sleep, for one) is a sleep
// for as long as virtual time says is left.
int clock_nanosleep(clockid_t clock, int flags, const timespec* time, timespec* remaining)
{
    std::int64_t now = 0;
    if (!valid(time) || !virtual_now(clock, now)) {
        return REAL(clock_nanosleep)(clock, flags, time, remaining);
    }
    std::int64_t ns = to_ns(*time);
    if ((flags & TIMER_ABSTIME) != 0) {
        ns -= now;
        if (ns <= 0) {
            return 0;
        }
        remaining = nullptr; // not used with an absolute time
    }
    std::int64_t left = 0;
    if (board_sleep(__builtin_return_address(0), ns, left) != 0) {
        if (remaining != nullptr) {
            *remaining = to_timespec(left);
        }
        return EINTR;
    }
    return 0;
}

int clock_gettime(clockid_t clock, timespec* now)
{
    std::int64_t ns = 0;
    if (!virtual_now(clock, ns)) {
        return REAL(clock_gettime)(clock, now);
    }
    *now = to_timespec(ns);
    return 0;
}

int gettimeofday(timeval* now, void* zone)
{
    std::int64_t ns = 0;
    if (!virtual_now(CLOCK_REALTIME, ns)) {
        return REAL(gettimeofday)(now, zone);
    }
    *now = timeval{static_cast<time_t>(ns / 1000000000), static_cast<suseconds_t>(ns % 1000000000 / 1000)};
    if (zone != nullptr) {
        std::memset(zone, 0, sizeof(struct timezone));
    }
    return 0;
}

time_t time(time_t* now)
{
    std::int64_t ns = 0;
    if (!virtual_now(CLOCK_REALTIME, ns)) {
        return REAL(time)(now);
    }
    const auto seconds = static_cast<time_t>(ns / 1000000000);
    if (now != nullptr) {
        *now = seconds;
    }
    return seconds;
}

// poll() and select() on no descriptor at all are pauses too (an old way to
// sleep for less than a second); with descriptors they wait in real time.
int poll(pollfd* fds, nfds_t count, int timeout_ms)
{
    if (count != 0) {
        return poll_descriptors(fds, count, timeout_ms);
    }
    if (timeout_ms <= 0 || clock_page() == nullptr) {
        return REAL(poll)(fds, count, timeout_ms);
    }
    std::int64_t left = 0;
    if (board_sleep(__builtin_return_address(0), std::int64_t{timeout_ms} * 1000000, left) != 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

int select(int count, fd_set* readable, fd_set* writable, fd_set* failed, timeval* timeout)
{
    const bool no_descriptors = count == 0 || (readable == nullptr && writable == nullptr && failed == nullptr);
    if (!no_descriptors || timeout == nullptr || clock_page() == nullptr || timeout->tv_sec < 0 || timeout->tv_usec < 0) {
        return REAL(select)(count, readable, writable, failed, timeout);
    }
    std::int64_t left = 0;
    const std::int64_t ns = (std::int64_t{timeout->tv_sec} * 1000000 + timeout->tv_usec) * 1000;
    const int rc = board_sleep(__builtin_return_address(0), ns, left);
    // Linux leaves the time not slept in the timeout.
    timeout->tv_sec = static_cast<time_t>(left / 1000000000);
    timeout->tv_usec = static_cast<suseconds_t>(left % 1000000000 / 1000);
    if (rc != 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

int sigaction(int signo, const struct sigaction* action, struct sigaction* old)
{
    const int rc = REAL(sigaction)(signo, action, old);
    if (rc == 0 && action != nullptr) {
        const bool installed = (action->sa_flags & SA_SIGINFO) != 0 ||
                               (action->sa_handler != SIG_DFL && action->sa_handler != SIG_IGN);
        report_handler(signo, installed);
    }
    return rc;
}

sighandler_t signal(int signo, sighandler_t handler)
{
    const sighandler_t old = REAL(signal)(signo, handler);
    if (old != SIG_ERR) {
        report_handler(signo, handler != SIG_DFL && handler != SIG_IGN);
    }
    return old;
}

void openlog(const char*, int, int) {}

void closelog() {}

int setlogmask(int mask)
{
    const int old = log_mask;
    if (mask != 0) {
        log_mask = mask;
    }
    return old;
}

void vsyslog(int priority, const char* format, va_list args)
{
    send_log(priority, format, args);
}

void syslog(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    send_log(priority, format, args);
    va_end(args);
}

void __syslog_chk(int priority, int, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    send_log(priority, format, args);
    va_end(args);
}

void __vsyslog_chk(int priority, int, const char* format, va_list args)
{
    send_log(priority, format, args);
}

} // extern "C"
