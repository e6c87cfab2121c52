#pragma once

// The HD44780 character-LCD controller, as its datasheet describes it, seen
// through the four data lines D7..D4 that a PCF8574 backpack drives.

#include <array>
#include <cstdint>
#include <optional>
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
    // The state the controller is in when the board starts.
    enum class Start {
        power_on,      // just powered: 8-bit interface, in its power-on reset for 40 ms
        four_bit,      // left in the 4-bit interface by an earlier program
        four_bit_half, // the same, halfway through a byte: a high nibble latched, the low one awaited
    };

    // An instruction (RS low) or a data byte (RS high) the controller executed.
    struct Latched {
        bool is_data;
        std::uint8_t value;
        bool eight_bit; // taken in one transfer while in the 8-bit interface
    };
    // A transfer the controller ignored because it was still busy.
    struct Lost {
        std::string what;      // e.g. "high nibble 0x3 of an instruction"
        std::int64_t early_ns; // how long before the controller was ready
    };
    // What one change of the port did: at most one of the two.
    struct Edge {
        std::optional<Latched> latched;
        std::optional<Lost> lost;
    };

    // Execution times from the datasheet, at the nominal 270 kHz oscillator
    // (they scale with its period; a real module's oscillator may be off by
    // tens of per cent). The power-on and wake-up waits are those the
    // datasheet asks of software that initialises by instruction.
    static constexpr std::int64_t power_on_ns = 40000000;     // after VCC rises to 2.7 V
    static constexpr std::int64_t first_wake_up_ns = 4100000; // after the first function set
    static constexpr std::int64_t second_wake_up_ns = 100000; // after the second
    static constexpr std::int64_t clear_home_ns = 1520000;    // clear display, return home
    static constexpr std::int64_t instruction_ns = 37000;     // every other instruction, data write or read

    explicit Hd44780(LcdGeometry geometry = lcd_16x2, Start start = Start::power_on);

    // A run of the board begins, its clock at 0: a controller in its
    // power-on state is powered now (the first time only); whatever else it
    // was doing finished long before.
    void begin_run();

    // One new state of the port at virtual time `at_ns`. The controller
    // samples the bus on each falling edge of EN. A write (R/W low), or a
    // data read, that comes while it is busy is ignored, as on the chip;
    // reading the busy flag is allowed at any time.
    Edge set_port(std::uint8_t port, std::int64_t at_ns);

    // The levels the controller puts on the bus at `at_ns`, in the port's
    // bit positions: with R/W and EN high it drives D7..D4 (the busy flag and
    // address counter for RS low, RAM data for RS high, one nibble per EN
    // pulse in the 4-bit interface, the high one first); every other line
    // reads high, for the expander's pins to decide.
    std::uint8_t bus_levels(std::int64_t at_ns) const;

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
    bool busy(std::int64_t at_ns) const { return at_ns < busy_until_ns_; }
    LcdGeometry geometry() const { return geometry_; }

private:
    std::int64_t execution_ns(bool is_data, std::uint8_t value) const;
    std::uint8_t read_data() const;
    void execute_instruction(std::uint8_t value);
    void write_data(std::uint8_t value);
    void step_address(bool forward);
    std::uint8_t ddram_at(int line, int column) const;

    LcdGeometry geometry_;
    std::uint8_t port_ = 0;

    // Interface: the controller starts in 8-bit mode after power-on; in 4-bit
    // mode every byte takes two transfers, high nibble first, reads included.
    bool eight_bit_ = true;
    bool have_high_nibble_ = false;
    std::uint8_t high_nibble_ = 0;

    // Timing: busy until then (virtual ns of the run); function sets
    // received since power-on, for the wake-up waits.
    bool powered_ = false;
    std::int64_t busy_until_ns_ = 0;
    int function_sets_ = 0;

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
