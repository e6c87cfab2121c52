#include "live_view.hpp"

#include "trace.hpp"

#include "devices/adc_input.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace vboard {

namespace {

constexpr const char* dim = "\033[2m";
constexpr const char* bold = "\033[1m";
constexpr const char* red = "\033[31m";
constexpr const char* plain = "\033[0m";

std::string stamp(double t)
{
    char text[32];
    std::snprintf(text, sizeof text, "%s[%9.3f s]%s ", dim, t, plain);
    return text;
}

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

std::string printable(const std::string& bytes)
{
    std::string out;
    for (const char c : bytes) {
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

std::string failure(int error)
{
    return std::string(red) + errno_name(error) + " (" + std::strerror(error) + ")" + plain;
}

} // namespace

void LiveView::line(const std::string& text)
{
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
    std::size_t width = 0; // in characters: the rows are UTF-8
    for (const char c : screen.rows.empty() ? std::string() : screen.rows.front()) {
        width += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    std::string box = stamp(screen.t) + bold + "lcd" + plain + (screen.backlight ? "  backlight on" : "  backlight off") +
                      (screen.display_on ? "" : ", display off") + "\n";
    box += std::string("    \u250c") + repeat("\u2500", width) + "\u2510\n";
    for (const auto& row : screen.rows) {
        box += std::string("    \u2502") + (screen.backlight ? bold : dim) + row + plain + "\u2502\n";
    }
    box += std::string("    \u2514") + repeat("\u2500", width) + "\u2518\n";
    line(box);
}

void LiveView::show(const SpiTransfer& t)
{
    // A zero in the transfer record means "the device's own setting".
    char head[160];
    std::snprintf(head, sizeof head, "%s %u bytes at %u Hz, mode %u, %s", t.dev.c_str(), t.length, t.speed_hz, t.mode,
                  t.bits_per_word == 0 ? "the device's word size"
                                       : (std::to_string(t.bits_per_word) + " bits per word").c_str());
    std::string text = stamp(t.t) + bold + head + plain + (t.error != 0 ? "  " + failure(t.error) : "") + "\n";
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
        const double fraction = static_cast<double>(std::strtoull(a.bytes.c_str(), nullptr, 10)) /
                                static_cast<double>(pwm_period_ns_);
        const auto filled = static_cast<std::size_t>(fraction * 30 + 0.5);
        char percent[16];
        std::snprintf(percent, sizeof percent, " %5.1f%%", fraction * 100);
        text += std::string("  ") + repeat("\u2588", filled > 30 ? 30 : filled) + repeat("\u00b7", filled > 30 ? 0 : 30 - filled) +
                percent;
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

void LiveView::show(const IoctlCall& c)
{
    std::string text = stamp(c.t) + c.dev + " " + c.request;
    if (c.value) {
        text += " " + std::to_string(*c.value);
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
    line(stamp(v.t) + red + "lcd: " + v.lost + " lost: the controller was busy for " + early + " \u00b5s more" +
         plain + "\n");
}

void LiveView::show(const FileEvent& f)
{
    if (f.error != 0) {
        line(stamp(f.t) + "open " + f.path + "  " + failure(f.error) + "\n");
    }
}

void LiveView::show(const LogLine& l)
{
    line(stamp(l.t) + dim + "syslog: " + printable(l.text) + plain + "\n");
}

void LiveView::show(const InputChange& c)
{
    line(stamp(c.t) + bold + c.dev + " input " + std::to_string(c.channel) + " <- " + printable(c.value) + plain + " (" +
         c.source + ")\n");
}

void LiveView::show_inputs(const std::array<std::optional<int>, 8>& counts, int selected)
{
    std::string text = std::string(dim) + "ADC " + plain;
    for (std::size_t n = 0; n < counts.size(); ++n) {
        char cell[48];
        if (counts[n]) {
            std::snprintf(cell, sizeof cell, "%zu:%d=%.3fV", n, *counts[n],
                          static_cast<double>(*counts[n]) * adc_reference_volts / adc_codes);
        } else {
            std::snprintf(cell, sizeof cell, "%zu:-", n);
        }
        const bool marked = static_cast<int>(n) == selected;
        text += std::string(marked ? bold : "") + (marked ? "[" : " ") + cell + (marked ? "]" : " ") + plain;
    }
    line(text + dim + "  (arrows: channel, value; shift: 10 %)" + plain + "\n");
}

void LiveView::say(const std::string& text)
{
    line(std::string(dim) + "vboard: " + text + plain + "\n");
}

void LiveView::show(const ProgramEvent& p)
{
    switch (p.kind) {
    case ProgramEvent::Kind::signal:
        line(stamp(p.t) + bold + signal_name(p.signal) + " delivered" + plain + "\n");
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
