#include "usage.hpp"

#include <cstdio>
#include <cstdlib>

namespace vboard::command {

void fail(const std::string& message)
{
    std::fprintf(stderr, "vboard: %s\n", message.c_str());
    std::exit(2);
}

void usage_error(const std::string& message)
{
    std::fprintf(stderr, "vboard: %s\nTry 'vboard --help' for more information.\n", message.c_str());
    std::exit(2);
}

} // namespace vboard::command
