#include "board_support.hpp"

#include <gtest/gtest.h>

namespace vboard {

BoardConfig with_fault(const std::string& fault)
{
    BoardConfig config;
    const std::string problem = config.faults.add(fault);
    if (!problem.empty()) {
        ADD_FAILURE() << "fault " << fault << ": " << problem;
    }
    return config;
}

} // namespace vboard
