// i2c_lcd and its display driver on the virtual board: every frame on the
// bus and every pause, in order, against what the display's wiring and its
// controller's protocol call for; what the display then shows; the ways the
// bus and the display can fail.

#include "board.hpp"
#include "program_build.hpp"
#include "board_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace vboard;

constexpr int lcd_address = 0x27;

enum class Register { instruction, data };

// One LCD byte as the backpack must receive it: D7..D4 on port bits 7..4,
// backlight (0x08) always on, RS (0x01) high for a character; the high
// nibble first, each nibble presented with EN (0x04) high, then low.
Bytes frame(std::uint8_t value, Register reg)
{
    const int rs = reg == Register::data ? 0x01 : 0x00;
    const int high = value & 0xF0;
    const int low = (value & 0x0F) << 4;
    const auto port = [rs](int nibble, bool enable) {
        return static_cast<std::uint8_t>(nibble | 0x08 | (enable ? 0x04 : 0x00) | rs);
    };
    return {port(high, true), port(high, false), port(low, true), port(low, false)};
}

std::string frame_line(const Bytes& bytes)
{
    std::string line = "frame ";
    for (const auto b : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", b);
        line += hex;
    }
    return line;
}

std::string sleep_line(double seconds)
{
    char line[32];
    std::snprintf(line, sizeof line, "sleep %.6f", seconds);
    return line;
}

// What a run is expected to do on the bus and with its time, one line per
// frame or pause.
struct Script {
    std::vector<std::string> lines;

    Script& cmd(std::uint8_t value) { return raw(frame(value, Register::instruction)); }
    Script& text(std::string_view characters)
    {
        for (const char c : characters) {
            raw(frame(static_cast<std::uint8_t>(c), Register::data));
        }
        return *this;
    }
    Script& raw(const Bytes& bytes)
    {
        lines.push_back(frame_line(bytes));
        return *this;
    }
    Script& pause_us(int microseconds)
    {
        lines.push_back(sleep_line(microseconds / 1e6));
        return *this;
    }
    Script& then(const Script& more)
    {
        lines.insert(lines.end(), more.lines.begin(), more.lines.end());
        return *this;
    }
};

// What a run did: each I2C write (marked when it was refused) and each pause.
std::vector<std::string> bus_and_pauses(const RunResult& r)
{
    std::vector<std::string> lines;
    for (const auto& event : r.events) {
        if (const auto* write = std::get_if<I2cWrite>(&event)) {
            lines.push_back(frame_line(write->bytes) + (write->error != 0 ? " refused" : ""));
        } else if (const auto* program = std::get_if<ProgramEvent>(&event);
                   program != nullptr && program->kind == ProgramEvent::Kind::sleep) {
            lines.push_back(sleep_line(program->seconds));
        }
    }
    return lines;
}

// The power-on sequence: wake-up, 4-bit interface, then the set-up.
Script initialisation()
{
    Script s;
    s.pause_us(50000).cmd(0x03).pause_us(5000).cmd(0x03).pause_us(110).cmd(0x03).pause_us(10000).cmd(0x02);
    s.pause_us(10000).cmd(0x28).pause_us(1000).cmd(0x08).pause_us(1000).cmd(0x01).pause_us(1000).pause_us(1000);
    s.cmd(0x06).pause_us(1000).cmd(0x0C);
    return s;
}

// Initialisation, the banner for 2 s, the clear and its 100 ms wait.
Script start_up()
{
    Script s = initialisation();
    s.cmd(0x80).text("Prog for I2C on").cmd(0xC0).text("STM32F411RE").pause_us(2000000);
    s.cmd(0x01).pause_us(100000);
    return s;
}

// One pass of the loop: 2 positioning frames, 26 character frames, 1 s.
Script welcome_pass()
{
    Script s;
    s.cmd(0x80).text("WELCOME ALL TO").cmd(0xC0).text("TALVOR INDIA").pause_us(1000000);
    return s;
}

Script start_up_and_passes(int passes)
{
    Script s = start_up();
    for (int i = 0; i < passes; ++i) {
        s.then(welcome_pass());
    }
    return s;
}

RunResult run_lcd(BoardConfig config, double stop_at)
{
    Board board(std::move(config));
    RunOptions options;
    options.argv = {program(I2C_LCD_PATH, "i2c_lcd")};
    options.stop_at = stop_at;
    return board.run(options);
}

std::vector<std::vector<std::string>> screens_shown(const RunResult& r)
{
    std::vector<std::vector<std::string>> shown;
    for (const auto& screen : all_of<LcdScreen>(r.events)) {
        if (screen.display_on) {
            shown.push_back(screen.rows);
        }
    }
    return shown;
}

const std::vector<std::string> banner{"Prog for I2C on ", "STM32F411RE     "};
const std::vector<std::string> blank{"                ", "                "};
const std::vector<std::string> welcome{"WELCOME ALL TO  ", "TALVOR INDIA    "};

// --- The program ---------------------------------------------------------------------

TEST(I2cLcd, StartUpAndFirstWelcomePassFrameByFrame)
{
    // The first pass's 1 s pause begins at about 2.21 s (2.18 s of pauses and
    // 66 frames of bus time) and would end after 3 s.
    const auto r = run_lcd({}, 3.0);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(bus_and_pauses(r), start_up_and_passes(1).lines);
    for (const auto& write : all_of<I2cWrite>(r.events)) {
        EXPECT_EQ(write.dev, "i2c-0");
        EXPECT_EQ(write.addr, lcd_address);
    }
    EXPECT_EQ(screens_shown(r), (std::vector{banner, blank, welcome}));
}

// Bus time at 100 kHz (10 µs a bit): a frame is START, the address byte and
// the four port bytes with an ACK bit each, and STOP: 1 + 9 + 4 * 9 + 1 = 47
// bits, 470 µs. A write is recorded when its last ACK ends, one bit before
// the STOP ends and the program's write() returns.
constexpr double bit_s = 10e-6;
constexpr double frame_s = (1 + 9 + 4 * 9 + 1) * bit_s;
constexpr double stop_s = 1 * bit_s;

TEST(I2cLcd, BannerStaysTwoSecondsAndTheClearIsGivenItsWait)
{
    const auto r = run_lcd({}, 3.0);
    const auto writes = all_of<I2cWrite>(r.events);
    // 9 initialisation frames, then the banner: 1 + 15 + 1 + 11 frames.
    const std::size_t last_banner = 9 + 28 - 1;
    ASSERT_GT(writes.size(), last_banner + 2 + 27);
    const auto& clear = writes[last_banner + 1];
    EXPECT_EQ(clear.bytes, frame(0x01, Register::instruction));
    // From the end of one frame to the end of the next: the pause, then the next frame's bus time.
    EXPECT_NEAR(clear.t - writes[last_banner].t, 2.0 + frame_s, 1e-9);
    EXPECT_NEAR(writes[last_banner + 2].t - clear.t, 0.1 + frame_s, 1e-9);
    // The 28 frames of a pass follow each other with nothing but bus time between them.
    EXPECT_NEAR(writes[last_banner + 2 + 27].t - writes[last_banner + 2].t, 27 * frame_s, 1e-9);

    // Each screen is shown from the moment the program pauses after drawing
    // it: when the STOP of its last frame has ended.
    const auto screens = all_of<LcdScreen>(r.events);
    const auto at = [&](const std::vector<std::string>& rows) {
        const auto it = std::find_if(screens.begin(), screens.end(), [&](const LcdScreen& s) {
            return s.display_on && s.rows == rows;
        });
        return it == screens.end() ? -1.0 : it->t;
    };
    EXPECT_NEAR(at(banner), writes[last_banner].t + stop_s, 1e-9);
    EXPECT_NEAR(at(blank), clear.t + stop_s, 1e-9);
    EXPECT_NEAR(at(welcome), writes[last_banner + 2 + 27].t + stop_s, 1e-9);
    EXPECT_TRUE(all_of<LcdViolation>(r.events).empty());
}

// The wake-up sequence (0x03 three times, then 0x02, as whole frames) brings
// the controller to the 4-bit interface from any state an earlier run could
// have left it in, and the program then shows the same screens. From 4-bit
// mode the three 0x03 frames are "return home" (1.52 ms), and the third one
// comes only 110 µs after the second: both its nibbles are lost, harmlessly,
// as a pair. Its first nibble is latched at the end of the second port byte:
// STOP of the frame before, the 110 µs pause, START, address and two port
// bytes, 1 + 11 + 1 + 9 + 2 * 9 = 40 bit times (400 µs) after the second
// return home; the other one 2 * 9 bits later.
struct StartCase {
    const char* name;
    Hd44780::Start start;
    std::vector<std::string> lost;
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class FromAnyState : public testing::TestWithParam<StartCase> {};

TEST_P(FromAnyState, TheWakeUpLeadsToTheSameScreens)
{
    BoardConfig config;
    config.lcd_start = GetParam().start;
    const auto r = run_lcd(config, 3.0);
    EXPECT_EQ(bus_and_pauses(r), start_up_and_passes(1).lines);
    EXPECT_EQ(screens_shown(r), (std::vector{banner, blank, welcome}));
    std::vector<std::string> lost;
    for (const auto& v : all_of<LcdViolation>(r.events)) {
        lost.push_back(v.lost + " " + std::to_string(v.early_ns / 1000) + " us early");
    }
    EXPECT_EQ(lost, GetParam().lost);
}

constexpr long return_home_us = 1520;
constexpr long first_nibble_after_us = 400;
constexpr long nibble_spacing_us = 2 * 9 * 10;

INSTANTIATE_TEST_SUITE_P(
    I2cLcd, FromAnyState,
    testing::Values(StartCase{"power_on", Hd44780::Start::power_on, {}},
                    StartCase{"four_bit",
                              Hd44780::Start::four_bit,
                              {"high nibble 0x0 of an instruction " +
                                   std::to_string(return_home_us - first_nibble_after_us) + " us early",
                               "high nibble 0x3 of an instruction " +
                                   std::to_string(return_home_us - first_nibble_after_us - nibble_spacing_us) +
                                   " us early"}},
                    StartCase{"four_bit_half", Hd44780::Start::four_bit_half, {}}),
    [](const testing::TestParamInfo<StartCase>& param) { return std::string(param.param.name); });

TEST(I2cLcd, EachPassRewritesTheSameTextWithoutClearing)
{
    const auto r = run_lcd({}, 6.0); // passes at about 2.21, 3.22, 4.24 and 5.25 s
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(bus_and_pauses(r), start_up_and_passes(4).lines);
    // The screen never changes after the first pass: no screen is recorded again.
    EXPECT_EQ(screens_shown(r), (std::vector{banner, blank, welcome}));
}

TEST(I2cLcd, NoI2cBus)
{
    const auto r = run_lcd(with_fault("absent=/dev/i2c-0"), 10.0);
    EXPECT_EQ(r.err, "Failed to initialize I2C\n");
    EXPECT_EQ(r.err.size(), 25u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(bus_and_pauses(r), std::vector<std::string>{});
}

TEST(I2cLcd, AddressSelectionRefusedEndsSilently)
{
    const auto r = run_lcd(with_fault("ioctl=i2c-0:I2C_SLAVE_FORCE"), 10.0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(bus_and_pauses(r), std::vector<std::string>{});
    const auto calls = all_of<IoctlCall>(r.events);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().request, "I2C_SLAVE_FORCE");
    EXPECT_EQ(calls.back().error, EINVAL);
}

struct NackCase {
    const char* name;
    int frame; // the first frame the display does not acknowledge, from 1
};

void PrintTo(const NackCase& c, std::ostream* os) { *os << c.name; }

class DisplayStopsAcknowledging : public testing::TestWithParam<NackCase> {};

TEST_P(DisplayStopsAcknowledging, ProgramEndsAtThatFrame)
{
    const auto& c = GetParam();
    const auto r = run_lcd(with_fault("nack=0x27:" + std::to_string(c.frame)), 10.0);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    // Everything up to that frame as it should be, the frame refused, then nothing.
    std::vector<std::string> expected;
    int frames = 0;
    for (const auto& line : start_up_and_passes(3).lines) {
        expected.push_back(line);
        if (line.starts_with("frame") && ++frames == c.frame) {
            expected.back() += " refused";
            break;
        }
    }
    EXPECT_EQ(bus_and_pauses(r), expected);
}

INSTANTIATE_TEST_SUITE_P(
    I2cLcd, DisplayStopsAcknowledging,
    testing::Values(NackCase{"first_wake_up_frame", 1}, NackCase{"function_set", 5},
                    NackCase{"last_initialisation_frame", 9},
                    NackCase{"middle_of_the_banner", 12},      // "Pr|o..."
                    NackCase{"middle_of_the_second_pass", 80}), // frames 67..94
    [](const testing::TestParamInfo<NackCase>& param) { return std::string(param.param.name); });

// --- The driver on its own -----------------------------------------------------------

struct DriverCase {
    const char* name;
    std::vector<std::string> steps; // after the bus is opened
    Script expected;
};

void PrintTo(const DriverCase& c, std::ostream* os) { *os << c.name; }

class Driver : public testing::TestWithParam<DriverCase> {};

TEST_P(Driver, PutsExactlyTheseFramesOnTheBus)
{
    const auto& c = GetParam();
    RunOptions options;
    options.argv = {LCD_DRIVER_PROBE_PATH, "open"};
    options.argv.insert(options.argv.end(), c.steps.begin(), c.steps.end());
    Board board;
    const auto r = board.run(options);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(bus_and_pauses(r), c.expected.lines);
}

Script shifts(int n)
{
    Script s;
    for (int i = 0; i < n; ++i) {
        s.cmd(0x14);
    }
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    I2cLcd, Driver,
    testing::Values(
        DriverCase{"cursor_column_0_row_0", {"cursor", "0", "0"}, Script{}.cmd(0x80)},
        DriverCase{"cursor_column_3_row_1", {"cursor", "3", "1"}, Script{}.cmd(0xC0).then(shifts(3))},
        DriverCase{"cursor_column_1_row_2", {"cursor", "1", "2"}, Script{}.cmd(0x94).then(shifts(1))},
        DriverCase{"cursor_column_0_row_3", {"cursor", "0", "3"}, Script{}.cmd(0xD4)},
        DriverCase{"cursor_column_2_row_7_only_shifts", {"cursor", "2", "7"}, shifts(2)},
        DriverCase{"cursor_negative_row_only_shifts", {"cursor", "1", "-1"}, shifts(1)},
        DriverCase{"cursor_column_minus_1_no_shift", {"cursor", "-1", "0"}, Script{}.cmd(0x80)},
        DriverCase{"empty_string_sends_nothing", {"string", ""}, Script{}},
        DriverCase{"string_one_frame_per_character", {"string", "Hi!"}, Script{}.text("Hi!")},
        DriverCase{"character_0xA5", {"data", "0xA5"}, Script{}.raw({0xAD, 0xA9, 0x5D, 0x59})},
        DriverCase{"instruction_0xA5", {"cmd", "0xA5"}, Script{}.raw({0xAC, 0xA8, 0x5C, 0x58})},
        DriverCase{"wake_up_0x03", {"cmd", "0x03"}, Script{}.raw({0x0C, 0x08, 0x3C, 0x38})},
        DriverCase{"wake_up_0x02", {"cmd", "0x02"}, Script{}.raw({0x0C, 0x08, 0x2C, 0x28})},
        DriverCase{"clear_then_its_wait", {"clear"}, Script{}.cmd(0x01).pause_us(100000)}),
    [](const testing::TestParamInfo<DriverCase>& param) { return std::string(param.param.name); });

TEST(I2cLcdDriver, AFailedWriteInAStringEndsTheProcessAfterTheCharactersSent)
{
    Board board(with_fault("nack=0x27:3"));
    RunOptions options;
    options.argv = {LCD_DRIVER_PROBE_PATH, "open", "string", "ABCDE", "cmd", "0x01"};
    const auto r = board.run(options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    auto expected = Script{}.text("ABC").lines;
    expected.back() += " refused";
    EXPECT_EQ(bus_and_pauses(r), expected);
}

} // namespace
