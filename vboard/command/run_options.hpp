#pragma once

// `vboard run`'s command line, read as GNU tools read theirs: long options
// as --name=VALUE or --name VALUE, the frequent ones also short (-t 5, -t5),
// and nothing after PROGRAM, which is the program's own.

#include "board.hpp"
#include "vcd.hpp"
#include "view_style.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace vboard::command {

struct RunRequest {
    BoardConfig config;
    RunOptions options;       // argv: the program's name as given, and its arguments
    std::string trace_path;   // "" where not asked for
    std::string vcd_path;
    VcdTimescale vcd_tick = VcdTimescale::default_tick;
    std::string view_path;
    std::string control_path;
    ColorMode color = ColorMode::automatic;
    bool quiet = false;
    bool strict_timing = false;
};

// Reads `vboard run`'s arguments (argv[0] is "run"); a line that is wrong
// is told on standard error and ends vboard with status 2. --help prints
// the help and ends with 0.
RunRequest read_run_options(int argc, char** argv);

// One of `vboard run`'s options by its long name, as a scenario file gives
// them: whether it takes a value (nullopt: there is no such option), and
// the option applied to `request` with `value` ("" for one that takes
// none), with what is wrong with the value, or "".
std::optional<bool> run_option_takes_value(std::string_view name);
std::string apply_run_option(RunRequest& request, std::string_view name, std::string_view value);

} // namespace vboard::command
