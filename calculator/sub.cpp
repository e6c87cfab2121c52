#include "sub.hpp"

// Computed in unsigned 32-bit arithmetic, which wraps, then read back as two's
// complement: see add.cpp.
std::int32_t subtract(std::int32_t first, std::int32_t second)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(first) - static_cast<std::uint32_t>(second));
}
