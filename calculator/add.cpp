#include "add.hpp"

// Unsigned 32-bit arithmetic wraps by definition, and converting back to a
// signed 32-bit value keeps the low 32 bits as two's complement (C++20), so
// an overflowing sum wraps instead of being undefined.
std::int32_t add(std::int32_t first, std::int32_t second)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(first) + static_cast<std::uint32_t>(second));
}
