// Every way of pausing that a program may use reaches the board, which is
// how it keeps virtual time: sleep, usleep, nanosleep, clock_nanosleep on
// the monotonic or the real-time clock, relative or until an absolute time,
// and a poll() or select() on no descriptor at all. The real wait is
// shorter by the board's speed; the board may cut a pause short with a
// signal at a given point of it.

#include "board_channel.hpp"
#include "next_function.hpp"
#include "virtual_clock.hpp"

#include <poll.h>
#include <sched.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <ctime>

using namespace vboard;
using namespace vboard::preload;

namespace {

std::int64_t monotonic_ns()
{
    timespec now{};
    // The host's own clock: how long a real wait took.
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    return to_ns(now);
}

bool valid(const timespec* ts)
{
    return ts != nullptr && ts->tv_nsec >= 0 && ts->tv_nsec < 1000000000 && ts->tv_sec >= 0;
}

// Waits `ns` nanoseconds of the host's time; 0, or EINTR with what was left.
int real_sleep(std::int64_t ns, std::int64_t& left_ns)
{
    timespec request = to_timespec(ns);
    timespec rem{};
    if (syscall(SYS_nanosleep, &request, &rem) == 0) {
        left_ns = 0;
        return 0;
    }
    left_ns = to_ns(rem);
    return errno;
}

// Nanoseconds, at most some 292 years: a double beyond int64_t's range
// converts to an undefined value, and a sleep(UINT_MAX) at a slow speed is
// some 10^21 ns of real time.
std::int64_t capped_ns(double ns)
{
    constexpr double longest = 9.2e18; // below INT64_MAX, which a double cannot hold exactly
    return ns >= longest ? static_cast<std::int64_t>(longest) : static_cast<std::int64_t>(ns);
}

// Sleeps `ns` nanoseconds of the program's time, which is a real wait
// shorter by the board's speed. Returns 0, or EINTR when the sleep was cut
// short, with what was left of it in `left_ns`. A process the board cannot
// hear from (it has no descriptor left for the connection) waits in real time.
int board_sleep(std::int64_t ns, std::int64_t& left_ns)
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
    Pause pause;
    wire::Reply plan{};
    if (page == nullptr || !pause.valid() || !pause.ask(wire::Request::sleep_begin, ns, 0, plan)) {
        return real_sleep(ns, left_ns);
    }
    // The board may want a signal delivered during this pause, at a given
    // point of it: sleep until then and raise it.
    const bool planned = plan.interrupt_after_ns >= 0;
    const std::int64_t sleep_ns = planned && plan.interrupt_after_ns < ns ? plan.interrupt_after_ns : ns;
    const std::int64_t start = monotonic_ns();
    std::int64_t real_left = 0;
    // At an unlimited speed a pause takes no real time at all.
    const double speed = page->speed;
    const auto real_ns = std::isfinite(speed) ? capped_ns(static_cast<double>(sleep_ns) / speed) : 0;
    const bool interrupted = real_ns > 0 && real_sleep(real_ns, real_left) == EINTR;
    if (planned) {
        raise(plan.raise_signal);
    }
    const bool cut = interrupted || planned;
    wire::Reply ignored{};
    pause.ask(wire::Request::sleep_end, monotonic_ns() - start, cut ? 1 : 0, ignored);
    if (!cut) {
        return 0;
    }
    left_ns = interrupted && !planned ? std::min(ns, capped_ns(static_cast<double>(real_left) * speed))
                                      : ns - sleep_ns;
    return EINTR;
}

} // namespace

extern "C" {

// glibc implements sleep() and usleep() on its internal nanosleep, which no
// preload can see, so each is wrapped on its own.
unsigned sleep(unsigned seconds)
{
    std::int64_t left = 0;
    board_sleep(std::int64_t{seconds} * 1000000000, left);
    return static_cast<unsigned>((left + 999999999) / 1000000000);
}

int usleep(useconds_t microseconds)
{
    std::int64_t left = 0;
    if (board_sleep(std::int64_t{microseconds} * 1000, left) != 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

int nanosleep(const timespec* duration, timespec* remaining)
{
    if (!valid(duration)) {
        return NEXT(nanosleep)(duration, remaining);
    }
    std::int64_t left = 0;
    if (board_sleep(to_ns(*duration), left) != 0) {
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
        return NEXT(clock_nanosleep)(clock, flags, time, remaining);
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
    if (board_sleep(ns, left) != 0) {
        if (remaining != nullptr) {
            *remaining = to_timespec(left);
        }
        return EINTR;
    }
    return 0;
}

// poll() and select() on no descriptor at all are pauses too (an old way to
// sleep for less than a second); with descriptors they wait in real time.
int poll(pollfd* fds, nfds_t count, int timeout_ms)
{
    if (count != 0 || timeout_ms <= 0 || clock_page() == nullptr) {
        return NEXT(poll)(fds, count, timeout_ms);
    }
    std::int64_t left = 0;
    if (board_sleep(std::int64_t{timeout_ms} * 1000000, left) != 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

int select(int count, fd_set* readable, fd_set* writable, fd_set* failed, timeval* timeout)
{
    const bool no_descriptors = count == 0 || (readable == nullptr && writable == nullptr && failed == nullptr);
    if (!no_descriptors || timeout == nullptr || clock_page() == nullptr || timeout->tv_sec < 0 || timeout->tv_usec < 0) {
        return NEXT(select)(count, readable, writable, failed, timeout);
    }
    std::int64_t left = 0;
    const std::int64_t ns = (std::int64_t{timeout->tv_sec} * 1000000 + timeout->tv_usec) * 1000;
    const int rc = board_sleep(ns, left);
    // Linux leaves the time not slept in the timeout.
    timeout->tv_sec = static_cast<time_t>(left / 1000000000);
    timeout->tv_usec = static_cast<suseconds_t>(left % 1000000000 / 1000);
    if (rc != 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

} // extern "C"
