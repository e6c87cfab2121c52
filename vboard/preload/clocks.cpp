// The program's clocks read the run's start plus virtual time, so that
// what it measures is what the board counts.

#include "next_function.hpp"
#include "virtual_clock.hpp"

#include <sys/time.h>

#include <cstring>
#include <ctime>

using namespace vboard::preload;

extern "C" {

int clock_gettime(clockid_t clock, timespec* now)
{
    std::int64_t ns = 0;
    if (!virtual_now(clock, ns)) {
        return NEXT(clock_gettime)(clock, now);
    }
    *now = to_timespec(ns);
    return 0;
}

int gettimeofday(timeval* now, void* zone)
{
    std::int64_t ns = 0;
    if (!virtual_now(CLOCK_REALTIME, ns)) {
        return NEXT(gettimeofday)(now, zone);
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
        return NEXT(time)(now);
    }
    const auto seconds = static_cast<time_t>(ns / 1000000000);
    if (now != nullptr) {
        *now = seconds;
    }
    return seconds;
}

} // extern "C"
