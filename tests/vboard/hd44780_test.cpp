// The display controller model against the HD44780 datasheet, driven the way
// a PCF8574 backpack drives it: port bytes with EN pulsed.

#include "devices/hd44780.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using vboard::Hd44780;

constexpr std::uint8_t backlight = 0x08;
constexpr std::uint8_t en = 0x04;
constexpr std::uint8_t rs = 0x01;

// The backpack's four port bytes for one byte in 4-bit mode: each nibble on
// D7..D4 with EN high, then EN low.
std::vector<int> frame(std::uint8_t value, bool data)
{
    const int control = backlight | (data ? rs : 0);
    const int high = value & 0xF0;
    const int low = (value << 4) & 0xF0;
    return {high | control | en, high | control, low | control | en, low | control};
}

// Port bytes as the expander is given them.
std::vector<Hd44780::Latched> send(Hd44780& lcd, const std::vector<int>& port_bytes)
{
    std::vector<Hd44780::Latched> latched;
    for (const int b : port_bytes) {
        lcd.set_port(static_cast<std::uint8_t>(b), latched);
    }
    return latched;
}

std::vector<Hd44780::Latched> command(Hd44780& lcd, std::uint8_t value) { return send(lcd, frame(value, false)); }

void text(Hd44780& lcd, const char* s)
{
    for (; *s != '\0'; ++s) {
        send(lcd, frame(static_cast<std::uint8_t>(*s), true));
    }
}

// The datasheet's 4-bit initialisation by instruction (figure 24): three
// function sets in the 8-bit interface, the switch to 4 bits, then whole
// bytes. The switch is sent as a single nibble pulse here, as the figure shows.
void datasheet_init(Hd44780& lcd)
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
    const Hd44780 lcd;
    EXPECT_FALSE(lcd.four_bit());
    EXPECT_FALSE(lcd.display_on());
    EXPECT_EQ(lcd.screen(), (std::vector<std::string>{"                ", "                "}));
}

TEST(Hd44780, DatasheetFourBitInitialisationThenTextOnBothLines)
{
    Hd44780 lcd;
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
    Hd44780 lcd;
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
    Hd44780 lcd;
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
    Hd44780 lcd;
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
    Hd44780 lcd;
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
    Hd44780 lcd;
    datasheet_init(lcd);
    text(lcd, "Some text");
    command(lcd, 0x01);
    EXPECT_EQ(lcd.screen()[0], "                ");
    EXPECT_EQ(lcd.address_counter(), 0);
}

TEST(Hd44780, DisplayOffHidesButKeepsTheText)
{
    Hd44780 lcd;
    datasheet_init(lcd);
    text(lcd, "kept");
    command(lcd, 0x08);
    EXPECT_EQ(lcd.screen()[0], "                ");
    command(lcd, 0x0C);
    EXPECT_EQ(lcd.screen()[0], "kept            ");
}

TEST(Hd44780, AddressWrapsFromTheEndOfTheFirstLineToTheSecond)
{
    Hd44780 lcd;
    datasheet_init(lcd);
    command(lcd, 0x80 | 0x27);
    text(lcd, "ab");
    EXPECT_EQ(lcd.address_counter(), 0x41);
    EXPECT_EQ(lcd.screen()[1], "b               ");
}

TEST(Hd44780, FourLineModuleShowsRowsTwoAndThreeAfterTheFirstTwenty)
{
    Hd44780 lcd(vboard::lcd_20x4);
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
    Hd44780 lcd;
    datasheet_init(lcd);
    text(lcd, "abc");
    command(lcd, 0x18); // shift the display left: the text moves left
    EXPECT_EQ(lcd.screen()[0], "bc              ");
    command(lcd, 0x1C); // and back right
    EXPECT_EQ(lcd.screen()[0], "abc             ");
}

TEST(Hd44780, BacklightFollowsPortBitThree)
{
    Hd44780 lcd;
    std::vector<Hd44780::Latched> ignored;
    lcd.set_port(0x00, ignored);
    EXPECT_FALSE(lcd.backlight());
    lcd.set_port(backlight, ignored);
    EXPECT_TRUE(lcd.backlight());
}

} // namespace
