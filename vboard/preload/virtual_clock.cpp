#include "virtual_clock.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace vboard::preload {

namespace {

const wire::ClockPage* page = nullptr;
pthread_once_t once = PTHREAD_ONCE_INIT;

void map_page()
{
    const char* path = std::getenv(wire::clock_variable);
    if (path == nullptr) {
        return;
    }
    const long fd = syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    void* mapped =
        reinterpret_cast<void*>(syscall(SYS_mmap, nullptr, sizeof(wire::ClockPage), PROT_READ, MAP_SHARED, fd, 0));
    syscall(SYS_close, fd);
    if (mapped != MAP_FAILED) {
        page = static_cast<const wire::ClockPage*>(mapped);
    }
}

__attribute__((constructor)) void map_early()
{
    pthread_once(&once, map_page);
}

} // namespace

const wire::ClockPage* clock_page()
{
    pthread_once(&once, map_page);
    return page;
}

bool virtual_now(clockid_t clock, std::int64_t& ns)
{
    const auto* p = clock_page();
    if (p == nullptr) {
        return false;
    }
    switch (clock) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
        ns = p->realtime_base_ns;
        break;
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_MONOTONIC_RAW:
        ns = p->monotonic_base_ns;
        break;
    case CLOCK_BOOTTIME:
        ns = p->boottime_base_ns;
        break;
    default:
        return false;
    }
    ns += __atomic_load_n(&p->now_ns, __ATOMIC_ACQUIRE);
    return true;
}

std::int64_t to_ns(const timespec& ts)
{
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

timespec to_timespec(std::int64_t ns)
{
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

} // namespace vboard::preload
