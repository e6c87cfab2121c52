#pragma once

// The board's clock page (protocol.hpp) as this process sees it.

#include "../protocol.hpp"

#include <cstdint>
#include <ctime>

namespace vboard::preload {

// The page, mapped on first use (and before the program's main(), while it
// surely has a descriptor to spare), or null off the board.
const wire::ClockPage* clock_page();

// A clock's reading in virtual time, or false for a clock the board does
// not keep (the CPU-time clocks) or off the board.
bool virtual_now(clockid_t clock, std::int64_t& ns);

std::int64_t to_ns(const timespec& ts);
timespec to_timespec(std::int64_t ns);

} // namespace vboard::preload
