#pragma once

#include <cstdint>

// first * second: the low 32 bits of the exact product, as two's complement.
std::int32_t multiply(std::int32_t first, std::int32_t second);
