#include "adc_input.hpp"

#include "../text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>

namespace vboard {

namespace {

constexpr double volts_per_code = adc_reference_volts / adc_codes;
constexpr int top_code = adc_codes - 1;

// The KY-013 module as ky013 reads it: R = 10 kOhm * (1023 / reading - 1),
// and 1/T = A + B ln R + C (ln R)^3 in kelvin.
constexpr double divider_ohms = 10000;
constexpr double module_full_scale = 1023;
constexpr double sh_a = 0.001129148;
constexpr double sh_b = 0.000234125;
constexpr double sh_c = 0.0000000876741;
constexpr double zero_celsius = 273.15;

// The nearest code to `codes` (halfway rounds up), within the converter's range.
int nearest_code(double codes)
{
    return static_cast<int>(std::clamp(std::floor(codes + 0.5), 0.0, static_cast<double>(top_code)));
}

std::optional<double> number(std::string_view text)
{
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// SplitMix64: a well-mixed 64-bit value from any other, so that noise at
// one instant says nothing of noise at the next.
std::uint64_t mix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

} // namespace

std::optional<int> count_of_volts(double volts)
{
    if (!(volts >= 0 && volts <= adc_reference_volts)) {
        return std::nullopt;
    }
    return nearest_code(volts / volts_per_code);
}

std::optional<int> count_of_thermistor(double celsius)
{
    const double kelvin = celsius + zero_celsius;
    if (!(kelvin > 0)) {
        return std::nullopt;
    }
    // C x^3 + B x + (A - 1/T) = 0 in x = ln R: with B and C positive the
    // cubic rises everywhere and has one real root (Cardano).
    const double p = sh_b / sh_c;
    const double q = (sh_a - 1 / kelvin) / sh_c;
    const double root = std::sqrt(q * q / 4 + p * p * p / 27);
    const double ln_r = std::cbrt(-q / 2 + root) + std::cbrt(-q / 2 - root);
    const double ohms = std::exp(ln_r);
    const double reading = module_full_scale * divider_ohms / (ohms + divider_ohms);
    const int count = static_cast<int>(std::floor(reading + 0.5));
    // 0 and 1023 are an open and a shorted thermistor, not a temperature.
    if (count < 1 || count > 1022) {
        return std::nullopt;
    }
    return count;
}

double AdcInput::Level::counts() const
{
    return volts ? value / volts_per_code : value;
}

namespace {

// A level of a waveform: counts or volts within the converter's range, or
// degrees Celsius the thermistor module can show.
std::optional<double> level_in_range(std::string_view text, bool celsius, bool& volts)
{
    const char unit = celsius ? 'C' : 'V';
    volts = !text.empty() && text.back() == unit;
    if (celsius && !volts) {
        return std::nullopt;
    }
    const auto value = number(volts ? text.substr(0, text.size() - 1) : text);
    if (!value) {
        return std::nullopt;
    }
    if (celsius) {
        return count_of_thermistor(*value) ? value : std::nullopt;
    }
    const double top = volts ? adc_reference_volts : top_code;
    if (*value < 0 || *value > top) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<AdcInput> AdcInput::parse(std::string_view spec, std::string& problem)
{
    if (spec.find(':') != std::string_view::npos) {
        return waveform(spec, false, problem);
    }
    // VALUE[,VALUE...]: counts as they are, voltages converted.
    AdcInput input;
    input.spec_ = std::string(spec);
    input.values_.clear();
    for (const auto value : split(spec, ",")) {
        if (!value.empty() && value.back() == 'V') {
            const auto volts = number(value.substr(0, value.size() - 1));
            if (!volts) {
                problem = std::string(value) + " is no voltage: volts as a number, such as 1.65V";
                return std::nullopt;
            }
            const auto count = count_of_volts(*volts);
            if (!count) {
                problem = std::string(value) + " is outside the converter's input range, 0 to 3.3V";
                return std::nullopt;
            }
            input.values_.push_back(std::to_string(*count));
        } else if (value.empty()) {
            problem = "an empty value in " + std::string(spec);
            return std::nullopt;
        } else {
            input.values_.emplace_back(value);
        }
    }
    return input;
}

std::optional<AdcInput> AdcInput::waveform(std::string_view spec, bool celsius, std::string& problem)
{
    AdcInput input;
    input.spec_ = std::string(spec);
    input.celsius_ = celsius;
    const auto colon = spec.find(':');
    const std::string_view kind = spec.substr(0, colon);
    const std::string range = celsius ? "a temperature the module can show, -83C to 327C"
                                      : "a level of the converter: a count 0 to 4095, or 0 to 3.3V";
    auto level = [&](std::string_view text, Level& out) {
        const auto value = level_in_range(text, celsius, out.volts);
        if (!value) {
            problem = "\"" + std::string(text) + "\" in " + std::string(spec) + " is not " + range;
            return false;
        }
        out.value = *value;
        return true;
    };
    auto positive = [&problem, spec](std::string_view text, double& out) {
        const auto value = number(text);
        if (!value || *value <= 0) {
            problem = "\"" + std::string(text) + "\" in " + std::string(spec) + " needs a time above 0 seconds";
            return false;
        }
        out = *value;
        return true;
    };
    const auto parts = split(spec.substr(colon + 1), ":");
    if (parts.size() != 2) {
        problem = std::string(spec) + ": a waveform is KIND:LEVELS:" + (kind == "noise" ? "SEED" : "SECONDS");
        return std::nullopt;
    }
    if (kind == "ramp") {
        const auto ends = split(parts[0], "..");
        if (ends.size() != 2 || !level(ends[0], input.a_) || !level(ends[1], input.b_) || !positive(parts[1], input.seconds_)) {
            problem = problem.empty() ? std::string(spec) + ": a ramp is ramp:FROM..TO:SECONDS" : problem;
            return std::nullopt;
        }
        input.shape_ = Shape::ramp;
        return input;
    }
    if (kind == "square") {
        const auto levels = split(parts[0], "/");
        if (levels.size() != 2 || !level(levels[0], input.a_) || !level(levels[1], input.b_) ||
            !positive(parts[1], input.seconds_)) {
            problem = problem.empty() ? std::string(spec) + ": a square wave is square:LOW/HIGH:PERIOD" : problem;
            return std::nullopt;
        }
        input.shape_ = Shape::square;
        return input;
    }
    if (kind == "sine" || kind == "noise") {
        auto around = split(parts[0], "\u00b1");
        if (around.size() != 2) {
            around = split(parts[0], "+-");
        }
        if (around.size() != 2 || !level(around[0], input.a_)) {
            problem = problem.empty() ? std::string(spec) + ": " + std::string(kind) + " is " + std::string(kind) +
                                            ":MID\u00b1AMPLITUDE:" + (kind == "sine" ? "PERIOD" : "SEED")
                                      : problem;
            return std::nullopt;
        }
        // The amplitude is a difference: any size, in the middle's unit.
        const bool unit = !around[1].empty() && around[1].back() == (celsius ? 'C' : 'V');
        const auto amplitude = number(unit ? around[1].substr(0, around[1].size() - 1) : around[1]);
        if (!amplitude || *amplitude < 0 || (celsius && !unit)) {
            problem = "\"" + std::string(around[1]) + "\" in " + std::string(spec) + " is no amplitude";
            return std::nullopt;
        }
        input.b_ = Level{*amplitude, unit};
        const double low = celsius ? input.a_.value - input.b_.value : input.a_.counts() - input.b_.counts();
        const double high = celsius ? input.a_.value + input.b_.value : input.a_.counts() + input.b_.counts();
        const bool inside = celsius ? count_of_thermistor(low) && count_of_thermistor(high)
                                    : low >= -0.5 && high <= top_code + 0.5;
        if (!inside) {
            problem = std::string(spec) + " leaves " + (celsius ? "the temperatures the module can show" : "the converter's input range, 0 to 3.3V (0 to 4095)");
            return std::nullopt;
        }
        if (kind == "sine") {
            if (!positive(parts[1], input.seconds_)) {
                return std::nullopt;
            }
            input.shape_ = Shape::sine;
        } else {
            std::uint64_t seed = 0;
            const auto [end, ec] = std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), seed);
            if (ec != std::errc() || end != parts[1].data() + parts[1].size() || parts[1].empty()) {
                problem = std::string(spec) + ": the noise's SEED is a whole number";
                return std::nullopt;
            }
            input.seed_ = seed;
            input.shape_ = Shape::noise;
        }
        return input;
    }
    problem = std::string(spec) + ": a waveform is ramp:, sine:, square: or noise:";
    return std::nullopt;
}

AdcInput AdcInput::of_texts(std::vector<std::string> texts)
{
    AdcInput input;
    if (!texts.empty()) {
        input.spec_.clear();
        for (const auto& text : texts) {
            input.spec_ += (input.spec_.empty() ? "" : ",") + text;
        }
        input.values_ = std::move(texts);
    }
    return input;
}

std::optional<AdcInput> AdcInput::thermistor(std::string_view temperature, std::string& problem)
{
    if (temperature.find(':') != std::string_view::npos) {
        return waveform(temperature, true, problem);
    }
    const bool celsius = !temperature.empty() && temperature.back() == 'C';
    const auto value = celsius ? number(temperature.substr(0, temperature.size() - 1)) : std::nullopt;
    const auto count = value ? count_of_thermistor(*value) : std::nullopt;
    if (!count) {
        problem = "\"" + std::string(temperature) + "\" is no temperature the module can show: give degrees Celsius "
                  "as 25C, from -83C to 327C";
        return std::nullopt;
    }
    AdcInput input;
    input.spec_ = std::string(temperature);
    input.values_ = {std::to_string(*count)};
    input.celsius_ = true;
    return input;
}

double AdcInput::at(std::int64_t t_ns) const
{
    const double t = static_cast<double>(t_ns) / 1e9;
    // Counts for the converter's levels; degrees for the thermistor's.
    const double a = celsius_ ? a_.value : a_.counts();
    const double b = celsius_ ? b_.value : b_.counts();
    switch (shape_) {
    case Shape::ramp:
        return t >= seconds_ ? b : a + (b - a) * t / seconds_;
    case Shape::sine:
        return a + b * std::sin(2 * std::numbers::pi * t / seconds_);
    case Shape::square:
        return std::fmod(t, seconds_) < seconds_ / 2 ? a : b;
    case Shape::noise: {
        const double uniform = static_cast<double>(mix(seed_ ^ mix(static_cast<std::uint64_t>(t_ns))) >> 11) * 0x1.0p-53;
        return a + b * (2 * uniform - 1);
    }
    case Shape::values:
        break;
    }
    return 0;
}

int AdcInput::count(double value) const
{
    return celsius_ ? count_of_thermistor(value).value_or(0) : nearest_code(value);
}

std::string AdcInput::read(std::int64_t t_ns)
{
    if (shape_ != Shape::values) {
        return std::to_string(count(at(t_ns)));
    }
    // Each read starts a conversion: a list moves on by one value.
    const std::string& value = values_[next_];
    if (next_ + 1 < values_.size()) {
        ++next_;
    }
    return value;
}

void AdcInput::skip(std::int64_t conversions)
{
    if (shape_ == Shape::values && conversions > 0) {
        const auto left = static_cast<std::int64_t>(values_.size() - 1 - next_);
        next_ += static_cast<std::size_t>(std::min(conversions, left));
    }
}

std::optional<int> AdcInput::count_at(std::int64_t t_ns) const
{
    if (shape_ != Shape::values) {
        return count(at(t_ns));
    }
    const std::string& value = values_[next_];
    int count = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), count);
    if (ec != std::errc() || end != value.data() + value.size()) {
        return std::nullopt;
    }
    return count;
}

void AdcInput::turn(int counts, std::int64_t t_ns)
{
    const int now = count_at(t_ns).value_or(0);
    const int turned = std::clamp(now + counts, 0, top_code);
    shape_ = Shape::values;
    celsius_ = false;
    values_ = {std::to_string(turned)};
    next_ = 0;
    spec_ = values_.front();
}

std::string AdcInput::describe() const
{
    if (celsius_) {
        return "KY-013 thermistor module at " + spec_;
    }
    if (shape_ != Shape::values) {
        return spec_;
    }
    // Voltages given: the counts they became, too.
    std::string counts;
    for (const auto& value : values_) {
        counts += (counts.empty() ? "" : ",") + value;
    }
    return counts == spec_ ? spec_ : spec_ + " (" + counts + ")";
}

namespace {

// The bench's levels (see default_adc_inputs()).
constexpr std::string_view room_temperature = "25C";
constexpr std::string_view mid_scale = "1.65V";

} // namespace

// ky013's channel has the module ky013 reads, at room temperature: 25 C is
// the thermistor's rated point (10 kOhm, half the divider: reading 512).
// Every other channel sits at mid-scale, 1.65 V from a divider of two equal
// resistors across the 3.3 V supply, as a bench wires an input that is to
// read something known: code 2048 exactly (adc_test prints 2048 and
// 1650.000000), and away from both rails, where an open or shorted input,
// or a failed read taken for 0, would show.
std::array<AdcInput, adc_channels> default_adc_inputs()
{
    std::string problem;
    std::array<AdcInput, adc_channels> inputs;
    inputs.fill(AdcInput::parse(mid_scale, problem).value());
    inputs[ky013_channel] = AdcInput::thermistor(room_temperature, problem).value();
    return inputs;
}

} // namespace vboard
