#include "board_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

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

std::vector<LostOutput> lost_outputs(bool opens_files_first)
{
    std::vector<LostOutput> cases{
        {"full", RunOptions::Output::full, ENOSPC},
        {"broken_pipe", RunOptions::Output::broken_pipe, EPIPE},
    };
    if (!opens_files_first) {
        cases.push_back({"closed", RunOptions::Output::closed, EBADF});
    }
    return cases;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace vboard
