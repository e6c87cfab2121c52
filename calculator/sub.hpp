#pragma once

#include <cstdint>

// first - second; a difference outside the signed 32-bit range wraps modulo 2^32.
std::int32_t subtract(std::int32_t first, std::int32_t second);
