#pragma once

// The HD44780 character-LCD controller, as its datasheet describes it, seen
// through the four data lines D7..D4 that a PCF8574 backpack drives.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

struct LcdGeometry {
    int columns;
    int rows;
};

inline constexpr LcdGeometry lcd_16x2{16, 2};
inline constexpr LcdGeometry lcd_20x4{20, 4};

// The controller's control lines and data bus, as the backpack wires them to
// the expander's port: bit 0 RS, bit 1 R/W, bit 2 EN, bit 3 backlight
// transistor, bits 7..4 D7..D4. D3..D0 are not connected.
namespace port_bit {
inline constexpr std::uint8_t rs = 0x01;
inline constexpr std::uint8_t rw = 0x02;
inline constexpr std::uint8_t en = 0x04;
inline constexpr std::uint8_t backlight = 0x08;
inline constexpr std::uint8_t data = 0xF0;
} // namespace port_bit

class Hd44780 {
public:
    // An instruction (RS low) or a data byte (RS high) the controller executed.
    struct Latched {
        bool is_data;
        std::uint8_t value;
        bool eight_bit; // taken in one transfer while in the 8-bit interface
    };

    explicit Hd44780(LcdGeometry geometry = lcd_16x2);

    // One new state of the port. The controller samples the bus on each
    // falling edge of EN; what that completes is appended to `latched`.
    void set_port(std::uint8_t port, std::vector<Latched>& latched);

    // The visible screen, one string per row: blanks while the display is
    // off; characters outside printable ASCII shown as their ROM (A00) glyph
    // where it has a common Unicode equivalent, else as "▒".
    std::vector<std::string> screen() const;

    bool display_on() const { return display_on_; }
    bool cursor_on() const { return cursor_on_; }
    bool blink_on() const { return blink_on_; }
    bool backlight() const { return (port_ & port_bit::backlight) != 0; }
    bool four_bit() const { return !eight_bit_; }
    bool two_lines() const { return two_lines_; }
    bool increment() const { return increment_; }
    std::uint8_t address_counter() const { return address_; }
    LcdGeometry geometry() const { return geometry_; }

private:
    void execute_instruction(std::uint8_t value);
    void write_data(std::uint8_t value);
    void step_address(bool forward);
    std::uint8_t ddram_at(int line, int column) const;

    LcdGeometry geometry_;
    std::uint8_t port_ = 0;

    // Interface: the controller starts in 8-bit mode after power-on; in 4-bit
    // mode every byte takes two transfers, high nibble first.
    bool eight_bit_ = true;
    bool have_high_nibble_ = false;
    std::uint8_t high_nibble_ = 0;

    // Power-on state after the internal reset (datasheet: display off,
    // increment, no shift, one line).
    bool two_lines_ = false;
    bool display_on_ = false;
    bool cursor_on_ = false;
    bool blink_on_ = false;
    bool increment_ = true;
    bool shift_display_ = false;
    int display_shift_ = 0;

    bool addressing_cgram_ = false;
    std::uint8_t address_ = 0;
    std::array<std::uint8_t, 0x80> ddram_{};
    std::array<std::uint8_t, 0x40> cgram_{};
};

} // namespace vboard
