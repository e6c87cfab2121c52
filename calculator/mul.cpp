#include "mul.hpp"

// The low 32 bits of a product do not depend on the operands' signedness, so
// the unsigned product (which wraps) read back as two's complement is exact.
std::int32_t multiply(std::int32_t first, std::int32_t second)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(first) * static_cast<std::uint32_t>(second));
}
