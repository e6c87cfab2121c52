#include "hd44780.hpp"

#include <cstdio>

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

Hd44780::Hd44780(LcdGeometry geometry, Start start) : geometry_(geometry)
{
    ddram_.fill(' ');
    if (start != Start::power_on) {
        // Powered long ago (no power-on or wake-up wait is due any more) and
        // switched to the 4-bit interface by an earlier program; the rest as
        // after the power-on reset (display off, blank), so that only the
        // interface's state differs.
        powered_ = true;
        function_sets_ = 3;
        eight_bit_ = false;
    }
    if (start == Start::four_bit_half) {
        // The program before was stopped between the two nibbles of a
        // "set DDRAM address" (the first transfer of positioning the cursor).
        have_high_nibble_ = true;
        high_nibble_ = set_ddram_address;
    }
}

void Hd44780::begin_run()
{
    busy_until_ns_ = powered_ ? 0 : power_on_ns;
    powered_ = true;
}

// The datasheet's execution times. 0x00 is no instruction at all: the
// controller ignores it and does not become busy.
std::int64_t Hd44780::execution_ns(bool is_data, std::uint8_t value) const
{
    if (is_data) {
        return instruction_ns;
    }
    if (value == clear_display || (value & 0xFE) == return_home) {
        return clear_home_ns;
    }
    if ((value & 0xE0) == function_set) {
        // The n-th function set since power-on (already counted).
        return function_sets_ == 1 ? first_wake_up_ns : function_sets_ == 2 ? second_wake_up_ns : instruction_ns;
    }
    return value == 0 ? 0 : instruction_ns;
}

std::uint8_t Hd44780::read_data() const
{
    return addressing_cgram_ ? cgram_[address_ & 0x3F] : ddram_[address_ & 0x7F];
}

std::uint8_t Hd44780::bus_levels(std::int64_t at_ns) const
{
    if ((port_ & port_bit::rw) == 0 || (port_ & port_bit::en) == 0) {
        return 0xFF;
    }
    const std::uint8_t byte = (port_ & port_bit::rs) != 0
                                  ? read_data()
                                  : static_cast<std::uint8_t>((busy(at_ns) ? 0x80 : 0x00) | (address_ & 0x7F));
    const bool high = eight_bit_ || !have_high_nibble_;
    const auto nibble = static_cast<std::uint8_t>(high ? (byte & 0xF0) : ((byte << 4) & 0xF0));
    return static_cast<std::uint8_t>(nibble | 0x0F);
}

Hd44780::Edge Hd44780::set_port(std::uint8_t port, std::int64_t at_ns)
{
    const bool falling_edge = (port_ & port_bit::en) != 0 && (port & port_bit::en) == 0;
    // The bus is sampled while EN is still high; the bytes before and after
    // the edge carry the same data and RS.
    const std::uint8_t sampled = port_;
    port_ = port;
    if (!falling_edge) {
        return {};
    }
    const bool reading = (sampled & port_bit::rw) != 0;
    const bool is_data = (sampled & port_bit::rs) != 0;
    const auto nibble = static_cast<std::uint8_t>(sampled & port_bit::data);
    if (reading && !is_data) {
        // The busy flag and the address: readable even while busy; in the
        // 4-bit interface the next pulse gives the other nibble.
        have_high_nibble_ = eight_bit_ ? false : !have_high_nibble_;
        return {};
    }
    if (busy(at_ns)) {
        const char* kind = reading ? "a data read" : is_data ? "a character" : "an instruction";
        char what[96];
        if (eight_bit_ && reading) {
            std::snprintf(what, sizeof what, "a data read");
        } else if (eight_bit_) {
            std::snprintf(what, sizeof what, "%s 0x%02x", is_data ? "character" : "instruction", nibble);
        } else {
            std::snprintf(what, sizeof what, "%s nibble 0x%x of %s", have_high_nibble_ ? "low" : "high",
                          nibble >> 4, kind);
        }
        return Edge{std::nullopt, Lost{what, busy_until_ns_ - at_ns}};
    }
    std::uint8_t value = 0;
    if (eight_bit_) {
        // Only D7..D4 are wired, so D3..D0 read as 0.
        value = nibble;
    } else if (!have_high_nibble_) {
        high_nibble_ = nibble;
        have_high_nibble_ = true;
        return {};
    } else {
        value = static_cast<std::uint8_t>(high_nibble_ | (nibble >> 4));
        have_high_nibble_ = false;
    }
    if (reading) {
        // A data read moves the address counter on, as a write does.
        if (addressing_cgram_) {
            address_ = static_cast<std::uint8_t>((address_ + (increment_ ? 1 : 0x3F)) & 0x3F);
        } else {
            step_address(increment_);
        }
        busy_until_ns_ = at_ns + instruction_ns;
        return {};
    }
    const Latched latched{is_data, value, eight_bit_};
    if (!is_data && (value & 0xE0) == function_set) {
        ++function_sets_;
    }
    busy_until_ns_ = at_ns + execution_ns(is_data, value);
    if (is_data) {
        write_data(value);
    } else {
        execute_instruction(value);
    }
    return Edge{latched, std::nullopt};
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
