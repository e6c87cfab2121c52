#include "trace.hpp"

#include "version.hpp"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace vboard {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text`
// (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF), or 0.
std::size_t utf8_sequence(std::string_view text)
{
    const auto c = static_cast<unsigned char>(text[0]);
    if (c < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    if ((c & 0xE0) == 0xC0) {
        length = 2;
        code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3;
        code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4;
        code = c & 0x07;
    } else {
        return 0;
    }
    if (length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[k]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (next & 0x3F);
    }
    constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

bool utf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence(text.substr(i));
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

// A JSON string, always valid UTF-8: a byte that begins no well-formed
// sequence is written as U+FFFD (fields whose bytes matter use bytes_field).
std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
                out += escaped;
            } else if (const std::size_t length = utf8_sequence(text.substr(i)); length > 0) {
                out.append(text.substr(i, length));
                i += length;
                continue;
            } else {
                out += "\\ufffd";
            }
        }
        ++i;
    }
    return out + "\"";
}

// A field holding bytes a program chose (a value written, a log message, a
// path): as text where they are UTF-8, else as `NAME_hex` with the bytes in
// hex, so that every line stays valid JSON and UTF-8 and nothing is lost.
std::string bytes_field(std::string_view name, std::string_view bytes)
{
    if (utf8(bytes)) {
        return ",\"" + std::string(name) + "\":" + quoted(bytes);
    }
    return ",\"" + std::string(name) + "_hex\":" + quoted(hex(Bytes(bytes.begin(), bytes.end())));
}

// Virtual time to the microsecond, without trailing zeros: 0.0512, 2, 3.25.
std::string seconds(double t)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", t);
    std::string s = text;
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.') {
        s.pop_back();
    }
    return s;
}

// The fields every event starts with.
std::string head(double t, std::string_view dev, std::string_view event)
{
    return "{\"t\":" + seconds(t) + ",\"dev\":" + quoted(dev) + ",\"event\":" + quoted(event);
}

// A number as people read addresses and bit masks, beside the number
// itself, at least two digits: "0x27", "0xeff0009".
std::string hex_field(std::string_view name, std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return ",\"" + std::string(name) + "_hex\":" + quoted(text);
}

std::string outcome(long result, int error)
{
    std::string s = ",\"result\":" + std::to_string(result);
    if (error != 0) {
        s += ",\"error\":" + quoted(errno_name(error));
    }
    return s;
}

const char* priority_name(int priority)
{
    static constexpr const char* names[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
    return names[LOG_PRI(priority)];
}

std::string address(int addr)
{
    return ",\"addr\":" + std::to_string(addr) + hex_field("addr", static_cast<std::uint32_t>(addr));
}

std::string encode(const I2cWrite& e)
{
    std::string s = head(e.t, e.dev, "write") + address(e.addr) + ",\"bytes\":" + quoted(hex(e.bytes));
    if (e.error != 0) {
        s += ",\"error\":" + quoted(errno_name(e.error));
    }
    return s + "}";
}

std::string encode(const I2cRead& e)
{
    std::string s = head(e.t, e.dev, "read") + address(e.addr) + ",\"bytes\":" + quoted(hex(e.bytes));
    if (e.error != 0) {
        s += ",\"error\":" + quoted(errno_name(e.error));
    }
    return s + "}";
}

// How early, in microseconds to the nanosecond: 1120, 36.5.
std::string microseconds(std::int64_t ns)
{
    return seconds(static_cast<double>(ns) / 1e3);
}

std::string encode(const LcdViolation& e)
{
    return head(e.t, "lcd", "violation") + ",\"lost\":" + quoted(e.lost) + ",\"early_us\":" + microseconds(e.early_ns) +
           "}";
}

std::string encode(const LcdOperation& e)
{
    const bool character = e.kind == LcdOperation::Kind::character;
    std::string s = head(e.t, "lcd", character ? "char" : "instruction") + ",\"value\":" + std::to_string(e.value);
    if (character) {
        if (e.value >= 0x20 && e.value < 0x7F) {
            s += ",\"text\":" + quoted(std::string(1, static_cast<char>(e.value)));
        }
    } else {
        s += ",\"name\":" + quoted(lcd_instruction_name(e.value));
    }
    if (e.eight_bit) {
        s += ",\"eight_bit\":true";
    }
    return s + "}";
}

std::string encode(const LcdScreen& e)
{
    std::string rows;
    for (const auto& row : e.rows) {
        rows += (rows.empty() ? "" : ",") + quoted(row);
    }
    return head(e.t, "lcd", "screen") + ",\"rows\":[" + rows + "],\"display\":" + (e.display_on ? "true" : "false") +
           ",\"backlight\":" + (e.backlight ? "true" : "false") + "}";
}

// The requests whose value is an address (I2C_SLAVE's argument) or a bit
// mask (the adapter's functionality, the SPI mode word).
bool value_in_hex(std::string_view request)
{
    for (const std::string_view r : {"I2C_SLAVE", "I2C_SLAVE_FORCE", "I2C_FUNCS", "SPI_IOC_RD_MODE", "SPI_IOC_WR_MODE",
                                     "SPI_IOC_RD_MODE32", "SPI_IOC_WR_MODE32"}) {
        if (request == r) {
            return true;
        }
    }
    return false;
}

std::string encode(const IoctlCall& e)
{
    std::string s = head(e.t, e.dev, "ioctl") + ",\"request\":" + quoted(e.request);
    if (e.value) {
        s += ",\"value\":" + std::to_string(*e.value);
        if (value_in_hex(e.request)) {
            s += hex_field("value", *e.value);
        }
    }
    return s + outcome(e.result, e.error) + "}";
}

std::string encode(const SpiTransfer& e)
{
    return head(e.t, e.dev, "transfer") + ",\"tx\":" + quoted(hex(e.tx)) + ",\"rx\":" + quoted(hex(e.rx)) +
           ",\"len\":" + std::to_string(e.length) + ",\"speed_hz\":" + std::to_string(e.speed_hz) +
           ",\"bits_per_word\":" + std::to_string(e.bits_per_word) + ",\"mode\":" + std::to_string(e.mode) +
           hex_field("mode", e.mode) + outcome(e.result, e.error) + "}";
}

std::string encode(const SysfsAccess& e)
{
    const bool write = e.op == SysfsAccess::Op::write;
    return head(e.t, e.dev, write ? "write" : "read") + ",\"attr\":" + quoted(e.attr) + bytes_field("value", e.bytes) +
           outcome(e.result, e.error) + "}";
}

std::string encode(const BufferRead& e)
{
    return head(e.t, e.dev, "buffer_read") + ",\"bytes\":" + quoted(hex(e.bytes)) + outcome(e.result, e.error) + "}";
}

std::string encode(const InputChange& e)
{
    const auto& count = e.counts[static_cast<std::size_t>(e.channel) % e.counts.size()];
    return head(e.t, e.dev, "input") + ",\"channel\":" + std::to_string(e.channel) + bytes_field("value", e.value) +
           (count ? ",\"count\":" + std::to_string(*count) : std::string()) + ",\"from\":" + quoted(e.source) + "}";
}

std::string encode(const FileEvent& e)
{
    std::string s = head(e.t, e.dev, e.op == FileEvent::Op::open ? "open" : "close") + bytes_field("path", e.path);
    if (e.error != 0) {
        s += ",\"error\":" + quoted(errno_name(e.error));
    }
    return s + "}";
}

std::string encode(const LogLine& e)
{
    return head(e.t, "syslog", "log") + ",\"priority\":" + quoted(priority_name(e.priority)) + bytes_field("text", e.text) +
           "}";
}

std::string encode(const ProgramEvent& e)
{
    switch (e.kind) {
    case ProgramEvent::Kind::sleep:
        return head(e.t, "program", "sleep") + ",\"seconds\":" + seconds(e.seconds) + "}";
    case ProgramEvent::Kind::handler:
        return head(e.t, "program", "handler") + ",\"signal\":" + quoted(signal_name(e.signal)) +
               ",\"installed\":" + (e.status != 0 ? "true" : "false") + "}";
    case ProgramEvent::Kind::signal:
        return head(e.t, "program", "signal") + ",\"signal\":" + quoted(signal_name(e.signal)) + "}";
    case ProgramEvent::Kind::stopped:
        return head(e.t, "program", "stopped") + "}";
    case ProgramEvent::Kind::exit: {
        const std::string ended =
            e.processes_ended > 0 ? ",\"processes_ended\":" + std::to_string(e.processes_ended) : std::string();
        if (e.signal != 0) {
            return head(e.t, "program", "exit") + ",\"signal\":" + quoted(signal_name(e.signal)) + ended + "}";
        }
        return head(e.t, "program", "exit") + ",\"status\":" + std::to_string(e.status) + ended + "}";
    }
    }
    return "{}";
}

} // namespace

std::string trace_header()
{
    return "{\"t\":0,\"dev\":\"vboard\",\"event\":\"trace\",\"format\":" + std::to_string(trace_format) +
           ",\"vboard\":" + quoted(version) + "}";
}

std::string hex(const Bytes& bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

std::string errno_name(int error)
{
    const char* name = strerrorname_np(error);
    return name != nullptr ? name : std::to_string(error);
}

std::string signal_name(int signal)
{
    const char* abbreviation = sigabbrev_np(signal);
    return abbreviation != nullptr ? std::string("SIG") + abbreviation : std::to_string(signal);
}

std::string lcd_instruction_name(std::uint8_t value)
{
    if ((value & 0x80) != 0) {
        return "set DDRAM address";
    }
    if ((value & 0x40) != 0) {
        return "set CGRAM address";
    }
    if ((value & 0x20) != 0) {
        return std::string("function set: ") + ((value & 0x10) != 0 ? "8-bit" : "4-bit") + ", " +
               ((value & 0x08) != 0 ? "2 lines" : "1 line") + ", " + ((value & 0x04) != 0 ? "5x10" : "5x8");
    }
    if ((value & 0x10) != 0) {
        return std::string((value & 0x08) != 0 ? "display shift " : "cursor shift ") + ((value & 0x04) != 0 ? "right" : "left");
    }
    if ((value & 0x08) != 0) {
        return std::string("display ") + ((value & 0x04) != 0 ? "on" : "off") + ", cursor " +
               ((value & 0x02) != 0 ? "on" : "off") + ", blink " + ((value & 0x01) != 0 ? "on" : "off");
    }
    if ((value & 0x04) != 0) {
        return std::string("entry mode: ") + ((value & 0x02) != 0 ? "increment" : "decrement") +
               ((value & 0x01) != 0 ? ", shift display" : "");
    }
    if ((value & 0x02) != 0) {
        return "return home";
    }
    if ((value & 0x01) != 0) {
        return "clear display";
    }
    return "no operation";
}

std::string to_json(const Event& event)
{
    return std::visit([](const auto& e) { return encode(e); }, event);
}

} // namespace vboard
