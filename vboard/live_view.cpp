#include "live_view.hpp"

#include "trace.hpp"

#include "devices/adc_input.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace vboard {

namespace {

// SGR styles, written only where the view takes escapes (ViewStyle); a
// file, a pipe or --color=never gets none of them.
constexpr const char* dim_style = "\033[2m";
constexpr const char* bold_style = "\033[1m";
constexpr const char* red_style = "\033[31m";
constexpr const char* plain_style = "\033[0m";

// Box and bar pieces, in UTF-8 or in ASCII.
struct Glyphs {
    const char* top_left;
    const char* top_right;
    const char* bottom_left;
    const char* bottom_right;
    const char* across;
    const char* down;
    const char* full;
    const char* empty;
    const char* micro;
};
constexpr Glyphs utf8_glyphs{"\u250c", "\u2510", "\u2514", "\u2518", "\u2500", "\u2502", "\u2588", "\u00b7", "\u00b5"};
constexpr Glyphs ascii_glyphs{"+", "+", "+", "+", "-", "|", "#", ".", "u"};

// The PWM bar's first column after the stamp: past the longest
// "pwmchipN pwmM/duty_cycle <- "NNNNNNNNNN"" the sysfs attribute takes.
constexpr std::size_t bar_column = 44;

std::string repeat(const char* piece, std::size_t count)
{
    std::string s;
    for (std::size_t i = 0; i < count; ++i) {
        s += piece;
    }
    return s;
}

// Sixteen bytes a line: offset, hex, then the printable ones as text.
std::string dump(const char* label, const Bytes& bytes)
{
    std::string out;
    for (std::size_t at = 0; at < bytes.size(); at += 16) {
        char text[40];
        std::snprintf(text, sizeof text, "    %s %3zu  ", at == 0 ? label : "  ", at);
        std::string line = text;
        std::string ascii;
        for (std::size_t i = at; i < at + 16; ++i) {
            if (i < bytes.size()) {
                char h[4];
                std::snprintf(h, sizeof h, "%02x ", bytes[i]);
                line += h;
                ascii += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
            } else {
                line += "   ";
            }
        }
        out += line + " |" + ascii + "|\n";
    }
    return out.empty() ? std::string("    ") + label + "   (nothing)\n" : out;
}

// Bytes from the program or the device, as text: controls escaped, and
// where the locale is not UTF-8, every byte past ASCII too.
std::string escaped(const std::string& bytes, bool utf8)
{
    std::string out;
    for (const char c : bytes) {
        if (!utf8 && static_cast<unsigned char>(c) >= 0x7F) {
            char h[8];
            std::snprintf(h, sizeof h, "\\x%02x", static_cast<unsigned char>(c));
            out += h;
            continue;
        }
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\0') {
            out += "\\0";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char h[8];
            std::snprintf(h, sizeof h, "\\x%02x", static_cast<unsigned char>(c));
            out += h;
        } else {
            out += c;
        }
    }
    return out;
}

// The display's rows are UTF-8 (its character ROM's glyphs); in ASCII,
// each character past it is a "?".
std::string ascii_row(const std::string& row)
{
    std::string out;
    for (const char c : row) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else if ((byte & 0xC0) != 0x80) {
            out += '?';
        }
    }
    return out;
}

} // namespace

LiveView::LiveView(int fd, ViewStyle style) : fd_(fd), style_(style) {}

const char* LiveView::dim() const
{
    return style_.escapes ? dim_style : "";
}

const char* LiveView::bold() const
{
    return style_.escapes ? bold_style : "";
}

const char* LiveView::red() const
{
    return style_.escapes ? red_style : "";
}

const char* LiveView::plain() const
{
    return style_.escapes ? plain_style : "";
}

std::string LiveView::stamp(double t) const
{
    char text[32];
    std::snprintf(text, sizeof text, "[%9.3f s]", t);
    return dim() + std::string(text) + plain() + " ";
}

std::string LiveView::failure(int error) const
{
    return red() + errno_name(error) + " (" + std::strerror(error) + ")" + plain();
}

std::string LiveView::printable(const std::string& bytes) const
{
    return escaped(bytes, style_.utf8);
}

void LiveView::passed_on(std::string_view bytes)
{
    if (!bytes.empty()) {
        line_open_ = bytes.back() != '\n';
    }
}

// Each of the view's lines starts on a row of its own, whatever the
// program left unfinished on the terminal they share.
void LiveView::line(const std::string& piece)
{
    const std::string text = line_open_ && !piece.empty() ? "\n" + piece : piece;
    passed_on(text);
    std::size_t done = 0;
    while (done < text.size() && error_ == 0) {
        const ssize_t n = write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) {
            error_ = errno;
        } else if (n > 0) {
            done += static_cast<std::size_t>(n);
        }
    }
}

int LiveView::show(const Event& event)
{
    error_ = 0;
    std::visit([this](const auto& e) { show(e); }, event);
    return error_;
}

void LiveView::show(const LcdScreen& screen)
{
    const Glyphs& g = style_.utf8 ? utf8_glyphs : ascii_glyphs;
    std::size_t width = 0; // in characters: the rows are UTF-8
    for (const char c : screen.rows.empty() ? std::string() : screen.rows.front()) {
        width += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    std::string box = stamp(screen.t) + bold() + "lcd" + plain() + (screen.backlight ? "  backlight on" : "  backlight off") +
                      (screen.display_on ? "" : ", display off") + "\n";
    box += std::string("    ") + g.top_left + repeat(g.across, width) + g.top_right + "\n";
    for (const auto& row : screen.rows) {
        box += std::string("    ") + g.down + (screen.backlight ? bold() : dim()) + (style_.utf8 ? row : ascii_row(row)) +
               plain() + g.down + "\n";
    }
    box += std::string("    ") + g.bottom_left + repeat(g.across, width) + g.bottom_right + "\n";
    line(box);
}

void LiveView::show(const SpiTransfer& t)
{
    // A zero in the transfer record means "the device's own setting".
    char head[160];
    std::snprintf(head, sizeof head, "%s %u bytes at %u Hz, mode %u, %s", t.dev.c_str(), t.length, t.speed_hz, t.mode,
                  t.bits_per_word == 0 ? "the device's word size"
                                       : (std::to_string(t.bits_per_word) + " bits per word").c_str());
    std::string text = stamp(t.t) + bold() + head + plain() + (t.error != 0 ? "  " + failure(t.error) : "") + "\n";
    text += dump("TX", t.tx);
    if (t.error == 0) {
        text += t.rx.empty() && !t.tx.empty() ? "    RX   (nothing: no device drives MISO)\n" : dump("RX", t.rx);
    }
    line(text);
}

void LiveView::show(const SysfsAccess& a)
{
    std::string text = stamp(a.t) + a.dev + " ";
    if (a.op == SysfsAccess::Op::read) {
        if (a.dev.rfind("pwmchip", 0) == 0) {
            return; // libmraa reads the duty cycle back on every pass; the writes tell the story
        }
        text += a.attr + " -> " + (a.error != 0 ? failure(a.error) : printable(a.bytes));
        line(text + "\n");
        return;
    }
    text += a.attr + " <- \"" + printable(a.bytes) + "\"" + (a.error != 0 ? "  " + failure(a.error) : "");
    if (a.attr.size() >= 7 && a.attr.compare(a.attr.size() - 7, 7, "/period") == 0 && a.error == 0) {
        pwm_period_ns_ = std::strtoull(a.bytes.c_str(), nullptr, 10);
    }
    if (a.attr.size() >= 11 && a.attr.compare(a.attr.size() - 11, 11, "/duty_cycle") == 0 && a.error == 0 &&
        pwm_period_ns_ > 0) {
        // The LED's brightness follows the duty cycle.
        const Glyphs& g = style_.utf8 ? utf8_glyphs : ascii_glyphs;
        const double fraction = static_cast<double>(std::strtoull(a.bytes.c_str(), nullptr, 10)) /
                                static_cast<double>(pwm_period_ns_);
        const auto filled = static_cast<std::size_t>(fraction * 30 + 0.5);
        char percent[16];
        std::snprintf(percent, sizeof percent, " %5.1f%%", fraction * 100);
        const std::size_t written = text.size() - stamp(a.t).size();
        text += std::string(written < bar_column ? bar_column - written : 2, ' ') + repeat(g.full, filled > 30 ? 30 : filled) +
                repeat(g.empty, filled > 30 ? 0 : 30 - filled) + percent;
    }
    line(text + "\n");
}

// A capture is hundreds of reads: only a failed one is drawn.
void LiveView::show(const BufferRead& r)
{
    if (r.error != 0) {
        line(stamp(r.t) + r.dev + " buffer read  " + failure(r.error) + "\n");
    }
}

// Bus addresses and bit masks as the kernel's headers write them, in hex:
// an address as i2c-tools prints it (0x27), the adapter's I2C_FUNCS mask
// at its full 32 bits.
void LiveView::show(const IoctlCall& c)
{
    std::string text = stamp(c.t) + c.dev + " " + c.request;
    if (c.value) {
        char value[16];
        if (c.request == "I2C_SLAVE" || c.request == "I2C_SLAVE_FORCE") {
            std::snprintf(value, sizeof value, "0x%02x", *c.value);
        } else if (c.request == "I2C_FUNCS") {
            std::snprintf(value, sizeof value, "0x%08x", *c.value);
        } else {
            std::snprintf(value, sizeof value, "%u", *c.value);
        }
        text += std::string(" ") + value;
    }
    line(text + (c.error != 0 ? "  " + failure(c.error) : "") + "\n");
}

void LiveView::show(const I2cWrite& w)
{
    if (w.error != 0) {
        char address[16];
        std::snprintf(address, sizeof address, "0x%02x", w.addr);
        line(stamp(w.t) + w.dev + " write to " + address + " [" + hex(w.bytes) + "]  " + failure(w.error) + "\n");
    }
}

void LiveView::show(const I2cRead& r)
{
    if (r.error != 0) {
        char address[16];
        std::snprintf(address, sizeof address, "0x%02x", r.addr);
        line(stamp(r.t) + r.dev + " read from " + address + "  " + failure(r.error) + "\n");
    }
}

void LiveView::show(const LcdViolation& v)
{
    char early[48];
    std::snprintf(early, sizeof early, "%.3f", static_cast<double>(v.early_ns) / 1e3);
    line(stamp(v.t) + red() + "lcd: " + v.lost + " lost: the controller was busy for " + early + " " +
         (style_.utf8 ? utf8_glyphs : ascii_glyphs).micro + "s more" + plain() + "\n");
}

void LiveView::show(const FileEvent& f)
{
    if (f.error != 0) {
        line(stamp(f.t) + "open " + f.path + "  " + failure(f.error) + "\n");
    }
}

void LiveView::show(const LogLine& l)
{
    line(stamp(l.t) + dim() + "syslog: " + printable(l.text) + plain() + "\n");
}

void LiveView::show(const InputChange& c)
{
    line(stamp(c.t) + bold() + c.dev + " input " + std::to_string(c.channel) + " <- " + printable(c.value) + plain() +
         " (" + c.source + ")\n");
}

std::string LiveView::status(double t, double speed, const std::optional<KnobsState>& knobs)
{
    char text[64];
    if (std::isinf(speed)) {
        std::snprintf(text, sizeof text, "[%9.3f s]  speed max ", t);
    } else {
        std::snprintf(text, sizeof text, "[%9.3f s]  speed %gx", t, speed);
    }
    std::string out = text;
    if (!knobs) {
        return out;
    }
    const auto channel = [&](int n) {
        const auto& count = knobs->counts[static_cast<std::size_t>(n)];
        char cell[64];
        if (count) {
            std::snprintf(cell, sizeof cell, "  ADC %d: %4d = %.3f V", n, *count,
                          static_cast<double>(*count) * adc_reference_volts / adc_codes);
        } else {
            std::snprintf(cell, sizeof cell, "  ADC %d: -", n);
        }
        return std::string(cell);
    };
    if (knobs->keys) {
        return out + channel(knobs->selected) + "  <- -> channel, up/down turn";
    }
    for (int n = 0; n < static_cast<int>(knobs->counts.size()); ++n) {
        if ((knobs->read_channels & (1U << n)) != 0) {
            out += channel(n);
        }
    }
    return out;
}

void LiveView::selected(int channel)
{
    line(dim() + std::string("vboard: the arrow keys turn ADC channel ") + std::to_string(channel) + plain() + "\n");
}

void LiveView::say(const std::string& text)
{
    line(std::string(dim()) + "vboard: " + text + plain() + "\n");
}

void LiveView::show(const ProgramEvent& p)
{
    switch (p.kind) {
    case ProgramEvent::Kind::signal:
        line(stamp(p.t) + bold() + signal_name(p.signal) + " delivered" + plain() + "\n");
        break;
    case ProgramEvent::Kind::stopped:
        line(stamp(p.t) + "stopped by vboard\n");
        break;
    case ProgramEvent::Kind::exit:
        line(stamp(p.t) + (p.signal != 0 ? "ended by " + signal_name(p.signal) : "exit status " + std::to_string(p.status)) +
             "\n");
        break;
    case ProgramEvent::Kind::sleep:
    case ProgramEvent::Kind::handler:
        break;
    }
}

} // namespace vboard
