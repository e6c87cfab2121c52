#pragma once

// Which file `vboard run PROGRAM` runs, found as env(1) and the shell find
// a command: a name with a slash is a path; one of the board's programs is
// taken from where this vboard has them; any other name is looked up in
// PATH. What cannot be run ends vboard as those tools end: 126 for a file
// that is there but cannot be run (a directory, not executable), 127 for
// one that is not there, with the reason on standard error.

#include <string>

namespace vboard::command {

std::string find_program(const std::string& name);

// The same, for a caller that goes on: "" with `problem` said.
std::string locate_program(const std::string& name, std::string& problem);

} // namespace vboard::command
