// The display controller model against the HD44780 datasheet, driven the way
// a PCF8574 backpack drives it: port bytes with EN pulsed.

#include "devices/hd44780.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using vboard::Hd44780;

constexpr std::uint8_t backlight = 0x08;
constexpr std::uint8_t en = 0x04;
constexpr std::uint8_t rs = 0x01;
constexpr std::uint8_t rw = 0x02;

// The backpack's four port bytes for one byte in 4-bit mode: each nibble on
// D7..D4 with EN high, then EN low.
std::vector<int> frame(std::uint8_t value, bool data)
{
    const int control = backlight | (data ? rs : 0);
    const int high = value & 0xF0;
    const int low = (value << 4) & 0xF0;
    return {high | control | en, high | control, low | control | en, low | control};
}

// A controller on the bench: powered on, its power-on reset over, and a
// clock for the port bytes it is given.
struct Bench : Hd44780 {
    explicit Bench(vboard::LcdGeometry geometry = vboard::lcd_16x2, Start start = Start::power_on)
        : Hd44780(geometry, start)
    {
        begin_run();
    }
    std::int64_t now = power_on_ns;
    std::vector<Lost> lost;
};

// Port bytes as the expander is given them, `gap_ns` apart: by default 3 ms,
// so that the 6 ms from one EN pulse to the next are longer than anything
// the controller does, even the first wake-up's 4.1 ms.
std::vector<Hd44780::Latched> send(Bench& lcd, const std::vector<int>& port_bytes, std::int64_t gap_ns = 3000000)
{
    std::vector<Hd44780::Latched> latched;
    for (const int b : port_bytes) {
        lcd.now += gap_ns;
        const auto edge = lcd.set_port(static_cast<std::uint8_t>(b), lcd.now);
        if (edge.latched) {
            latched.push_back(*edge.latched);
        }
        if (edge.lost) {
            lcd.lost.push_back(*edge.lost);
        }
    }
    return latched;
}

std::vector<Hd44780::Latched> command(Bench& lcd, std::uint8_t value) { return send(lcd, frame(value, false)); }

void text(Bench& lcd, const char* s)
{
    for (; *s != '\0'; ++s) {
        send(lcd, frame(static_cast<std::uint8_t>(*s), true));
    }
}

// The datasheet's 4-bit initialisation by instruction (figure 24): three
// function sets in the 8-bit interface, the switch to 4 bits, then whole
// bytes. The switch is sent as a single nibble pulse here, as the figure shows.
void datasheet_init(Bench& lcd)
{
    for (int i = 0; i < 3; ++i) {
        send(lcd, {0x30 | backlight | en, 0x30 | backlight});
    }
    send(lcd, {0x20 | backlight | en, 0x20 | backlight});
    for (const std::uint8_t instruction : std::vector<std::uint8_t>{0x28, 0x08, 0x01, 0x06, 0x0C}) {
        command(lcd, instruction);
    }
}

TEST(Hd44780, PowersUpInEightBitModeWithTheDisplayOff)
{
    const Bench lcd;
    EXPECT_FALSE(lcd.four_bit());
    EXPECT_FALSE(lcd.display_on());
    EXPECT_EQ(lcd.screen(), (std::vector<std::string>{"                ", "                "}));
}

TEST(Hd44780, DatasheetFourBitInitialisationThenTextOnBothLines)
{
    Bench lcd;
    datasheet_init(lcd);
    EXPECT_TRUE(lcd.four_bit());
    EXPECT_TRUE(lcd.two_lines());
    EXPECT_TRUE(lcd.display_on());
    EXPECT_FALSE(lcd.cursor_on());
    EXPECT_TRUE(lcd.increment());
    text(lcd, "Hello");
    command(lcd, 0xC0);
    text(lcd, "World");
    EXPECT_EQ(lcd.screen(), (std::vector<std::string>{"Hello           ", "World           "}));
    EXPECT_EQ(lcd.address_counter(), 0x45);
}

TEST(Hd44780, WakeUpFramesLatchANoOperationThenTheFunctionSet)
{
    // Each wake-up byte goes out as a whole frame: in the 8-bit interface the
    // 0x0 nibble is an instruction of its own (none), then 0x3 or 0x2 follows.
    Bench lcd;
    const auto first = command(lcd, 0x03);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].value, 0x00);
    EXPECT_EQ(first[1].value, 0x30);
    EXPECT_TRUE(first[1].eight_bit);
    command(lcd, 0x03);
    command(lcd, 0x03);
    const auto to_four_bits = command(lcd, 0x02);
    ASSERT_EQ(to_four_bits.size(), 2u);
    EXPECT_EQ(to_four_bits[1].value, 0x20);
    EXPECT_TRUE(lcd.four_bit());
    // From here on nibbles pair up into bytes.
    const auto function_set = command(lcd, 0x28);
    ASSERT_EQ(function_set.size(), 1u);
    EXPECT_EQ(function_set[0].value, 0x28);
    EXPECT_FALSE(function_set[0].eight_bit);
    EXPECT_TRUE(lcd.two_lines());
}

TEST(Hd44780, ByteA5AsCharacterAndAsInstruction)
{
    Bench lcd;
    datasheet_init(lcd);
    const auto character = send(lcd, {0xAD, 0xA9, 0x5D, 0x59});
    ASSERT_EQ(character.size(), 1u);
    EXPECT_TRUE(character[0].is_data);
    EXPECT_EQ(character[0].value, 0xA5);
    const auto instruction = send(lcd, {0xAC, 0xA8, 0x5C, 0x58});
    ASSERT_EQ(instruction.size(), 1u);
    EXPECT_FALSE(instruction[0].is_data);
    EXPECT_EQ(instruction[0].value, 0xA5);
    EXPECT_EQ(lcd.address_counter(), 0x25); // set DDRAM address 0x25
}

TEST(Hd44780, OnlyTheFallingEdgeOfEnLatches)
{
    Bench lcd;
    datasheet_init(lcd);
    // EN held high, then a second high, then low: one nibble only.
    EXPECT_TRUE(send(lcd, {0x40 | backlight | rs | en, 0x40 | backlight | rs | en}).empty());
    EXPECT_TRUE(send(lcd, {0x40 | backlight | rs}).empty()); // the high nibble of 'A'
    const auto latched = send(lcd, {0x10 | backlight | rs | en, 0x10 | backlight | rs});
    ASSERT_EQ(latched.size(), 1u);
    EXPECT_EQ(latched[0].value, 'A');
}

TEST(Hd44780, CursorShiftRightMovesTheAddressCounter)
{
    Bench lcd;
    datasheet_init(lcd);
    command(lcd, 0xC0);
    command(lcd, 0x14);
    command(lcd, 0x14);
    command(lcd, 0x14);
    text(lcd, "x");
    EXPECT_EQ(lcd.screen()[1], "   x            ");
}

TEST(Hd44780, ClearBlanksTheScreenAndReturnsHome)
{
    Bench lcd;
    datasheet_init(lcd);
    text(lcd, "Some text");
    command(lcd, 0x01);
    EXPECT_EQ(lcd.screen()[0], "                ");
    EXPECT_EQ(lcd.address_counter(), 0);
}

TEST(Hd44780, DisplayOffHidesButKeepsTheText)
{
    Bench lcd;
    datasheet_init(lcd);
    text(lcd, "kept");
    command(lcd, 0x08);
    EXPECT_EQ(lcd.screen()[0], "                ");
    command(lcd, 0x0C);
    EXPECT_EQ(lcd.screen()[0], "kept            ");
}

TEST(Hd44780, AddressWrapsFromTheEndOfTheFirstLineToTheSecond)
{
    Bench lcd;
    datasheet_init(lcd);
    command(lcd, 0x80 | 0x27);
    text(lcd, "ab");
    EXPECT_EQ(lcd.address_counter(), 0x41);
    EXPECT_EQ(lcd.screen()[1], "b               ");
}

TEST(Hd44780, FourLineModuleShowsRowsTwoAndThreeAfterTheFirstTwenty)
{
    Bench lcd(vboard::lcd_20x4);
    datasheet_init(lcd);
    command(lcd, 0x94);
    text(lcd, "row two");
    command(lcd, 0xD4);
    text(lcd, "row three");
    const auto rows = lcd.screen();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[2], "row two             ");
    EXPECT_EQ(rows[3], "row three           ");
}

TEST(Hd44780, DisplayShiftMovesTheWindow)
{
    Bench lcd;
    datasheet_init(lcd);
    text(lcd, "abc");
    command(lcd, 0x18); // shift the display left: the text moves left
    EXPECT_EQ(lcd.screen()[0], "bc              ");
    command(lcd, 0x1C); // and back right
    EXPECT_EQ(lcd.screen()[0], "abc             ");
}

TEST(Hd44780, BacklightFollowsPortBitThree)
{
    Bench lcd;
    send(lcd, {0x00});
    EXPECT_FALSE(lcd.backlight());
    send(lcd, {backlight});
    EXPECT_TRUE(lcd.backlight());
}

// --- Timing: the datasheet's execution times at 270 kHz --------------------------------

struct TimingCase {
    const char* name;
    Hd44780::Start start;
    // Port bytes, each with the time since the one before it, from power-on.
    std::vector<std::pair<int, std::int64_t>> steps;
    std::vector<std::string> lost; // "what, early by N ns"
};

void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }

class Timing : public testing::TestWithParam<TimingCase> {};

TEST_P(Timing, TransfersWhileBusyAreLost)
{
    const auto& c = GetParam();
    Hd44780 lcd(vboard::lcd_16x2, c.start);
    lcd.begin_run();
    std::int64_t now = 0;
    std::vector<std::string> lost;
    for (const auto& [port, gap] : c.steps) {
        now += gap;
        if (const auto edge = lcd.set_port(static_cast<std::uint8_t>(port), now); edge.lost) {
            lost.push_back(edge.lost->what + ", early by " + std::to_string(edge.lost->early_ns) + " ns");
        }
    }
    EXPECT_EQ(lost, c.lost);
}

constexpr int bl = backlight;
constexpr std::int64_t ms = 1000000;
constexpr std::int64_t us = 1000;

INSTANTIATE_TEST_SUITE_P(
    Hd44780, Timing,
    testing::Values(
        // 40 ms after power-on the controller is still in its reset.
        TimingCase{"before_power_on_reset_ends",
                   Hd44780::Start::power_on,
                   {{0x30 | bl | en, 39 * ms}, {0x30 | bl, 10 * us}, {0x30 | bl | en, 1 * ms}, {0x30 | bl, 10 * us}},
                   {"instruction 0x30, early by " + std::to_string(40 * ms - 39 * ms - 10 * us) + " ns"}},
        // The first function set asks for 4.1 ms, the second for 100 µs.
        TimingCase{"wake_up_waits",
                   Hd44780::Start::power_on,
                   {{0x30 | bl | en, 41 * ms}, {0x30 | bl, 0},      // 1st at 41 ms
                    {0x30 | bl | en, 4 * ms}, {0x30 | bl, 0},       // 4 ms later: 100 µs early
                    {0x30 | bl | en, 100 * us}, {0x30 | bl, 0},     // 4.1 ms after the 1st: taken
                    {0x30 | bl | en, 99 * us}, {0x30 | bl, 0},      // 99 µs after the 2nd: 1 µs early
                    {0x30 | bl | en, 1 * us}, {0x30 | bl, 0}},      // 3rd: taken
                   {"instruction 0x30, early by " + std::to_string(100 * us) + " ns",
                    "instruction 0x30, early by " + std::to_string(1 * us) + " ns"}},
        // Clear takes 1.52 ms; a character's nibbles 1.5 ms and 1.52 ms after it.
        TimingCase{"clear_then_a_character",
                   Hd44780::Start::four_bit,
                   {{0x00 | bl | en, 0}, {0x00 | bl, 0}, {0x10 | bl | en, 0}, {0x10 | bl, 0},
                    {0x40 | bl | rs | en, 1500 * us}, {0x40 | bl | rs, 0},
                    {0x40 | bl | rs | en, 20 * us}, {0x40 | bl | rs, 0}, {0x10 | bl | rs | en, 0}, {0x10 | bl | rs, 0}},
                   {"high nibble 0x4 of a character, early by " + std::to_string(20 * us) + " ns"}},
        // Any other instruction: 37 µs.
        TimingCase{"instruction_then_36_us",
                   Hd44780::Start::four_bit,
                   {{0x00 | bl | en, 0}, {0x00 | bl, 0}, {0xC0 | bl | en, 0}, {0xC0 | bl, 0},
                    {0x40 | bl | rs | en, 36 * us}, {0x40 | bl | rs, 0}},
                   {"high nibble 0x4 of a character, early by " + std::to_string(1 * us) + " ns"}},
        // Reading the busy flag is allowed at any time.
        TimingCase{"busy_flag_read_while_busy",
                   Hd44780::Start::four_bit,
                   {{0x00 | bl | en, 0}, {0x00 | bl, 0}, {0x10 | bl | en, 0}, {0x10 | bl, 0},
                    {0xF0 | bl | rw | en, 1 * us}, {0xF0 | bl | rw, 0}, {0xF0 | bl | rw | en, 0}, {0xF0 | bl | rw, 0}},
                   {}}),
    [](const testing::TestParamInfo<TimingCase>& param) { return std::string(param.param.name); });

TEST(Hd44780, HalfwayThroughAByteTheFirstNibbleCompletesIt)
{
    Bench lcd(vboard::lcd_16x2, Hd44780::Start::four_bit_half);
    // The pending high nibble is that of "set DDRAM address": 0x8 then 0x5 is 0x85.
    const auto latched = send(lcd, {0x50 | bl | en, 0x50 | bl});
    ASSERT_EQ(latched.size(), 1u);
    EXPECT_EQ(latched[0].value, 0x85);
    EXPECT_EQ(lcd.address_counter(), 0x05);
}

// RW high, EN high: the controller drives D7..D4 with the busy flag and the
// address counter, high nibble first; the other port lines read high.
TEST(Hd44780, BusyFlagAndAddressAreReadNibbleByNibble)
{
    Bench lcd;
    datasheet_init(lcd);
    command(lcd, 0x80 | 0x45); // address 0x45
    command(lcd, 0x01); // clear: busy for 1.52 ms
    const std::int64_t cleared = lcd.now;
    EXPECT_TRUE(lcd.busy(cleared));
    lcd.set_port(0xF0 | bl | rw | en, cleared + 1000);
    EXPECT_EQ(lcd.bus_levels(cleared + 1000), 0x8F); // busy, address 0x00 (clear sent it home)
    lcd.set_port(0xF0 | bl | rw, cleared + 2000);
    lcd.set_port(0xF0 | bl | rw | en, cleared + 3000);
    EXPECT_EQ(lcd.bus_levels(cleared + 3000), 0x0F); // AC3..0
    lcd.set_port(0xF0 | bl | rw, cleared + 4000);
    lcd.set_port(0xF0 | bl | rw | en, cleared + Hd44780::clear_home_ns);
    EXPECT_EQ(lcd.bus_levels(cleared + Hd44780::clear_home_ns), 0x0F); // no longer busy
    EXPECT_EQ(lcd.bus_levels(cleared + 1000), 0x8F);                   // the flag follows the time asked about
    lcd.set_port(0xF0 | bl, cleared + Hd44780::clear_home_ns + 1000);   // RW low: nothing driven
    EXPECT_EQ(lcd.bus_levels(cleared + Hd44780::clear_home_ns + 1000), 0xFF);
    EXPECT_TRUE(lcd.lost.empty());
}

} // namespace
