#pragma once

// Captures of `vboard run --vcd` and their trace, and what sigrok's
// decoders, and the project's stacked on them, find in a capture.

#include "child_process.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace capture_support {

namespace fs = std::filesystem;

// sigrok's VCD input takes a capture's tick as its sample period. Both
// timescales here are read at 10 MHz: the default of 100 ns as it is, 1 ns
// downsampled by 100 (each sample 100 ns, the time of a change rounded down
// to it, as the writer itself rounds at 100 ns). That puts ten samples in
// each quarter of an I2C bit and several in each half clock of SPI at 1 MHz.
struct Timescale {
    const char* name;
    std::vector<std::string> options; // for vboard run
    const char* input;                // sigrok's input format and options
    std::int64_t tick_ns;
};

inline void PrintTo(const Timescale& t, std::ostream* os) { *os << t.name; }

// Defined here, so that a test's own statics made of them come after them.
inline const Timescale default_timescale{"default", {}, "vcd", 100};
inline const Timescale fine_timescale{"1ns", {"--vcd-timescale", "1ns"}, "vcd:downsample=100", 1};
inline constexpr std::int64_t sample_ns = 100;

struct Capture {
    fs::path dir;
    fs::path vcd;
    Timescale timescale;
    std::vector<std::string> trace;
    test_support::ChildResult run;
};

// A new, empty directory of the test's own.
fs::path scratch_directory(const std::string& name);

std::vector<std::string> lines_of(const fs::path& file);

// Runs `program` on the board with a trace and a capture of the same run.
Capture capture(const std::string& name, std::vector<std::string> options, const std::vector<std::string>& program,
                const Timescale& timescale = default_timescale);

// sigrok-cli on the capture, with a stack of decoders (sigrok's, and the
// project's from the source tree) and the annotations asked for.
test_support::ChildResult run_sigrok(const Capture& run, const std::string& decoders, const std::string& annotations,
                                     bool samples = false);

// What the decoders find: the annotations, one a line, without the
// "decoder-1: " before each; with `samples`, each begins "START-END "
// (sample numbers). sigrok-cli must read the file without a word on
// standard error.
std::vector<std::string> decode(const Capture& run, const std::string& decoders, const std::string& annotations,
                                bool samples = false);

// A field of a trace line: a flat JSON object, whose string fields looked
// at here are hex digits, names and short texts without quotes.
std::string field(const std::string& line, const std::string& key);
bool is(const std::string& line, const std::string& dev, const std::string& event);
std::int64_t ns_of(const std::string& line);

// "0c08" as the decoders print bytes: {"0C", "08"}.
std::vector<std::string> hex_bytes(const std::string& hex);

} // namespace capture_support
