// ky013 on the virtual board, with the real libmraa reading the simulated
// ADC: the temperature printed for each reading, and the once-a-second pace.

#include "board.hpp"
#include "program_build.hpp"
#include "board_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace vboard;

const std::string raw_attr = "in_voltage0_raw"; // analog pin 73

RunResult run_ky013(BoardConfig config, RunOptions options)
{
    options.argv = {program(KY013_PATH, "ky013")};
    Board board(std::move(config));
    return board.run(options);
}

struct Reading {
    const char* raw;      // what in_voltage0_raw shows
    const char* expected; // the line printed for it (an ECMAScript regex)
};

// Celsius from the Steinhart-Hart kelvin; 0 and 1023 (no resistance to
// speak of, or none at all) come out at absolute zero, and a reading beyond
// the converter's range as what printf makes of a NaN.
constexpr Reading readings[] = {
    {"0", R"(Analog Value: 0, Temperature: -273\.15)"},
    {"1", R"(Analog Value: 1, Temperature: -83\.63)"},
    {"100", R"(Analog Value: 100, Temperature: -19\.14)"},
    {"500", R"(Analog Value: 500, Temperature: 23\.98)"},
    {"512", R"(Analog Value: 512, Temperature: 25\.04)"},
    {"1000", R"(Analog Value: 1000, Temperature: 140\.68)"},
    {"1022", R"(Analog Value: 1022, Temperature: 327\.74)"},
    {"1023", R"(Analog Value: 1023, Temperature: -273\.15)"},
    {"1024", R"(Analog Value: 1024, Temperature: -?nan)"},
    {"-1", R"(Analog Value: -1, Temperature: -?nan)"},
};

TEST(Ky013, PrintsTheTemperatureOfEachReading)
{
    BoardConfig config;
    for (const auto& reading : readings) {
        config.adc[0].push_back(reading.raw);
    }
    RunOptions options;
    options.stop_after_lines = std::size(readings);
    const auto r = run_ky013(config, options);

    EXPECT_EQ(r.err, "");
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), std::size(readings)) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(readings[i].expected)))
            << "reading " << readings[i].raw << ": " << lines[i];
    }
}

// Every reading the converter gives prints the same line on the board as
// on the PC, byte for byte (each step of the conversion is rounded on its
// own on both: -ffp-contract=off). The board build's run compares the two.
TEST(Ky013, EveryReadingOfTheConverterPrintsAsOnThePc)
{
    if (build_under_test() != Build::board) {
        GTEST_SKIP() << "the board build's run compares its lines with this build's";
    }
    BoardConfig config;
    for (int raw = 0; raw <= 1023; ++raw) {
        config.adc[0].push_back(std::to_string(raw));
    }
    RunOptions options;
    options.stop_after_lines = 1024;
    const auto board = run_ky013(config, options);
    options.argv = {KY013_PATH};
    Board pc(config);
    const auto host = pc.run(options);
    ASSERT_EQ(lines_of(board.out).size(), 1024u) << board.err;
    EXPECT_EQ(board.out, host.out);
}

// What the two builds print differently, and why. libmraa parses a raw
// value with strtoul into an unsigned long: 64 bits on the PC, where
// mraa_aio_read's unsigned int then keeps the low 32 of them, and 32 bits on
// the board, where strtoul stops at ULONG_MAX with ERANGE and mraa_aio_read
// reports -1. And the NaN of an
// invalid operation has its sign bit set on x86-64 and clear on ARM, which
// printf shows as -nan and nan.
struct Difference {
    const char* raw;
    const char* on_the_pc;
    const char* on_the_board;
};

constexpr Difference differences[] = {
    {"1024", "Analog Value: 1024, Temperature: -nan", "Analog Value: 1024, Temperature: nan"},
    {"4294967296", "Analog Value: 0, Temperature: -273.15", "Analog Value: -1, Temperature: nan"},
    {"99999999999", "Analog Value: 1215752191, Temperature: -nan", "Analog Value: -1, Temperature: nan"},
};

TEST(Ky013, ReadingsTheBuildsTakeApartAsTheirPlatformsDo)
{
    BoardConfig config;
    std::vector<std::string> expected;
    for (const auto& d : differences) {
        config.adc[0].push_back(d.raw);
        expected.emplace_back(build_under_test() == Build::board ? d.on_the_board : d.on_the_pc);
    }
    RunOptions options;
    options.stop_after_lines = std::size(differences);
    EXPECT_EQ(lines_of(run_ky013(config, options).out), expected);
}

TEST(Ky013, ReadsOnceASecond)
{
    BoardConfig config;
    config.adc[0] = {"500", "512", "1000", "1022"};
    RunOptions options;
    options.stop_at = 3.5;
    const auto r = run_ky013(config, options);
    EXPECT_EQ(r.out, "Analog Value: 500, Temperature: 23.98\n"
                     "Analog Value: 512, Temperature: 25.04\n"
                     "Analog Value: 1000, Temperature: 140.68\n"
                     "Analog Value: 1022, Temperature: 327.74\n");
    std::vector<double> read_times;
    for (const auto& access : all_of<SysfsAccess>(r.events)) {
        if (access.op == SysfsAccess::Op::read && access.attr == raw_attr) {
            read_times.push_back(access.t);
        }
    }
    EXPECT_EQ(read_times, (std::vector<double>{0, 1, 2, 3}));
    std::vector<double> pauses;
    for (const auto& e : all_of<ProgramEvent>(r.events)) {
        if (e.kind == ProgramEvent::Kind::sleep) {
            pauses.push_back(e.seconds);
        }
    }
    EXPECT_EQ(pauses, (std::vector<double>{1, 1, 1, 1}));
}

TEST(Ky013, TheFirstLineIsOutBeforeTheFirstPause)
{
    // SIGINT at the first pause ends the program there (it has no handler):
    // the line printed before it must already have left the process.
    BoardConfig config;
    config.adc[0] = {"512"};
    RunOptions options;
    options.sigint_when = [](const std::vector<Event>& events) {
        for (const auto& e : all_of<ProgramEvent>(events)) {
            if (e.kind == ProgramEvent::Kind::sleep) {
                return true;
            }
        }
        return false;
    };
    const auto r = run_ky013(config, options);
    EXPECT_EQ(r.out, "Analog Value: 512, Temperature: 25.04\n");
    EXPECT_EQ(r.signal, SIGINT);
}

TEST(Ky013, WithoutTheAnalogInputItSaysSoOnStandardError)
{
    BoardConfig config;
    ASSERT_EQ(config.faults.add("absent=/sys/bus/iio/devices/iio:device0/in_voltage0_raw"), "");
    const auto r = run_ky013(config, {});
    EXPECT_EQ(r.err, "Failed to initialize analog pin\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exit_code, 1);
}

// Output that cannot be written ends the monitor at its first line: one
// sample, no pause.
TEST(Ky013, OutputThatCannotBeWrittenEndsItAtTheFirstLine)
{
    for (const auto& lost : lost_outputs(true)) { // libmraa opens its syslog first
        RunOptions options;
        options.output = lost.output;
        const auto r = run_ky013({}, options);
        EXPECT_EQ(r.err, lost_output_message("ky013", lost.error)) << lost.name;
        EXPECT_EQ(r.exit_code, 1) << lost.name;
        const auto accesses = all_of<SysfsAccess>(r.events);
        EXPECT_EQ(std::count_if(accesses.begin(), accesses.end(),
                                [](const SysfsAccess& a) { return a.attr == "in_voltage0_raw"; }),
                  1)
            << lost.name;
        for (const auto& e : all_of<ProgramEvent>(r.events)) {
            EXPECT_NE(e.kind, ProgramEvent::Kind::sleep) << lost.name;
        }
    }
}

} // namespace
