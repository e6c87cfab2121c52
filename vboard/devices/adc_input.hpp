#pragma once

// What is wired to one input of the ADC, as on a bench: a fixed value (a
// count, or a voltage the converter turns into one), a list of values read
// one after the other, a thermistor module at some temperature, or a signal
// generator (ramp, sine, square, noise) whose value a read takes at its
// virtual time. A read therefore returns the same text on every run.
//
// Values are counts ("2048") or volts ("1.65V"). A voltage becomes the
// count of the board's 12-bit converter with a 3.3 V reference (its
// in_voltage_scale, 0.805664062 mV): the nearest code, as an ideal
// converter whose code changes halfway between two steps, 4095 at full
// scale.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vboard {

// The board's converter: 8 channels of 12 bits over a 3.3 V reference.
inline constexpr int adc_channels = 8;
inline constexpr double adc_reference_volts = 3.3;
inline constexpr int adc_codes = 4096;

// The channel ky013's analog pin 73 is: ADC0, the one input the expansion
// header brings out (boards/virtual-board.json: AIO index 73, rawpin 0,
// which libmraa reads as in_voltage0_raw).
inline constexpr int ky013_channel = 0;

// The count the converter gives for `volts` (nullopt outside 0..3.3 V).
std::optional<int> count_of_volts(double volts);

// The KY-013 module: a 10 kOhm NTC thermistor in a divider against a fixed
// 10 kOhm, read on a 10-bit input (full scale 1023). The count it gives at
// `celsius`, from the Steinhart-Hart equation that ky013 inverts (the same
// coefficients), solved for the resistance.
std::optional<int> count_of_thermistor(double celsius);

class AdcInput {
public:
    // A count, as the raw attribute shows it (any text, so that a test can
    // serve what no converter gives).
    AdcInput() = default;
    // Texts read in turn, the last for good, as they are.
    static AdcInput of_texts(std::vector<std::string> texts);

    // Parses what --adc gives a channel: VALUE[,VALUE...] (read in turn,
    // the last for good), or one waveform:
    //   ramp:FROM..TO:SECONDS      from FROM at 0 s to TO, then TO
    //   sine:MID±AMPLITUDE:PERIOD  ("+-" for "±")
    //   square:LOW/HIGH:PERIOD     LOW for the first half of each period
    //   noise:MID±AMPLITUDE:SEED   uniform, the same for a seed at a time
    // Returns nullopt with `problem` set for anything else, a voltage
    // outside 0..3.3 V included.
    static std::optional<AdcInput> parse(std::string_view spec, std::string& problem);
    // A thermistor module at a temperature ("25C", "-20C"), or at one that
    // follows a waveform of temperatures ("ramp:20C..80C:10").
    static std::optional<AdcInput> thermistor(std::string_view temperature, std::string& problem);

    // The text a read at virtual time `t_ns` shows (without the newline).
    // A list moves on by one value per read.
    std::string read(std::int64_t t_ns);
    // Conversions made and thrown away (scans lost in a full buffer): a
    // list moves on as if each had been read.
    void skip(std::int64_t conversions);

    // The count it gives at `t_ns` without reading it (for a display), or
    // nullopt for a text that is no count.
    std::optional<int> count_at(std::int64_t t_ns) const;

    // A knob turned: a fixed value `counts` away from what it gives at
    // `t_ns`, within the converter's range.
    void turn(int counts, std::int64_t t_ns);

    // How it was given, for the record ("1.65V", "ramp:0..4095:10").
    const std::string& spec() const { return spec_; }
    // What is wired, in words, for a person: "1.65V (2048)", "100,200",
    // "ramp:0V..3.3V:10", "KY-013 thermistor module at 25C".
    std::string describe() const;

private:
    enum class Shape { values, ramp, sine, square, noise };
    // A number given in counts, in volts, or (for the thermistor module) in
    // degrees Celsius.
    struct Level {
        double value = 0;
        bool volts = false;
        double counts() const;
    };
    // The shapes after "KIND:": levels in counts or volts, or in degrees.
    static std::optional<AdcInput> waveform(std::string_view spec, bool celsius, std::string& problem);
    double at(std::int64_t t_ns) const; // a waveform's value: counts, or degrees for the thermistor
    int count(double value) const;      // that value as the converter's count

    Shape shape_ = Shape::values;
    std::string spec_ = "0";
    std::vector<std::string> values_{"0"};
    std::size_t next_ = 0;
    Level a_, b_;       // ramp: from, to; sine, noise: middle, amplitude; square: low, high
    double seconds_ = 1; // ramp: length; sine, square: period
    std::uint64_t seed_ = 0;
    bool celsius_ = false; // the thermistor module: its levels are temperatures
};

// What the bench has wired to each channel, by channel, before anything
// says otherwise: the KY-013 module at 25 C on ky013_channel, mid-scale
// (1.65 V) on every other one.
std::array<AdcInput, adc_channels> default_adc_inputs();

} // namespace vboard
