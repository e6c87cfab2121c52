#pragma once

// How the command tells a user that a command line is wrong: status 2, as
// GNU tools do. A line it cannot parse (an unknown option, a value missing,
// no command or program) also says where to look.

#include <string>

namespace vboard::command {

// "vboard: MESSAGE" on standard error, and exit with status 2.
[[noreturn]] void fail(const std::string& message);

// The same, followed by "Try 'vboard --help' for more information.".
[[noreturn]] void usage_error(const std::string& message);

} // namespace vboard::command
