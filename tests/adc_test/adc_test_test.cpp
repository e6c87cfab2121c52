// adc_test on the virtual board's IIO ADC: what it prints pass by pass,
// what it wrote to and read from sysfs, and how it copes with a missing
// device, odd arguments and no argument.

#include "board.hpp"
#include "board_support.hpp"
#include "program_build.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

using namespace vboard;

const std::string banner = "\n   *** ADC TESTING UTILITY ***   \n";
const std::string device_dir = "/sys/bus/iio/devices/iio:device0/";

std::string report(int channel, const char* raw, const char* millivolts)
{
    return "Digital Value on Channel " + std::to_string(channel) + " = " + raw + "\n" + "Analog Value on Channel " +
           std::to_string(channel) + " = " + millivolts + "\n";
}

RunResult run_adc_test(Board& board, std::vector<std::string> args, RunOptions options = {})
{
    options.argv = {program(ADC_TEST_PATH, "adc_test")};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.timeout = std::chrono::seconds(20);
    return board.run(options);
}

RunResult run_adc_test(BoardConfig config, std::vector<std::string> args, RunOptions options = {})
{
    Board board(std::move(config));
    return run_adc_test(board, std::move(args), std::move(options));
}

RunOptions stop_after_lines(int lines)
{
    RunOptions options;
    options.stop_after_lines = lines;
    return options;
}

RunOptions stop_at(double seconds)
{
    RunOptions options;
    options.stop_at = seconds;
    return options;
}

// Bytes as a test can spell them: NUL as \0, newline as \n.
std::string visible(const std::string& bytes)
{
    std::string shown;
    for (const char c : bytes) {
        if (c == '\0') {
            shown += "\\0";
        } else if (c == '\n') {
            shown += "\\n";
        } else {
            shown += c;
        }
    }
    return shown;
}

// The program's file traffic, one line per open, transfer and close.
std::vector<std::string> file_traffic(const std::vector<Event>& events)
{
    std::vector<std::string> lines;
    for (const auto& event : events) {
        if (const auto* file = std::get_if<FileEvent>(&event)) {
            lines.push_back((file->op == FileEvent::Op::open ? "open " : "close ") + file->path +
                            (file->error != 0 ? " error " + std::to_string(file->error) : ""));
        } else if (const auto* access = std::get_if<SysfsAccess>(&event)) {
            lines.push_back((access->op == SysfsAccess::Op::read ? "read " : "write ") + access->attr + " " +
                            visible(access->bytes));
        }
    }
    return lines;
}

// One operation of the module as file_traffic shows it: the attribute's
// file opened, one transfer (`op` "read" or "write" with the bytes as
// shown), the file closed again.
std::vector<std::string> operation(const std::string& op, const std::string& attr, const std::string& bytes)
{
    const std::string path = "/sys/bus/iio/devices/iio:device0/" + attr;
    return {"open " + path, op + " " + attr + " " + bytes, "close " + path};
}

// The set-up of channel n, then one read per raw value.
std::vector<std::string> set_up_and_reads(const std::string& n, const std::vector<std::string>& raws)
{
    std::vector<std::string> lines;
    for (const auto& part : {operation("write", "buffer/enable", "0\\0"), operation("write", "buffer/length", "100"),
                             operation("write", "scan_elements/in_voltage" + n + "_en", "1\\0")}) {
        lines.insert(lines.end(), part.begin(), part.end());
    }
    for (const auto& raw : raws) {
        const auto part = operation("read", "in_voltage" + n + "_raw", raw + "\\n");
        lines.insert(lines.end(), part.begin(), part.end());
    }
    return lines;
}

std::string enoent(const std::string& text)
{
    return text + ": No such file or directory\n";
}

// Raw values as the ADC's sysfs file shows them, one per pass; the last one
// is a text no ADC gives, of which one read takes only ten bytes.
TEST(AdcTest, ReportsEachRawValueAsCountAndMillivolts)
{
    BoardConfig config;
    config.adc[6] = {"2048", "0", "4095", "-1", "12345678901"};
    const auto r = run_adc_test(std::move(config), {"6"}, stop_after_lines(12));
    EXPECT_EQ(r.out, banner + report(6, "2048", "1650.000000") + report(6, "0", "0.000000") +
                         report(6, "4095", "3299.194336") + report(6, "-1", "-0.805664") +
                         report(6, "1234567890", "994646976.000000"));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.stopped);
}

TEST(AdcTest, SetsUpOnceThenReadsOncePerSecond)
{
    BoardConfig config;
    config.adc[6] = {"2048", "2047", "2046"};
    const auto r = run_adc_test(std::move(config), {"6"}, stop_at(2.5));
    // Each operation opens its file, makes one transfer and closes it again.
    EXPECT_EQ(file_traffic(r.events), set_up_and_reads("6", {"2048", "2047", "2046"}));
    // Set-up and the first reading at once, then a reading after each 1 s pause.
    std::vector<double> times;
    for (const auto& access : all_of<SysfsAccess>(r.events)) {
        times.push_back(access.t);
    }
    EXPECT_EQ(times, (std::vector<double>{0, 0, 0, 0, 1, 2}));
    for (const auto& event : all_of<ProgramEvent>(r.events)) {
        if (event.kind == ProgramEvent::Kind::sleep) {
            EXPECT_EQ(event.seconds, 1.0);
        }
    }
    for (const auto& access : all_of<SysfsAccess>(r.events)) {
        EXPECT_EQ(access.error, 0) << access.attr;
    }
}

// The program has no SIGINT handler: the signal, raised as its first
// access to the device (the open of buffer/enable) returns, ends it there.
TEST(AdcTest, PrintsTheBannerBeforeTouchingTheDevice)
{
    RunOptions options;
    options.sigint_when = [](const std::vector<Event>& events) {
        return !all_of<SysfsAccess>(events).empty() || !all_of<FileEvent>(events).empty();
    };
    const auto r = run_adc_test(BoardConfig{}, {"6"}, options);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.signal, SIGINT);
    const auto files = all_of<FileEvent>(r.events);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].path, "/sys/bus/iio/devices/iio:device0/buffer/enable");
    EXPECT_TRUE(all_of<SysfsAccess>(r.events).empty());
}

// Killed during the pause after its third pass (as Ctrl-C would, with no
// chance to flush), the program has already delivered all three passes
// through the pipe.
TEST(AdcTest, EachPassReachesThePipeBeforeThePause)
{
    BoardConfig config;
    config.adc[6] = {"100", "1000", "1"};
    RunOptions options;
    options.sigint_at = 2.5;
    const auto r = run_adc_test(std::move(config), {"6"}, options);
    EXPECT_EQ(r.out, banner + report(6, "100", "80.566406") + report(6, "1000", "805.664062") +
                         report(6, "1", "0.805664"));
    EXPECT_EQ(r.signal, SIGINT);
}

// The argument is read as atoi reads it; the channel it gives picks the
// files, and the report lines and failure texts name it. Channel N of the
// ADC reads 100 + N.
struct ArgumentCase {
    const char* name;
    const char* argument;
    int channel;
    const char* raw;
    const char* millivolts;
    std::string err; // for a channel the ADC does not have
};

void PrintTo(const ArgumentCase& c, std::ostream* os) { *os << c.name; }

class Arguments : public testing::TestWithParam<ArgumentCase> {};

TEST_P(Arguments, SelectTheChannel)
{
    const auto& c = GetParam();
    BoardConfig config;
    for (int channel = 0; channel < 8; ++channel) {
        config.adc[channel] = {std::to_string(100 + channel)};
    }
    const auto r = run_adc_test(std::move(config), {c.argument}, stop_after_lines(4));
    EXPECT_EQ(r.out, banner + report(c.channel, c.raw, c.millivolts));
    EXPECT_EQ(r.err, c.err);
    if (c.err.empty()) {
        const std::string n = std::to_string(c.channel);
        EXPECT_EQ(file_traffic(r.events), set_up_and_reads(std::to_string(c.channel), {c.raw}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    AdcTest, Arguments,
    testing::Values(
        ArgumentCase{"non_numeric_is_channel_0", "abc", 0, "100", "80.566406", ""},
        ArgumentCase{"empty_is_channel_0", "", 0, "100", "80.566406", ""},
        ArgumentCase{"blanks_sign_and_trailing_text", " \t+7volts", 7, "107", "86.206055", ""},
        ArgumentCase{"leading_zeros", "003", 3, "103", "82.983398", ""},
        ArgumentCase{"negative_channel_named_in_the_failures", "-3", -3, "0", "0.000000",
                     enoent("open scan_elements/in_voltage-3_en error") + enoent("open in_voltage-3_raw   error")},
        ArgumentCase{"channel_the_adc_lacks_named_in_the_failures", "12", 12, "0", "0.000000",
                     enoent("open scan_elements/in_voltage12_en error") + enoent("open in_voltage12_raw   error")},
        ArgumentCase{"out_of_range_saturates", "99999999999", 2147483647, "0", "0.000000",
                     enoent("open scan_elements/in_voltage2147483647_en error") +
                         enoent("open in_voltage2147483647_raw   error")},
        ArgumentCase{"below_range_saturates", "-99999999999", -2147483647 - 1, "0", "0.000000",
                     enoent("open scan_elements/in_voltage-2147483648_en error") +
                         enoent("open in_voltage-2147483648_raw   error")}),
    [](const testing::TestParamInfo<ArgumentCase>& param) { return std::string(param.param.name); });

// Every open fails: each failure is reported, and every pass still prints
// both lines, with the value 0 that a reading of nothing gives.
TEST(AdcTest, MissingDeviceIsReportedEveryPassWithoutStopping)
{
    BoardConfig config;
    ASSERT_EQ(config.faults.add("absent=/sys/bus/iio/devices/iio:device0"), "");
    const auto r = run_adc_test(std::move(config), {"6"}, stop_at(1.5));
    EXPECT_EQ(r.out, banner + report(6, "0", "0.000000") + report(6, "0", "0.000000"));
    EXPECT_EQ(r.err, enoent("open buffer enable error") + enoent("open buffer length error") +
                         enoent("open scan_elements/in_voltage6_en error") + enoent("open in_voltage6_raw   error") +
                         enoent("open in_voltage6_raw   error"));
    EXPECT_TRUE(r.stopped);
}

TEST(AdcTest, WithoutAChannelPrintsUsageAndExitsWithOne)
{
    const auto r = run_adc_test(BoardConfig{}, {});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "usage: adc_test CHANNEL\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(all_of<SysfsAccess>(r.events).empty());
    EXPECT_TRUE(all_of<FileEvent>(r.events).empty());
}

// Output that cannot be written ends the monitor at the banner, before it
// touches the device: it would sample for nobody. The same with no ADC
// at all: nothing is opened, so nothing fails to open.
TEST(AdcTest, OutputThatCannotBeWrittenEndsItAtTheBanner)
{
    for (const char* fault : {"", "absent=/sys/bus/iio/devices/iio:device0"}) {
        for (const auto& lost : lost_outputs()) {
            RunOptions options;
            options.output = lost.output;
            const auto r = run_adc_test(*fault != '\0' ? with_fault(fault) : BoardConfig{}, {"6"}, options);
            EXPECT_EQ(r.err, lost_output_message("adc_test", lost.error)) << lost.name << " " << fault;
            EXPECT_EQ(r.exit_code, 1) << lost.name;
            EXPECT_TRUE(all_of<FileEvent>(r.events).empty()) << lost.name;
        }
    }
}

} // namespace
