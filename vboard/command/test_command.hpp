#pragma once

namespace vboard::command {

// `vboard test FILE...`: argv[0] is "test". Runs each scenario file on a
// board of its own and returns 0 when all passed, 1 when one failed, 2
// when a file could not be read or understood.
int test_command(int argc, char** argv);

} // namespace vboard::command
