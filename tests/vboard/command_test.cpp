// The vboard command as people and scripts use it.

#include "child_process.hpp"
#include "version.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::run_child;

std::vector<std::string> vboard(std::vector<std::string> options, std::vector<std::string> program)
{
    std::vector<std::string> argv{VBOARD_COMMAND_PATH, "run", "--quiet"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.emplace_back("--");
    argv.emplace_back(DEVPROBE_PATH);
    argv.insert(argv.end(), program.begin(), program.end());
    return argv;
}

fs::path scratch_directory(const std::string& name)
{
    const fs::path dir = fs::temp_directory_path() / ("vboard-test-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

TEST(Command, PassesOutputThroughByteForByteWithTheProgramsStatus)
{
    const auto r = run_child(vboard({}, {"print", "to stdout", "open", "/dev/nowhere", "r", "bogus-step"}), "");
    EXPECT_EQ(r.out, "to stdout\nopen -2\n");
    EXPECT_EQ(r.err, "devprobe: unknown step bogus-step\n");
    EXPECT_EQ(r.exit_code, 2);
}

TEST(Command, AProgramStoppedByVboardCountsAsSuccess)
{
    const auto r = run_child(vboard({"--lines", "3"}, {"ticks", "1000", "1000000"}), "");
    EXPECT_EQ(r.out, "tick 0\ntick 1\ntick 2\n");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(Command, ForStopsAtAVirtualTime)
{
    const auto r = run_child(vboard({"--for", "2.5"}, {"ticks", "1000", "1000000"}), "");
    EXPECT_EQ(r.out, "tick 0\ntick 1\ntick 2\n");
    EXPECT_EQ(r.exit_code, 0);
}

// The command runs at a pace a person can watch unless told otherwise: 100
// virtual seconds per real second, so 50 virtual seconds take half a real
// one (a lower bound: a busy machine only makes it longer). With --speed
// max, pauses take no real time at all: beyond what a run stopped at once
// takes (starting vboard and the program, which under the sanitizers is
// most of it), the same 50 virtual seconds cost less than a fifth. The
// program pauses 10 s at a time, so that the run's few pauses, not the
// work between them, make the difference. A busy machine only adds time to
// a run, so the quickest of three runs is each figure's measure.
TEST(Command, RunsAtAHundredVirtualSecondsPerRealSecondUnlessToldMax)
{
    const auto one_run = [](const char* virtual_seconds, const std::vector<std::string>& speed) {
        std::vector<std::string> argv{VBOARD_COMMAND_PATH, "run", "--quiet", "--for", virtual_seconds};
        argv.insert(argv.end(), speed.begin(), speed.end());
        argv.insert(argv.end(), {"--", DEVPROBE_PATH, "ticks", "1000", "10000000"});
        const auto start = std::chrono::steady_clock::now();
        const auto r = run_child(argv, "");
        const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.exit_code, 0) << r.err;
        // A tick every 10 s from 0 on; the stop comes at the pause after the last one before it.
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), std::max(1, std::atoi(virtual_seconds) / 10)) << r.out;
        return taken.count();
    };
    const auto seconds_taken = [&one_run](const char* virtual_seconds, const std::vector<std::string>& speed) {
        return std::min({one_run(virtual_seconds, speed), one_run(virtual_seconds, speed), one_run(virtual_seconds, speed)});
    };
    const double at_once = seconds_taken("0", {});
    const double by_default = seconds_taken("50", {});
    const double at_max = seconds_taken("50", {"--speed", "max"});
    EXPECT_GE(by_default, 0.4);
    EXPECT_LT(at_max - at_once, (by_default - at_once) / 5)
        << "stopped at once " << at_once << " s, by default " << by_default << " s, at max " << at_max << " s";
}

// An empty write is an address-only transfer on the bus; it must not make
// vboard's own libraries complain into the program's standard error.
TEST(Command, EmptyTransfersLeaveStandardErrorAlone)
{
    const auto r = run_child(vboard({}, {"open", "/dev/i2c-0", "rw", "address", "0x27", "write", "", "read", "0"}), "");
    EXPECT_EQ(r.out, "open OK\naddress 0\nwrite 0\nread 0 \n");
    EXPECT_EQ(r.err, "");
}

// No preload reaches a statically linked program: vboard says once that
// its pauses take real time, and runs it on the board all the same.
TEST(Command, SaysAStaticProgramsPausesTakeRealTime)
{
    const auto r = run_child({VBOARD_COMMAND_PATH, "run", "--quiet", "--", "/bin/busybox", "echo", "on the board"}, "");
    EXPECT_EQ(r.out, "on the board\n");
    EXPECT_EQ(r.err, "vboard: /bin/busybox is statically linked: its pauses take real time\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(run_child(vboard({}, {"print", "dynamic"}), "").err, "");
}

TEST(Command, PassesItsStandardInputToTheProgram)
{
    const auto r = run_child({VBOARD_COMMAND_PATH, "run", "--quiet", "calculator"}, "12 * -7\n");
    EXPECT_EQ(r.out, "Enter first number: Enter operator (+, -, *, /): Enter second number: 12 * -7 = -84\n");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(Command, TraceHasOneJsonObjectPerDeviceEvent)
{
    const fs::path dir = scratch_directory("trace");
    const std::string trace = (dir / "trace.jsonl").string();
    const auto r = run_child(
        vboard({"--trace", trace, "--adc", "2=7,8"},
               {"open", "/dev/spidev3.0", "rw", "transfer", "2", "0102", "open",
                "/sys/bus/iio/devices/iio:device0/in_voltage2_raw", "r", "read", "8", "usleep", "250000", "seek", "0",
                "read", "8"}),
        "");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::ifstream in(trace);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    // The transfer ends after 2 bytes of 8 clocks at 1 MHz: 16 µs; the pause
    // of 0.25 s starts then.
    const std::string after_transfer = "0.000016";
    const std::string after_pause = "0.250016";
    const std::vector<std::string> expected{
        R"({"t":0,"dev":"vboard","event":"trace","format":1,"vboard":")" + std::string(vboard::version) + R"("})",
        R"({"t":0,"dev":"spidev3.0","event":"open","path":"/dev/spidev3.0"})",
        R"({"t":)" + after_transfer + R"(,"dev":"spidev3.0","event":"transfer","tx":"0102","rx":"0102","len":2,"speed_hz":1000000,"bits_per_word":0,"mode":0,"mode_hex":"0x00","result":2})",
        R"({"t":)" + after_transfer + R"(,"dev":"iio:device0","event":"open","path":"/sys/bus/iio/devices/iio:device0/in_voltage2_raw"})",
        R"({"t":)" + after_transfer + R"(,"dev":"iio:device0","event":"read","attr":"in_voltage2_raw","value":"7\n","result":2})",
        R"({"t":)" + after_transfer + R"(,"dev":"program","event":"sleep","seconds":0.25})",
        R"({"t":)" + after_pause + R"(,"dev":"iio:device0","event":"read","attr":"in_voltage2_raw","value":"8\n","result":2})",
        R"({"t":)" + after_pause + R"(,"dev":"program","event":"exit","status":0})",
    };
    EXPECT_EQ(lines, expected);
    fs::remove_all(dir);
}

struct EarlyEnd {
    const char* name;
    std::vector<std::string> argv; // after --trace FILE
    int status;
    std::vector<std::string> events; // the lines after the header
};

// The header is the trace's first line however the run ends: even where
// vboard fails before the program starts, or the program makes no event.
TEST(Command, TraceBeginsWithItsHeaderHoweverTheRunEnds)
{
    const fs::path dir = scratch_directory("header");
    const std::string trace = (dir / "trace.jsonl").string();
    const std::string header =
        R"({"t":0,"dev":"vboard","event":"trace","format":1,"vboard":")" + std::string(vboard::version) + R"("})";
    const std::string exit = R"({"t":0,"dev":"program","event":"exit","status":0})";
    for (const auto& c : {EarlyEnd{"no device event", {"--", DEVPROBE_PATH, "print", "x"}, 0, {exit}},
                          EarlyEnd{"the capture cannot be written",
                                   {"--vcd", (dir / "absent" / "x.vcd").string(), "--", DEVPROBE_PATH},
                                   2,
                                   {}},
                          EarlyEnd{"the program cannot be started", {"--", (dir / "absent").string()}, 127, {}}}) {
        std::vector<std::string> argv{VBOARD_COMMAND_PATH, "run", "--quiet", "--trace", trace};
        argv.insert(argv.end(), c.argv.begin(), c.argv.end());
        const auto r = run_child(argv, "");
        EXPECT_EQ(r.exit_code, c.status) << c.name << ": " << r.err;
        std::ifstream in(trace);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        std::vector<std::string> expected{header};
        expected.insert(expected.end(), c.events.begin(), c.events.end());
        EXPECT_EQ(lines, expected) << c.name;
    }
    fs::remove_all(dir);
}

// Bytes that are not UTF-8 (a value served by the ADC) are written in hex,
// so that every line stays JSON that any parser takes.
TEST(Command, TraceLinesStayUtf8WhateverTheBytes)
{
    const fs::path dir = scratch_directory("utf8");
    const std::string trace = (dir / "trace.jsonl").string();
    const auto r = run_child(vboard({"--trace", trace, "--adc", "2=\xe9\xff" "1"},
                                    {"open", "/sys/bus/iio/devices/iio:device0/in_voltage2_raw", "r", "read", "8"}),
                             "");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::ifstream in(trace);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find(R"({"t":0,"dev":"iio:device0","event":"read","attr":"in_voltage2_raw","value_hex":"e9ff310a","result":4})"),
              std::string::npos)
        << all;
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }), 0)
        << all;
    fs::remove_all(dir);
}

TEST(Command, ViewCanBeSentToAFile)
{
    const fs::path dir = scratch_directory("view");
    const std::string view = (dir / "view.txt").string();
    std::vector<std::string> argv{VBOARD_COMMAND_PATH, "run", "--view", view, "--", DEVPROBE_PATH, "open", "/dev/spidev3.0",
                                  "rw", "transfer", "2", "4142"};
    const auto r = run_child(argv, "");
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "open OK\ntransfer 2 4142\n");
    std::ifstream in(view);
    const std::string drawn((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(drawn.find("TX   0  41 42"), std::string::npos) << drawn;
    EXPECT_NE(drawn.find("|AB|"), std::string::npos) << drawn;
    fs::remove_all(dir);
}

TEST(Command, ViewShowsALostDisplayTransferInRed)
{
    const fs::path dir = scratch_directory("view-lost");
    const std::string view = (dir / "view.txt").string();
    // A wake-up frame at once, inside the display's 40 ms power-on reset.
    const auto r = run_child({"/usr/bin/env", "LC_ALL=C.UTF-8", VBOARD_COMMAND_PATH, "run", "--color=always", "--view", view,
                              "--", DEVPROBE_PATH, "open", "/dev/i2c-0", "rw", "address", "0x27", "i2cwrite", "0c083c38"},
                             "");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::ifstream in(view);
    const std::string drawn((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Its first nibble (0x0) is latched as the second port byte's ACK ends:
    // START, address and two bytes, 28 bits at 10 µs, 40 ms - 280 µs early.
    const std::string early_us = std::to_string(40000 - 28 * 10) + ".000";
    EXPECT_NE(drawn.find("\033[31mlcd: instruction 0x00 lost: the controller was busy for " + early_us + " \u00b5s more"),
              std::string::npos)
        << drawn;
    fs::remove_all(dir);
}

TEST(Command, ViewIntoStandardOutputRedirectedToAFileKeepsBothStreamsWhole)
{
    const fs::path dir = scratch_directory("view-stdout");
    const std::string out = (dir / "out.txt").string();
    const std::string command = std::string(VBOARD_COMMAND_PATH) + " run --view /dev/stdout -- " + DEVPROBE_PATH +
                                " print before open /dev/spidev3.0 rw transfer 2 4142 print after > " + out;
    ASSERT_EQ(run_child({"/bin/sh", "-c", command}, "").exit_code, 0);
    std::ifstream in(out);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto before = all.find("before\n");
    const auto drawn = all.find("|AB|");
    const auto after = all.find("after\n");
    ASSERT_NE(before, std::string::npos) << all;
    ASSERT_NE(drawn, std::string::npos) << all;
    ASSERT_NE(after, std::string::npos) << all;
    EXPECT_LT(before, drawn);
    EXPECT_LT(drawn, after);
    fs::remove_all(dir);
}

struct BadUsage {
    std::vector<std::string> argv;
    const char* says;
};

TEST(Command, BadUsageIsExplainedWithStatusTwo)
{
    const std::vector<BadUsage> cases{
        {{VBOARD_COMMAND_PATH, "run"}, "no program to run"},
        {{VBOARD_COMMAND_PATH, "run", "--frobnicate", "x"}, "unknown option --frobnicate"},
        {{VBOARD_COMMAND_PATH, "run", "--fault", "ioctl=spidev3.0", "x"}, "ioctl= needs DEVICE:REQUEST"},
        {{VBOARD_COMMAND_PATH, "run", "--adc", "9=1", "x"}, "channels 0 to 7"},
        {{VBOARD_COMMAND_PATH, "run", "--spi", "reply=123", "x"}, "even number of hex digits"},
        {{VBOARD_COMMAND_PATH, "run", "--lines", "many", "x"}, "--lines needs a number"},
        {{VBOARD_COMMAND_PATH, "run", "--vcd"}, "option --vcd needs a value"},
        {{VBOARD_COMMAND_PATH, "run", "--lcd-state", "8bit", "x"}, "--lcd-state is power-on, 4bit or 4bit-half"},
        {{VBOARD_COMMAND_PATH, "run", "--spi", "idle=7f", "x"}, "--spi is loopback, silent, idle=00, idle=ff or reply=HEX"},
        // Values a number parser takes but that mean nothing here.
        {{VBOARD_COMMAND_PATH, "run", "--timeout", "1e10", "x"}, "--timeout needs more than 0 seconds, at most 30 years"},
        {{VBOARD_COMMAND_PATH, "run", "--timeout", "nan", "x"}, "--timeout needs more than 0 seconds"},
        {{VBOARD_COMMAND_PATH, "run", "--for", "-1", "x"}, "--for needs 0 or more seconds"},
        {{VBOARD_COMMAND_PATH, "run", "--for", "nan", "x"}, "--for needs 0 or more seconds"},
        {{VBOARD_COMMAND_PATH, "run", "--sigint-after", "nan", "x"}, "--sigint-after needs 0 or more seconds"},
        {{VBOARD_COMMAND_PATH, "run", "--grace", "inf", "x"}, "--grace needs 0 or more seconds"},
        {{VBOARD_COMMAND_PATH, "run", "--lines", "0", "x"}, "--lines needs a count from 1"},
        {{VBOARD_COMMAND_PATH, "run", "--lines", "-1", "x"}, "--lines needs a count from 1"},
        {{VBOARD_COMMAND_PATH, "run", "--sigint-after-lines", "0", "x"}, "--sigint-after-lines needs a count from 1"},
        {{VBOARD_COMMAND_PATH, "run", "--speed", "nan", "x"}, "--speed needs virtual seconds per real second"},
        {{VBOARD_COMMAND_PATH, "run", "--speed", "inf", "x"}, "--speed needs virtual seconds per real second"},
        // So slow that a pause's real time would overflow a count of nanoseconds.
        {{VBOARD_COMMAND_PATH, "run", "--speed", "1e-12", "x"}, "from 0.001 to 1e9"},
        {{VBOARD_COMMAND_PATH, "run", "--speed", "fastest", "x"}, "from 0.001 to 1e9, or max, not \"fastest\""},
        // Counts an int cannot hold would wrap to an early occurrence.
        {{VBOARD_COMMAND_PATH, "run", "--fault", "write=/sys/class/pwm/pwmchip0/export:4294967297", "x"}, "counts writes from 1"},
        {{VBOARD_COMMAND_PATH, "run", "--fault", "nack=0x27:4294967297", "x"}, "a frame from 1"},
        {{VBOARD_COMMAND_PATH, "run", "--fault", "ioctl=spidev3.0:SPI_IOC_MESSAGE:EIO:4294967297", "x"}, "counts from 1"},
        // Faults that could never match.
        {{VBOARD_COMMAND_PATH, "run", "--fault", "ioctl=spidev9.9:SPI_IOC_MESSAGE", "x"}, "the board has no node spidev9.9"},
        {{VBOARD_COMMAND_PATH, "run", "--fault", "ioctl=/dev/spidev3.0:SPI_IOC_MESSAGE", "x"}, "names the node, not its path: spidev3.0"},
        {{VBOARD_COMMAND_PATH, "run", "--fault", "nack=0x3c:1", "x"}, "nothing answers there on i2c-0"},
    };
    for (const auto& c : cases) {
        const auto r = run_child(c.argv, "");
        EXPECT_EQ(r.exit_code, 2) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// A path fault is checked against the board before the run: one that names
// nothing the board has (or could have, as a PWM channel's files before the
// program exports it) would never fire. An accepted one is shown to fire.
struct FaultPath {
    const char* fault;
    std::vector<std::string> steps; // for an accepted fault
    const char* out;
    const char* err; // "" when accepted
};

TEST(Command, FaultPathsNameWhatTheBoardHasOrAreRefused)
{
    const std::string pwm = "/sys/class/pwm/pwmchip0";
    const std::vector<FaultPath> cases{
        // Refused, with the nearest path the board has.
        {"write=/sys/class/pwm/pwmchip0/pwm0/dutycycle", {}, "",
         "vboard: --fault write=/sys/class/pwm/pwmchip0/pwm0/dutycycle: the board has no such attribute; the nearest "
         "is /sys/class/pwm/pwmchip0/pwm0/duty_cycle\n"},
        {"absent=/sys/class/pwm/pwmchip1/export", {}, "",
         "vboard: --fault absent=/sys/class/pwm/pwmchip1/export: the board has no such file or directory; the "
         "nearest is /sys/class/pwm/pwmchip0/export\n"},
        {"deny=/sys/class/pwm/pwm0/enable", {}, "",
         "vboard: --fault deny=/sys/class/pwm/pwm0/enable: the board has no such file or directory; the nearest is "
         "/sys/class/pwm/pwmchip0/pwm0/enable\n"},
        {"deny=/dev/i2c-1", {}, "",
         "vboard: --fault deny=/dev/i2c-1: the board has no such node; the nearest is /dev/i2c-0\n"},
        {"absent=/dev/sda", {}, "", "vboard: --fault absent=/dev/sda: the board has no such node; the nearest is /dev/spidev0.0\n"},
        {"write=/sys/class/pwm/pwmchip0/pwm1/period", {}, "",
         "vboard: --fault write=/sys/class/pwm/pwmchip0/pwm1/period: the board has no such attribute; the nearest is "
         "/sys/class/pwm/pwmchip0/pwm0/period\n"},
        {"write=/sys/class/pwm/pwmchip0/npwn", {}, "",
         "vboard: --fault write=/sys/class/pwm/pwmchip0/npwn: the board has no such attribute; the nearest is "
         "/sys/class/pwm/pwmchip0/npwm, which is read-only\n"},
        {"absent=/etc/passwd", {}, "",
         "vboard: --fault: absent=/etc/passwd names nothing of the board: give an absolute path inside its /dev or "
         "/sys\n"},
        // write= on what no write fault can reach.
        {"write=/sys/class/pwm/pwmchip0", {}, "",
         "vboard: --fault write=/sys/class/pwm/pwmchip0: is a directory: write= names the attribute whose writes are "
         "to fail, such as /sys/class/pwm/pwmchip0/export\n"},
        {"write=/sys/bus/iio/devices/iio:device0/in_voltage0_raw", {}, "",
         "vboard: --fault write=/sys/bus/iio/devices/iio:device0/in_voltage0_raw: is read-only: opening it for "
         "writing fails already (EACCES), fault or not\n"},
        {"write=/dev/spidev3.0", {}, "",
         "vboard: --fault write=/dev/spidev3.0: write= fails writes to a sysfs attribute, not to a node (a node's "
         "requests fail with ioctl=NODE:REQUEST)\n"},
        // Accepted: a channel's files before the program exports it, aliases, the driver core's files.
        {"write=/sys/class/pwm/pwmchip0/pwm0/period",
         {"open", pwm + "/export", "w", "write", "0", "open", pwm + "/pwm0/period", "w", "write", "100"},
         "open OK\nwrite 1\nopen OK\nwrite -22\n", ""},
        {"deny=/sys/class/pwm/pwmchip0/pwm0", {"open", pwm + "/export", "w", "write", "0", "open", pwm + "/pwm0/enable", "r"},
         "open OK\nwrite 1\nopen -13\n", ""},
        {"write=/sys/devices/platform/f802c000.pwm/pwm/pwmchip0/export", {"open", pwm + "/export", "w", "write", "0"},
         "open OK\nwrite -22\n", ""},
        {"absent=/sys/bus/iio/devices/../devices/iio:device0/in_voltage0_raw",
         {"open", "/sys/devices/platform/fc030000.adc/iio:device0/in_voltage0_raw", "r"}, "open -2\n", ""},
        {"deny=/sys/class/i2c-dev/i2c-0/device/name", {"open", "/sys/bus/i2c/devices/i2c-0/name", "r"}, "open -13\n", ""},
    };
    for (const auto& c : cases) {
        const bool accepted = std::string(c.err).empty();
        auto steps = c.steps;
        if (!accepted) {
            steps = {"print", "ran"};
        }
        const auto r = run_child(vboard({"--for", "1", "--fault", c.fault}, steps), "");
        EXPECT_EQ(r.exit_code, accepted ? 0 : 2) << c.fault;
        EXPECT_EQ(r.err, c.err) << c.fault;
        EXPECT_EQ(r.out, c.out) << c.fault;
    }
}

} // namespace
