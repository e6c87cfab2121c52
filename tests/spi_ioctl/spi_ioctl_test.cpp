// spi_ioctl on the virtual board's /dev/spidev3.0: what it prints, its exit
// status, and what the spidev driver received.

#include "board.hpp"
#include "program_build.hpp"
#include "board_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

namespace {

using namespace vboard;

const std::string report_32 = "SPI transfer returned 32...\r\n";
const std::string received = "Received SPI buffer...\r\n";
const std::string counting_dump = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f\r\n";

// Every byte of the receive buffer as the program left it before the transfer.
const std::string untouched_dump = std::string(64, 'f') + "\r\n";

RunResult run_spi_ioctl(Board& board, RunOptions options = {})
{
    options.argv = {program(SPI_IOCTL_PATH, "spi_ioctl")};
    options.timeout = std::chrono::seconds(20);
    return board.run(options);
}

RunResult run_spi_ioctl(BoardConfig config = {})
{
    Board board(std::move(config));
    return run_spi_ioctl(board);
}

std::vector<std::string> requests_made(const RunResult& r)
{
    std::vector<std::string> names;
    for (const auto& call : all_of<IoctlCall>(r.events)) {
        names.push_back(call.request);
    }
    return names;
}

// The node was opened once and the last thing done with it was its close.
void expect_opened_and_closed(const RunResult& r)
{
    const auto files = all_of<FileEvent>(r.events);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].op, FileEvent::Op::open);
    EXPECT_EQ(files[0].path, "/dev/spidev3.0");
    EXPECT_EQ(files[0].error, 0);
    EXPECT_EQ(files[1].op, FileEvent::Op::close);
    EXPECT_EQ(files[1].dev, "spidev3.0");
    // Nothing reached the device after the close.
    const auto last = std::find_if(r.events.rbegin(), r.events.rend(),
                                   [](const Event& e) { return !std::holds_alternative<ProgramEvent>(e); });
    ASSERT_NE(last, r.events.rend());
    EXPECT_TRUE(std::holds_alternative<FileEvent>(*last));
}

TEST(SpiIoctl, ConfiguresThenTransfersAndPrintsTheLoopedBackBytes)
{
    const auto r = run_spi_ioctl();
    EXPECT_EQ(r.out, report_32 + received + counting_dump);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.signal, 0);
    expect_opened_and_closed(r);

    const auto transfers = all_of<SpiTransfer>(r.events);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].dev, "spidev3.0");
    EXPECT_EQ(transfers[0].length, 32u);
    EXPECT_EQ(transfers[0].speed_hz, 1000000u);
    EXPECT_EQ(transfers[0].bits_per_word, 0u);
    Bytes counting(32);
    std::iota(counting.begin(), counting.end(), std::uint8_t{0});
    EXPECT_EQ(transfers[0].tx, counting);
    EXPECT_EQ(transfers[0].result, 32);
    // 32 bytes of 8 clocks at 1 MHz: the transfer ends 256 µs after it began.
    EXPECT_DOUBLE_EQ(transfers[0].t, 32 * 8 / 1e6);

    EXPECT_EQ(requests_made(r), (std::vector<std::string>{"SPI_IOC_RD_MODE32", "SPI_IOC_WR_MODE32",
                                                          "SPI_IOC_RD_MAX_SPEED_HZ", "SPI_IOC_WR_MAX_SPEED_HZ"}));
    const auto calls = all_of<IoctlCall>(r.events);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[2].value, 10000000u); // the device's maximum before the program set it
    EXPECT_EQ(calls[3].value, 5000000u);
    for (const auto& call : calls) {
        EXPECT_EQ(call.result, 0) << call.request;
    }
}

// The mode word goes back bit for bit: a device left in mode 3, LSB first,
// stays so, and the transfer runs in that mode.
TEST(SpiIoctl, WritesBackTheModeWordAsRead)
{
    Board board;
    constexpr unsigned mode = 0x0b; // SPI_CPHA | SPI_CPOL | SPI_LSB_FIRST
    RunOptions set_mode;
    set_mode.argv = {DEVPROBE_PATH, "open", "/dev/spidev3.0", "rw", "ioctl32", "WR_MODE32", std::to_string(mode)};
    ASSERT_EQ(board.run(set_mode).out, "open OK\nioctl 0 " + std::to_string(mode) + "\n");

    const auto r = run_spi_ioctl(board);
    const auto calls = all_of<IoctlCall>(r.events);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].value, mode);
    EXPECT_EQ(calls[1].value, mode);
    ASSERT_EQ(all_of<SpiTransfer>(r.events).size(), 1u);
    EXPECT_EQ(all_of<SpiTransfer>(r.events)[0].mode, mode);
    EXPECT_EQ(r.exit_code, 0);
}

struct PeerCase {
    const char* name;
    SpiPeer peer;
    std::string dump;
};

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.name; }

class Peers : public testing::TestWithParam<PeerCase> {};

TEST_P(Peers, DumpShowsWhatCameBackOnMiso)
{
    BoardConfig config;
    config.spi = GetParam().peer;
    const auto r = run_spi_ioctl(std::move(config));
    EXPECT_EQ(r.out, report_32 + received + GetParam().dump);
    EXPECT_EQ(r.exit_code, 0);
}

INSTANTIATE_TEST_SUITE_P(
    SpiIoctl, Peers,
    testing::Values(PeerCase{"silent", SpiPeer{SpiPeer::Kind::silent, {}}, untouched_dump},
                    PeerCase{"silent_pulled_down", SpiPeer{SpiPeer::Kind::silent, {}, 0x00}, std::string(64, '0') + "\r\n"},
                    PeerCase{"reply", SpiPeer{SpiPeer::Kind::reply, {0xde, 0xad, 0x00, 0x7f, 0x80, 0x0a}},
                             "dead007f800a" + untouched_dump.substr(12)}),
    [](const testing::TestParamInfo<PeerCase>& param) { return std::string(param.param.name); });

// Each configuration request refused in turn: its message, status 1, no
// request after it, and the node closed.
struct RefusalCase {
    const char* request;
    std::size_t requests_made;
    const char* message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.request; }

class Refusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, PrintTheirMessageCloseAndExitWithOne)
{
    const auto& c = GetParam();
    const auto r = run_spi_ioctl(with_fault(std::string("ioctl=spidev3.0:") + c.request));
    EXPECT_EQ(r.out, std::string(c.message) + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 1);
    const auto requests = requests_made(r);
    ASSERT_EQ(requests.size(), c.requests_made);
    EXPECT_EQ(requests.back(), c.request);
    EXPECT_TRUE(all_of<SpiTransfer>(r.events).empty());
    expect_opened_and_closed(r);
}

INSTANTIATE_TEST_SUITE_P(
    SpiIoctl, Refusals,
    testing::Values(RefusalCase{"SPI_IOC_RD_MODE32", 1, "Could not read SPI mode...\r"},
                    RefusalCase{"SPI_IOC_WR_MODE32", 2, "Could not write SPI mode...\r"},
                    RefusalCase{"SPI_IOC_RD_MAX_SPEED_HZ", 3, "Could not read the SPI max speed...\r"},
                    RefusalCase{"SPI_IOC_WR_MAX_SPEED_HZ", 4, "Could not write the SPI max speed...\r"}),
    [](const testing::TestParamInfo<RefusalCase>& param) { return std::string(param.param.request); });

TEST(SpiIoctl, FailedTransferIsReportedAndEndsWithStatusOne)
{
    const auto r = run_spi_ioctl(with_fault("ioctl=spidev3.0:SPI_IOC_MESSAGE:EIO"));
    EXPECT_EQ(r.out, "SPI transfer returned -1...\r\n" + received + untouched_dump);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(requests_made(r).size(), 4u);
    const auto transfers = all_of<SpiTransfer>(r.events);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].error, EIO);
    expect_opened_and_closed(r);
}

class Unopenable : public testing::TestWithParam<const char*> {};

TEST_P(Unopenable, NodePrintsTheOpenMessageOnly)
{
    const auto r = run_spi_ioctl(with_fault(GetParam()));
    EXPECT_EQ(r.out, "Could not open the SPI device...\r\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(all_of<IoctlCall>(r.events).empty());
    EXPECT_TRUE(all_of<SpiTransfer>(r.events).empty());
    for (const auto& file : all_of<FileEvent>(r.events)) {
        EXPECT_NE(file.op, FileEvent::Op::close);
    }
}

INSTANTIATE_TEST_SUITE_P(SpiIoctl, Unopenable, testing::Values("absent=/dev/spidev3.0", "deny=/dev/spidev3.0"),
                         [](const testing::TestParamInfo<const char*>& param) {
                             return std::string(param.param).substr(0, std::string(param.param).find('='));
                         });

// Output that cannot be written fails the run, whatever the transfer did,
// and is said on standard error with its reason, by both builds.
TEST(SpiIoctl, OutputThatCannotBeWrittenIsSaidWithItsReason)
{
    for (const auto& lost : lost_outputs()) {
        Board board;
        RunOptions options;
        options.output = lost.output;
        const auto r = run_spi_ioctl(board, options);
        EXPECT_EQ(r.err, lost_output_message("spi_ioctl", lost.error)) << lost.name;
        EXPECT_EQ(r.exit_code, 1) << lost.name;
        EXPECT_EQ(all_of<SpiTransfer>(r.events).size(), 1u) << lost.name;
    }
}

} // namespace
