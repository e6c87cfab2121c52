// spi_mraa on the virtual board, with the real libmraa: the bytes on SPI
// bus 0 and the clock and bit order they went out with, the line printed
// for each kind of reply, and the failure paths.

#include "board.hpp"
#include "program_build.hpp"
#include "board_support.hpp"

#include <gtest/gtest.h>

#include <linux/spi/spidev.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace vboard;

const std::string message("Hello How are you?\0", 19);

RunResult run_spi_mraa(BoardConfig config, RunOptions options = {})
{
    options.argv = {program(SPI_MRAA_PATH, "spi_mraa")};
    Board board(std::move(config));
    return board.run(options);
}

Bytes bytes_of(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// Whether the bus was released: spidev0.0's last file event is its close.
bool released(const RunResult& r)
{
    const auto files = all_of<FileEvent>(r.events);
    for (auto f = files.rbegin(); f != files.rend(); ++f) {
        if (f->dev == "spidev0.0") {
            return f->op == FileEvent::Op::close;
        }
    }
    return false;
}

TEST(SpiMraa, LoopbackSendsTheTextWithItsNulAndPrintsItBack)
{
    const auto r = run_spi_mraa({});
    EXPECT_EQ(r.out, "Hello How are you? \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);

    const auto transfers = all_of<SpiTransfer>(r.events);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].dev, "spidev0.0");
    EXPECT_EQ(transfers[0].tx, bytes_of(message));
    EXPECT_EQ(transfers[0].length, 19u);
    EXPECT_EQ(transfers[0].speed_hz, 400000u);
    // 19 bytes of 8 clocks at 400 kHz: the transfer ends 380 µs after it began.
    EXPECT_DOUBLE_EQ(transfers[0].t, 19 * 8 / 400000.0);
    EXPECT_EQ(transfers[0].mode & SPI_LSB_FIRST, 0u);

    // libmraa sets the bit order once on opening; the second request is the program's.
    std::vector<std::uint32_t> bit_orders;
    for (const auto& call : all_of<IoctlCall>(r.events)) {
        if (call.request == "SPI_IOC_WR_LSB_FIRST") {
            bit_orders.push_back(call.value.value_or(0xff));
        }
    }
    EXPECT_EQ(bit_orders, (std::vector<std::uint32_t>{0, 0}));
    EXPECT_TRUE(released(r));
}

struct Reply {
    const char* what;
    SpiPeer peer;
    std::string line;
};

void PrintTo(const Reply& reply, std::ostream* os)
{
    *os << reply.what;
}

class SpiMraaReply : public testing::TestWithParam<Reply> {};

TEST_P(SpiMraaReply, PrintsTheReplyUpToItsFirstNulAndNoFurtherThanNineteenBytes)
{
    BoardConfig config;
    config.spi = GetParam().peer;
    const auto r = run_spi_mraa(config);
    EXPECT_EQ(r.out, GetParam().line);
    EXPECT_EQ(r.exit_code, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, SpiMraaReply,
    testing::Values(
        Reply{"NulInTheMiddle", {SpiPeer::Kind::reply, bytes_of(std::string("Hi\0there", 8))}, "Hi \n"},
        Reply{"NulFirst", {SpiPeer::Kind::reply, {0x00, 0x41}}, " \n"},
        // Two bytes, then the line idles high: 17 bytes of 0xFF and no NUL.
        Reply{"NoNulShort", {SpiPeer::Kind::reply, bytes_of("OK")}, "OK" + std::string(17, '\xff') + " \n"},
        Reply{"NoNulLong", {SpiPeer::Kind::reply, bytes_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ")}, "ABCDEFGHIJKLMNOPQRS \n"},
        // Nothing drives MISO: pulled up, every bit reads 1; pulled down, 0.
        Reply{"SilentPeerPulledUp", {SpiPeer::Kind::silent, {}, 0xFF}, std::string(19, '\xff') + " \n"},
        Reply{"SilentPeerPulledDown", {SpiPeer::Kind::silent, {}, 0x00}, " \n"}),
    [](const testing::TestParamInfo<Reply>& param_info) { return param_info.param.what; });

TEST(SpiMraa, WithoutTheBusItSaysSoOnStandardError)
{
    const auto r = run_spi_mraa(with_fault("absent=/dev/spidev0.0"));
    EXPECT_EQ(r.err, "Failed to initialize SPI\n");
    EXPECT_EQ(r.err.size(), 25u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exit_code, 1);
}

TEST(SpiMraa, ARefusedBitOrderEndsWithLibmraasTextBeforeAnyTransfer)
{
    const auto r = run_spi_mraa(with_fault("ioctl=spidev0.0:SPI_IOC_WR_LSB_FIRST:EINVAL:2"));
    EXPECT_EQ(r.out, "MRAA: Invalid resource.\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(all_of<SpiTransfer>(r.events).empty());
    EXPECT_TRUE(released(r));
}

TEST(SpiMraa, AFailedTransferIsReportedAndPrintsNoLine)
{
    const auto r = run_spi_mraa(with_fault("ioctl=spidev0.0:SPI_IOC_MESSAGE:EIO"));
    EXPECT_EQ(r.out, "MRAA: Invalid resource.\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(released(r));
}

// Output that cannot be written fails the run, whatever the transfer did,
// and is said on standard error with its reason, by both builds.
TEST(SpiMraa, OutputThatCannotBeWrittenIsSaidWithItsReason)
{
    for (const auto& lost : lost_outputs(true)) { // libmraa opens its syslog first
        RunOptions options;
        options.output = lost.output;
        const auto r = run_spi_mraa({}, options);
        EXPECT_EQ(r.err, lost_output_message("spi_mraa", lost.error)) << lost.name;
        EXPECT_EQ(r.exit_code, 1) << lost.name;
        EXPECT_EQ(all_of<SpiTransfer>(r.events).size(), 1u) << lost.name;
        EXPECT_TRUE(released(r)) << lost.name;
    }
}

} // namespace
