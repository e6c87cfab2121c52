#include "hd44780.hpp"

namespace vboard {

namespace {

// DDRAM in two-line mode: line 0 at 0x00..0x27, line 1 at 0x40..0x67.
constexpr int line_length = 40;
constexpr std::uint8_t line1_start = 0x40;

// Instruction codes: the highest set bit selects the instruction.
constexpr std::uint8_t clear_display = 0x01;
constexpr std::uint8_t return_home = 0x02;
constexpr std::uint8_t entry_mode_set = 0x04;
constexpr std::uint8_t display_control = 0x08;
constexpr std::uint8_t cursor_display_shift = 0x10;
constexpr std::uint8_t function_set = 0x20;
constexpr std::uint8_t set_cgram_address = 0x40;
constexpr std::uint8_t set_ddram_address = 0x80;

// The glyph of character code `code` in character ROM A00, as UTF-8.
std::string glyph(std::uint8_t code)
{
    switch (code) {
    case 0x5C:
        return "\u00A5"; // the yen sign sits where ASCII has the backslash
    case 0x7E:
        return "\u2192";
    case 0x7F:
        return "\u2190";
    case 0xDF:
        return "\u00B0";
    default:
        break;
    }
    if (code >= 0x20 && code < 0x7E) {
        return std::string(1, static_cast<char>(code));
    }
    return "\u2592"; // user-defined (CGRAM) and katakana glyphs
}

} // namespace

Hd44780::Hd44780(LcdGeometry geometry) : geometry_(geometry)
{
    ddram_.fill(' ');
}

void Hd44780::set_port(std::uint8_t port, std::vector<Latched>& latched)
{
    const bool falling_edge = (port_ & port_bit::en) != 0 && (port & port_bit::en) == 0;
    // The bus is sampled while EN is still high; the bytes before and after
    // the edge carry the same data and RS.
    const std::uint8_t sampled = port_;
    port_ = port;
    if (!falling_edge || (sampled & port_bit::rw) != 0) {
        return; // reads of the busy flag or of RAM put nothing on the display
    }
    const bool is_data = (sampled & port_bit::rs) != 0;
    const auto nibble = static_cast<std::uint8_t>(sampled & port_bit::data);
    std::uint8_t value = 0;
    if (eight_bit_) {
        // Only D7..D4 are wired, so D3..D0 read as 0.
        value = nibble;
    } else if (!have_high_nibble_) {
        high_nibble_ = nibble;
        have_high_nibble_ = true;
        return;
    } else {
        value = static_cast<std::uint8_t>(high_nibble_ | (nibble >> 4));
        have_high_nibble_ = false;
    }
    latched.push_back({is_data, value, eight_bit_});
    if (is_data) {
        write_data(value);
    } else {
        execute_instruction(value);
    }
}

void Hd44780::execute_instruction(std::uint8_t value)
{
    if ((value & set_ddram_address) != 0) {
        addressing_cgram_ = false;
        address_ = static_cast<std::uint8_t>(value & 0x7F);
    } else if ((value & set_cgram_address) != 0) {
        addressing_cgram_ = true;
        address_ = static_cast<std::uint8_t>(value & 0x3F);
    } else if ((value & function_set) != 0) {
        eight_bit_ = (value & 0x10) != 0;
        two_lines_ = (value & 0x08) != 0;
        have_high_nibble_ = false;
    } else if ((value & cursor_display_shift) != 0) {
        const bool right = (value & 0x04) != 0;
        if ((value & 0x08) != 0) {
            // Shifting the display right moves the text right, so the window
            // onto DDRAM starts one column earlier.
            display_shift_ += right ? -1 : 1;
        } else {
            addressing_cgram_ = false;
            step_address(right);
        }
    } else if ((value & display_control) != 0) {
        display_on_ = (value & 0x04) != 0;
        cursor_on_ = (value & 0x02) != 0;
        blink_on_ = (value & 0x01) != 0;
    } else if ((value & entry_mode_set) != 0) {
        increment_ = (value & 0x02) != 0;
        shift_display_ = (value & 0x01) != 0;
    } else if ((value & return_home) != 0) {
        addressing_cgram_ = false;
        address_ = 0;
        display_shift_ = 0;
    } else if ((value & clear_display) != 0) {
        ddram_.fill(' ');
        addressing_cgram_ = false;
        address_ = 0;
        display_shift_ = 0;
        increment_ = true; // the datasheet: clear also sets I/D to increment
    }
    // 0x00 is no instruction at all; the controller ignores it.
}

void Hd44780::write_data(std::uint8_t value)
{
    if (addressing_cgram_) {
        cgram_[address_ & 0x3F] = value;
        address_ = static_cast<std::uint8_t>((address_ + (increment_ ? 1 : 0x3F)) & 0x3F);
        return;
    }
    ddram_[address_ & 0x7F] = value;
    step_address(increment_);
    if (shift_display_) {
        // With increment the text moves left under a fixed cursor position.
        display_shift_ += increment_ ? 1 : -1;
    }
}

// Moves the address counter one position, wrapping as the controller does:
// in two-line mode from the end of one line to the start of the other.
void Hd44780::step_address(bool forward)
{
    int address = address_;
    if (!two_lines_) {
        address = (address + (forward ? 1 : 79)) % 80;
    } else {
        const int line = address >= line1_start ? 1 : 0;
        int column = address - line * line1_start + (forward ? 1 : -1);
        int next_line = line;
        if (column >= line_length) {
            column = 0;
            next_line = 1 - line;
        } else if (column < 0) {
            column = line_length - 1;
            next_line = 1 - line;
        }
        address = next_line * line1_start + column;
    }
    address_ = static_cast<std::uint8_t>(address);
}

std::uint8_t Hd44780::ddram_at(int line, int column) const
{
    if (!two_lines_) {
        // One 80-character line; only the first row of the glass shows it.
        const int c = ((column + display_shift_) % 80 + 80) % 80;
        return ddram_[static_cast<std::size_t>(c)];
    }
    const int c = ((column + display_shift_) % line_length + line_length) % line_length;
    return ddram_[static_cast<std::size_t>(line * line1_start + c)];
}

std::vector<std::string> Hd44780::screen() const
{
    std::vector<std::string> rows;
    for (int row = 0; row < geometry_.rows; ++row) {
        // Rows 2 and 3 of a 4-line module continue lines 0 and 1 of DDRAM.
        const int line = row % 2;
        const int first_column = (row / 2) * geometry_.columns;
        std::string text;
        for (int column = 0; column < geometry_.columns; ++column) {
            const bool visible = display_on_ && (two_lines_ || line == 0);
            text += visible ? glyph(ddram_at(line, first_column + column)) : " ";
        }
        rows.push_back(text);
    }
    return rows;
}

} // namespace vboard
