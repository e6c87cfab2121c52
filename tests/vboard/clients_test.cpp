// Programs this project did not write, on the virtual board: a shell, Python
// (and python3-smbus), i2c-tools, spi-tools, libiio's tools. Each reaches
// the devices its own way (redirections, stdio, pread, ioctls, several
// processes at once, every kind of pause) and must see what it would see on
// a board.

#include "board.hpp"
#include "board_support.hpp"
#include "child_process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
    std::vector<std::string> lines = lines_of(text);
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

// A node is a file of the board's FUSE filesystem: fstat() shows a regular
// file (a character device's inode would send its opens to the PC's
// driver), after dup() and F_DUPFD as before; a stdio stream on it reads
// and writes through the driver (here the PCF8574 on i2c-0), a 4096-byte
// block at a time, and fileno() gives the descriptor for the stream's
// ioctl()s.
TEST(Python, NodeDescriptorsAreFilesToFstatAndStdio)
{
    const std::string script =
        "import ctypes, fcntl, os, stat\n"
        "fd = os.open('/dev/i2c-0', os.O_RDWR)\n"
        "st, path = os.fstat(fd), os.stat('/dev/i2c-0')\n"
        "print(stat.S_ISREG(st.st_mode), oct(stat.S_IMODE(st.st_mode)), st.st_blksize, st.st_ino == path.st_ino)\n"
        "print(os.fstat(os.dup(fd)).st_ino == st.st_ino, os.fstat(fcntl.fcntl(fd, fcntl.F_DUPFD, 50)).st_ino == st.st_ino)\n"
        "libc = ctypes.CDLL(None, use_errno=True)\n"
        "libc.fopen.restype = ctypes.c_void_p\n"
        "libc.fopen.argtypes = [ctypes.c_char_p, ctypes.c_char_p]\n"
        "for name in ('fileno', 'fflush', 'fclose'):\n"
        "    getattr(libc, name).argtypes = [ctypes.c_void_p]\n"
        "libc.fread.argtypes = libc.fwrite.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_void_p]\n"
        "f = libc.fopen(b'/dev/i2c-0', b'r+')\n"
        "print(fcntl.ioctl(libc.fileno(f), 0x0703, 0x27), libc.fwrite(b'\\x08', 1, 1, f), libc.fflush(f))\n"
        "port = ctypes.create_string_buffer(1)\n"
        "print(libc.fread(port, 1, 1, f), port.raw.hex(), libc.fclose(f))\n";
    const auto r = run({python, "-c", script});
    EXPECT_EQ(r.out, "True 0o600 4096 True\nTrue True\n0 1 0\n1 08 0\n");
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(all_of<I2cWrite>(r.events).size(), 1u);
    EXPECT_EQ(all_of<I2cWrite>(r.events)[0].bytes, Bytes{0x08});
    ASSERT_EQ(all_of<I2cRead>(r.events).size(), 1u);
    EXPECT_EQ(all_of<I2cRead>(r.events)[0].bytes, Bytes(4096, 0x08));
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
    // One write(2) per report: all readers share the pipe to the board.
    const std::string reader = "import os, sys\n"
                               "c = int(sys.argv[1])\n"
                               "path = '" + adc + "/in_voltage%d_raw' % c\n"
                               "right = sum(open(path).read() == '%d\\n' % (1000 + c) for _ in range(200))\n"
                               "os.write(1, b'channel %d: %d right\\n' % (c, right))\n";
    const std::string script = "for c in $(seq 0 " + std::to_string(readers - 1) + "); do " + python + " -c \"$0\" $c & done; wait";
    const auto r = run({"/bin/sh", "-c", script, reader}, config);
    EXPECT_EQ(sorted_lines(r.out), expected);
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Python, ConcurrentReaders, testing::Values(2, 8));

// --- libiio's tools ---------------------------------------------------------------------

TEST(Libiio, InfoListsTheDeviceItsChannelsTheirScaleAndScanFormat)
{
    BoardConfig config; // channel N reads 100 + N
    for (int c = 0; c < 8; ++c) {
        config.adc[c] = {std::to_string(100 + c)};
    }
    const auto r = run({"/usr/bin/iio_info"}, config);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("iio:device0: fc030000.adc (buffer capable)"), std::string::npos) << r.out;
    // 3300 mV over 4096 counts, as the IIO core prints it: 9 decimals, truncated.
    for (int c = 0; c < 8; ++c) {
        const std::string n = std::to_string(c);
        EXPECT_NE(r.out.find("voltage" + n + ":  (input, index: " + n + ", format: le:u12/16>>0)\n"
                             "\t\t\t2 channel-specific attributes found:\n"
                             "\t\t\t\tattr  0: raw value: " + std::to_string(100 + c) + "\n"
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

// --- i2c-tools and python3-smbus: the display at 0x27 ------------------------------------

TEST(I2cTools, DetectFindsOnlyTheDisplay)
{
    const auto r = run({"/usr/sbin/i2cdetect", "-y", "0"});
    // i2cdetect's table: addresses 0x08 to 0x77 probed, "--" where nobody answered.
    std::string expected = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n";
    for (int row = 0; row < 0x80; row += 16) {
        char cell[16];
        std::snprintf(cell, sizeof cell, "%02x: ", row);
        expected += cell;
        for (int address = row; address < row + 16; ++address) {
            std::snprintf(cell, sizeof cell, "%02x ", address);
            expected += address < 0x08 || address > 0x77 ? "   " : address == 0x27 ? cell : "-- ";
        }
        expected += "\n";
    }
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

// The PCF8574's pins read back as latched (all high after power-on), except
// where the display pulls D7..D4 low: with R/W and EN high it drives the
// busy flag (D7) and the address counter's top bits, busy during its 40 ms
// power-on reset.
TEST(I2cTools, GetReadsThePortAndTheDisplaysBusyFlag)
{
    const auto r = run({"/bin/sh", "-c",
                        "i2cget -y 0 0x27; i2cset -y 0 0x27 0x08; i2cget -y 0 0x27;"
                        "i2cset -y 0 0x27 0xf6; i2cget -y 0 0x27; sleep 0.05; i2cget -y 0 0x27"});
    EXPECT_EQ(r.out, "0xff\n0x08\n0x86\n0x06\n");
    EXPECT_EQ(r.err, "");
    const auto reads = all_of<I2cRead>(r.events);
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[2].bytes, Bytes{0x86});
}

// The display's 4-bit initialisation, then "HI", one transfer per LCD byte
// (the high nibble with EN high then low, the low nibble the same way,
// backlight on), with the datasheet's waits, or without them when the
// script is given "nopause".
const std::string i2ctransfer_script = R"(
pause() { [ "$1" = nopause ] || sleep "$2"; }
w() { i2ctransfer -y 0 w4@0x27 "$@"; }
pause "$1" 0.05                                  # more than 40 ms after power-on
w 0x0c 0x08 0x3c 0x38; pause "$1" 0.005          # wake-up (0x03), then more than 4.1 ms
w 0x0c 0x08 0x3c 0x38; pause "$1" 0.001          # again, then more than 100 us
w 0x0c 0x08 0x3c 0x38
w 0x0c 0x08 0x2c 0x28                            # 0x02: the 4-bit interface
w 0x2c 0x28 0x8c 0x88                            # 0x28: two lines
w 0x0c 0x08 0xcc 0xc8                            # 0x0c: display on
w 0x0c 0x08 0x1c 0x18; pause "$1" 0.002          # 0x01: clear, 1.52 ms
w 0x0c 0x08 0x6c 0x68                            # 0x06: entry mode, increment
w 0x4d 0x49 0x8d 0x89                            # H
w 0x4d 0x49 0x9d 0x99                            # I
)";

// The same with python3-smbus: the wake-up bytes one port byte at a time
// (write_byte), the rest as one I2C block write each (write_i2c_block_data).
const std::string smbus_script = R"(
import smbus, time
bus = smbus.SMBus(0)
def each_byte(port):
    for b in port: bus.write_byte(0x27, b)
def block(port):
    bus.write_i2c_block_data(0x27, port[0], port[1:])
time.sleep(0.05)
each_byte([0x0c, 0x08, 0x3c, 0x38]); time.sleep(0.005)
each_byte([0x0c, 0x08, 0x3c, 0x38]); time.sleep(0.001)
each_byte([0x0c, 0x08, 0x3c, 0x38])
each_byte([0x0c, 0x08, 0x2c, 0x28])
for port in ([0x2c, 0x28, 0x8c, 0x88], [0x0c, 0x08, 0xcc, 0xc8], [0x0c, 0x08, 0x1c, 0x18]):
    block(port)
time.sleep(0.002)
for port in ([0x0c, 0x08, 0x6c, 0x68], [0x4d, 0x49, 0x8d, 0x89], [0x4d, 0x49, 0x9d, 0x99]):
    block(port)
)";

struct DisplayScript {
    const char* name;
    std::vector<std::string> argv;
    bool shows_hi;
    bool violations;
};

void PrintTo(const DisplayScript& c, std::ostream* os) { *os << c.name; }

class DisplayScripts : public testing::TestWithParam<DisplayScript> {};

TEST_P(DisplayScripts, ShowHiOnlyWithTheDatasheetsWaits)
{
    const auto& c = GetParam();
    const auto r = run(c.argv);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto screens = all_of<LcdScreen>(r.events);
    ASSERT_FALSE(screens.empty());
    EXPECT_EQ(screens.back().rows[0] == "HI              " && screens.back().display_on, c.shows_hi);
    EXPECT_EQ(!all_of<LcdViolation>(r.events).empty(), c.violations);
}

INSTANTIATE_TEST_SUITE_P(
    Clients, DisplayScripts,
    testing::Values(DisplayScript{"i2ctransfer", {"/bin/sh", "-c", i2ctransfer_script, "sh", "pause"}, true, false},
                    DisplayScript{"i2ctransfer_without_pauses",
                                  {"/bin/sh", "-c", i2ctransfer_script, "sh", "nopause"},
                                  false,
                                  true},
                    DisplayScript{"python_smbus", {python, "-c", smbus_script}, true, false}),
    [](const testing::TestParamInfo<DisplayScript>& param) { return std::string(param.param.name); });

// I2C_PEC: an SMBus write carries one more byte, the CRC-8 (x^8 + x^2 + x +
// 1) of the address byte and the data: 4e 08 00 gives 02. A read asks for
// one more byte too, which the PCF8574 (no PEC) sends as its port again:
// the check fails, EBADMSG.
TEST(Python, SmbusWithPacketErrorChecking)
{
    const std::string script = "import smbus\n"
                               "b = smbus.SMBus(0); b.pec = 1\n"
                               "b.write_byte_data(0x27, 0x08, 0x00)\n"
                               "try:\n"
                               "    b.read_byte(0x27)\n"
                               "except OSError as e:\n"
                               "    print('read', e.errno)\n";
    const auto r = run({python, "-c", script});
    EXPECT_EQ(r.out, "read " + std::to_string(EBADMSG) + "\n");
    const auto writes = all_of<I2cWrite>(r.events);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes, (Bytes{0x08, 0x00, 0x02}));
    const auto reads = all_of<I2cRead>(r.events);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].bytes, (Bytes{0x02, 0x02}));
}

// With --strict-timing a lost transfer makes vboard's status 1.
TEST(I2cTools, StrictTimingFailsTheScriptWithoutPauses)
{
    for (const char* pauses : {"pause", "nopause"}) {
        const auto r = test_support::run_child(
            {VBOARD_COMMAND_PATH, "run", "--quiet", "--strict-timing", "--", "/bin/sh", "-c", i2ctransfer_script, "sh", pauses},
            "");
        const bool strict = std::string(pauses) == "nopause";
        EXPECT_EQ(r.exit_code, strict ? 1 : 0) << pauses;
        EXPECT_EQ(r.err.find("vboard: the display controller lost ") == 0, strict) << r.err;
    }
}

// --- spi-tools ----------------------------------------------------------------------------

struct SpiScript {
    const char* name;
    std::string script;
    const char* out;
    const char* err;
};

void PrintTo(const SpiScript& c, std::ostream* os) { *os << c.name; }

class SpiTools : public testing::TestWithParam<SpiScript> {};

TEST_P(SpiTools, BehaveAsOnTheBoard)
{
    const auto r = run({"/bin/sh", "-c", GetParam().script});
    EXPECT_EQ(r.out, GetParam().out);
    EXPECT_EQ(r.err, GetParam().err);
}

// 4097 bytes of a known pattern in a file of the host's /tmp.
const std::string pattern = "f=$(mktemp); yes 0123456789abcdef | head -c 4097 > $f; ";

INSTANTIATE_TEST_SUITE_P(
    Clients, SpiTools,
    testing::Values(
        SpiScript{"config_query", "spi-config -d /dev/spidev3.0 -q",
                  "/dev/spidev3.0: mode=0, lsb=0, bits=8, speed=10000000, spiready=0\n", ""},
        // The mode stays; the clock goes back to the maximum when the last user closes the node.
        SpiScript{"speed_reset_at_the_last_close",
                  "spi-config -d /dev/spidev3.0 -m 3 -s 1000000; spi-config -d /dev/spidev3.0 -q",
                  "/dev/spidev3.0: mode=3, lsb=0, bits=8, speed=10000000, spiready=0\n", ""},
        SpiScript{"pipe_loops_back_4096_bytes",
                  pattern + "head -c 4096 $f > $f.in; spi-pipe -d /dev/spidev3.0 -b 4096 -n 1 < $f.in | cmp - $f.in;"
                            "echo $?; rm $f $f.in",
                  "0\n", ""},
        SpiScript{"pipe_4097_bytes_is_too_long",
                  pattern + "spi-pipe -d /dev/spidev3.0 -b 4097 -n 1 < $f | wc -c; rm $f", "0\n",
                  "SPI_IOC_MESSAGE: Message too long\n"}),
    [](const testing::TestParamInfo<SpiScript>& param) { return std::string(param.param.name); });

// --- libiio: attributes and buffered capture ---------------------------------------------

TEST(Libiio, AttrReadsAndWritesTheSamplingFrequency)
{
    const auto r = run({"/bin/sh", "-c",
                        "iio_attr -d iio:device0 sampling_frequency; iio_attr -d iio:device0 sampling_frequency 2000;"
                        "iio_attr -d iio:device0 sampling_frequency"});
    EXPECT_EQ(r.out, "1000\n2000\n2000\n");
    EXPECT_EQ(r.err, "");
}

TEST(Libiio, ReaddevCapturesTheAdcValuesInTheScanFormat)
{
    BoardConfig config;
    config.adc[6] = {"100", "2048", "4095"};
    const auto r = run({"/usr/bin/iio_readdev", "-s", "8", "iio:device0", "voltage6"}, config);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    // Eight samples, 16 bits little-endian each; the sequence stays at its last value.
    std::string expected;
    for (const int value : {100, 2048, 4095, 4095, 4095, 4095, 4095, 4095}) {
        expected += static_cast<char>(value & 0xFF);
        expected += static_cast<char>(value >> 8);
    }
    EXPECT_EQ(r.out, expected);
    // The reads are in the record, at the sampling period of 1 ms: the
    // first scan is made 1 ms after the buffer is enabled.
    const auto reads = all_of<BufferRead>(r.events);
    ASSERT_FALSE(reads.empty());
    EXPECT_DOUBLE_EQ(reads.front().t, 1e-3);
    std::string captured;
    for (const auto& read : reads) {
        captured.append(read.bytes.begin(), read.bytes.end());
    }
    // libiio reads its whole buffer (more scans than it prints), in order.
    EXPECT_EQ(captured.substr(0, expected.size()), expected);
}

// --- The IIO core's and the PWM class's rules, from a shell --------------------------------

TEST(Shell, BufferAndNumberRulesOfTheIioCoreAndThePwmClass)
{
    BoardConfig config;
    config.adc[6] = {"1234"};
    const std::string script = "cd /sys/bus/iio/devices/iio:device0\n"
                               "echo 1 > buffer/enable\n" // no channel in the scan: EINVAL
                               "echo 1 > scan_elements/in_voltage6_en\n"
                               "echo 1 > buffer/enable\n"
                               "cat in_voltage6_raw\n" // not while the buffer runs: EBUSY
                               "echo 0 > buffer/enable\n"
                               "cat in_voltage6_raw\n"
                               "cd /sys/class/pwm/pwmchip0\n"
                               "echo 1 > export\n"   // no channel 1: ENODEV
                               "echo 0 > unexport\n" // not exported: ENODEV
                               "echo 0 > export\n"
                               "echo 0x30d40 > pwm0/period\n" // hexadecimal
                               "echo 010 > pwm0/duty_cycle\n" // octal
                               "cat pwm0/period pwm0/duty_cycle\n"
                               "echo 08 > pwm0/duty_cycle\n"; // not octal: EINVAL
    const auto r = run({"/bin/bash", "--norc", "-c", script}, config);
    EXPECT_EQ(r.out, "1234\n200000\n8\n");
    EXPECT_EQ(r.err, "/bin/bash: line 2: echo: write error: Invalid argument\n"
                     "cat: in_voltage6_raw: Device or resource busy\n"
                     "/bin/bash: line 9: echo: write error: No such device\n"
                     "/bin/bash: line 10: echo: write error: No such device\n"
                     "/bin/bash: line 15: echo: write error: Invalid argument\n");
}

} // namespace
