#pragma once

// A scenario for `vboard test`: one program run on a board set up as
// `vboard run`'s options say, and the steps it is checked by, each waiting
// in virtual time. Read from a YAML file (docs/scenarios.md):
//
//   name: ky013 follows the module's temperature
//   run: [ky013]
//   board: { ntc: ["0=25C"] }
//   timeout: 30s
//   steps:
//     - expect-stdout: { match: 'Temperature: 25\.0', within: 2s }
//     - set: ntc 0 40C
//     - signal: SIGINT
//     - expect-exit: 130

#include "run_options.hpp"

#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace vboard::command {

struct Step {
    enum class Kind {
        wait,
        set,
        signal,
        write_stdin,
        expect_stdout,
        expect_stderr,
        expect_lcd,
        expect_event,
        expect_pwm,
        expect_no_violation,
        expect_exit,
    };
    Kind kind;
    int line = 0;     // where it is in the file, from 1
    std::string text; // set: the control line; write-stdin: the bytes; expect-stdout/-stderr: the pattern or line
    std::optional<std::int64_t> within_ns; // how long an expectation may wait (virtual ns)
    std::int64_t duration_ns = 0;          // wait: how long; expect-pwm: the window it must hold for

    // expect-stdout, expect-stderr: a regular expression, or an exact line.
    std::optional<std::regex> pattern;
    // signal: the signal sent; expect-exit: the signal expected (0: an exit status)
    int signal = 0;
    int status = 0; // expect-exit

    // expect-lcd: one row (its number), or the whole screen
    std::optional<int> row;
    std::vector<std::string> rows;

    // expect-event: the trace's fields to match, and the count so far
    std::vector<std::pair<std::string, std::string>> fields;
    long count = 1;
    bool exactly = false;

    // expect-pwm: on channel `channel`, the period and/or the duty cycle
    // (in ns, or a percentage of the period), each within a tolerance
    int channel = 0;
    std::optional<std::int64_t> period_ns;
    std::optional<std::int64_t> duty_ns;
    std::optional<double> duty_percent;
    std::int64_t tolerance_ns = 0;
    double tolerance_percent = 0;
};

struct Scenario {
    std::string file;
    std::string name;
    RunRequest board; // config, and options with argv: the program as found and its arguments
    std::int64_t timeout_ns = 0;
    std::vector<Step> steps;
};

// Reads a scenario file. On failure: nullopt, with `problem` as
// "FILE:LINE: what is wrong".
std::optional<Scenario> load_scenario(const std::string& path, std::string& problem);

// What the steps are called in a file, for messages.
std::string step_name(Step::Kind kind);

// "2s", "150ms", "20us", "5ns": virtual nanoseconds, or nullopt.
std::optional<std::int64_t> parse_duration(const std::string& text);
// Seconds as people read them: 2, 0.15, 1.000025.
std::string seconds_text(std::int64_t ns);

} // namespace vboard::command
