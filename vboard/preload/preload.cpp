// libvboard-preload.so: what only a process itself can tell the virtual
// board, loaded into every process of the program under test.
//
// The board's devices are reached without it: umockdev (another preload)
// serves /dev and redirects /sys into the board's testbed, where sysfs is a
// FUSE filesystem with the kernel's rules. This library
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
// - reports opens and closes of device nodes in the program's order, and
//   lets the board refuse an open (permission denied works even for root);
// - keeps the PC's own device nodes out of reach (only harmless ones such as
//   /dev/null stay), and checks the memory an ioctl on a node points to,
//   where umockdev would abort the program on a bad pointer.
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
    close_fn close;
    fopen_fn fopen, fopen64;
    ioctl_fn ioctl;
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
    pthread_atfork(nullptr, nullptr, [] { pthread_mutex_init(&channel_lock, nullptr); });
}

// --- Device nodes ------------------------------------------------------------------

constexpr int max_fds = 4096;
bool watched[max_fds]; // descriptors of device nodes whose close the board wants to hear of

// What a path under /dev is to the program.
enum class DevicePath {
    none,       // not under /dev
    board_node, // one of the board's nodes, in the testbed: umockdev serves it
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

// Called after the real open (which umockdev redirects into the testbed):
// the board may refuse the open of a node, and records it.
int after_open(const char* path, int flags, int fd, DevicePath kind)
{
    const bool told = kind == DevicePath::board_node || kind == DevicePath::blocked || is_missing_attribute(path, fd);
    if (!told || !on_board()) {
        return fd;
    }
    const int open_errno = errno;
    const Reply reply = request(Request::open, fd >= 0 ? fd : -open_errno, flags, 0, path, std::strlen(path));
    if (reply.result < 0) {
        if (fd >= 0) {
            REAL(close)(fd);
        }
        errno = reply.error;
        return -1;
    }
    if (fd >= 0 && fd < max_fds) {
        watched[fd] = reply.watch != 0;
    }
    errno = open_errno;
    return fd;
}

mode_t mode_argument(int flags, va_list args)
{
    const bool has_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    return has_mode ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// Opens `path` with `real_open` unless it is a node of the PC the board has
// not got. (Not asking umockdev at all also spares it failed opens of
// missing nodes, of which umockdev 0.17.16 keeps count: the 50th aborts the
// program.)
template <typename Open>
int board_open(const char* path, int flags, Open real_open)
{
    const DevicePath kind = classify(path);
    int fd = -1;
    if (kind == DevicePath::blocked) {
        errno = ENOENT;
    } else {
        fd = real_open();
    }
    return after_open(path, flags, fd, kind);
}

// --- Memory an ioctl points to ------------------------------------------------------
//
// umockdev's preload aborts the program when the board follows a pointer of
// an ioctl's argument into memory the program does not have (a bad buffer in
// an SPI transfer record or an I2C message); the kernel answers EFAULT. So
// the pointers are checked here first, a page at a time, by copying a byte
// of each page from and back to the process itself.

bool accessible(const void* address, std::size_t length, bool writable)
{
    if (length == 0) {
        return true;
    }
    const long page = sysconf(_SC_PAGESIZE);
    const auto start = reinterpret_cast<std::uintptr_t>(address);
    if (start + length < start) {
        return false;
    }
    const long self = raw_getpid();
    for (std::uintptr_t at = start; at < start + length; at = (at / static_cast<std::uintptr_t>(page) + 1) * static_cast<std::uintptr_t>(page)) {
        char byte = 0;
        iovec local{&byte, 1};
        iovec remote{reinterpret_cast<void*>(at), 1};
        if (syscall(SYS_process_vm_readv, self, &local, 1, &remote, 1, 0) != 1) {
            return false;
        }
        if (writable && syscall(SYS_process_vm_writev, self, &local, 1, &remote, 1, 0) != 1) {
            return false;
        }
    }
    return true;
}

bool spi_message_accessible(unsigned long request, const void* arg)
{
    const std::size_t size = _IOC_SIZE(request);
    if (!accessible(arg, size, false)) {
        return false;
    }
    const auto* records = static_cast<const spi_ioc_transfer*>(arg);
    for (std::size_t i = 0; i < size / sizeof(spi_ioc_transfer); ++i) {
        const spi_ioc_transfer& t = records[i];
        if ((t.tx_buf != 0 && !accessible(reinterpret_cast<const void*>(t.tx_buf), t.len, false)) ||
            (t.rx_buf != 0 && !accessible(reinterpret_cast<const void*>(t.rx_buf), t.len, true))) {
            return false;
        }
    }
    return true;
}

bool i2c_messages_accessible(const void* arg)
{
    if (!accessible(arg, sizeof(i2c_rdwr_ioctl_data), false)) {
        return false;
    }
    const auto* set = static_cast<const i2c_rdwr_ioctl_data*>(arg);
    if (set->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) {
        return true; // refused by the board before it looks at them
    }
    if (!accessible(set->msgs, set->nmsgs * sizeof(i2c_msg), false)) {
        return false;
    }
    for (std::size_t i = 0; i < set->nmsgs; ++i) {
        const i2c_msg& m = set->msgs[i];
        if (!accessible(m.buf, m.len, (m.flags & I2C_M_RD) != 0)) {
            return false;
        }
    }
    return true;
}

bool i2c_smbus_accessible(const void* arg)
{
    if (!accessible(arg, sizeof(i2c_smbus_ioctl_data), false)) {
        return false;
    }
    const auto* args = static_cast<const i2c_smbus_ioctl_data*>(arg);
    return args->data == nullptr || accessible(args->data, sizeof(i2c_smbus_data), args->read_write == I2C_SMBUS_READ);
}

// Whether the memory that `request` on a node would make the board read or
// write is the program's to give.
bool ioctl_memory_accessible(unsigned long request, const void* arg)
{
    if (request == I2C_RDWR) {
        return i2c_messages_accessible(arg);
    }
    if (request == I2C_SMBUS) {
        return i2c_smbus_accessible(arg);
    }
    if (request == I2C_FUNCS) {
        return accessible(arg, sizeof(unsigned long), true);
    }
    if (_IOC_TYPE(request) == SPI_IOC_MAGIC && _IOC_NR(request) == 0 && _IOC_DIR(request) == _IOC_WRITE) {
        return spi_message_accessible(request, arg);
    }
    if (_IOC_TYPE(request) == SPI_IOC_MAGIC && _IOC_DIR(request) != _IOC_NONE) {
        return accessible(arg, _IOC_SIZE(request), (_IOC_DIR(request) & _IOC_READ) != 0);
    }
    return true;
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

// umockdev's own preload waits for its ioctl socket with usleep(); only the
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
        // A pause of nothing is a wish to let other threads run (umockdev's
        // preload makes one after every emulated call); a nanosleep of 0
        // would wait out the timer slack, some 50 us, each time.
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

} // namespace

// --- The wrapped C library functions -------------------------------------------------

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return board_open(path, flags, [&] { return REAL(open)(path, flags, mode); });
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return board_open(path, flags, [&] { return REAL(open64)(path, flags, mode); });
}

int __open_2(const char* path, int flags)
{
    return board_open(path, flags, [&] { return real(real_fns.open_2, "__open_2")(path, flags); });
}

int __open64_2(const char* path, int flags)
{
    return board_open(path, flags, [&] { return real(real_fns.open64_2, "__open64_2")(path, flags); });
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return board_open(path, flags, [&] { return REAL(openat)(dirfd, path, flags, mode); });
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return board_open(path, flags, [&] { return REAL(openat64)(dirfd, path, flags, mode); });
}

// stdio opens through the C library's own open(), which no preload sees.
FILE* fopen(const char* path, const char* mode)
{
    if (classify(path) == DevicePath::blocked) {
        errno = ENOENT;
        return nullptr;
    }
    return REAL(fopen)(path, mode);
}

FILE* fopen64(const char* path, const char* mode)
{
    if (classify(path) == DevicePath::blocked) {
        errno = ENOENT;
        return nullptr;
    }
    return REAL(fopen64)(path, mode);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (fd >= 0 && fd < max_fds && watched[fd] && !ioctl_memory_accessible(request, arg)) {
        errno = EFAULT;
        return -1;
    }
    return REAL(ioctl)(fd, request, arg);
}

int close(int fd)
{
    if (fd >= 0 && fd < max_fds && watched[fd]) {
        watched[fd] = false;
        request(Request::close, fd, 0, 0);
    }
    return REAL(close)(fd);
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
    if (count != 0 || timeout_ms <= 0 || clock_page() == nullptr) {
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
