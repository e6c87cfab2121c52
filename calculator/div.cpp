#include "div.hpp"

#include <limits>

DivisionFault division_fault(std::int32_t first, std::int32_t second)
{
    if (second == 0) {
        return DivisionFault::by_zero;
    }
    if (first == std::numeric_limits<std::int32_t>::min() && second == -1) {
        return DivisionFault::out_of_range;
    }
    return DivisionFault::none;
}

std::int32_t divide(std::int32_t first, std::int32_t second)
{
    return first / second;
}
