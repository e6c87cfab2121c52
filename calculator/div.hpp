#pragma once

#include <cstdint>

// Why a quotient cannot be given: there is none for a zero divisor, and
// -2147483648 / -1 = 2147483648 does not fit in 32 bits. The processor traps
// on both (SIGFPE on x86-64), so they must be ruled out before divide().
enum class DivisionFault { none, by_zero, out_of_range };

DivisionFault division_fault(std::int32_t first, std::int32_t second);

// first / second, truncated toward zero, the remainder discarded.
// Only for operands whose division_fault() is DivisionFault::none.
std::int32_t divide(std::int32_t first, std::int32_t second);
