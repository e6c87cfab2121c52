#pragma once

// `vboard test --junit FILE`: the results as JUnit XML, as CI systems read
// it: one testsuite per scenario file, one testcase per scenario, a
// failure (or, for a file that could not be read, an error) whose message
// names the step, its line, the virtual time, what was expected and what
// was seen last, with the program's last lines of output. Nothing in it
// depends on the run but the real times.

#include <cstdint>
#include <string>
#include <vector>

namespace vboard::command {

struct ScenarioReport {
    std::string file;
    std::string name;      // "" for a file that could not be read
    bool passed = false;
    bool malformed = false; // the file could not be read or understood
    std::string message;    // why it failed
    std::vector<std::string> last_output;
    std::int64_t virtual_ns = 0;
    double real_seconds = 0;
};

std::string junit_xml(const std::vector<ScenarioReport>& reports);

} // namespace vboard::command
