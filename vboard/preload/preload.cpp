// libvboard-preload.so: the thin layer between a program and the virtual
// board that umockdev does not provide.
//
// umockdev gives the program the board's /sys and /dev and hands ioctls on
// device nodes to the board's models, but its sysfs attributes are plain
// files: a second write through the same descriptor appends, a short write
// leaves old bytes behind, and nothing reacts to a write. Real sysfs hands
// every write to the driver whatever the file offset, and a read shows the
// driver's current value ending in a newline. libmraa depends on both: it
// keeps duty_cycle open and writes it again and again (with plain files 0.51
// then 0.52 become "102000104000"), and it parses what it reads with strtol
// on a buffer it does not terminate, so a value stored without its newline
// makes it read uninitialised bytes. This library therefore forwards every
// read, write and seek on a sysfs attribute to the board, which answers as
// the driver would and records the exact bytes.
//
// It also
// - lets the board refuse an open (permission denied works even for root),
// - reports opens and closes of device nodes,
// - catches syslog, which glibc would send to the host's /dev/log and so to
//   its console, and sends each message to the board instead,
// - reports every sleep, which is how the board keeps virtual time, and cuts
//   a sleep short with a signal when the board asks for one,
// - reports the installation of signal handlers.
//
// It must come before umockdev's preload in LD_PRELOAD: umockdev reaches libc
// through dlopen/dlsym, so a wrapper listed after it would be bypassed.
// Without VBOARD_CHANNEL_FD in the environment it passes everything through.

#include "../protocol.hpp"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

namespace {

using vboard::wire::Handling;
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
using sigaction_fn = int (*)(int, const struct sigaction*, struct sigaction*);
using signal_fn = sighandler_t (*)(int, sighandler_t);
using read_fn = ssize_t (*)(int, void*, size_t);
using write_fn = ssize_t (*)(int, const void*, size_t);
using lseek_fn = off_t (*)(int, off_t, int);
using close_fn = int (*)(int);

// The next definition of each wrapped function (umockdev's, libfaketime's or
// libc's), looked up on first use. Two threads racing here store the same
// value, so no lock is needed, and none may be taken: a signal handler can
// call write() at any time.
struct {
    open_fn open, open64;
    open_2_fn open_2, open64_2;
    openat_fn openat, openat64;
    nanosleep_fn nanosleep;
    clock_nanosleep_fn clock_nanosleep;
    sigaction_fn sigaction;
    signal_fn signal;
    read_fn read;
    write_fn write;
    lseek_fn lseek;
    close_fn close;
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
int channel_fd = -2; // -2: not looked up yet; -1: not on a virtual board

// The program may not have run our constructor yet (libmraa logs from its
// own constructor), so every entry point looks the channel up on first use.
int channel()
{
    if (channel_fd == -2) {
        const char* text = std::getenv(vboard::wire::channel_fd_variable);
        channel_fd = text != nullptr ? std::atoi(text) : -1;
    }
    return channel_fd;
}

// Raw system calls: nothing that umockdev, libfaketime or a sanitizer wraps
// may stand between the program and the board.
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

struct Answer {
    Reply reply;
    char payload[vboard::wire::max_payload];
};

// Sends one request and waits for its reply. A board that has gone away
// leaves the program nothing sensible to run against: it ends at once.
Reply request(Request type, int fd, std::int64_t arg0, std::int64_t arg1, const void* payload = nullptr,
              std::size_t length = 0, void* data = nullptr, std::size_t capacity = 0)
{
    static Message message;
    static Answer answer;
    const int saved_errno = errno;
    pthread_mutex_lock(&channel_lock);
    if (length > sizeof message.payload) {
        length = sizeof message.payload;
    }
    message.header = RequestHeader{type, fd, arg0, arg1, static_cast<std::uint32_t>(length), 0};
    if (length > 0) {
        std::memcpy(message.payload, payload, length);
    }
    if (!send_all(&message, sizeof message.header + length) || receive(&answer, sizeof answer) < static_cast<long>(sizeof answer.reply)) {
        _exit(125);
    }
    const Reply reply = answer.reply;
    if (data != nullptr && reply.length > 0) {
        std::memcpy(data, answer.payload, reply.length < capacity ? reply.length : capacity);
    }
    pthread_mutex_unlock(&channel_lock);
    // A signal the board delivers with a reply arrives as the call returns
    // (a sleep's arrives during the sleep: see board_sleep).
    if (reply.raise_signal > 0 && type != Request::sleep_begin) {
        raise(reply.raise_signal);
    }
    errno = saved_errno;
    return reply;
}

void say_hello()
{
    if (channel() >= 0) {
        request(Request::hello, -1, getpid(), 0);
    }
}

__attribute__((constructor)) void start() { say_hello(); }

// Sets errno for a call the board failed.
template <typename T>
T answer_call(const Reply& reply, T result)
{
    if (result < 0) {
        errno = reply.error;
    }
    return result;
}

// --- Descriptors the board serves ------------------------------------------------

constexpr int max_fds = 4096;
Handling handling[max_fds];
off_t offsets[max_fds];

Handling handling_of(int fd)
{
    return fd >= 0 && fd < max_fds ? handling[fd] : Handling::pass;
}

bool on_board(const char* path)
{
    return path != nullptr && (std::strncmp(path, "/sys/", 5) == 0 || std::strncmp(path, "/dev/", 5) == 0);
}

// Called after the real open (which umockdev redirects into the testbed):
// the board may refuse the open, and learns which descriptor to serve.
int after_open(const char* path, int flags, int fd)
{
    if (!on_board(path) || channel() < 0) {
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
        handling[fd] = reply.handling;
        offsets[fd] = 0;
    }
    errno = open_errno;
    return fd;
}

mode_t mode_argument(int flags, va_list args)
{
    const bool has_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    return has_mode ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// --- Sleeping in virtual time ------------------------------------------------------

std::int64_t monotonic_ns()
{
    timespec now{};
    // The host's clock, not libfaketime's: the board converts real time itself.
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

// umockdev's own preload waits for its ioctl socket with usleep(); only the
// program's pauses are the program's time.
bool called_by_program(const void* caller)
{
    Dl_info info{};
    return dladdr(caller, &info) == 0 || info.dli_fname == nullptr ||
           std::strstr(info.dli_fname, "libumockdev-preload") == nullptr;
}

// Sleeps `ns` nanoseconds of the program's time through libfaketime, which
// shortens the real wait by the board's speed. Returns 0, or EINTR when the
// sleep was cut short, with what was left of it in `left_ns`.
int board_sleep(const void* caller, std::int64_t ns, std::int64_t& left_ns)
{
    const auto real_nanosleep = REAL(nanosleep);
    left_ns = 0;
    if (channel() < 0 || ns == 0 || !called_by_program(caller)) {
        timespec request_ts = to_timespec(ns);
        timespec rem{};
        const int rc = real_nanosleep(&request_ts, &rem);
        left_ns = rc == 0 ? 0 : to_ns(rem);
        return rc == 0 ? 0 : errno;
    }
    const Reply plan = request(Request::sleep_begin, -1, ns, 0);
    // The board may want a signal delivered during this pause, at a given
    // point of it: sleep until then and raise it.
    const bool planned = plan.interrupt_after_ns >= 0;
    const std::int64_t sleep_ns = planned && plan.interrupt_after_ns < ns ? plan.interrupt_after_ns : ns;
    const std::int64_t start = monotonic_ns();
    timespec request_ts = to_timespec(sleep_ns);
    timespec rem{};
    const bool interrupted = real_nanosleep(&request_ts, &rem) != 0 && errno == EINTR;
    if (planned) {
        raise(plan.raise_signal);
    }
    const bool cut = interrupted || planned;
    request(Request::sleep_end, -1, monotonic_ns() - start, cut ? 1 : 0);
    if (!cut) {
        return 0;
    }
    left_ns = interrupted && !planned ? to_ns(rem) : ns - sleep_ns;
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
    if (n < 0 || channel() < 0) {
        return;
    }
    const std::size_t length = static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1;
    request(Request::log, -1, LOG_PRI(priority), 0, text, length);
}

void report_handler(int signo, bool installed)
{
    if (channel() >= 0) {
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
    return after_open(path, flags, REAL(open)(path, flags, mode));
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return after_open(path, flags, REAL(open64)(path, flags, mode));
}

int __open_2(const char* path, int flags)
{
    return after_open(path, flags, real(real_fns.open_2, "__open_2")(path, flags));
}

int __open64_2(const char* path, int flags)
{
    return after_open(path, flags, real(real_fns.open64_2, "__open64_2")(path, flags));
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return after_open(path, flags, REAL(openat)(dirfd, path, flags, mode));
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return after_open(path, flags, REAL(openat64)(dirfd, path, flags, mode));
}

int close(int fd)
{
    if (handling_of(fd) != Handling::pass) {
        handling[fd] = Handling::pass;
        request(Request::close, fd, 0, 0);
    }
    return REAL(close)(fd);
}

ssize_t read(int fd, void* buffer, size_t count)
{
    if (handling_of(fd) != Handling::attribute) {
        return REAL(read)(fd, buffer, count);
    }
    const std::size_t wanted = count < vboard::wire::max_payload ? count : vboard::wire::max_payload;
    const Reply reply = request(Request::read, fd, offsets[fd], static_cast<std::int64_t>(wanted), nullptr, 0, buffer, wanted);
    if (reply.result > 0) {
        offsets[fd] += static_cast<off_t>(reply.result);
    }
    return answer_call(reply, static_cast<ssize_t>(reply.result));
}

ssize_t write(int fd, const void* buffer, size_t count)
{
    if (handling_of(fd) != Handling::attribute) {
        return REAL(write)(fd, buffer, count);
    }
    const Reply reply = request(Request::write, fd, offsets[fd], 0, buffer, count);
    if (reply.result > 0) {
        offsets[fd] += static_cast<off_t>(reply.result);
    }
    return answer_call(reply, static_cast<ssize_t>(reply.result));
}

off_t lseek(int fd, off_t offset, int whence)
{
    if (handling_of(fd) != Handling::attribute) {
        return REAL(lseek)(fd, offset, whence);
    }
    off_t base = 0;
    if (whence == SEEK_CUR) {
        base = offsets[fd];
    } else if (whence == SEEK_END) {
        // A sysfs attribute is as long as the value it shows now.
        char value[vboard::wire::max_payload];
        base = static_cast<off_t>(request(Request::read, fd, 0, sizeof value, nullptr, 0, value, sizeof value).result);
    } else if (whence != SEEK_SET) {
        errno = EINVAL;
        return -1;
    }
    if (base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    offsets[fd] = base + offset;
    return offsets[fd];
}

off64_t lseek64(int fd, off64_t offset, int whence)
{
    return lseek(fd, offset, whence);
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
    if (duration == nullptr || duration->tv_nsec < 0 || duration->tv_nsec >= 1000000000 || duration->tv_sec < 0) {
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

int clock_nanosleep(clockid_t clock, int flags, const timespec* duration, timespec* remaining)
{
    if ((flags & TIMER_ABSTIME) != 0 || duration == nullptr || duration->tv_nsec < 0 || duration->tv_nsec >= 1000000000) {
        return REAL(clock_nanosleep)(clock, flags, duration, remaining);
    }
    std::int64_t left = 0;
    if (board_sleep(__builtin_return_address(0), to_ns(*duration), left) != 0) {
        if (remaining != nullptr) {
            *remaining = to_timespec(left);
        }
        return EINTR;
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
