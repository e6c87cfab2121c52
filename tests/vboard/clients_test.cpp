// Programs this project did not write, on the virtual board: a shell, Python,
// libiio's tools. Each reaches the devices its own way (redirections, stdio,
// pread, several processes at once, every kind of pause) and must see what
// it would see on a board.

#include "board.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace vboard;

const std::string python = "/usr/bin/python3";
const std::string adc = "/sys/bus/iio/devices/iio:device0";

RunResult run(std::vector<std::string> argv, BoardConfig config = {}, RunOptions options = {})
{
    options.argv = std::move(argv);
    options.timeout = std::chrono::seconds(60);
    Board board(std::move(config));
    return board.run(options);
}

std::vector<std::string> sorted_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// --- Every kind of pause counts in virtual time --------------------------------------

struct PauseCase {
    std::string name;
    std::vector<std::string> argv; // pauses 1 s between lines, three times or more
};

void PrintTo(const PauseCase& c, std::ostream* os) { *os << c.name; }

class Pauses : public testing::TestWithParam<PauseCase> {};

// Stopped at 2.5 s, a program that pauses 1 s between lines has printed
// three, and its own clock saw each pause last exactly 1 s.
TEST_P(Pauses, CountInVirtualTime)
{
    RunOptions options;
    options.stop_at = 2.5;
    const auto r = run(GetParam().argv, {}, options);
    EXPECT_TRUE(r.stopped) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string& name = GetParam().name;
    if (name.rfind("devprobe_", 0) == 0) {
        const std::string kind = name.substr(9);
        EXPECT_EQ(r.out, "nap " + kind + " 1000\nnap " + kind + " 1000\n");
    } else {
        EXPECT_EQ(r.out, "0\n1\n2\n");
    }
    std::vector<double> sleeps;
    for (const auto& e : all_of<ProgramEvent>(r.events)) {
        if (e.kind == ProgramEvent::Kind::sleep) {
            sleeps.push_back(e.seconds);
        }
    }
    EXPECT_EQ(sleeps, (std::vector<double>(3, 1.0)));
    EXPECT_EQ(time_of(r.events.back()), 2.5);
}

std::vector<PauseCase> pause_cases()
{
    std::vector<PauseCase> cases;
    for (const char* kind : {"sleep", "usleep", "nanosleep", "clock_nanosleep", "until_monotonic", "until_realtime",
                             "poll", "select"}) {
        cases.push_back({std::string("devprobe_") + kind,
                         {DEVPROBE_PATH, "nap", kind, "1000000", "nap", kind, "1000000", "nap", kind, "1000000"}});
    }
    // Python's time.sleep waits until a time on the monotonic clock.
    cases.push_back({"python_time_sleep",
                     {python, "-c", "import time\nfor i in range(9):\n    print(i, flush=True)\n    time.sleep(1)"}});
    // A shell's `sleep` is a process of its own.
    cases.push_back({"shell_sleep_command", {"/bin/sh", "-c", "for i in 0 1 2 3 4 5; do echo $i; sleep 1; done"}});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Board, Pauses, testing::ValuesIn(pause_cases()),
                         [](const testing::TestParamInfo<PauseCase>& param) { return param.param.name; });

// --- A shell drives the PWM chip -------------------------------------------------------

TEST(Shell, DrivesThePwmChipWithTheKernelsRefusalsAsWriteErrors)
{
    const std::string script = "cd /sys/class/pwm/pwmchip0\n"
                               "echo 0 > export\n"
                               "ls pwm0\n"
                               "echo 300000 > pwm0/duty_cycle\n" // no period yet: EINVAL
                               "echo 200000 > pwm0/period\n"
                               "echo 50000 > pwm0/duty_cycle\n"
                               "echo 1 > pwm0/enable\n"
                               "read duty < pwm0/duty_cycle; echo \"duty $duty\"\n"
                               "cat pwm0/period pwm0/enable\n"
                               "echo 0 > export\n" // exported already: EBUSY
                               "echo 0 > pwm0/enable\n"
                               "echo 0 > unexport\n"
                               "ls\n"
                               "cat export\n"; // write-only: the open is refused
    const auto r = run({"/bin/bash", "--norc", "-c", script});
    EXPECT_EQ(r.out, "duty_cycle\nenable\nperiod\npolarity\nduty 50000\n200000\n1\nexport\nnpwm\nunexport\n");
    EXPECT_EQ(r.err, "/bin/bash: line 4: echo: write error: Invalid argument\n"
                     "/bin/bash: line 10: echo: write error: Device or resource busy\n"
                     "cat: export: Permission denied\n");
    EXPECT_EQ(r.exit_code, 1);

    // The driver saw each store once, with the shell's exact bytes.
    std::vector<std::string> stores;
    for (const auto& a : all_of<SysfsAccess>(r.events)) {
        if (a.op == SysfsAccess::Op::write) {
            stores.push_back(a.attr + " " + a.bytes.substr(0, a.bytes.size() - 1) + (a.error != 0 ? " refused" : ""));
        }
    }
    EXPECT_EQ(stores, (std::vector<std::string>{"export 0", "pwm0/duty_cycle 300000 refused", "pwm0/period 200000",
                                                "pwm0/duty_cycle 50000", "pwm0/enable 1", "export 0 refused",
                                                "pwm0/enable 0", "unexport 0"}));
}

TEST(Shell, PipelineReadsTheWholeValue)
{
    BoardConfig config;
    config.adc[6] = {"2048"};
    const auto r = run({"/bin/sh", "-c", "cat " + adc + "/in_voltage6_raw | od -An -c"}, config);
    EXPECT_EQ(r.out, "   2   0   4   8  \\n\n");
    EXPECT_EQ(r.exit_code, 0);
}

// --- Python -------------------------------------------------------------------------------

TEST(Python, ReadsAttributesWithOpenAndPread)
{
    BoardConfig config;
    config.adc[6] = {"2048", "100"};
    const std::string script = "import os\n"
                               "print(repr(open('" + adc + "/in_voltage6_raw').read()))\n"
                               "fd = os.open('" + adc + "/name', os.O_RDONLY)\n"
                               "print(os.pread(fd, 4, 0), os.pread(fd, 64, 4))\n";
    const auto r = run({python, "-c", script}, config);
    EXPECT_EQ(r.out, "'2048\\n'\nb'fc03' b'0000.adc\\n'\n");
    EXPECT_EQ(r.err, "");
}

class ConcurrentReaders : public testing::TestWithParam<int> {};

// Each reader opens and reads its own channel 200 times, all at once: every
// value must be its channel's.
TEST_P(ConcurrentReaders, EachGetsItsOwnChannel)
{
    const int readers = GetParam();
    BoardConfig config;
    std::vector<std::string> expected;
    for (int c = 0; c < readers; ++c) {
        config.adc[c] = {std::to_string(1000 + c)};
        expected.push_back("channel " + std::to_string(c) + ": 200 right");
    }
    const std::string reader = "import sys\n"
                               "c = int(sys.argv[1])\n"
                               "path = '" + adc + "/in_voltage%d_raw' % c\n"
                               "right = sum(open(path).read() == '%d\\n' % (1000 + c) for _ in range(200))\n"
                               "print('channel %d: %d right' % (c, right))\n";
    const std::string script = "for c in $(seq 0 " + std::to_string(readers - 1) + "); do " + python + " -c \"$0\" $c & done; wait";
    const auto r = run({"/bin/sh", "-c", script, reader}, config);
    EXPECT_EQ(sorted_lines(r.out), expected);
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Python, ConcurrentReaders, testing::Values(2, 8));

// --- libiio's tools ---------------------------------------------------------------------

TEST(Libiio, InfoListsTheDeviceItsChannelsTheirScaleAndScanFormat)
{
    const auto r = run({"/usr/bin/iio_info"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("iio:device0: fc030000.adc (buffer capable)"), std::string::npos) << r.out;
    // 3300 mV over 4096 counts, as the IIO core prints it: 9 decimals, truncated.
    for (int c = 0; c < 8; ++c) {
        const std::string n = std::to_string(c);
        EXPECT_NE(r.out.find("voltage" + n + ":  (input, index: " + n + ", format: le:u12/16>>0)\n"
                             "\t\t\t2 channel-specific attributes found:\n"
                             "\t\t\t\tattr  0: raw value: 0\n"
                             "\t\t\t\tattr  1: scale value: 0.805664062\n"),
                  std::string::npos)
            << "channel " << c << "\n" << r.out;
    }
}

TEST(Libiio, AttrReadsTheRawValueSetForAChannel)
{
    BoardConfig config;
    config.adc[6] = {"1234"};
    const auto r = run({"/usr/bin/iio_attr", "-c", "iio:device0", "voltage6", "raw"}, config);
    EXPECT_EQ(r.out, "1234\n");
    EXPECT_EQ(r.exit_code, 0);
}

} // namespace
