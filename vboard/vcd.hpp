#pragma once

// A logic analyser on the board's pins: the device events of a run drawn as
// a Value Change Dump (IEEE 1364), in virtual time, which PulseView,
// sigrok-cli and GTKWave read. The header names vboard's version and the
// real date of the run.
//
// The timescale is the analyser's sample period: sigrok samples a capture
// at one sample a tick, so its decoders' work grows with the ticks in it.
// 100 ns (10 MHz) keeps every edge of the board's buses apart (a quarter
// I2C bit is 2.5 us; a quarter SPI clock, the chip select's lead before the
// first edge, is 100 ns or more up to 2.5 MHz) and seconds of capture quick
// to decode; a change falls on the tick it happens in (the time rounded down).
//
// What is drawn, and from which events:
//  - i2c0: I2C0_SCL and I2C0_SDA, each message bit by bit at 100 kHz
//    (START or repeated START, address and R/W, data MSB first, ACK or
//    NACK, STOP); within it, pcf8574: the expander's eight outputs, named
//    for the display lines they drive (RS, RW, EN, BL, D4..D7);
//  - spi0, spi3: SPIn_SCLK, SPIn_MOSI, SPIn_MISO, SPIn_CS0, each transfer
//    at its clock, mode, bit order and word size;
//  - pwmchip0: PWM0, the channel's output;
//  - adc: ADC0..ADC7, real variables: the count each read of a channel's
//    raw value returned.
// Signal names carry their bus (as the board's pin labels do), so that a
// tool that drops the scopes (sigrok's VCD input does) still tells SPI0_SCLK
// from SPI3_SCLK.
//
// The file is written as the run goes: the header (every signal, its level
// at 0) with the first event, then each event's changes as it comes, so
// that a run cut short leaves a file that is valid up to its last event.
// Nothing of the run is kept but each wire's level and the PWM channel's
// settings; a long transfer goes out in pieces as it is drawn.

#include "events.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vboard {

// The capture's tick, in nanoseconds.
enum class VcdTimescale : std::int64_t {
    ns1 = 1,
    ns10 = 10,
    ns100 = 100,
    us1 = 1000,
    default_tick = ns100,
};

class VcdWriter {
public:
    // Takes the file's text as it grows, in order; returns 0, or the errno
    // of a write that failed (after which the writer writes nothing more).
    using Sink = std::function<int(std::string_view)>;

    explicit VcdWriter(Sink sink, VcdTimescale timescale = VcdTimescale::default_tick);

    // Writes the header, if it has not been written yet; 0 or the sink's errno.
    int begin();
    // Draws one event of the record (in record order), and everything due
    // before it (the PWM output's periods), after the header if that is
    // still to come; 0 or the sink's errno.
    int draw(const Event& event);

private:
    struct Pwm {
        unsigned long long period = 0;
        unsigned long long duty = 0;
        bool enabled = false;
        bool inversed = false;
    };

    // A change of one signal (an index into the table in vcd.cpp) at `t`;
    // changes come in time order, a later one never before an earlier.
    void put(std::int64_t t, int signal, char level);
    // The same without drawing the PWM output up to `t` first (it draws itself).
    void change(std::int64_t t, int signal, char level);
    void put_real(std::int64_t t, int signal, double value);
    // The timestamp of the tick `t` falls in, unless that tick is written.
    void stamp(std::int64_t t);
    int flush();

    void i2c_message(std::int64_t end, int addr, bool read, bool ten_bit, const Bytes& bytes, bool nack, bool stop);
    void i2c_bit(std::int64_t slot, bool level);
    void spi_transfer(const SpiTransfer& transfer);
    void spi_mode(const IoctlCall& call);
    void pwm_store(std::int64_t t, const std::string& attr, const std::string& bytes);
    void adc_read(std::int64_t t, const std::string& attr, const std::string& bytes);

    // The PWM output up to (not including) `t`: each period as the settings
    // in force at its start make it.
    void pwm_until(std::int64_t t);
    void pwm_period(std::int64_t start);

    Sink sink_;
    std::int64_t tick_ns_;
    int error_ = 0;
    std::string out_;
    bool begun_ = false;
    std::int64_t written_tick_ = -1; // the last timestamp written
    std::vector<char> levels_;     // each wire's level as last written

    bool i2c_busy_ = false;              // between START and STOP
    std::array<bool, 2> spi_selected_{}; // each SPI bus's chip select active (spi0, spi3)

    Pwm requested_;                    // what the channel's files hold
    Pwm running_;                      // what the output does in its current period
    std::int64_t period_start_ns_ = 0; // when that period began
    std::int64_t next_pwm_ns_ = 0;     // when the output next changes (while running_.enabled)
    bool pwm_falls_next_ = false;      // that change ends the active part, else it begins a period
};

// The whole capture of a record, as one text (for tests).
std::string to_vcd(const std::vector<Event>& events);

} // namespace vboard
