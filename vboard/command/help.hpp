#pragma once

// What `vboard --help`, `vboard help [COMMAND]` and each command's --help
// print. The man page is made from `vboard --help` (help2man), so these
// texts are the one reference of the options.

#include <string>
#include <string_view>

namespace vboard::command {

// The whole command: its commands, run's options, the exit statuses and
// examples.
extern const std::string_view main_help;
// `vboard test --help`.
extern const std::string_view test_help;
// `vboard devices --help`.
extern const std::string_view devices_help;
// What `vboard --version` (and `vboard run --version`) prints.
std::string version_text();

} // namespace vboard::command
