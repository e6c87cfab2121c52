// The project's protocol decoders for the display (vboard/sigrok/decoders):
// pcf8574 stacked on sigrok's i2c, hd44780 stacked on pcf8574. What they
// find in a capture must be what the board's display did in the same run,
// as its trace tells: each instruction and character, each line's text,
// each transfer the controller lost while it was busy.

#include "capture_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace capture_support;

const std::string i2c = "i2c:scl=I2C0_SCL:sda=I2C0_SDA";

// The trace's times are to the microsecond.
constexpr std::int64_t trace_resolution_ns = 1000;

// sigrok-cli's decoder options, each ":NAME=VALUE".
std::string display_stack(const std::string& pcf8574_options, const std::string& hd44780_options)
{
    return i2c + ",pcf8574" + pcf8574_options + ",hd44780" + hd44780_options;
}

struct Annotation {
    std::int64_t ss_ns;
    std::int64_t es_ns;
    std::string text;
};

std::vector<Annotation> annotations(const Capture& run, const std::string& stack, const std::string& classes)
{
    std::vector<Annotation> found;
    for (const std::string& line : decode(run, stack, classes, true)) {
        long long ss = 0;
        long long es = 0;
        int taken = 0;
        if (std::sscanf(line.c_str(), "%lld-%lld %n", &ss, &es, &taken) != 2) {
            ADD_FAILURE() << "no samples: " << line;
            continue;
        }
        found.push_back({ss * sample_ns, es * sample_ns, line.substr(static_cast<std::size_t>(taken))});
    }
    return found;
}

// The byte of an operation's text: the first "0x" in it.
std::string byte_in(const std::string& text)
{
    const auto at = text.find("0x");
    return at == std::string::npos ? "?" : text.substr(at, 4);
}

// What the controller executed, in order: "instruction 0x28", "char 0x50".
struct Operations {
    std::vector<std::string> what;
    std::vector<std::int64_t> t_ns; // each one's latch
};

Operations traced_operations(const Capture& run)
{
    Operations ops;
    for (const std::string& line : run.trace) {
        const bool character = is(line, "lcd", "char");
        if (character || is(line, "lcd", "instruction")) {
            char byte[8];
            std::snprintf(byte, sizeof byte, "0x%02x", std::stoi(field(line, "value")));
            ops.what.push_back((character ? "char " : "instruction ") + std::string(byte));
            ops.t_ns.push_back(ns_of(line));
        }
    }
    return ops;
}

Operations decoded_operations(const Capture& run, const std::string& stack)
{
    Operations ops;
    for (const Annotation& a : annotations(run, stack, "hd44780=instruction:data")) {
        // From the first nibble's EN pulse to the last one's: one message.
        EXPECT_LT(a.es_ns - a.ss_ns, 1000000) << a.text << " from " << a.ss_ns << " ns";
        const bool character = a.text.rfind("Write data ", 0) == 0;
        ops.what.push_back((character ? "char " : "instruction ") + byte_in(a.text));
        ops.t_ns.push_back(a.es_ns);
    }
    return ops;
}

// The rows of a trace's screen event, as the decoder gives line texts:
// without the blanks at their end.
std::vector<std::string> screen_rows(const std::string& line)
{
    std::vector<std::string> rows;
    auto at = line.find("\"rows\":[");
    const auto end = line.find(']', at);
    for (at = line.find('"', at + 8); at < end; at = line.find('"', at + 1)) {
        const auto close = line.find('"', at + 1);
        std::string row = line.substr(at + 1, close - at - 1);
        row.erase(row.find_last_not_of(' ') + 1);
        rows.push_back(row);
        at = close;
    }
    return rows;
}

// --- i2c_lcd as the display saw it ------------------------------------------------------------

struct DisplayCase {
    const char* size; // --lcd, and the decoder's size
    // Each line's texts that stood for long, in order: the program's.
    std::vector<std::vector<std::string>> texts;
};

void PrintTo(const DisplayCase& c, std::ostream* os) { *os << c.size; }

class DisplayCapture : public testing::TestWithParam<DisplayCase> {};

// i2c_lcd's banner, the clear, then its welcome text, written again a
// second later: the decoder finds every instruction and character the
// controller executed, each as its last nibble was latched; and each
// line's text as the display showed it whenever the program paused.
TEST_P(DisplayCapture, DecodesWhatTheDisplayExecutedAndShowed)
{
    const DisplayCase& c = GetParam();
    const Capture run = capture(std::string("display-") + c.size, {"--for", "3.5", "--lcd", c.size}, {"i2c_lcd"});
    ASSERT_EQ(run.run.exit_code, 0) << run.run.err;
    const std::string stack = display_stack("", std::string(":size=") + c.size);

    const Operations traced = traced_operations(run);
    const Operations decoded = decoded_operations(run, stack);
    ASSERT_GT(traced.what.size(), 60u);
    EXPECT_EQ(decoded.what, traced.what);
    for (std::size_t i = 0; i < std::min(traced.t_ns.size(), decoded.t_ns.size()); ++i) {
        if (std::llabs(decoded.t_ns[i] - traced.t_ns[i]) >= trace_resolution_ns) {
            ADD_FAILURE() << traced.what[i] << " (" << i << ") decoded at " << decoded.t_ns[i] << " ns, traced at "
                          << traced.t_ns[i] << " ns";
            break;
        }
    }

    const auto lines = annotations(run, stack, "hd44780=line-1:line-2:line-3:line-4");
    ASSERT_FALSE(lines.empty());
    std::vector<std::vector<Annotation>> by_row(4);
    for (const Annotation& a : lines) {
        ASSERT_EQ(a.text.rfind("Line ", 0), 0u) << a.text;
        const auto row = static_cast<std::size_t>(a.text[5] - '1');
        ASSERT_LT(row, 4u) << a.text;
        by_row[row].push_back({a.ss_ns, a.es_ns, a.text.substr(8)});
    }
    std::vector<std::vector<std::string>> long_standing(c.texts.size());
    std::int64_t decoded_until = INT64_MAX; // where each shown row's text is known
    for (std::size_t row = 0; row < by_row.size(); ++row) {
        for (const Annotation& a : by_row[row]) {
            if (a.es_ns - a.ss_ns > 500000000 && row < long_standing.size()) {
                long_standing[row].push_back(a.text);
            }
        }
        if (!by_row[row].empty()) {
            decoded_until = std::min(decoded_until, by_row[row].back().es_ns);
        }
    }
    EXPECT_EQ(long_standing, c.texts);

    std::size_t screens = 0;
    for (const std::string& line : run.trace) {
        if (!is(line, "lcd", "screen") || ns_of(line) >= decoded_until) {
            continue;
        }
        ++screens;
        const std::int64_t t = ns_of(line);
        const std::vector<std::string> rows = screen_rows(line);
        ASSERT_EQ(rows.size(), c.texts.size()) << line;
        for (std::size_t row = 0; row < rows.size(); ++row) {
            std::string decoded_text;
            for (const Annotation& a : by_row[row]) {
                if (a.ss_ns <= t && t < a.es_ns) {
                    decoded_text = a.text;
                }
            }
            EXPECT_EQ(decoded_text, rows[row]) << "row " << row + 1 << " at " << t << " ns";
        }
    }
    EXPECT_GT(screens, 3u);
    fs::remove_all(run.dir);
}

INSTANTIATE_TEST_SUITE_P(
    Decoders, DisplayCapture,
    testing::Values(DisplayCase{"16x2", {{"Prog for I2C on", "WELCOME ALL TO"}, {"STM32F411RE", "TALVOR INDIA"}}},
                    DisplayCase{"20x4",
                                {{"Prog for I2C on", "WELCOME ALL TO"}, {"STM32F411RE", "TALVOR INDIA"}, {}, {}}}),
    [](const testing::TestParamInfo<DisplayCase>& param) { return std::string(param.param.size); });

// --- Transfers lost while the controller was busy ---------------------------------------------

// The display's initialisation by instruction, then "HI": one i2ctransfer
// an LCD byte (its high nibble with EN high, then low, then the low nibble
// the same way; backlight on), each followed by the datasheet's wait where
// it is longer than the next transfer takes to reach the controller.
struct Step {
    unsigned value;
    bool character;
    const char* wait; // seconds
};
const std::vector<Step> display_init{
    {0x03, false, "0.005"}, // wake-up from any state: more than 4.1 ms
    {0x03, false, "0.001"}, // again: more than 100 us
    {0x03, false, nullptr}, {0x02, false, nullptr}, // the 4-bit interface
    {0x28, false, nullptr}, {0x0c, false, nullptr}, {0x01, false, "0.002"}, // clear: 1.52 ms
    {0x06, false, nullptr}, {'H', true, nullptr},   {'I', true, nullptr},
};

// `power_on_wait`: the first transfer waits the 40 ms after power-on;
// `waits`: each later one the datasheet's wait after the one before.
std::string i2ctransfer_script(bool power_on_wait, bool waits)
{
    std::string script = power_on_wait ? "sleep 0.05\n" : "";
    for (const Step& step : display_init) {
        const unsigned rs = step.character ? 0x01 : 0x00;
        const unsigned high = step.value & 0xF0;
        const unsigned low = (step.value << 4) & 0xF0;
        char line[96];
        std::snprintf(line, sizeof line, "i2ctransfer -y 0 w4@0x27 0x%02x 0x%02x 0x%02x 0x%02x\n", high | 0x0C | rs,
                      high | 0x08 | rs, low | 0x0C | rs, low | 0x08 | rs);
        script += line;
        if (waits && step.wait != nullptr) {
            script += std::string("sleep ") + step.wait + "\n";
        }
    }
    return script;
}

struct TimingCase {
    const char* name;
    std::vector<std::string> options; // vboard run's
    std::vector<std::string> program;
    const char* start; // the controller at the capture's start, for the decoder
    bool flagged;
};

void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }

class LostTransfers : public testing::TestWithParam<TimingCase> {};

// The decoder flags a transfer lost exactly where the board's controller
// lost one (the same rule, from the capture's timestamps), and by as much
// it came too early; where it lost none, the decoder flags none.
TEST_P(LostTransfers, FlaggedWhereTheControllerLostThem)
{
    const TimingCase& c = GetParam();
    const Capture run = capture(c.name, c.options, c.program);
    ASSERT_EQ(run.run.exit_code, 0) << run.run.err;
    struct Lost {
        std::int64_t t_ns;
        double early_us;
    };
    std::vector<Lost> traced;
    for (const std::string& line : run.trace) {
        if (is(line, "lcd", "violation")) {
            traced.push_back({ns_of(line), std::stod(field(line, "early_us"))});
        }
    }
    EXPECT_EQ(!traced.empty(), c.flagged);

    const auto found = annotations(run, display_stack("", std::string(":start=") + c.start), "hd44780=lost");
    ASSERT_EQ(found.size(), traced.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        const auto at = found[i].text.find(": ");
        ASSERT_NE(at, std::string::npos) << found[i].text;
        const double early = std::atof(found[i].text.c_str() + at + 2);
        EXPECT_LT(std::llabs(found[i].es_ns - traced[i].t_ns), trace_resolution_ns) << found[i].text;
        EXPECT_NEAR(early, traced[i].early_us, 0.2) << found[i].text;
    }
    fs::remove_all(run.dir);
}

INSTANTIATE_TEST_SUITE_P(
    Decoders, LostTransfers,
    testing::Values(TimingCase{"i2c_lcd_from_power_on", {"--for", "0.2"}, {"i2c_lcd"}, "power-on", false},
                    TimingCase{"i2c_lcd_left_in_4bit",
                               {"--for", "0.2", "--lcd-state", "4bit"},
                               {"i2c_lcd"},
                               "4bit",
                               true},
                    TimingCase{"i2c_lcd_left_halfway",
                               {"--for", "0.2", "--lcd-state", "4bit-half"},
                               {"i2c_lcd"},
                               "4bit-half",
                               false},
                    TimingCase{"i2ctransfer_without_waits",
                               {},
                               {"/bin/sh", "-c", i2ctransfer_script(false, false)},
                               "power-on",
                               true},
                    TimingCase{"i2ctransfer_with_only_the_power_on_wait",
                               {},
                               {"/bin/sh", "-c", i2ctransfer_script(true, false)},
                               "power-on",
                               true},
                    TimingCase{"i2ctransfer_with_the_datasheets_waits",
                               {},
                               {"/bin/sh", "-c", i2ctransfer_script(true, true)},
                               "power-on",
                               false}),
    [](const testing::TestParamInfo<TimingCase>& param) { return std::string(param.param.name); });

// --- Another backpack's wiring ------------------------------------------------------------------

// A capture written here: I2C0_SCL and I2C0_SDA with a 100 ns tick, one
// message to the expander at 0x27 every 2 ms, each a write of port bytes
// or a read of one; its bits `bit` ticks long (100: 100 kHz).
class HandmadeCapture {
public:
    explicit HandmadeCapture(std::int64_t bit_ticks = 100) : bit(bit_ticks), quarter(bit_ticks / 4) {}
    void write(const std::vector<unsigned>& bytes) { message(false, bytes); }
    void read(unsigned pins) { message(true, {pins}); }

    std::string text() const
    {
        return "$timescale 100 ns $end\n$scope module i2c0 $end\n$var wire 1 ! I2C0_SCL $end\n"
               "$var wire 1 \" I2C0_SDA $end\n$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n1!\n1\"\n$end\n" +
               changes_ + "#" + std::to_string(t_ + 100) + "\n";
    }

private:
    const std::int64_t bit;
    const std::int64_t quarter;

    void set(std::int64_t at, char signal, int level)
    {
        int& current = signal == '!' ? scl_ : sda_;
        if (current != level) {
            current = level;
            changes_ += "#" + std::to_string(at) + "\n" + std::to_string(level) + signal + "\n";
        }
    }

    void cell(int level)
    {
        set(t_, '!', 0);
        set(t_ + quarter, '"', level);
        set(t_ + 2 * quarter, '!', 1);
        t_ += bit;
    }

    void byte(unsigned value)
    {
        for (int k = 7; k >= 0; --k) {
            cell((value >> k) & 1);
        }
    }

    // START, the address and R/W, acknowledged; each byte, acknowledged by
    // the receiver (a master reading leaves the last one unacknowledged); STOP.
    void message(bool read, const std::vector<unsigned>& bytes)
    {
        t_ += 20000; // 2 ms
        set(t_ + 2 * quarter, '"', 0);
        t_ += bit;
        byte(0x27 << 1 | (read ? 1 : 0));
        cell(0);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            byte(bytes[i]);
            cell(read && i + 1 == bytes.size() ? 1 : 0);
        }
        set(t_, '!', 0);
        set(t_ + quarter, '"', 0);
        set(t_ + 2 * quarter, '!', 1);
        set(t_ + 3 * quarter, '"', 1);
        t_ += bit;
    }

    std::string changes_;
    std::int64_t t_ = 0;
    int scl_ = 1;
    int sda_ = 1;
};

// A backpack wired P0..P3 to D4..D7, P4 RS, P5 RW, P6 EN, P7 backlight.
constexpr unsigned d4 = 0x01, rs = 0x10, rw = 0x20, en = 0x40, backlight = 0x80;

// One LCD byte in the 4-bit interface: each nibble with EN high, then low.
std::vector<unsigned> port_bytes(unsigned value, bool character)
{
    const unsigned control = backlight | (character ? rs : 0);
    const unsigned high = (value >> 4) * d4;
    const unsigned low = (value & 0x0F) * d4;
    return {high | control | en, high | control, low | control | en, low | control};
}

void send(HandmadeCapture& capture, unsigned value, bool character)
{
    capture.write(port_bytes(value, character));
}

// Reads the busy flag and address counter: two EN pulses with R/W high
// and D7..D4 released high, the expander's pins read during each.
void read_address(HandmadeCapture& capture, unsigned address)
{
    for (const unsigned nibble : {address >> 4, address & 0x0F}) {
        capture.write({backlight | rw | en | 0x0F});
        capture.read(backlight | rw | en | nibble * d4);
        capture.write({backlight | rw | 0x0F});
    }
}

// Every instruction the datasheet names, characters in DDRAM and CGRAM and
// a read of the address counter, through a backpack wired otherwise:
// decoded as they were sent with that wiring given as pcf8574's option, as
// something else without. Line 1's text follows the writes and the display
// shift.
TEST(Decoders, AnotherWiringDecodesWithThePinsNamedAsWired)
{
    HandmadeCapture wires;
    for (const unsigned instruction : {0x28u, 0x01u, 0x0Fu, 0x06u, 0x48u}) {
        send(wires, instruction, false);
    }
    send(wires, 0x1F, true);
    send(wires, 0x80, false);
    send(wires, 'H', true);
    send(wires, 'i', true);
    read_address(wires, 0x02);
    for (const unsigned instruction : {0x14u, 0x1Cu, 0x02u}) {
        send(wires, instruction, false);
    }
    send(wires, 'H', true);

    Capture run{scratch_directory("wiring"), {}, {"handmade", {}, "vcd", 100}, {}, {}};
    run.vcd = run.dir / "wires.vcd";
    std::ofstream(run.vcd) << wires.text();

    const std::string wiring = ":p0=D4:p1=D5:p2=D6:p3=D7:p4=RS:p5=RW:p6=EN:p7=BL";
    const std::string stack = display_stack(wiring, ":start=4bit");
    const std::vector<std::string> expected{
        "Function set 0x28: DL=0 4-bit, N=1 2 lines, F=0 5x8 dots",
        "Clear display 0x01",
        "Display on/off control 0x0f: D=1 display on, C=1 cursor on, B=1 blink on",
        "Entry mode set 0x06: I/D=1 increment, S=0 no shift",
        "Set CGRAM address 0x48: address 0x08",
        "Write data 0x1f to CGRAM 0x08",
        "Set DDRAM address 0x80: address 0x00",
        "Write data 0x48 'H' to DDRAM 0x00",
        "Write data 0x69 'i' to DDRAM 0x01",
        "Read busy flag and address: BF=0, AC=0x02",
        "Cursor or display shift 0x14: S/C=0 cursor, R/L=1 right",
        "Cursor or display shift 0x1c: S/C=1 display, R/L=1 right",
        "Return home 0x02",
        "Write data 0x48 'H' to DDRAM 0x00",
    };
    EXPECT_EQ(decode(run, stack, "hd44780=instruction:data:read:lost:warning"), expected);
    EXPECT_EQ(decode(run, stack, "hd44780=line-1:line-2"),
              (std::vector<std::string>{"Line 1: H", "Line 1: Hi", "Line 1:  Hi", "Line 1: Hi"}));
    const auto port = decode(run, stack, "pcf8574=write");
    ASSERT_FALSE(port.empty());
    EXPECT_EQ(port.front(), "Write 0xc2: BL=1 EN=1 RW=0 RS=0 D7=0 D6=0 D5=1 D4=0");

    EXPECT_NE(decode(run, display_stack("", ":start=4bit"), "hd44780=instruction:data:read"), expected);
    fs::remove_all(run.dir);
}

// A character takes the controller 37 us: at 500 kHz, two in one message
// come too close, the second's first nibble 2 bytes of 18 us after the
// first's last one, and is lost, 1 us early.
TEST(Decoders, ACharacterLatchedWithin37usOfTheOneBeforeIsLost)
{
    HandmadeCapture wires(20);
    std::vector<unsigned> bytes = port_bytes('H', true);
    for (const unsigned byte : port_bytes('i', true)) {
        bytes.push_back(byte);
    }
    wires.write(bytes);
    Capture run{scratch_directory("37us"), {}, {"handmade", {}, "vcd", 100}, {}, {}};
    run.vcd = run.dir / "wires.vcd";
    std::ofstream(run.vcd) << wires.text();
    EXPECT_EQ(decode(run, display_stack(":p0=D4:p1=D5:p2=D6:p3=D7:p4=RS:p5=RW:p6=EN:p7=BL", ":start=4bit"),
                     "hd44780=data:lost"),
              (std::vector<std::string>{"Write data 0x48 'H' to DDRAM 0x00",
                                        "Lost high nibble 0x6 of a character: 1.0 µs early, still busy"}));
    fs::remove_all(run.dir);
}

// --- The expander's address ---------------------------------------------------------------------

struct AddressCase {
    const char* option;  // pcf8574's
    bool refused;
    bool finds_the_display;
};

// The port writes are found at the display's address only; an address of
// neither variant's range is refused.
TEST(Decoders, ExpanderAddressSelectsTheWritesDecoded)
{
    const Capture run = capture("address", {"--for", "0.06"}, {"i2c_lcd"});
    ASSERT_EQ(run.run.exit_code, 0) << run.run.err;
    std::vector<std::string> written;
    for (const std::string& line : run.trace) {
        if (is(line, "i2c-0", "write")) {
            for (const std::string& byte : hex_bytes(field(line, "bytes"))) {
                written.push_back(byte);
            }
        }
    }
    ASSERT_FALSE(written.empty());
    const std::vector<AddressCase> cases{
        {"", false, true},   {":address=0x27", false, true}, {":address=0x3f", false, false},
        {":address=0x20", false, false}, {":address=0x30", true, false}, {":address=0x40", true, false},
    };
    for (const AddressCase& c : cases) {
        const std::string stack = i2c + ",pcf8574" + c.option;
        if (c.refused) {
            const auto r = run_sigrok(run, stack, "pcf8574");
            EXPECT_NE(r.exit_code, 0) << c.option;
            EXPECT_NE(r.err.find("neither a PCF8574 (0x20..0x27) nor a PCF8574A (0x38..0x3f)"), std::string::npos)
                << r.err;
            continue;
        }
        std::vector<std::string> bytes;
        for (const std::string& found : decode(run, stack, "pcf8574=write")) {
            bytes.push_back(hex_bytes(found.substr(8, 2)).front());
        }
        EXPECT_EQ(bytes, c.finds_the_display ? written : std::vector<std::string>{}) << c.option;
    }
    fs::remove_all(run.dir);
}

} // namespace
