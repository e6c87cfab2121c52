#pragma once

// A character LCD with a PCF8574 I2C backpack: the expander latches each byte
// written to it on its eight outputs, which drive the HD44780's RS, R/W and
// EN lines, the backlight transistor and the data lines D7..D4.

#include "hd44780.hpp"
#include "i2c_bus.hpp"

#include <string>
#include <vector>

namespace vboard {

class Recorder;

// Where the backpack answers on I2C bus 0: the PCF8574 with its three
// address pins pulled high (A2..A0 = 111).
inline constexpr int lcd_backpack_address = 0x27;

class LcdBackpack : public I2cDevice {
public:
    LcdBackpack(Recorder& recorder, LcdGeometry geometry, Hd44780::Start start = Hd44780::Start::power_on);

    // A run of the board begins (its clock at 0).
    void begin_run() { lcd_.begin_run(); }

    // Each byte written appears on the expander's outputs as its acknowledge ends.
    void write(std::span<const std::uint8_t> bytes, std::span<const std::int64_t> at_ns) override;
    // The PCF8574's pins are quasi-bidirectional: an output latched high is
    // only a weak pull-up, which the display pulls low where it drives a 0;
    // one latched low stays low. A read returns the pins' levels, sampled
    // as the acknowledge before each byte ends.
    void read(std::span<std::uint8_t> bytes, std::span<const std::int64_t> at_ns) override;

    // Records the screen if it has changed since it was last recorded. The
    // board calls this whenever the program pauses or ends, so that a text
    // written character by character appears once, complete.
    void record_screen_if_changed();

    const Hd44780& controller() const { return lcd_; }

private:
    Recorder& recorder_;
    Hd44780 lcd_;
    std::uint8_t port_ = 0xFF; // the PCF8574's outputs are high after power-on
    std::vector<std::string> shown_;
    bool shown_display_on_ = false;
    bool shown_backlight_ = false;
};

} // namespace vboard
