// `vboard run --vcd`: the capture of the board's wires, read back by
// sigrok's own protocol decoders and compared with the trace of the same
// run: what the decoders find on the wires must be exactly what the devices
// saw.

#include "capture_support.hpp"
#include "version.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using namespace capture_support;
using test_support::finish_child;
using test_support::read_until;
using test_support::start_child;

const auto both_timescales = testing::Values(default_timescale, fine_timescale);

// --- I2C, and the PCF8574's outputs ------------------------------------------------------------

struct I2cCase {
    const char* name;
    std::vector<std::string> options;
    int status;
    std::size_t nack_frame; // the frame the display refuses (1 = the first), or 0
};

void PrintTo(const I2cCase& c, std::ostream* os) { *os << c.name; }
const char* name_of(const I2cCase& c) { return c.name; }

class I2cCapture : public testing::TestWithParam<std::tuple<I2cCase, Timescale>> {};

// A test's name: the case's, and the timescale's.
template <typename Case>
std::string case_and_timescale(const testing::TestParamInfo<std::tuple<Case, Timescale>>& param)
{
    return std::string(name_of(std::get<0>(param.param))) + "_" + std::get<1>(param.param).name;
}

// The expander's eight outputs in the capture, P0 (RS) to P7 (D7) as a
// byte, at each moment one of them changed. (sigrok's parallel decoder,
// which would read them, aborts as it ends in Debian 12's sigrok-cli; the
// file is read here instead.)
std::vector<std::pair<std::int64_t, int>> expander_outputs(const fs::path& vcd, std::int64_t tick_ns)
{
    const std::vector<std::string> pins{"RS", "RW", "EN", "BL", "D4", "D5", "D6", "D7"};
    std::map<std::string, int> bit_of; // identifier -> port bit
    std::vector<std::pair<std::int64_t, int>> states;
    int port = 0;
    std::int64_t t = 0;
    for (const std::string& line : lines_of(vcd)) {
        std::istringstream words(line);
        std::string kind, type, width, id, name;
        if (words >> kind >> type >> width >> id >> name && kind == "$var") {
            const auto pin = std::find(pins.begin(), pins.end(), name);
            if (pin != pins.end()) {
                bit_of[id] = static_cast<int>(pin - pins.begin());
            }
        } else if (line.size() > 1 && line[0] == '#') {
            t = std::stoll(line.substr(1)) * tick_ns;
        } else if (line.size() > 1 && (line[0] == '0' || line[0] == '1') && bit_of.count(line.substr(1)) != 0) {
            const int mask = 1 << bit_of[line.substr(1)];
            port = line[0] == '1' ? port | mask : port & ~mask;
            if (!states.empty() && states.back().first == t) {
                states.back().second = port;
            } else {
                states.emplace_back(t, port);
            }
        }
    }
    return states;
}

// i2c_lcd's first 3 virtual seconds: the I2C decoder finds every frame of
// the trace, in order, its address and exactly its bytes, and the NACK
// where the display stopped answering; the expander's outputs take each
// byte written to it as the byte's acknowledge ends.
TEST_P(I2cCapture, DecodersFindEveryFrameOfTheTrace)
{
    const auto& [c, timescale] = GetParam();
    std::vector<std::string> options{"--for", "3"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    const Capture run = capture(c.name, options, {"i2c_lcd"}, timescale);
    ASSERT_EQ(run.run.exit_code, c.status) << run.run.err;

    std::vector<std::string> frames; // address, then the bytes or NACK
    int port = 0xFF; // the expander's outputs after power-on
    std::vector<std::pair<std::int64_t, int>> outputs{{0, port}};
    std::size_t count = 0;
    std::size_t refused = 0;
    for (const std::string& line : run.trace) {
        if (!is(line, "i2c-0", "write")) {
            continue;
        }
        ++count;
        char address[8];
        std::snprintf(address, sizeof address, "%02X", std::stoi(field(line, "addr")));
        frames.push_back(std::string("Address write: ") + address);
        if (!field(line, "error").empty()) {
            frames.emplace_back("NACK");
            refused = refused == 0 ? count : refused;
            continue;
        }
        // Each byte's acknowledge ends 9 bits of 10 µs before the next one's;
        // the last one's when the trace records the frame.
        const auto bytes = hex_bytes(field(line, "bytes"));
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            frames.push_back("Data write: " + bytes[i]);
            const int value = std::stoi(bytes[i], nullptr, 16);
            if (value != port) {
                const std::int64_t t = ns_of(line) - static_cast<std::int64_t>(9 * (bytes.size() - 1 - i)) * 10000;
                outputs.emplace_back(t / timescale.tick_ns * timescale.tick_ns, value);
            }
            port = value;
        }
    }
    ASSERT_GT(count, 0u);
    EXPECT_EQ(refused, c.nack_frame);
    if (c.nack_frame != 0) {
        EXPECT_EQ(count, c.nack_frame) << "the program ends at the refused frame";
    }

    std::vector<std::string> decoded;
    for (const std::string& line :
         decode(run, "i2c:scl=I2C0_SCL:sda=I2C0_SDA", "i2c=address-write:data-write:nack")) {
        if (line != "Write") { // the R/W bit
            decoded.push_back(line);
        }
    }
    EXPECT_EQ(decoded, frames);

    EXPECT_EQ(expander_outputs(run.vcd, timescale.tick_ns), outputs);
    fs::remove_all(run.dir);
}

INSTANTIATE_TEST_SUITE_P(Vcd, I2cCapture,
                         testing::Combine(testing::Values(I2cCase{"first_3_seconds", {}, 0, 0},
                                                          I2cCase{"nack_at_the_fifth_frame",
                                                                  {"--fault", "nack=0x27:5"}, 1, 5}),
                                          both_timescales),
                         case_and_timescale<I2cCase>);

// --- The header and the timescale ---------------------------------------------------------------

struct TimescaleOption {
    const char* value;     // --vcd-timescale's, or nullptr for none
    const char* header;    // the header's timescale, or nullptr where the value is refused
    std::int64_t tick_ns;
};

// The header names vboard's version, the real date of the run (ISO 8601,
// UTC) and the timescale; the file's times are in its ticks: the
// expander's first change (the first wake-up byte's 0x0C, as its
// acknowledge ends) is written at the tick it falls in. A value that is no
// timescale is refused with status 2, and nothing is written.
TEST(Vcd, HeaderNamesTheVersionTheDateAndTheTimescale)
{
    const std::vector<TimescaleOption> cases{
        {nullptr, "100 ns", 100}, {"1ns", "1 ns", 1},      {"10ns", "10 ns", 10}, {"100ns", "100 ns", 100},
        {"1us", "1 us", 1000},    {"2ns", nullptr, 0},     {"1 ns", nullptr, 0},  {"1ms", nullptr, 0},
        {"100", nullptr, 0},      {"1NS", nullptr, 0},     {"", nullptr, 0},
    };
    for (const TimescaleOption& c : cases) {
        const std::string value = c.value != nullptr ? c.value : "none";
        std::vector<std::string> options{"--for", "0.06"};
        if (c.value != nullptr) {
            options.insert(options.begin(), {"--vcd-timescale", c.value});
        }
        const Capture run = capture("header", options, {"i2c_lcd"});
        if (c.header == nullptr) {
            EXPECT_EQ(run.run.exit_code, 2) << value;
            EXPECT_EQ(run.run.err, "vboard: --vcd-timescale needs 1ns, 10ns, 100ns or 1us, not \"" + value + "\"\n");
            EXPECT_FALSE(fs::exists(run.vcd)) << value;
            fs::remove_all(run.dir);
            continue;
        }
        ASSERT_EQ(run.run.exit_code, 0) << value << ": " << run.run.err;
        const std::vector<std::string> lines = lines_of(run.vcd);
        ASSERT_GT(lines.size(), 3u) << value;
        EXPECT_EQ(lines[0], std::string("$version vboard ") + vboard::version + " $end");
        EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\$date \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \$end)")))
            << lines[1];
        EXPECT_NE(std::find(lines.begin(), lines.end(), "$timescale " + std::string(c.header) + " $end"), lines.end())
            << value;

        const auto first_write = std::find_if(run.trace.begin(), run.trace.end(),
                                              [](const std::string& line) { return is(line, "i2c-0", "write"); });
        ASSERT_NE(first_write, run.trace.end());
        ASSERT_EQ(field(*first_write, "bytes"), "0c083c38");
        const std::int64_t first_ack_end = ns_of(*first_write) - 3 * 9 * 10000;
        const auto outputs = expander_outputs(run.vcd, c.tick_ns);
        ASSERT_GT(outputs.size(), 1u) << value;
        EXPECT_EQ(outputs[1], std::pair(first_ack_end / c.tick_ns * c.tick_ns, 0x0C)) << value;
        fs::remove_all(run.dir);
    }
}

// --- SPI ------------------------------------------------------------------------------------------

struct SpiCase {
    const char* program;
    const char* bus;  // the signals' prefix
    const char* node;
    std::uint32_t clock_hz;
    const char* reply; // what the peer answers, so that MISO differs from MOSI
};

void PrintTo(const SpiCase& c, std::ostream* os) { *os << c.program; }
const char* name_of(const SpiCase& c) { return c.program; }

class SpiCapture : public testing::TestWithParam<std::tuple<SpiCase, Timescale>> {};

// The SPI decoder finds the transfer's bytes on MOSI and on MISO exactly
// as the trace has them, between the chip select's assertion and release,
// which are the transfer's 8 clocks a byte at its clock apart.
TEST_P(SpiCapture, DecoderFindsBothDirectionsAtTheTransfersClock)
{
    const auto& [c, timescale] = GetParam();
    const Capture run = capture(c.program, {"--spi", std::string("reply=") + c.reply}, {c.program}, timescale);
    ASSERT_EQ(run.run.exit_code, 0) << run.run.err;
    std::vector<std::string> transfers;
    for (const std::string& line : run.trace) {
        if (is(line, c.node, "transfer")) {
            transfers.push_back(line);
        }
    }
    ASSERT_EQ(transfers.size(), 1u);
    const std::string& transfer = transfers.front();
    ASSERT_EQ(std::stoul(field(transfer, "speed_hz")), c.clock_hz);
    ASSERT_NE(field(transfer, "tx"), field(transfer, "rx"));

    const std::string bus = c.bus;
    const std::string decoder = "spi:clk=" + bus + "_SCLK:mosi=" + bus + "_MOSI:miso=" + bus + "_MISO:cs=" + bus + "_CS0";
    for (const auto& [annotation, key] : {std::pair{"spi=mosi-transfer", "tx"}, std::pair{"spi=miso-transfer", "rx"}}) {
        const auto found = decode(run, decoder, annotation, true);
        ASSERT_EQ(found.size(), 1u) << annotation;
        long long first = 0;
        long long last = 0;
        int taken = 0;
        ASSERT_EQ(std::sscanf(found.front().c_str(), "%lld-%lld %n", &first, &last, &taken), 2) << found.front();
        std::istringstream bytes(found.front().substr(static_cast<std::size_t>(taken)));
        std::vector<std::string> decoded;
        for (std::string byte; bytes >> byte;) {
            decoded.push_back(byte);
        }
        EXPECT_EQ(decoded, hex_bytes(field(transfer, key))) << annotation;
        const double wire_ns = 8.0 * std::stod(field(transfer, "len")) * 1e9 / c.clock_hz;
        EXPECT_NEAR(static_cast<double>((last - first) * sample_ns), wire_ns, sample_ns) << annotation;
    }
    fs::remove_all(run.dir);
}

INSTANTIATE_TEST_SUITE_P(Vcd, SpiCapture,
                         testing::Combine(testing::Values(SpiCase{"spi_ioctl", "SPI3", "spidev3.0", 1000000, "c0ffee"},
                                                          SpiCase{"spi_mraa", "SPI0", "spidev0.0", 400000, "4f4b2100"}),
                                          both_timescales),
                         case_and_timescale<SpiCase>);

// cs_change on the first of two transfers: the SPI core deselects the
// device between them for its default 10 µs, and the decoder finds two
// transfers; without it, one transfer of all the bytes, the select held.
TEST(Vcd, CsChangeReleasesTheChipSelectBetweenTransfers)
{
    for (const bool cs_change : {false, true}) {
        const Capture run = capture(std::string("cs_change") + (cs_change ? "1" : "0"), {"--spi", "reply=a5"},
                                    {DEVPROBE_PATH, "open", "/dev/spidev3.0", "rw", "message", cs_change ? "1" : "0",
                                     "0102", "030405"});
        ASSERT_EQ(run.run.out, "open OK\nmessage 5\n") << run.run.err;
        std::vector<std::string> transfers;
        for (const std::string& line : run.trace) {
            if (is(line, "spidev3.0", "transfer")) {
                transfers.push_back(line);
            }
        }
        ASSERT_EQ(transfers.size(), 2u);
        // 3 bytes at 1 MHz after the first, and the pause between them.
        EXPECT_EQ(ns_of(transfers[1]) - ns_of(transfers[0]), 24000 + (cs_change ? 10000 : 0)) << cs_change;
        std::vector<std::string> expected;
        for (const std::string& transfer : transfers) {
            std::string bytes;
            for (const std::string& byte : hex_bytes(field(transfer, "tx"))) {
                bytes += (bytes.empty() ? "" : " ") + byte;
            }
            if (cs_change || expected.empty()) {
                expected.push_back(bytes);
            } else {
                expected.back() += " " + bytes;
            }
        }
        EXPECT_EQ(decode(run, "spi:clk=SPI3_SCLK:mosi=SPI3_MOSI:miso=SPI3_MISO:cs=SPI3_CS0", "spi=mosi-transfer"),
                  expected)
            << cs_change;
        fs::remove_all(run.dir);
    }
}

// --- PWM ------------------------------------------------------------------------------------------

struct Change {
    std::int64_t t;
    int level;
};

// The output the trace's writes to the channel imply, up to `end`: the
// first period begins as the channel is enabled, with the settings of that
// moment; each later one with what the files held at its start (a write at
// the very instant it begins included), high for duty_cycle ns of it; a
// disable takes the output low for good at the next period's start.
std::vector<Change> pwm_output(const std::vector<std::string>& trace, std::int64_t end)
{
    struct Write {
        std::int64_t t;
        std::string attr;
        unsigned long long value;
    };
    std::vector<Write> writes;
    for (const std::string& line : trace) {
        const std::string attr = field(line, "attr");
        if (is(line, "pwmchip0", "write") && field(line, "error").empty() &&
            (attr == "export" || attr == "pwm0/period" || attr == "pwm0/duty_cycle" || attr == "pwm0/enable")) {
            writes.push_back({ns_of(line), attr, std::stoull(field(line, "value"))});
        }
    }
    unsigned long long period = 0;
    unsigned long long duty = 0;
    bool enabled = false;
    const auto apply = [&](const Write& w) {
        if (w.attr == "export") {
            period = duty = 0;
            enabled = false;
        } else if (w.attr == "pwm0/period") {
            period = w.value;
        } else if (w.attr == "pwm0/duty_cycle") {
            duty = w.value;
        } else {
            enabled = w.value == 1;
        }
    };
    std::size_t next = 0;
    while (next < writes.size() && !enabled) {
        apply(writes[next++]);
    }
    std::vector<Change> changes;
    if (!enabled) {
        return changes;
    }
    int level = 0;
    const auto set = [&](std::int64_t t, int to) {
        if (t <= end && to != level) {
            changes.push_back({t, to});
            level = to;
        }
    };
    for (std::int64_t start = writes[next - 1].t; start <= end && enabled;) {
        set(start, duty > 0 ? 1 : 0);
        if (duty > 0 && duty < period) {
            set(start + static_cast<std::int64_t>(duty), 0);
        }
        start += static_cast<std::int64_t>(period);
        while (next < writes.size() && writes[next].t <= start) {
            apply(writes[next++]);
        }
        if (!enabled) {
            set(start, 0);
        }
    }
    return changes;
}

// sigrok's pwm decoder measures from each rising edge to the next edge
// (high) and on to the edge after (the cycle); periods of 100 % have no
// edges, and it reports them with the period after them as one long cycle.
// What it reports of the capture must be what the trace implies, each edge
// within the sample it falls in.
void expect_pwm_as_the_trace_says(const Capture& run)
{
    std::int64_t end = -1;
    for (const std::string& line : run.trace) {
        if (is(line, "program", "stopped") || is(line, "program", "exit")) {
            end = ns_of(line);
        }
    }
    ASSERT_GT(end, 0) << "the run's end is in the trace";
    const std::vector<Change> output = pwm_output(run.trace, end);
    struct Cycle {
        std::int64_t start, end;
        double percent;
    };
    std::vector<Cycle> expected;
    std::size_t i = 0;
    while (i < output.size() && output[i].level != 1) {
        ++i;
    }
    for (; i + 2 < output.size(); i += 2) {
        const std::int64_t rise = output[i].t;
        const std::int64_t cycle_end = output[i + 2].t;
        expected.push_back({rise, cycle_end, 100.0 * static_cast<double>(output[i + 1].t - rise) /
                                                 static_cast<double>(cycle_end - rise)});
    }
    ASSERT_GT(expected.size(), 100u);

    const auto found = decode(run, "pwm:data=PWM0", "pwm=duty-cycle", true);
    ASSERT_EQ(found.size(), expected.size());
    for (std::size_t k = 0; k < found.size(); ++k) {
        long long first = 0;
        long long last = 0;
        double percent = 0;
        ASSERT_EQ(std::sscanf(found[k].c_str(), "%lld-%lld %lf%%", &first, &last, &percent), 3) << found[k];
        const Cycle& e = expected[k];
        const double span = static_cast<double>(e.end - e.start);
        if (std::abs(static_cast<double>(first * sample_ns - e.start)) > sample_ns ||
            std::abs(static_cast<double>(last * sample_ns - e.end)) > sample_ns ||
            std::abs(percent - e.percent) > 100.0 * 2 * sample_ns / span) {
            ADD_FAILURE() << "cycle " << k << ": decoded " << found[k] << ", the trace implies " << e.start << " ns to "
                          << e.end << " ns at " << e.percent << " %";
            break;
        }
    }
}

class PwmCapture : public testing::TestWithParam<Timescale> {};

// pwm_led_mraa for 3 virtual seconds: a new duty cycle every 50 ms, from
// 51 % up to the full period, then from 1 % again.
TEST_P(PwmCapture, DecoderFindsTheDutyCyclesOfTheTrace)
{
    const Capture run = capture("pwm", {"--for", "3"}, {"pwm_led_mraa"}, GetParam());
    ASSERT_EQ(run.run.exit_code, 0) << run.run.err;
    expect_pwm_as_the_trace_says(run);
    fs::remove_all(run.dir);
}

INSTANTIATE_TEST_SUITE_P(Vcd, PwmCapture, both_timescales,
                         [](const testing::TestParamInfo<Timescale>& param) { return std::string(param.param.name); });

// Interrupted by SIGINT (as by a Ctrl-C), pwm_led_mraa disables its output
// and ends; the capture, written as the run went, is one that sigrok reads
// without a complaint, and holds the output up to the end of the run.
TEST(Vcd, ARunEndedBySigintLeavesACaptureOfItAll)
{
    Capture run{scratch_directory("sigint"), {}, default_timescale, {}, {}};
    run.vcd = run.dir / "wires.vcd";
    const fs::path trace = run.dir / "trace.jsonl";
    auto vboard = start_child(
        {VBOARD_COMMAND_PATH, "run", "--quiet", "--trace", trace.string(), "--vcd", run.vcd.string(), "pwm_led_mraa"});
    ASSERT_GT(vboard.pid, 0);
    std::string seen;
    ASSERT_TRUE(read_until(vboard.out, seen, "PWM value is 0.520000\n")) << seen;
    kill(vboard.pid, SIGINT);
    const int status = finish_child(vboard, seen);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    run.trace = lines_of(trace);
    ASSERT_NE(std::find_if(run.trace.begin(), run.trace.end(),
                           [](const std::string& line) {
                               return is(line, "pwmchip0", "write") && field(line, "attr") == "pwm0/enable" &&
                                      field(line, "value") == "0";
                           }),
              run.trace.end());
    expect_pwm_as_the_trace_says(run);
    fs::remove_all(run.dir);
}

} // namespace
