#pragma once

namespace vboard::command {

// `vboard run`: argv[0] is "run". Returns vboard's exit status.
int run_command(int argc, char** argv);

} // namespace vboard::command
