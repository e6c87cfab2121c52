// The PCF8574 latches every byte written to it on its outputs, so a nibble is
// clocked into the HD44780 by two port states: data with EN high, then the
// same data with EN low. Both nibbles of an LCD byte, high first, go in one
// four-byte I2C write.

#include "LiquidCrystal_PCF8574.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

mraa_i2c_context i2c = nullptr;
mraa_result_t status = MRAA_SUCCESS;

namespace {

constexpr int i2c_bus = 0;
constexpr std::uint8_t lcd_address = 0x27;

namespace port {
constexpr std::uint8_t rs = 0x01;        // register select: character data
constexpr std::uint8_t en = 0x04;        // enable strobe
constexpr std::uint8_t backlight = 0x08;
} // namespace port

namespace instruction {
constexpr std::uint8_t clear_display = 0x01;
constexpr std::uint8_t cursor_shift_right = 0x14;
} // namespace instruction

// Set-DDRAM-address instructions of each row's first cell: the layout of a
// 20x4 module, whose rows 0 and 1 are also the two lines of a 16x2 one.
constexpr std::array<std::uint8_t, 4> row_start{0x80, 0xC0, 0x94, 0xD4};

using Frame = std::array<std::uint8_t, 4>;

constexpr Frame frame_of(std::uint8_t value, std::uint8_t rs)
{
    const auto high = static_cast<std::uint8_t>(value & 0xF0);
    const auto low = static_cast<std::uint8_t>(value << 4);
    const auto en_high = static_cast<std::uint8_t>(port::backlight | port::en | rs);
    const auto en_low = static_cast<std::uint8_t>(port::backlight | rs);
    return {static_cast<std::uint8_t>(high | en_high), static_cast<std::uint8_t>(high | en_low),
            static_cast<std::uint8_t>(low | en_high), static_cast<std::uint8_t>(low | en_low)};
}

void send_frame(const Frame& frame)
{
    lcd_write_i2c(i2c, frame.data(), static_cast<int>(frame.size()));
}

} // namespace

int i2c_init()
{
    i2c = mraa_i2c_init(i2c_bus);
    if (i2c == nullptr) {
        static constexpr char message[] = "Failed to initialize I2C\n";
        std::fwrite(message, 1, sizeof message - 1, stderr);
        mraa_deinit();
        return 1;
    }
    status = mraa_i2c_address(i2c, lcd_address);
    if (status != MRAA_SUCCESS) {
        return 1;
    }
    return 0;
}

void lcd_write_i2c(mraa_i2c_context dev, const std::uint8_t* data, int length)
{
    status = mraa_i2c_write(dev, data, length);
    if (status != MRAA_SUCCESS) {
        std::exit(EXIT_FAILURE);
    }
}

void lcd_send_cmd(std::uint8_t cmd)
{
    send_frame(frame_of(cmd, 0));
}

void lcd_send_data(std::uint8_t data)
{
    send_frame(frame_of(data, port::rs));
}

void setCursor(int col, int row)
{
    // A negative row becomes a huge unsigned one: out of range like any other.
    const auto row_index = static_cast<unsigned>(row);
    if (row_index < row_start.size()) {
        lcd_send_cmd(row_start[row_index]);
    }
    for (int shift = 0; shift < col; ++shift) {
        lcd_send_cmd(instruction::cursor_shift_right);
    }
}

void lcd_send_string(const char* str)
{
    for (; *str != '\0'; ++str) {
        lcd_send_data(static_cast<std::uint8_t>(*str));
    }
}

int lcd_init()
{
    if (i2c_init() != 0) {
        return 1;
    }
    // The controller's busy flag is never read (R/W stays low): each
    // instruction is given a pause long enough for it instead.
    //
    // The controller wakes up in 8-bit mode, but one left in 4-bit mode by an
    // earlier run may even be halfway through a byte. Each wake-up frame
    // carries a 0x0 nibble, then a 0x3 (last 0x2) nibble: in 8-bit mode every
    // nibble is an instruction of its own, 0x30 keeping the 8-bit interface
    // and the final 0x20 selecting 4 bits; in 4-bit mode the frames are
    // harmless whole instructions (return home) or, from mid-byte, fall back
    // to 8 bits first. Either way the controller ends in 4-bit mode at a byte
    // boundary. The first pause covers the 40 ms it needs after power-on.
    usleep(50000);
    lcd_send_cmd(0x03);
    usleep(5000);
    lcd_send_cmd(0x03);
    usleep(110);
    lcd_send_cmd(0x03);
    usleep(10000);
    lcd_send_cmd(0x02);
    usleep(10000);
    // From here on every byte is two nibbles.
    lcd_send_cmd(0x28); // function set: 4-bit interface, 2 lines, 5x8 dots
    usleep(1000);
    lcd_send_cmd(0x08); // display off, cursor off, blink off
    usleep(1000);
    lcd_send_cmd(instruction::clear_display);
    usleep(1000); // clearing takes 1.52 ms: two pauses
    usleep(1000);
    lcd_send_cmd(0x06); // entry mode: cursor moves right, display does not shift
    usleep(1000);
    lcd_send_cmd(0x0C); // display on, cursor off, blink off
    return 0;
}

void lcd_clear()
{
    lcd_send_cmd(instruction::clear_display);
    usleep(100000); // far longer than the 1.52 ms the controller needs
}
