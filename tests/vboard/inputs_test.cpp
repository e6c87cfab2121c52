// The ADC's inputs as on a bench: voltages, the thermistor module at a
// temperature, signal generators over virtual time, and knobs turned while
// the program runs (a control FIFO, the arrow keys), read through the
// programs that read them.

#include "board.hpp"
#include "child_process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <pty.h>
#include <regex>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace vboard;
namespace fs = std::filesystem;
using test_support::finish_child;
using test_support::read_until;
using test_support::run_child;
using test_support::start_child;

AdcInput input(const std::string& spec)
{
    std::string problem;
    auto parsed = AdcInput::parse(spec, problem);
    EXPECT_TRUE(parsed.has_value()) << spec << ": " << problem;
    return parsed.value_or(AdcInput{});
}

// The raw counts adc_test reports on channel 6, one a second, for `seconds`.
std::vector<int> counts_read(AdcInput channel6, double seconds)
{
    BoardConfig config;
    config.adc_inputs[6] = std::move(channel6);
    RunOptions options;
    options.argv = {ADC_TEST_PATH, "6"};
    options.stop_at = seconds;
    Board board(std::move(config));
    const auto r = board.run(options);
    std::vector<int> counts;
    const std::regex line("Digital Value on Channel 6 = (-?[0-9]+)");
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), line), end; it != end; ++it) {
        counts.push_back(std::stoi((*it)[1]));
    }
    return counts;
}

// --- The bench's inputs, before anything says otherwise -------------------------------------

struct Bench {
    std::vector<std::string> args; // vboard run's options, the program and its arguments
    std::string first_reading;     // what the program prints up to its first reading
};

// adc_test's banner and its report of the first reading.
std::string first_report(const std::string& channel, const std::string& raw, const std::string& millivolts)
{
    return "\n   *** ADC TESTING UTILITY ***   \nDigital Value on Channel " + channel + " = " + raw +
           "\nAnalog Value on Channel " + channel + " = " + millivolts + "\n";
}

// ky013 reads the KY-013 module at 25 C on its channel, adc_test reads
// mid-scale (1.65 V) on any other; an option on a channel replaces the
// input there, and nowhere else.
TEST(Inputs, EachChannelHasTheBenchsInputUntilAnOptionReplacesIt)
{
    for (const auto& [args, first_reading] :
         {Bench{{"ky013"}, "Analog Value: 512, Temperature: 25.04\n"},
          Bench{{"--ntc", "0=40C", "ky013"}, "Analog Value: 668, Temperature: 40.05\n"},
          Bench{{"--adc", "0=100", "ky013"}, "Analog Value: 100, Temperature: -19.14\n"},
          Bench{{"--adc", "6=100", "ky013"}, "Analog Value: 512, Temperature: 25.04\n"},
          Bench{{"adc_test", "6"}, first_report("6", "2048", "1650.000000")},
          Bench{{"adc_test", "0"}, first_report("0", "512", "412.500000")},
          Bench{{"--adc", "6=1V", "adc_test", "6"}, first_report("6", "1241", "999.829102")},
          Bench{{"--ntc", "6=25C", "adc_test", "6"}, first_report("6", "512", "412.500000")},
          Bench{{"--adc", "0=100", "adc_test", "6"}, first_report("6", "2048", "1650.000000")}}) {
        const auto lines = std::count(first_reading.begin(), first_reading.end(), '\n');
        std::vector<std::string> argv{VBOARD_COMMAND_PATH, "run", "--quiet", "--lines", std::to_string(lines)};
        std::string label;
        for (const auto& arg : args) {
            argv.push_back(arg);
            label += " " + arg;
        }
        const auto r = run_child(argv, "");
        EXPECT_EQ(r.out, first_reading) << label;
        EXPECT_EQ(r.err, "") << label;
        EXPECT_EQ(r.exit_code, 0) << label;
    }
}

// A board the library builds has the same bench as the command's, channel by
// channel, and knobs that start from it; a channel the configuration gives
// (as counts or as an input) has that instead.
TEST(Inputs, ABoardFromTheLibraryHasTheSameBench)
{
    BoardConfig config;
    config.adc[3] = {"7"};
    config.adc_inputs[5] = input("1V");
    Board board(std::move(config));
    RunOptions options;
    options.argv = {"/bin/sh", "-c", "cd /sys/bus/iio/devices/iio:device0 && cat in_voltage0_raw in_voltage1_raw "
                                     "in_voltage2_raw in_voltage3_raw in_voltage4_raw in_voltage5_raw in_voltage6_raw "
                                     "in_voltage7_raw"};
    EXPECT_EQ(board.run(options).out, "512\n2048\n2048\n7\n2048\n1241\n2048\n2048\n");
    board.turn_adc_input(0, 41, "keys");
    board.turn_adc_input(6, -41, "keys");
    EXPECT_EQ(board.adc_counts(), (std::array<std::optional<int>, 8>{553, 2048, 2048, 7, 2048, 1241, 2007, 2048}));
}

// What a person is told is wired: the bench's inputs, and others as given.
TEST(Inputs, EachInputSaysWhatIsWired)
{
    std::vector<std::string> described;
    for (const auto& bench : default_adc_inputs()) {
        described.push_back(bench.describe());
    }
    EXPECT_EQ(described, (std::vector<std::string>{"KY-013 thermistor module at 25C", "1.65V (2048)", "1.65V (2048)",
                                                   "1.65V (2048)", "1.65V (2048)", "1.65V (2048)", "1.65V (2048)",
                                                   "1.65V (2048)"}));
    std::string problem;
    EXPECT_EQ(input("0.5V,100,3.3V").describe(), "0.5V,100,3.3V (621,100,4095)");
    EXPECT_EQ(input("ramp:0V..3.3V:10").describe(), "ramp:0V..3.3V:10");
    EXPECT_EQ(AdcInput::thermistor("ramp:15C..45C:6", problem).value().describe(),
              "KY-013 thermistor module at ramp:15C..45C:6");
    AdcInput turned = AdcInput::thermistor("25C", problem).value();
    turned.turn(41, 0);
    EXPECT_EQ(turned.describe(), "553");
}

// --- Volts ---------------------------------------------------------------------------------

struct Volts {
    const char* given;
    int count; // the nearest code: volts / (3.3 V / 4096)
};

TEST(Inputs, VoltsBecomeTheNearestCountOfTheConverter)
{
    for (const auto& [given, count] : {Volts{"0V", 0},
                                       Volts{"0.5V", 621}, // 620.6
                                       Volts{"1.65V", 2048},
                                       Volts{"3.3V", 4095}}) { // 4096: full scale is the last code
        EXPECT_EQ(counts_read(input(given), 0.5), std::vector<int>{count}) << given;
    }
    std::string problem;
    EXPECT_FALSE(AdcInput::parse("3.4V", problem));
    EXPECT_EQ(problem, "3.4V is outside the converter's input range, 0 to 3.3V");
    EXPECT_FALSE(AdcInput::parse("-0.1V", problem));
    EXPECT_FALSE(AdcInput::parse("1,2mV", problem));
    EXPECT_EQ(problem, "2mV is no voltage: volts as a number, such as 1.65V");
    EXPECT_FALSE(AdcInput::parse("ramp:a..1V:1", problem));
    EXPECT_EQ(problem, "\"a\" in ramp:a..1V:1 is not a level of the converter: a count 0 to 4095, or 0 to 3.3V");
}

// --- The thermistor module -----------------------------------------------------------------

struct Temperature {
    const char* given;
    double celsius;
    double count_worth; // how far apart the temperatures of neighbouring readings are there
};

// ky013 prints, for the reading the module gives at each temperature, that
// temperature to within what one count is worth there.
TEST(Inputs, TheThermistorModuleReadsAsItsTemperatureThroughKy013)
{
    for (const auto& t : {Temperature{"-20C", -20, 0.20}, Temperature{"0C", 0, 0.11}, Temperature{"25C", 25, 0.09},
                          Temperature{"60C", 60, 0.17}, Temperature{"100C", 100, 0.57}}) {
        std::string problem;
        BoardConfig config;
        config.adc_inputs[0] = AdcInput::thermistor(t.given, problem).value();
        RunOptions options;
        options.argv = {KY013_PATH};
        options.stop_after_lines = 1;
        Board board(std::move(config));
        const auto r = board.run(options);
        std::smatch printed;
        ASSERT_TRUE(std::regex_search(r.out, printed, std::regex("Temperature: (-?[0-9.]+)"))) << r.out;
        EXPECT_NEAR(std::stod(printed[1]), t.celsius, t.count_worth) << t.given << ": " << r.out;
    }
    std::string problem;
    EXPECT_FALSE(AdcInput::thermistor("400C", problem));
    EXPECT_FALSE(AdcInput::thermistor("25", problem));
}

// --- Signal generators --------------------------------------------------------------------

struct Wave {
    const char* spec;
    std::vector<int> at_whole_seconds; // the value at 0 s, 1 s, 2 s...
};

TEST(Inputs, WaveformsAreReadAtEachReadsVirtualTime)
{
    for (const auto& [spec, expected] : {
             Wave{"ramp:0..4000:4", {0, 1000, 2000, 3000, 4000, 4000}},       // 1000 a second, then TO
             Wave{"sine:2048+-1000:4", {2048, 3048, 2048, 1048, 2048}},       // 2048 + 1000 sin(2 pi t / 4)
             Wave{"square:0V/3.3V:2", {0, 4095, 0, 4095}},                     // low, then high, each half a period
             Wave{"ramp:0V..1.65V:2", {0, 1024, 2048}}}) {                     // 0.825 V is code 1024
        EXPECT_EQ(counts_read(input(spec), static_cast<double>(expected.size()) - 0.5), expected) << spec;
    }
    // Noise: within its band, not constant, and the same again for its seed.
    const auto noise = counts_read(input("noise:2048\u00b1100:7"), 9.5);
    ASSERT_EQ(noise.size(), 10u);
    for (const int count : noise) {
        EXPECT_GE(count, 1948);
        EXPECT_LE(count, 2148);
    }
    EXPECT_NE(std::count(noise.begin(), noise.end(), noise.front()), 10);
    EXPECT_EQ(counts_read(input("noise:2048+-100:7"), 9.5), noise);
    EXPECT_NE(counts_read(input("noise:2048+-100:8"), 9.5), noise);
}

// --- Knobs turned while the program runs -----------------------------------------------------

// A line on the control FIFO changes what channel 6 reads from then on,
// and is recorded: every report after it shows the new count.
TEST(Inputs, ControlLinesTurnTheInputWhileTheProgramRuns)
{
    const fs::path dir = fs::temp_directory_path() / ("vboard-control-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string fifo = (dir / "control").string();
    const std::string trace = (dir / "trace.jsonl").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto vboard = start_child({VBOARD_COMMAND_PATH, "run", "--quiet", "--speed", "20", "--for", "8", "--adc", "6=100",
                               "--control", fifo, "--trace", trace, "adc_test", "6"});
    ASSERT_GT(vboard.pid, 0);
    std::string seen;
    ASSERT_TRUE(read_until(vboard.out, seen, "= 100\n")) << seen;
    const int control = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(control, 0);
    const std::string lines = "adc 6 1.2V\nntc 9 40C\n";
    ASSERT_EQ(write(control, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    close(control);
    const int status = finish_child(vboard, seen);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // The input event, and the reads around it in the record: before it,
    // 100; after it, 1.2 V (code 1489).
    std::ifstream in(trace);
    bool changed = false;
    std::vector<std::string> reads;
    const std::regex read_event(R"("attr":"in_voltage6_raw","value":"([0-9]+)\\n")");
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (line.find(R"("event":"input","channel":6,"value":"1.2V","count":1489,"from":"control")") != std::string::npos) {
            changed = true;
        } else if (std::regex_search(line, m, read_event)) {
            reads.push_back(std::string(changed ? "after " : "before ") + std::string(m[1]));
        }
    }
    ASSERT_TRUE(changed) << "no input event";
    ASSERT_EQ(reads.size(), 8u); // at 0 s to 7 s: stopped at 8 s
    EXPECT_EQ(reads.front(), "before 100");
    for (const auto& read : reads) {
        EXPECT_TRUE(read == "before 100" || read == "after 1489") << read;
    }
    EXPECT_EQ(reads.back(), "after 1489");
    fs::remove_all(dir);
}

// A line that never ends (a binary file written by mistake) is complained
// of once and dropped up to its end; a bad line is quoted with what is not
// text escaped; the lines after both still turn the knob.
TEST(Inputs, ControlLinesTooLongOrNotTextAreToldOnceAndEscaped)
{
    const fs::path dir = fs::temp_directory_path() / ("vboard-control-long-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string fifo = (dir / "control").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto vboard = start_child({VBOARD_COMMAND_PATH, "run", "--quiet", "--speed", "20", "--for", "40", "--adc", "6=100",
                               "--control", fifo, "adc_test", "6"},
                              true);
    signal(SIGPIPE, SIG_IGN); // should vboard end first, a failed write, not the test's end
    ASSERT_GT(vboard.pid, 0);
    std::string seen;
    ASSERT_TRUE(read_until(vboard.out, seen, "= 100\n")) << seen;
    const int control = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(control, 0);
    std::string lines(300000, '\xff');
    lines[1000] = '\x01';
    lines += "\nadc 9 \x01\"bogus\nadc 6 1.2V\n";
    for (std::size_t done = 0; done < lines.size();) {
        const ssize_t n = write(control, lines.data() + done, lines.size() - done);
        ASSERT_GT(n, 0);
        done += static_cast<std::size_t>(n);
    }
    close(control);
    ASSERT_TRUE(read_until(vboard.out, seen, "= 1489\n")) << seen;
    const int status = finish_child(vboard, seen);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_NE(seen.find("vboard: --control: a line longer than 4096 bytes (\"" + std::string("\\xff\\xff")),
              std::string::npos)
        << seen;
    EXPECT_EQ(seen.find("longer than"), seen.rfind("longer than")) << "told once";
    EXPECT_NE(seen.find("vboard: --control: \"adc 9 \\x01\\x22bogus\": the ADC has channels 0 to 7\n"), std::string::npos) << seen;
    EXPECT_EQ(seen.find_first_of(std::string("\x01\xff", 2)), std::string::npos) << "raw bytes echoed";
    fs::remove_all(dir);
}

// The arrow keys at the terminal the view is drawn on: up turns the
// selected channel (the first given) by 1 %, shift and down by 10 % down.
TEST(Inputs, ArrowKeysTurnTheSelectedChannel)
{
    int terminal = -1;
    winsize size{};
    size.ws_col = 80;
    size.ws_row = 24;
    const pid_t vboard = forkpty(&terminal, nullptr, nullptr, &size);
    ASSERT_GE(vboard, 0);
    if (vboard == 0) {
        setenv("TERM", "xterm", 1);
        unsetenv("NO_COLOR");
        execl(VBOARD_COMMAND_PATH, VBOARD_COMMAND_PATH, "run", "--speed", "20", "--adc", "6=2048", "adc_test", "6",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    ASSERT_TRUE(read_until(terminal, seen, "ADC 6: 2048 = 1.650 V  <- ->")) << seen; // the status line, channel 6 selected
    ASSERT_EQ(write(terminal, "\x1b[A", 3), 3);                           // 2048 + 41
    ASSERT_TRUE(read_until(terminal, seen, "Channel 6 = 2089\r\n")) << seen;
    ASSERT_EQ(write(terminal, "\x1b[1;2B", 6), 6); // 2089 - 410
    ASSERT_TRUE(read_until(terminal, seen, "Channel 6 = 1679\r\n")) << seen;
    EXPECT_NE(seen.find("input 6 <- 1679"), std::string::npos) << seen;
    kill(vboard, SIGINT);
    read_until(terminal, seen, "\x01never\x01");
    close(terminal);
    int status = 0;
    waitpid(vboard, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << status;
}

// A program that reads the terminal gets it: its keys are no knobs then.
TEST(Inputs, AProgramReadingTheTerminalGetsItAndTheKnobsStop)
{
    int terminal = -1;
    const pid_t vboard = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(vboard, 0);
    if (vboard == 0) {
        execl(VBOARD_COMMAND_PATH, VBOARD_COMMAND_PATH, "run", "calculator", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    ASSERT_TRUE(read_until(terminal, seen, "live control is off")) << seen;
    for (const auto& [prompt, answer] : {std::pair{"first number: ", "12\n"}, std::pair{"operator (+, -, *, /): ", "*\n"},
                                         std::pair{"second number: ", "-7\n"}}) {
        ASSERT_TRUE(read_until(terminal, seen, prompt)) << seen;
        ASSERT_EQ(write(terminal, answer, std::strlen(answer)), static_cast<ssize_t>(std::strlen(answer)));
    }
    ASSERT_TRUE(read_until(terminal, seen, "12 * -7 = -84")) << seen;
    int status = 0;
    waitpid(vboard, &status, 0);
    close(terminal);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
