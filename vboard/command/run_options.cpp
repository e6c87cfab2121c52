#include "run_options.hpp"

#include "help.hpp"
#include "usage.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

namespace vboard::command {

namespace {

// What is wrong with an option's value, thrown by whatever reads it.
struct Refused {
    std::string message;
};

[[noreturn]] void refuse(const std::string& message)
{
    throw Refused{message};
}

template <typename T>
T number(std::string_view text, const char* option)
{
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        refuse(std::string(option) + " needs a number, not \"" + std::string(text) + "\"");
    }
    return value;
}

// A length of time in seconds: finite, not negative (or, where `positive`,
// above 0), and at most 30 years, which virtual time in nanoseconds holds.
double seconds(std::string_view text, const char* option, bool positive = false)
{
    const double value = number<double>(text, option);
    constexpr double longest = 30.0 * 365 * 24 * 3600;
    if (!std::isfinite(value) || value < 0 || (positive && value == 0) || value > longest) {
        refuse(std::string(option) + " needs " + (positive ? "more than 0" : "0 or more") +
             " seconds, at most 30 years, not \"" + std::string(text) + "\"");
    }
    return value;
}

std::chrono::milliseconds milliseconds(double seconds)
{
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
}

// What the command's pauses run at unless --speed says otherwise: a loop
// that sleeps 1 s per pass shows 100 passes a second.
constexpr double default_speed = 100;

// --speed: virtual seconds per real second, or "max" for pauses that take
// no real time at all. At the slowest, a virtual second takes 1000 real
// ones (a pause of 30 years in virtual time is then still a number of
// nanoseconds of real time that a signed 64-bit count holds).
double speed(std::string_view text)
{
    if (text == "max") {
        return std::numeric_limits<double>::infinity();
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < 0.001 ||
        value > 1e9) {
        refuse("--speed needs virtual seconds per real second, from 0.001 to 1e9, or max, not \"" +
             std::string(text) + "\"");
    }
    return value;
}

// --vcd-timescale: the capture's tick, which sigrok takes as its sample
// period.
VcdTimescale vcd_timescale(std::string_view text)
{
    constexpr std::pair<std::string_view, VcdTimescale> ticks[] = {
        {"1ns", VcdTimescale::ns1}, {"10ns", VcdTimescale::ns10}, {"100ns", VcdTimescale::ns100},
        {"1us", VcdTimescale::us1}};
    for (const auto& [name, tick] : ticks) {
        if (text == name) {
            return tick;
        }
    }
    refuse("--vcd-timescale needs 1ns, 10ns, 100ns or 1us, not \"" + std::string(text) + "\"");
}

// --color[=WHEN], as GNU ls takes it: alone, it means always.
ColorMode color_mode(std::string_view text)
{
    constexpr std::pair<std::string_view, ColorMode> modes[] = {
        {"", ColorMode::always}, {"always", ColorMode::always}, {"auto", ColorMode::automatic},
        {"never", ColorMode::never}};
    for (const auto& [name, mode] : modes) {
        if (text == name) {
            return mode;
        }
    }
    refuse("--color needs auto, always or never, not \"" + std::string(text) + "\"");
}

// A count of lines: 1 or more.
int count(std::string_view text, const char* option)
{
    const long long value = number<long long>(text, option);
    if (value < 1 || value > std::numeric_limits<int>::max()) {
        refuse(std::string(option) + " needs a count from 1 to " + std::to_string(std::numeric_limits<int>::max()) +
             ", not \"" + std::string(text) + "\"");
    }
    return static_cast<int>(value);
}

std::vector<std::uint8_t> hex_bytes(std::string_view text)
{
    if (text.size() % 2 != 0) {
        refuse("--spi reply=HEX needs an even number of hex digits");
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned byte = 0;
        const auto digits = text.substr(i, 2);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + 2, byte, 16);
        if (ec != std::errc() || end != digits.data() + 2) {
            refuse("--spi reply= needs hex digits, not \"" + std::string(digits) + "\"");
        }
        bytes.push_back(static_cast<std::uint8_t>(byte));
    }
    return bytes;
}

// CH=WHAT for --adc and --ntc: the channel, and what follows the "=".
std::pair<int, std::string_view> channel_and(std::string_view spec, const char* option, const char* form)
{
    const auto equals = spec.find('=');
    if (equals == std::string_view::npos || equals == 0 || equals + 1 == spec.size()) {
        refuse(std::string(option) + " needs " + form);
    }
    const int channel = number<int>(spec.substr(0, equals), option);
    if (channel < 0 || channel > 7) {
        refuse(std::string(option) + ": the ADC has channels 0 to 7");
    }
    return {channel, spec.substr(equals + 1)};
}

void add_adc(BoardConfig& config, std::string_view spec)
{
    const auto [channel, what] = channel_and(spec, "--adc", "CH=VALUE[,VALUE...] or CH=WAVEFORM");
    std::string problem;
    auto input = AdcInput::parse(what, problem);
    if (!input) {
        refuse("--adc " + std::to_string(channel) + "=" + std::string(what) + ": " + problem);
    }
    config.adc_inputs[channel] = std::move(*input);
}

void add_thermistor(BoardConfig& config, std::string_view spec)
{
    const auto [channel, what] = channel_and(spec, "--ntc", "CH=TEMPERATURE, e.g. 0=25C");
    std::string problem;
    auto input = AdcInput::thermistor(what, problem);
    if (!input) {
        refuse("--ntc " + std::to_string(channel) + ": " + problem);
    }
    config.adc_inputs[channel] = std::move(*input);
}

SpiPeer spi_peer(std::string_view text)
{
    SpiPeer peer;
    if (text == "loopback") {
        peer.kind = SpiPeer::Kind::loopback;
    } else if (text == "silent") {
        peer.kind = SpiPeer::Kind::silent;
    } else if (text == "idle=00" || text == "idle=ff") {
        peer.kind = SpiPeer::Kind::silent;
        peer.idle = text == "idle=00" ? 0x00 : 0xFF;
    } else if (text.rfind("reply=", 0) == 0) {
        peer.kind = SpiPeer::Kind::reply;
        peer.reply = hex_bytes(text.substr(6));
    } else {
        refuse("--spi is loopback, silent, idle=00, idle=ff or reply=HEX, not \"" + std::string(text) + "\"");
    }
    return peer;
}

LcdGeometry lcd_size(std::string_view text)
{
    if (text != "16x2" && text != "20x4") {
        refuse("--lcd is 16x2 or 20x4, not \"" + std::string(text) + "\"");
    }
    return text == "16x2" ? lcd_16x2 : lcd_20x4;
}

Hd44780::Start lcd_state(std::string_view text)
{
    if (text == "power-on") {
        return Hd44780::Start::power_on;
    }
    if (text == "4bit") {
        return Hd44780::Start::four_bit;
    }
    if (text == "4bit-half") {
        return Hd44780::Start::four_bit_half;
    }
    refuse("--lcd-state is power-on, 4bit or 4bit-half, not \"" + std::string(text) + "\"");
}

// The options' codes: a short option's letter, or one of these.
enum Code : int {
    ntc = 256,
    control,
    spi,
    lcd,
    lcd_state_code,
    sigint_after,
    sigint_after_lines,
    timeout,
    grace,
    strict_timing,
    view,
    vcd,
    vcd_timescale_code,
    color,
};

constexpr const char* short_options = "+:a:f:t:n:s:qT:hV";

const option long_options[] = {
    {"adc", required_argument, nullptr, 'a'},
    {"ntc", required_argument, nullptr, ntc},
    {"control", required_argument, nullptr, control},
    {"spi", required_argument, nullptr, spi},
    {"lcd", required_argument, nullptr, lcd},
    {"lcd-state", required_argument, nullptr, lcd_state_code},
    {"fault", required_argument, nullptr, 'f'},
    {"for", required_argument, nullptr, 't'},
    {"lines", required_argument, nullptr, 'n'},
    {"sigint-after", required_argument, nullptr, sigint_after},
    {"sigint-after-lines", required_argument, nullptr, sigint_after_lines},
    {"speed", required_argument, nullptr, 's'},
    {"timeout", required_argument, nullptr, timeout},
    {"grace", required_argument, nullptr, grace},
    {"strict-timing", no_argument, nullptr, strict_timing},
    {"quiet", no_argument, nullptr, 'q'},
    {"view", required_argument, nullptr, view},
    {"trace", required_argument, nullptr, 'T'},
    {"vcd", required_argument, nullptr, vcd},
    {"vcd-timescale", required_argument, nullptr, vcd_timescale_code},
    {"color", optional_argument, nullptr, color},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// The option as the user wrote it, for messages: "--trace", or "-T".
std::string written(const char* arg)
{
    const std::string_view text = arg;
    return std::string(text.substr(0, text.find('=')));
}

// What a value-taking option was called as: its long name, whichever way
// it was written.
std::string long_name(int code)
{
    for (const option* o = long_options; o->name != nullptr; ++o) {
        if (o->val == code) {
            return std::string("--") + o->name;
        }
    }
    return "-" + std::string(1, static_cast<char>(code));
}

// Why getopt_long refused `arg`: an unknown option, a prefix of several
// long ones, or a value given to an option that takes none. `letter` is
// the short option's, or 0.
std::string what_is_wrong_with(const char* arg, int letter)
{
    const std::string_view text = arg;
    if (text.rfind("--", 0) != 0) {
        return "unknown option -" + std::string(1, static_cast<char>(letter));
    }
    const std::string_view name = text.substr(2, text.find('=') - 2);
    std::vector<std::string_view> matches;
    for (const option* o = long_options; o->name != nullptr; ++o) {
        if (name == o->name) {
            return "option --" + std::string(name) + " takes no value";
        }
        if (!name.empty() && std::string_view(o->name).rfind(name, 0) == 0) {
            matches.emplace_back(o->name);
        }
    }
    // getopt_long takes a prefix of one option's name for the option.
    if (matches.size() == 1) {
        return "option --" + std::string(matches.front()) + " takes no value";
    }
    if (matches.empty()) {
        return "unknown option --" + std::string(name);
    }
    std::string names;
    for (const auto match : matches) {
        names += std::string(names.empty() ? "" : ", ") + "--" + std::string(match);
    }
    return "option --" + std::string(name) + " is ambiguous: " + names;
}

// Applies one option and its value to the request.
void apply(RunRequest& request, int code, std::string_view value)
{
    BoardConfig& config = request.config;
    RunOptions& options = request.options;
    switch (code) {
    case 'a': add_adc(config, value); break;
    case ntc: add_thermistor(config, value); break;
    case control: request.control_path = value; break;
    case spi: config.spi = spi_peer(value); break;
    case lcd: config.lcd = lcd_size(value); break;
    case lcd_state_code: config.lcd_start = lcd_state(value); break;
    case 'f':
        if (const std::string problem = config.faults.add(value); !problem.empty()) {
            refuse("--fault: " + problem);
        }
        break;
    case 't': options.stop_at = seconds(value, "--for"); break;
    case 'n': options.stop_after_lines = count(value, "--lines"); break;
    case sigint_after: options.sigint_at = seconds(value, "--sigint-after"); break;
    case sigint_after_lines: options.sigint_after_lines = count(value, "--sigint-after-lines"); break;
    case 's': options.speed = speed(value); break;
    case timeout: options.timeout = milliseconds(seconds(value, "--timeout", true)); break;
    case grace: options.grace = milliseconds(seconds(value, "--grace")); break;
    case strict_timing: request.strict_timing = true; break;
    case 'q': request.quiet = true; break;
    case view: request.view_path = value; break;
    case 'T': request.trace_path = value; break;
    case vcd: request.vcd_path = value; break;
    case vcd_timescale_code: request.vcd_tick = vcd_timescale(value); break;
    case color: request.color = color_mode(value); break;
    default: break;
    }
}

} // namespace

RunRequest read_run_options(int argc, char** argv)
{
    RunRequest request;
    // The library runs as fast as it can (its callers are tests); the
    // command runs at a pace a person can watch, unless told otherwise.
    request.options.speed = default_speed;
    request.options.timeout = std::chrono::hours(24 * 365 * 30);
    request.options.keep_record = false;

    // The last option whose value was the next argument, should that
    // argument have been meant as the program.
    std::string took_next;
    opterr = 0;
    optind = 1;
    for (;;) {
        const int code = getopt_long(argc, argv, short_options, long_options, nullptr);
        if (code == -1) {
            break;
        }
        if (code == 'h' || code == 'V') {
            std::fputs(code == 'h' ? main_help.data() : version_text().c_str(), stdout);
            std::exit(std::fflush(stdout) == 0 ? 0 : 125);
        }
        if (code == ':') {
            usage_error("option " + written(argv[optind - 1]) + " needs a value");
        }
        if (code == '?') {
            usage_error(what_is_wrong_with(argv[optind - 1], optopt));
        }
        took_next = optarg != nullptr && optarg == argv[optind - 1] ? long_name(code) + " took \"" + optarg + "\"" : "";
        try {
            apply(request, code, optarg != nullptr ? optarg : "");
        } catch (const Refused& refused) {
            fail(refused.message);
        }
    }
    if (optind >= argc) {
        usage_error(took_next.empty() ? "no program to run"
                                      : "no program to run (" + took_next + " as its value; was it the program?)");
    }
    for (int i = optind; i < argc; ++i) {
        request.options.argv.emplace_back(argv[i]);
    }
    return request;
}

std::optional<bool> run_option_takes_value(std::string_view name)
{
    for (const option* o = long_options; o->name != nullptr; ++o) {
        if (name == o->name) {
            return o->has_arg == required_argument;
        }
    }
    return std::nullopt;
}

std::string apply_run_option(RunRequest& request, std::string_view name, std::string_view value)
{
    for (const option* o = long_options; o->name != nullptr; ++o) {
        if (name == o->name && o->val != 'h') {
            try {
                apply(request, o->val, value);
            } catch (const Refused& refused) {
                return refused.message;
            }
            return "";
        }
    }
    return "no option --" + std::string(name);
}

} // namespace vboard::command
