// The virtual board as a program sees it: devprobe does exactly what each
// test says to the devices, and the tests check what came back and what the
// board recorded.

#include "board.hpp"
#include "board_support.hpp"

#include <gtest/gtest.h>

#include <elf.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <csignal>
#include <string>
#include <vector>

namespace {

using namespace vboard;

RunResult probe(Board& board, std::vector<std::string> steps, RunOptions options = {})
{
    options.argv = {DEVPROBE_PATH};
    options.argv.insert(options.argv.end(), steps.begin(), steps.end());
    options.timeout = std::chrono::seconds(20);
    return board.run(options);
}

RunResult probe(std::vector<std::string> steps, BoardConfig config = {}, RunOptions options = {})
{
    Board board(std::move(config));
    return probe(board, std::move(steps), std::move(options));
}

BoardConfig with_peer(SpiPeer::Kind kind, std::vector<std::uint8_t> reply = {})
{
    BoardConfig config;
    config.spi = SpiPeer{kind, std::move(reply)};
    return config;
}

// --- SPI ---------------------------------------------------------------------------

TEST(Spidev, LoopbackFollowsTheRecordsPointersBothWays)
{
    const auto r = probe({"open", "/dev/spidev3.0", "rw", "transfer", "4", "a1b2c3d4"});
    EXPECT_EQ(r.out, "open OK\ntransfer 4 a1b2c3d4\n");
    const auto transfers = all_of<SpiTransfer>(r.events);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].dev, "spidev3.0");
    EXPECT_EQ(transfers[0].tx, (Bytes{0xa1, 0xb2, 0xc3, 0xd4}));
    EXPECT_EQ(transfers[0].length, 4u);
    EXPECT_EQ(transfers[0].speed_hz, 1000000u);
    EXPECT_EQ(transfers[0].result, 4);
}

TEST(Spidev, ReplyPeerAnswersThenIdlesHigh)
{
    const auto r = probe({"open", "/dev/spidev0.0", "rw", "transfer", "4", "00000000"},
                         with_peer(SpiPeer::Kind::reply, {0x41, 0x00}));
    EXPECT_EQ(r.out, "open OK\ntransfer 4 4100ffff\n");
}

TEST(Spidev, SilentPeerGivesTheLevelOfAFloatingMiso)
{
    // devprobe fills its receive buffer with ff: a MISO pulled down must overwrite it.
    BoardConfig config = with_peer(SpiPeer::Kind::silent);
    config.spi.idle = 0x00;
    const auto r = probe({"open", "/dev/spidev3.0", "rw", "transfer", "3", "010203"}, config);
    EXPECT_EQ(r.out, "open OK\ntransfer 3 000000\n");
}

TEST(Spidev, NullTransmitBufferSendsZeros)
{
    const auto r = probe({"open", "/dev/spidev3.0", "rw", "transfer", "2", "-"});
    EXPECT_EQ(r.out, "open OK\ntransfer 2 0000\n");
    EXPECT_EQ(all_of<SpiTransfer>(r.events).at(0).tx, (Bytes{0, 0}));
}

TEST(Spidev, ConfigurationRequestsReadBackWhatWasWritten)
{
    const auto r = probe({"open", "/dev/spidev3.0", "rw", "ioctl32", "RD_MODE32", "0", "ioctl32", "WR_MODE32", "3",
                          "ioctl8", "RD_MODE", "0", "ioctl8", "WR_LSB_FIRST", "1", "ioctl8", "RD_LSB_FIRST", "0",
                          "ioctl32", "RD_MAX_SPEED_HZ", "0", "ioctl32", "WR_MAX_SPEED_HZ", "5000000", "ioctl32",
                          "RD_MAX_SPEED_HZ", "0", "ioctl8", "WR_BITS_PER_WORD", "7", "ioctl8", "RD_BITS_PER_WORD", "0"});
    EXPECT_EQ(r.out, "open OK\n"
                     "ioctl 0 0\n"
                     "ioctl 0 3\n"
                     "ioctl 0 3\n"
                     "ioctl 0 1\n"
                     "ioctl 0 1\n"
                     "ioctl 0 10000000\n"
                     "ioctl 0 5000000\n"
                     "ioctl 0 5000000\n"
                     "ioctl -22 7\n" // the controller does 8, 16 and 32-bit words
                     "ioctl 0 8\n");
    const auto calls = all_of<IoctlCall>(r.events);
    ASSERT_EQ(calls.size(), 10u);
    EXPECT_EQ(calls[1].request, "SPI_IOC_WR_MODE32");
    EXPECT_EQ(calls[1].value, 3u);
    EXPECT_EQ(calls[8].error, EINVAL);
}

TEST(Spidev, TransferRecordsTheModeInForce)
{
    const auto r = probe({"open", "/dev/spidev3.0", "rw", "ioctl8", "WR_MODE", "1", "transfer", "1", "55"});
    EXPECT_EQ(all_of<SpiTransfer>(r.events).at(0).mode, 1u);
}

// --- I2C and the display -------------------------------------------------------------

TEST(I2cBus, AFourByteWriteReachesTheDisplayAsOneTransaction)
{
    // After the display's power-on reset (40 ms), each wake-up frame given
    // the datasheet's wait (4.1 ms after the first, 100 µs after the second).
    const auto r = probe({"open", "/dev/i2c-0", "rw", "address", "0x27", "usleep", "40000", "smbus", "0x0c", "083c38",
                          "usleep", "4100", "i2cwrite", "0c083c38", "usleep", "100", "rdwr", "0x27", "0c083c38"});
    EXPECT_EQ(r.out, "open OK\naddress 0\nusleep 0 0\nsmbus 0\nusleep 0 0\ni2cwrite 4\nusleep 0 0\nrdwr 1\n");
    const auto writes = all_of<I2cWrite>(r.events);
    ASSERT_EQ(writes.size(), 3u);
    for (const auto& w : writes) {
        EXPECT_EQ(w.addr, 0x27);
        EXPECT_EQ(w.bytes, (Bytes{0x0c, 0x08, 0x3c, 0x38}));
        EXPECT_EQ(w.error, 0);
    }
    // Three wake-up frames in the 8-bit interface: no-op then function set, each.
    const auto ops = all_of<LcdOperation>(r.events);
    ASSERT_EQ(ops.size(), 6u);
    EXPECT_EQ(ops[1].value, 0x30);
}

TEST(I2cBus, AnAddressWithNoDeviceIsNotAcknowledged)
{
    const auto r = probe({"open", "/dev/i2c-0", "rw", "address", "0x3c", "i2cwrite", "00"});
    EXPECT_EQ(r.out, "open OK\naddress 0\ni2cwrite -6\n"); // ENXIO
    EXPECT_EQ(all_of<I2cWrite>(r.events).at(0).error, ENXIO);
}

TEST(I2cBus, ScreenIsRecordedWhenTheProgramPauses)
{
    // Wake-up, 4-bit mode, function set, display on, then "Hi" and a pause.
    // The wake-up frames get the datasheet's waits, the rest only bus time.
    std::vector<std::string> steps{"open", "/dev/i2c-0", "rw", "address", "0x27", "usleep", "40000",
                                   "i2cwrite", "0c083c38", "usleep", "4100", "i2cwrite", "0c083c38", "usleep", "100"};
    for (const char* frame : {"0c083c38", "0c082c28", "2c288c88", "0c08ccc8", "4d498d89", "6d699d99"}) {
        steps.insert(steps.end(), {"i2cwrite", frame});
    }
    steps.insert(steps.end(), {"usleep", "1000"});
    const auto r = probe(steps);
    EXPECT_TRUE(all_of<LcdViolation>(r.events).empty());
    auto screens = all_of<LcdScreen>(r.events);
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_FALSE(screens[0].display_on); // the backlight on at the first pause, the display still off
    screens.erase(screens.begin());
    EXPECT_EQ(screens[0].rows, (std::vector<std::string>{"Hi              ", "                "}));
    EXPECT_TRUE(screens[0].display_on);
    EXPECT_TRUE(screens[0].backlight);
}

// --- What i2c-dev and spidev take and refuse, as the kernel does ----------------------------

struct RuleCase {
    const char* name;
    std::vector<std::string> steps;
    const char* out;
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

class DriverRules : public testing::TestWithParam<RuleCase> {};

TEST_P(DriverRules, AnswerAsTheKernelDoes)
{
    EXPECT_EQ(probe(GetParam().steps, with_peer(SpiPeer::Kind::loopback)).out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Board, DriverRules,
    testing::Values(
        // One bounce buffer of 4096 bytes each way: EMSGSIZE beyond it.
        RuleCase{"spi_message_over_the_buffer",
                 {"open", "/dev/spidev3.0", "rw", "spi", "4097", "tx", "rx", "0", "0", "0", "spi", "4096", "tx", "rx",
                  "0", "0", "0", "read", "4097", "read", "4096"},
                 "open OK\nspi -90\nspi 4096\nread -90 \nread 4096 \n"},
        // A transfer without buffers only clocks: no bounce buffer, so no 4096-byte limit.
        RuleCase{"spi_clocks_only",
                 {"open", "/dev/spidev3.0", "rw", "spi", "100000000", "-", "-", "0", "0", "0"},
                 "open OK\nspi 100000000\n"},
        // read() and write(): half duplex; what a read clocks out is zeros, looped back.
        RuleCase{"spi_read_and_write",
                 {"open", "/dev/spidev3.0", "rw", "write", "ab", "read", "2"},
                 "open OK\nwrite 2\nread 2 \\x00\\x00\n"},
        // 16-bit words: no partial word.
        RuleCase{"spi_length_in_whole_words",
                 {"open", "/dev/spidev3.0", "rw", "spi", "3", "tx", "rx", "16", "0", "0", "spi", "4", "tx", "rx", "16",
                  "0", "0"},
                 "open OK\nspi -22\nspi 4\n"},
        // SPI_3WIRE (0x10): one data line, one direction per transfer.
        RuleCase{"spi_three_wire_is_half_duplex",
                 {"open", "/dev/spidev3.0", "rw", "ioctl32", "WR_MODE32", "16", "spi", "2", "tx", "rx", "0", "0", "0",
                  "spi", "2", "tx", "-", "0", "0", "0", "spi", "2", "-", "rx", "0", "0", "0"},
                 "open OK\nioctl 0 16\nspi -22\nspi 2\nspi 2\n"},
        // Dual and quad need the mode's bits, which this controller drops (SPI_TX_DUAL 0x100).
        RuleCase{"spi_lines_the_mode_allows",
                 {"open", "/dev/spidev3.0", "rw", "ioctl32", "WR_MODE32", "256", "ioctl32", "RD_MODE32", "0", "spi",
                  "2", "tx", "rx", "0", "2", "0", "spi", "2", "tx", "rx", "0", "0", "4", "spi", "2", "tx", "rx", "0",
                  "1", "1"},
                 "open OK\nioctl 0 256\nioctl 0 0\nspi -22\nspi -22\nspi 2\n"},
        // Taken: I2C_TIMEOUT, I2C_RETRIES, I2C_PEC, I2C_TENBIT; a 10-bit
        // address then, which no device on this bus answers.
        RuleCase{"i2c_file_settings",
                 {"open", "/dev/i2c-0", "rw", "i2cioctl", "I2C_TIMEOUT", "10", "i2cioctl", "I2C_RETRIES", "3",
                  "i2cioctl", "I2C_PEC", "1", "address", "0x150", "i2cioctl", "I2C_TENBIT", "1", "address", "0x150",
                  "i2cwrite", "00", "i2cioctl", "I2C_TENBIT", "0", "address", "0x27", "i2cwrite", "08"},
                 "open OK\ni2cioctl 0\ni2cioctl 0\ni2cioctl 0\naddress -22\ni2cioctl 0\naddress 0\n"
                 "i2cwrite -6\ni2cioctl 0\naddress 0\ni2cwrite 1\n"},
        // Before I2C_SLAVE a file addresses 0x00, the general call, which nobody here acknowledges.
        RuleCase{"i2c_no_address_yet", {"open", "/dev/i2c-0", "rw", "i2cwrite", "08"}, "open OK\ni2cwrite -6\n"},
        // I2C_RDWR messages up to 8192 bytes; write() cut to 8192.
        RuleCase{"i2c_message_lengths",
                 {"open", "/dev/i2c-0", "rw", "address", "0x27", "rdwr", "0x27", "08*8193", "rdwr", "0x27", "08*8192",
                  "i2cwrite", "08*8193"},
                 "open OK\naddress 0\nrdwr -22\nrdwr 1\ni2cwrite 8192\n"}),
    [](const testing::TestParamInfo<RuleCase>& param) { return std::string(param.param.name); });

TEST(I2cBus, RefusedRequestsAndReadsAreRecorded)
{
    const auto r = probe({"open", "/dev/i2c-0", "rw", "address", "0x27", "rdwr", "0x27", "08*8193", "read", "2"});
    EXPECT_EQ(r.out, "open OK\naddress 0\nrdwr -22\nread 2 \\xff\\xff\n");
    const auto calls = all_of<IoctlCall>(r.events);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].request, "I2C_RDWR");
    EXPECT_EQ(calls[1].value, 8193u);
    EXPECT_EQ(calls[1].error, EINVAL);
    const auto reads = all_of<I2cRead>(r.events);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].bytes, (Bytes{0xff, 0xff})); // the PCF8574's outputs are high after power-on
    // START, address and 2 bytes with their ACKs: the last one ends 1 + 9 + 2 * 9 bits in.
    EXPECT_DOUBLE_EQ(reads[0].t, (1 + 9 + 2 * 9) * 10e-6);
}

// --- Sysfs ---------------------------------------------------------------------------

TEST(Sysfs, EachWriteReplacesTheValueWhateverTheOffset)
{
    // What libmraa does with duty_cycle: one open, many writes, a seek, a read.
    const auto r = probe({"open", "/sys/class/pwm/pwmchip0/export", "w", "write", "0", "close", "open",
                          "/sys/class/pwm/pwmchip0/pwm0/period", "w", "write", "200000", "close", "open",
                          "/sys/class/pwm/pwmchip0/pwm0/duty_cycle", "rw", "write", "102000", "write", "9",
                          "seek", "0", "read", "64", "read", "64"});
    EXPECT_EQ(r.out, "open OK\nwrite 1\nclose 0\nopen OK\nwrite 6\nclose 0\nopen OK\nwrite 6\nwrite 1\n"
                     "seek 0\nread 2 9\\n\nread 0 \n");
}

TEST(Sysfs, WritesAreRecordedWithTheirExactBytes)
{
    const auto r = probe({"open", "/sys/bus/iio/devices/iio:device0/buffer/enable", "w", "write", "0\\0", "close",
                          "open", "/sys/bus/iio/devices/iio:device0/buffer/length", "w", "write", "-12"});
    EXPECT_EQ(r.out, "open OK\nwrite 2\nclose 0\nopen OK\nwrite -22\n"); // the kernel wants an unsigned length
    const auto accesses = all_of<SysfsAccess>(r.events);
    ASSERT_EQ(accesses.size(), 2u);
    EXPECT_EQ(accesses[0].dev, "iio:device0");
    EXPECT_EQ(accesses[0].attr, "buffer/enable");
    EXPECT_EQ(accesses[0].bytes, std::string("0\0", 2));
    EXPECT_EQ(accesses[1].attr, "buffer/length");
    EXPECT_EQ(accesses[1].bytes, "-12");
    EXPECT_EQ(accesses[1].error, EINVAL);
}

TEST(Sysfs, PwmRefusesADutyCycleLongerThanThePeriod)
{
    const auto r = probe({"open", "/sys/class/pwm/pwmchip0/export", "w", "write", "0", "open",
                          "/sys/class/pwm/pwmchip0/pwm0/duty_cycle", "w", "write", "100", "open",
                          "/sys/class/pwm/pwmchip0/pwm0/period", "w", "write", "200000", "open",
                          "/sys/class/pwm/pwmchip0/pwm0/duty_cycle", "w", "write", "200001", "write", "200000"});
    // Before a period is set any duty cycle is too long; then 200001 ns is, and 200000 is not.
    EXPECT_EQ(r.out, "open OK\nwrite 1\nopen OK\nwrite -22\nopen OK\nwrite 6\nopen OK\nwrite -22\nwrite 6\n");
}

TEST(Sysfs, ExportCreatesTheChannelAndUnexportRemovesIt)
{
    const auto r = probe({"open", "/sys/class/pwm/pwmchip0/pwm0/enable", "r", "open", "/sys/class/pwm/pwmchip0/export",
                          "w", "write", "0", "write", "0", "open", "/sys/class/pwm/pwmchip0/pwm0/enable", "r", "read",
                          "8", "open", "/sys/class/pwm/pwmchip0/unexport", "w", "write", "0", "open",
                          "/sys/class/pwm/pwmchip0/pwm0/enable", "r"});
    EXPECT_EQ(r.out, "open -2\nopen OK\nwrite 1\nwrite -16\nopen OK\nread 2 0\\n\nopen OK\nwrite 1\nopen -2\n");
}

TEST(Sysfs, AdcSequenceAdvancesOnEachReadAndStaysAtItsLastValue)
{
    BoardConfig config;
    config.adc[6] = {"2048", "0", "12345678901"};
    const std::string raw = "/sys/bus/iio/devices/iio:device0/in_voltage6_raw";
    std::vector<std::string> steps;
    for (int i = 0; i < 4; ++i) {
        steps.insert(steps.end(), {"open", raw, "r", "read", "10", "close"});
    }
    const auto r = probe(steps, config);
    EXPECT_EQ(r.out, "open OK\nread 5 2048\\n\nclose 0\n"
                     "open OK\nread 2 0\\n\nclose 0\n"
                     "open OK\nread 10 1234567890\nclose 0\n"
                     "open OK\nread 10 1234567890\nclose 0\n");
}

TEST(Sysfs, ReadingOnFromTheMiddleDoesNotStartANewConversion)
{
    BoardConfig config;
    config.adc[0] = {"512", "1000"};
    const auto r = probe({"open", "/sys/bus/iio/devices/iio:device0/in_voltage0_raw", "r", "read", "2", "read", "8",
                          "seek", "0", "read", "8"},
                         config);
    EXPECT_EQ(r.out, "open OK\nread 2 51\nread 2 2\\n\nseek 0\nread 5 1000\\n\n");
}

// --- Faults ----------------------------------------------------------------------------

struct FaultCase {
    const char* name;
    const char* spec;
    std::vector<std::string> steps;
    const char* out;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, ProgramSeesTheFailure)
{
    const auto& c = GetParam();
    EXPECT_EQ(probe(c.steps, with_fault(c.spec)).out, c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Board, Faults,
    testing::Values(
        FaultCase{"absent_node", "absent=/dev/spidev3.0", {"open", "/dev/spidev3.0", "rw"}, "open -2\n"},
        FaultCase{"absent_other_node_still_there", "absent=/dev/spidev3.0", {"open", "/dev/spidev0.0", "rw"}, "open OK\n"},
        FaultCase{"absent_sysfs_directory",
                  "absent=/sys/bus/iio/devices/iio:device0",
                  {"open", "/sys/bus/iio/devices/iio:device0/in_voltage0_raw", "r"},
                  "open -2\n"},
        FaultCase{"denied_node", "deny=/dev/i2c-0", {"open", "/dev/i2c-0", "rw"}, "open -13\n"},
        FaultCase{"denied_through_an_alias",
                  "deny=/sys/devices/platform/f802c000.pwm/pwm/pwmchip0/export",
                  {"open", "/sys/class/pwm/pwmchip0/export", "w"},
                  "open -13\n"},
        FaultCase{"ioctl_every_time",
                  "ioctl=spidev3.0:SPI_IOC_RD_MODE32",
                  {"open", "/dev/spidev3.0", "rw", "ioctl32", "RD_MODE32", "0", "ioctl32", "RD_MODE32", "0"},
                  "open OK\nioctl -22 0\nioctl -22 0\n"},
        FaultCase{"ioctl_second_time_with_errno",
                  "ioctl=spidev3.0:SPI_IOC_RD_MODE32:EIO:2",
                  {"open", "/dev/spidev3.0", "rw", "ioctl32", "RD_MODE32", "0", "ioctl32", "RD_MODE32", "0", "ioctl32",
                   "RD_MODE32", "0"},
                  "open OK\nioctl 0 0\nioctl -5 0\nioctl 0 0\n"},
        FaultCase{"ioctl_on_another_node_untouched",
                  "ioctl=spidev0.0:SPI_IOC_RD_MODE32",
                  {"open", "/dev/spidev3.0", "rw", "ioctl32", "RD_MODE32", "0"},
                  "open OK\nioctl 0 0\n"},
        FaultCase{"transfer_fails",
                  "ioctl=spidev3.0:SPI_IOC_MESSAGE:EIO",
                  {"open", "/dev/spidev3.0", "rw", "transfer", "2", "0102"},
                  "open OK\ntransfer -5 ffff\n"},
        FaultCase{"address_selection_refused",
                  "ioctl=i2c-0:I2C_SLAVE:EBUSY",
                  {"open", "/dev/i2c-0", "rw", "address", "0x27"},
                  "open OK\naddress -16\n"},
        FaultCase{"display_stops_acknowledging_at_frame_two",
                  "nack=0x27:2",
                  {"open", "/dev/i2c-0", "rw", "address", "0x27", "i2cwrite", "0c", "i2cwrite", "08", "i2cwrite", "0c"},
                  "open OK\naddress 0\ni2cwrite 1\ni2cwrite -6\ni2cwrite -6\n"},
        FaultCase{"sysfs_write_refused",
                  "write=/sys/class/pwm/pwmchip0/export",
                  {"open", "/sys/class/pwm/pwmchip0/export", "w", "write", "0"},
                  "open OK\nwrite -22\n"},
        FaultCase{"third_sysfs_write_refused_on_a_path_with_a_colon",
                  "write=/sys/bus/iio/devices/iio:device0/buffer/enable:3",
                  {"open", "/sys/bus/iio/devices/iio:device0/buffer/enable", "w", "write", "0", "write", "0", "write",
                   "0", "write", "0"},
                  "open OK\nwrite 1\nwrite 1\nwrite -22\nwrite 1\n"}),
    [](const testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

// What a program meets on a board: none of the PC's device nodes, as many
// failed opens as it likes, EFAULT for memory it has not got.
struct KernelCase {
    const char* name;
    std::vector<std::string> faults;
    std::vector<std::string> steps;
    std::string out;
};

void PrintTo(const KernelCase& c, std::ostream* os) { *os << c.name; }

class BoardsAnswers : public testing::TestWithParam<KernelCase> {};

TEST_P(BoardsAnswers, ProgramMeetsTheKernelsAnswer)
{
    const auto& c = GetParam();
    BoardConfig config;
    for (const auto& fault : c.faults) {
        ASSERT_EQ(config.faults.add(fault), "");
    }
    const auto r = probe(c.steps, config);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

std::vector<std::string> repeated(std::vector<std::string> steps, int times)
{
    std::vector<std::string> all;
    for (int i = 0; i < times; ++i) {
        all.insert(all.end(), steps.begin(), steps.end());
    }
    return all;
}

std::string repeated(const std::string& text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

INSTANTIATE_TEST_SUITE_P(
    Board, BoardsAnswers,
    testing::Values(
        // The PC's kernel log is no device of the board; /dev/null is harmless and stays.
        KernelCase{"pc_nodes_out_of_reach", {}, {"open", "/dev/kmsg", "r", "open", "/dev/null", "w"}, "open -2\nopen OK\n"},
        KernelCase{"sixty_opens_of_an_absent_node",
                   {"absent=/dev/spidev3.0"},
                   repeated({"open", "/dev/spidev3.0", "rw"}, 60),
                   repeated("open -2\n", 60)},
        KernelCase{"spi_buffer_the_program_has_not", {}, {"open", "/dev/spidev3.0", "rw", "badspi"}, "open OK\nbadspi -14\n"},
        KernelCase{"i2c_buffer_the_program_has_not", {}, {"open", "/dev/i2c-0", "rw", "badi2c"}, "open OK\nbadi2c -14\n"}),
    [](const testing::TestParamInfo<KernelCase>& param) { return std::string(param.param.name); });

TEST(FaultSpecs, MalformedFaultsAreExplained)
{
    FaultPlan plan;
    EXPECT_NE(plan.add("absent"), "");
    EXPECT_NE(plan.add("absent=relative/path"), "");
    EXPECT_NE(plan.add("ioctl=spidev3.0"), "");
    EXPECT_NE(plan.add("ioctl=spidev3.0:NOT_A_REQUEST"), "");
    EXPECT_NE(plan.add("ioctl=spidev3.0:SPI_IOC_MESSAGE:EWHAT"), "");
    EXPECT_NE(plan.add("ioctl=spidev3.0:SPI_IOC_MESSAGE:EIO:0"), "");
    EXPECT_NE(plan.add("nack=0x80:1"), "");
    EXPECT_NE(plan.add("nack=0x27:0"), "");
    EXPECT_NE(plan.add("melt=/dev/i2c-0"), "");
    EXPECT_NE(plan.add("write=/sys/class/pwm/pwmchip0/export:0"), "");
    EXPECT_EQ(plan.add("ioctl=spidev3.0:0x40046b04:5:3"), "");
}

// The library refuses a path fault that could never fire as the command
// does, also one set without the command line's parser.
TEST(FaultSpecs, BoardRefusesPathsItHasNot)
{
    const std::vector<std::pair<std::function<void(FaultPlan&)>, std::string>> cases{
        {[](FaultPlan& plan) { plan.refuse_writes("/sys/class/pwm/pwmchip0/pwm0/dutycycle", 2); },
         "--fault write=/sys/class/pwm/pwmchip0/pwm0/dutycycle: the board has no such attribute; the nearest is "
         "/sys/class/pwm/pwmchip0/pwm0/duty_cycle"},
        {[](FaultPlan& plan) { plan.deny("/proc/self/mem"); },
         "--fault deny=/proc/self/mem: names nothing of the board: give an absolute path inside its /dev or /sys"},
    };
    for (const auto& [set, says] : cases) {
        BoardConfig config;
        set(config.faults);
        EXPECT_EQ(problem_with(config), says);
        try {
            Board board(config);
            ADD_FAILURE() << "accepted: " << says;
        } catch (const BoardError& e) {
            EXPECT_EQ(std::string(e.what()), says);
        }
    }
}

// --- The program's side: log, time, signals, output ----------------------------------

TEST(Program, SyslogIsCaughtAndNotSentToTheHost)
{
    const auto r = probe({"log", "bus 0 is gone"});
    EXPECT_EQ(r.err, "");
    const auto logs = all_of<LogLine>(r.events);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].text, "bus 0 is gone");
}

struct Datagram {
    const char* sent;
    int priority;
    const char* text;
};

// What other clients send to /dev/log (logger, a hand-made datagram) is
// filed as a syslog daemon files it: a message without a priority at
// notice, whole.
TEST(Program, EverySyslogDatagramIsKept)
{
    const std::vector<Datagram> cases = {
        {"<11>Dec  9 13:00:00 app[12]: disk gone\n", 3, "disk gone"},
        {"<14>app: started", 6, "started"},
        {"no priority at all", 5, "no priority at all"},
        {"<abc>odd", 5, "<abc>odd"},
    };
    std::string script = "import socket\ns = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)\n";
    for (const Datagram& c : cases) {
        std::string sent = c.sent;
        if (sent.back() == '\n') {
            sent.replace(sent.size() - 1, 1, "\\n");
        }
        script += "s.sendto(b'" + sent + "', '/dev/log')\n";
    }
    RunOptions options;
    options.argv = {"/usr/bin/python3", "-c", script};
    Board board;
    const auto r = board.run(options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto logs = all_of<LogLine>(r.events);
    ASSERT_EQ(logs.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(logs[i].priority, cases[i].priority) << cases[i].sent;
        EXPECT_EQ(logs[i].text, cases[i].text) << cases[i].sent;
    }
}

TEST(Program, VirtualTimeAdvancesOnlyWhileTheProgramSleeps)
{
    BoardConfig config;
    config.adc[1] = {"1", "2", "3"};
    const std::string raw = "/sys/bus/iio/devices/iio:device0/in_voltage1_raw";
    const auto r = probe({"open", raw, "r", "read", "4", "usleep", "50000", "seek", "0", "read", "4", "usleep", "2000000",
                          "seek", "0", "read", "4"},
                         config);
    std::vector<double> times;
    for (const auto& a : all_of<SysfsAccess>(r.events)) {
        times.push_back(a.t);
    }
    // Exact: the record does not depend on how long the host took.
    EXPECT_EQ(times, (std::vector<double>{0.0, 0.05, 2.05}));
}

TEST(Program, StopsAtAVirtualTimeBeforeDoingAnythingThere)
{
    RunOptions options;
    options.stop_at = 3.0;
    const auto r = probe({"ticks", "10", "1000000"}, {}, options);
    EXPECT_EQ(r.out, "tick 0\ntick 1\ntick 2\n");
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.status(), 0);
}

TEST(Program, BusTimeReachingTheStopTimeStopsAProgramThatNeverPauses)
{
    RunOptions options;
    options.argv = {"/bin/sh", "-c", "while :; do i2cset -y 0 0x27 0x08; done"};
    options.stop_at = 0.01;
    options.timeout = std::chrono::seconds(20);
    Board board;
    const auto r = board.run(options);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.status(), 0);
    // Each i2cset is one SMBus byte write: START, address and data with their
    // ACKs, STOP: 1 + 9 + 9 + 1 bits at 100 kHz, 200 µs.
    const double write_s = (1 + 9 + 9 + 1) * 10e-6;
    EXPECT_EQ(all_of<I2cWrite>(r.events).size(), static_cast<std::size_t>(std::lround(0.01 / write_s)));
}

TEST(Program, StopsAfterExactlyNLines)
{
    RunOptions options;
    options.stop_after_lines = 4;
    const auto r = probe({"ticks", "100", "10000"}, {}, options);
    EXPECT_EQ(r.out, "tick 0\ntick 1\ntick 2\ntick 3\n");
    EXPECT_EQ(r.status(), 0);
}

struct SigintInSleep {
    std::vector<std::string> ops;
    const char* out;
    int exit_code; // -1: ended by the signal
};

// The pause is cut short at that virtual time, which the record says, be
// the program one that handles SIGINT (its usleep fails with EINTR) or one
// that the signal ends there.
TEST(Program, SigintAtAVirtualTimeCutsTheSleepShortThere)
{
    const std::vector<SigintInSleep> cases{
        {{"handler", "usleep", "1000000", "usleep", "1000000", "print", "after"},
         "usleep 0 0\nSIGINT\nusleep -1 4\nafter\n", 0},
        {{"usleep", "1000000", "usleep", "1000000", "print", "after"}, "usleep 0 0\n", -1},
    };
    for (const auto& c : cases) {
        RunOptions options;
        options.sigint_at = 1.25;
        const auto r = probe(c.ops, {}, options);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, c.exit_code);
        const auto program = all_of<ProgramEvent>(r.events);
        const auto signal = std::find_if(program.begin(), program.end(),
                                         [](const ProgramEvent& e) { return e.kind == ProgramEvent::Kind::signal; });
        ASSERT_NE(signal, program.end()) << c.out;
        EXPECT_EQ(signal->t, 1.25);
        ASSERT_EQ(program.back().kind, ProgramEvent::Kind::exit);
        EXPECT_EQ(program.back().t, 1.25) << c.out;
    }
}

// At a speed so slow that a pause's real length is beyond any clock's
// range, the pause still waits (for as long as a clock can say): the run
// meets its real-time limit, where an overflowed length would take no time.
TEST(Program, APauseLongerThanAnyClockStillWaits)
{
    Board board;
    RunOptions options;
    options.argv = {DEVPROBE_PATH, "usleep", "1000000", "print", "after"};
    options.speed = 1e-12;
    options.timeout = std::chrono::milliseconds(300);
    const auto r = board.run(options);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.out, "");
}

TEST(Program, SigintWithoutAHandlerEndsTheProgram)
{
    RunOptions options;
    options.sigint_after_lines = 2;
    const auto r = probe({"ticks", "100", "100000"}, {}, options);
    EXPECT_EQ(r.out, "tick 0\ntick 1\n");
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_EQ(r.status(), 128 + SIGINT);
}

// The condition is tested at each call the program makes to the board: a
// syslog message is none (the C library sends it and goes on), the pause
// after it is, and the SIGINT cuts that short.
TEST(Program, SigintWhenAConditionOnTheRecordHolds)
{
    RunOptions options;
    options.sigint_when = [](const std::vector<Event>& events) {
        return !all_of<LogLine>(events).empty();
    };
    const auto r = probe({"handler", "print", "before", "log", "now", "usleep", "1000000", "print", "after"}, {}, options);
    EXPECT_EQ(r.out, "before\nSIGINT\nusleep -1 4\nafter\n");
}

TEST(Program, StandardInputReachesTheProgram)
{
    RunOptions options;
    options.argv = {"/bin/cat"};
    options.input = std::string("binary\0bytes\n", 13);
    Board board;
    const auto r = board.run(options);
    EXPECT_EQ(r.out, options.input);
    EXPECT_EQ(r.exit_code, 0);
}

TEST(Program, AProgramThatCannotRunIsReported)
{
    RunOptions options;
    options.argv = {"/nonexistent/program"};
    Board board;
    const auto r = board.run(options);
    EXPECT_EQ(r.exit_code, 127);
    EXPECT_NE(r.err.find("/nonexistent/program"), std::string::npos);
}

// A program built for a machine the board does not run (an AArch64 ELF
// header, here) is refused before anything runs, as env(1) refuses what it
// cannot execute: 126, and why.
TEST(Program, AProgramForAnotherMachineIsRefused)
{
    const std::string path = testing::TempDir() + "aarch64-program-" + std::to_string(getpid());
    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_EXEC;
    header.e_machine = EM_AARCH64;
    header.e_version = EV_CURRENT;
    header.e_ehsize = sizeof header;
    header.e_phentsize = sizeof(Elf64_Phdr);
    {
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(&header), sizeof header);
    }
    chmod(path.c_str(), 0755);
    RunOptions options;
    options.argv = {path};
    Board board;
    const auto r = board.run(options);
    EXPECT_EQ(r.exit_code, 126);
    EXPECT_EQ(r.err, "vboard: " + path + " is a program for 64-bit ARM (AArch64), which the board cannot run: it "
                     "runs programs built for this PC (x86-64) and for the board (32-bit ARM)\n");
    EXPECT_TRUE(r.events.empty());
    std::remove(path.c_str());
}

// A run keeps the program on one CPU, and gives the caller's thread back
// the CPUs it had.
TEST(Program, SeesOneCpuAndTheCallerKeepsItsOwn)
{
    cpu_set_t before;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    RunOptions options;
    options.argv = {"/usr/bin/nproc"};
    Board board;
    const auto r = board.run(options);
    EXPECT_EQ(r.out, "1\n");
    cpu_set_t after;
    ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&before, &after));
}

class OpenFiles : public testing::TestWithParam<std::string> {};

// A close() is recorded; a file the program leaves open, which the kernel
// closes as the process ends, is not.
TEST_P(OpenFiles, OnlyTheProgramsOwnClosesAreRecorded)
{
    const std::string& path = GetParam();
    const auto r = probe({"open", path, "r", "close", "open", path, "r"});
    std::vector<std::string> ops;
    for (const auto& f : all_of<FileEvent>(r.events)) {
        ops.push_back((f.op == FileEvent::Op::open ? "open " : "close ") + f.path);
    }
    EXPECT_EQ(ops, (std::vector<std::string>{"open " + path, "close " + path, "open " + path}));
}

INSTANTIATE_TEST_SUITE_P(Program, OpenFiles,
                         testing::Values("/dev/spidev3.0", "/sys/bus/iio/devices/iio:device0/in_voltage0_raw"));

} // namespace
