#include "vcd.hpp"

#include "devices/i2c_bus.hpp"
#include "devices/lcd_backpack.hpp"
#include "devices/sysfs.hpp"
#include "version.hpp"

#include <algorithm>
#include <charconv>
#include <climits>
#include <ctime>
#include <linux/spi/spi.h>

namespace vboard {

namespace {

// How long the capture goes on after the run has ended: one I2C bit.
constexpr std::int64_t capture_tail_ns = I2cBus::bit_ns;

__extension__ using int128 = __int128; // times of SPI clock edges: clocks × 10^9 overflows 64 bits

// The signals, in the order of the header; their identifier is '!' plus
// the index.
enum : int {
    i2c_scl,
    i2c_sda,
    pcf8574_p0, // P0..P7 follow
    spi0_sclk = pcf8574_p0 + 8,
    spi0_mosi,
    spi0_miso,
    spi0_cs,
    spi3_sclk,
    spi3_mosi,
    spi3_miso,
    spi3_cs,
    pwm0,
    adc0, // ADC0..ADC7 follow
    signal_count = adc0 + 8,
};

// The expander's port bits, as the backpack wires them (devices/hd44780.hpp).
constexpr std::array<const char*, 8> pcf8574_pins{"RS", "RW", "EN", "BL", "D4", "D5", "D6", "D7"};

struct SpiBus {
    const char* dev;
    const char* scope;
    const char* prefix;
    int sclk; // then MOSI, MISO, CS0
};
constexpr std::array<SpiBus, 2> spi_buses{{{"spidev0.0", "spi0", "SPI0_", spi0_sclk}, {"spidev3.0", "spi3", "SPI3_", spi3_sclk}}};

std::string id(int signal)
{
    return std::string(1, static_cast<char>('!' + signal));
}

std::string var(const char* type, int signal, const std::string& name)
{
    return std::string("$var ") + type + (std::string(type) == "real" ? " 64 " : " 1 ") + id(signal) + " " + name +
           " $end\n";
}

// Bit `k` (0: the first on the wire) of a transfer of words of `word_bits`
// bits: the words lie in memory in the CPU's order (little-endian on this
// ARM board), each sent from its most significant bit unless `lsb_first`.
bool spi_bit(const Bytes& bytes, std::int64_t k, unsigned word_bits, bool lsb_first)
{
    const auto word = static_cast<std::size_t>(k / word_bits);
    const auto in_word = static_cast<unsigned>(k % word_bits);
    const unsigned position = lsb_first ? in_word : word_bits - 1 - in_word;
    const std::size_t byte = word * (word_bits / 8) + position / 8;
    return byte < bytes.size() && ((bytes[byte] >> (position % 8)) & 1) != 0;
}

// The header's timescale: the tick as VCD writes it (1, 10 or 100 of a unit).
std::string timescale_text(std::int64_t tick_ns)
{
    return tick_ns >= 1000 ? std::to_string(tick_ns / 1000) + " us" : std::to_string(tick_ns) + " ns";
}

// The real date and time (UTC) of the run, in ISO 8601: virtual time has no date.
std::string date_now()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    char text[32];
    if (now == static_cast<std::time_t>(-1) || gmtime_r(&now, &utc) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
        return "unknown";
    }
    return text;
}

} // namespace

VcdWriter::VcdWriter(Sink sink, VcdTimescale timescale)
    : sink_(std::move(sink)), tick_ns_(static_cast<std::int64_t>(timescale)), levels_(signal_count, 'x')
{
}

int VcdWriter::begin()
{
    if (begun_) {
        return error_;
    }
    begun_ = true;
    out_ += std::string("$version vboard ") + version + " $end\n";
    out_ += "$date " + date_now() + " $end\n";
    out_ += "$comment virtual time of the board; one scope per bus and device $end\n";
    out_ += "$timescale " + timescale_text(tick_ns_) + " $end\n";
    out_ += "$scope module board $end\n"
            "$scope module i2c0 $end\n";
    out_ += var("wire", i2c_scl, "I2C0_SCL") + var("wire", i2c_sda, "I2C0_SDA");
    out_ += "$scope module pcf8574 $end\n";
    for (int pin = 0; pin < 8; ++pin) {
        out_ += var("wire", pcf8574_p0 + pin, pcf8574_pins[static_cast<std::size_t>(pin)]);
    }
    out_ += "$upscope $end\n$upscope $end\n";
    for (const SpiBus& bus : spi_buses) {
        out_ += std::string("$scope module ") + bus.scope + " $end\n";
        const std::string prefix = bus.prefix;
        out_ += var("wire", bus.sclk, prefix + "SCLK") + var("wire", bus.sclk + 1, prefix + "MOSI") +
                var("wire", bus.sclk + 2, prefix + "MISO") + var("wire", bus.sclk + 3, prefix + "CS0");
        out_ += "$upscope $end\n";
    }
    out_ += "$scope module pwmchip0 $end\n" + var("wire", pwm0, "PWM0") + "$upscope $end\n";
    out_ += "$scope module adc $end\n";
    for (int channel = 0; channel < 8; ++channel) {
        out_ += var("real", adc0 + channel, "ADC" + std::to_string(channel));
    }
    out_ += "$upscope $end\n$upscope $end\n$enddefinitions $end\n";

    // At power-on: the I2C bus idle, both lines pulled up; the PCF8574's
    // outputs high; the SPI clocks at mode 0's idle level, chip selects
    // inactive (high), data lines not yet driven; the PWM output low. The
    // ADC channels have no value until they are read.
    out_ += "#0\n$dumpvars\n";
    written_tick_ = 0;
    std::vector<std::pair<int, char>> initial{{i2c_scl, '1'}, {i2c_sda, '1'}, {pwm0, '0'}};
    for (int pin = 0; pin < 8; ++pin) {
        initial.emplace_back(pcf8574_p0 + pin, '1');
    }
    for (const SpiBus& bus : spi_buses) {
        initial.insert(initial.end(), {{bus.sclk, '0'}, {bus.sclk + 1, 'x'}, {bus.sclk + 2, 'x'}, {bus.sclk + 3, '1'}});
    }
    for (const auto& [signal, level] : initial) {
        levels_[static_cast<std::size_t>(signal)] = level;
        out_ += level + id(signal) + "\n";
    }
    out_ += "$end\n";
    return flush();
}

int VcdWriter::flush()
{
    if (error_ == 0 && !out_.empty()) {
        error_ = sink_(out_);
    }
    out_.clear();
    return error_;
}

void VcdWriter::stamp(std::int64_t t)
{
    const std::int64_t tick = t / tick_ns_;
    if (tick > written_tick_) {
        out_ += "#" + std::to_string(tick) + "\n";
        written_tick_ = tick;
    }
}

void VcdWriter::put(std::int64_t t, int signal, char level)
{
    pwm_until(t);
    change(t, signal, level);
}

void VcdWriter::change(std::int64_t t, int signal, char level)
{
    char& current = levels_[static_cast<std::size_t>(signal)];
    if (current == level) {
        return;
    }
    current = level;
    // Never back in time: a change due before the last timestamp written
    // is drawn with it (stamp writes none then).
    stamp(t);
    out_ += level;
    out_ += static_cast<char>('!' + signal);
    out_ += '\n';
    // A long transfer, or PWM periods over a long pause, go out as they are
    // drawn, so that memory stays bounded.
    if (out_.size() >= 65536) {
        flush();
    }
}

void VcdWriter::put_real(std::int64_t t, int signal, double value)
{
    pwm_until(t);
    stamp(t);
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out_ += "r" + std::string(text, end) + " " + id(signal) + "\n";
}

int VcdWriter::draw(const Event& event)
{
    if (begin() != 0) {
        return error_;
    }
    if (const auto* w = std::get_if<I2cWrite>(&event); w != nullptr && w->dev == "i2c-0") {
        i2c_message(to_ns(w->t), w->addr, false, w->ten_bit, w->bytes, w->error != 0, w->stop);
    } else if (const auto* r = std::get_if<I2cRead>(&event); r != nullptr && r->dev == "i2c-0") {
        i2c_message(to_ns(r->t), r->addr, true, r->ten_bit, r->bytes, r->error != 0, r->stop);
    } else if (const auto* s = std::get_if<SpiTransfer>(&event)) {
        spi_transfer(*s);
    } else if (const auto* c = std::get_if<IoctlCall>(&event)) {
        spi_mode(*c);
    } else if (const auto* a = std::get_if<SysfsAccess>(&event); a != nullptr && a->result >= 0) {
        if (a->dev == "pwmchip0" && a->op == SysfsAccess::Op::write) {
            pwm_store(to_ns(a->t), a->attr, a->bytes);
        } else if (a->dev == "iio:device0" && a->op == SysfsAccess::Op::read) {
            adc_read(to_ns(a->t), a->attr, a->bytes);
        }
    } else if (const auto* p = std::get_if<ProgramEvent>(&event);
               p != nullptr && (p->kind == ProgramEvent::Kind::exit || p->kind == ProgramEvent::Kind::stopped)) {
        // The end of the run: the PWM output up to it; the capture goes on a
        // little beyond, with nothing changing, because tools that read a VCD
        // take its last timestamp as the end of their samples and would miss
        // what changed at the very end (the chip select of a transfer that
        // the program's last act was).
        const std::int64_t end = to_ns(p->t) + capture_tail_ns;
        pwm_until(end);
        stamp(end);
    }
    return flush();
}

// --- I2C -------------------------------------------------------------------------------

// One bit cell of 10 µs: SCL falls as it begins, the transmitter sets SDA a
// quarter later, SCL rises at half time and stays high to the end, while
// the receiver samples SDA.
void VcdWriter::i2c_bit(std::int64_t slot, bool level)
{
    constexpr std::int64_t quarter = I2cBus::bit_ns / 4;
    put(slot, i2c_scl, '0');
    put(slot + quarter, i2c_sda, level ? '1' : '0');
    put(slot + 2 * quarter, i2c_scl, '1');
}

// One message, which ended (its last acknowledge) at `end`. It began with a
// START on an idle bus (SDA falls while SCL is high) or, inside a combined
// transaction, a repeated START (SDA released high during a clock low, SCL
// high, then SDA falls); then the address byte and R/W, acknowledged by
// the device (SDA held low) or not (left high: the bus driver gives up, and
// nothing more of the message goes out); then the data bytes, MSB first,
// each acknowledged by the receiver (a master reading acknowledges every
// byte but the last); then a STOP (SDA rises while SCL is high), unless the
// next message follows.
void VcdWriter::i2c_message(std::int64_t end, int addr, bool read, bool ten_bit, const Bytes& bytes, bool nack,
                            bool stop)
{
    constexpr std::int64_t bit = I2cBus::bit_ns;
    constexpr std::int64_t quarter = bit / 4;
    const std::size_t sent = nack ? 0 : bytes.size();
    const std::int64_t start = end - static_cast<std::int64_t>(10 + 9 * sent) * bit;
    if (!i2c_busy_) {
        put(start + 2 * quarter, i2c_sda, '0');
    } else {
        put(start, i2c_scl, '0');
        put(start + quarter, i2c_sda, '1');
        put(start + 2 * quarter, i2c_scl, '1');
        put(start + 3 * quarter, i2c_sda, '0');
    }
    i2c_busy_ = true;

    // A 10-bit address begins with 11110, its two high bits and R/W; no
    // device here answers one, so the second address byte never follows.
    const unsigned address_byte = ten_bit ? 0xF0u | ((static_cast<unsigned>(addr) >> 7) & 0x06u) | (read ? 1u : 0u)
                                          : (static_cast<unsigned>(addr) << 1 | (read ? 1u : 0u)) & 0xFFu;
    std::int64_t slot = start + bit;
    for (int k = 7; k >= 0; --k, slot += bit) {
        i2c_bit(slot, ((address_byte >> k) & 1) != 0);
    }
    i2c_bit(slot, nack);
    slot += bit;
    const bool to_expander = !read && !ten_bit && addr == lcd_backpack_address;
    for (std::size_t i = 0; i < sent; ++i) {
        for (int k = 7; k >= 0; --k, slot += bit) {
            i2c_bit(slot, ((bytes[i] >> k) & 1) != 0);
        }
        i2c_bit(slot, read && i + 1 == sent);
        slot += bit;
        // The PCF8574 puts each byte written to it on its outputs as the
        // byte's acknowledge ends.
        if (to_expander) {
            for (int pin = 0; pin < 8; ++pin) {
                put(slot, pcf8574_p0 + pin, ((bytes[i] >> pin) & 1) != 0 ? '1' : '0');
            }
        }
    }
    if (stop) {
        put(slot, i2c_scl, '0');
        put(slot + quarter, i2c_sda, '0');
        put(slot + 2 * quarter, i2c_scl, '1');
        put(slot + 3 * quarter, i2c_sda, '1');
        i2c_busy_ = false;
    }
}

// --- SPI -------------------------------------------------------------------------------

// A new mode takes effect at once (spi_setup): the clock goes to its idle
// level (CPOL), and an unselected chip select to its inactive one.
void VcdWriter::spi_mode(const IoctlCall& call)
{
    const auto bus = std::find_if(spi_buses.begin(), spi_buses.end(), [&](const SpiBus& b) { return call.dev == b.dev; });
    if (bus == spi_buses.end() || call.result != 0 || !call.value ||
        (call.request != "SPI_IOC_WR_MODE" && call.request != "SPI_IOC_WR_MODE32")) {
        return;
    }
    const std::int64_t t = to_ns(call.t);
    put(t, bus->sclk, (*call.value & SPI_CPOL) != 0 ? '1' : '0');
    if (!spi_selected_[static_cast<std::size_t>(bus - spi_buses.begin())]) {
        put(t, bus->sclk + 3, (*call.value & SPI_CS_HIGH) != 0 ? '0' : '1');
    }
}

// One transfer, which ended (its last clock) at the event's time. The chip
// select becomes active as it begins (low, or high with SPI_CS_HIGH; not
// at all with SPI_NO_CS); each bit cell is one clock period, its leading
// edge (SCLK leaving its CPOL idle level) a quarter period in and its
// trailing edge three quarters in, so that the select comes a quarter
// period before the first edge and goes a quarter after the last. With CPHA
// 0 both sides put each bit out before its leading edge, where it is
// sampled (the first with the select, the others at the trailing edge
// before); with CPHA 1 they put it out at the leading edge and it is
// sampled at the trailing one. After the transfer and its delay the select
// goes inactive at the end of the message, and between two transfers where
// cs_change asks for it; cs_change on the last keeps the device selected.
void VcdWriter::spi_transfer(const SpiTransfer& x)
{
    const auto bus = std::find_if(spi_buses.begin(), spi_buses.end(), [&](const SpiBus& b) { return x.dev == b.dev; });
    if (bus == spi_buses.end() || x.result < 0 || x.speed_hz == 0) {
        return; // refused: nothing went on the wire
    }
    const int sclk = bus->sclk;
    const int mosi = sclk + 1;
    const int miso = sclk + 2;
    const int cs = sclk + 3;
    const char idle = (x.mode & SPI_CPOL) != 0 ? '1' : '0';
    const char active = idle == '1' ? '0' : '1';
    const bool cpha = (x.mode & SPI_CPHA) != 0;
    const bool lsb_first = (x.mode & SPI_LSB_FIRST) != 0;
    const bool uses_cs = (x.mode & SPI_NO_CS) == 0;
    const char selected = (x.mode & SPI_CS_HIGH) != 0 ? '1' : '0';
    const char deselected = selected == '1' ? '0' : '1';
    // One data line both ways in three-wire mode: the peer's answer on a read.
    const bool three_wire = (x.mode & SPI_3WIRE) != 0;
    const unsigned word_bits = x.word_bits == 16 || x.word_bits == 32 ? x.word_bits : 8;

    const std::int64_t end = to_ns(x.t);
    const std::int64_t clocks = std::int64_t{8} * x.length;
    const int128 quarters_per_second = int128{4} * x.speed_hz;
    const auto wire_ns = static_cast<std::int64_t>((int128{clocks} * 1000000000 + x.speed_hz - 1) / x.speed_hz);
    const std::int64_t start = end - wire_ns;
    const auto at = [&](std::int64_t quarter) {
        return start + static_cast<std::int64_t>(int128{quarter} * 1000000000 / quarters_per_second);
    };
    put(start, sclk, idle);
    bool& is_selected = spi_selected_[static_cast<std::size_t>(bus - spi_buses.begin())];
    if (uses_cs) {
        put(start, cs, selected);
        is_selected = true;
    }
    const Bytes& out = three_wire && !x.rx.empty() ? x.rx : x.tx;
    for (std::int64_t k = 0; k < clocks; ++k) {
        const std::int64_t shift = cpha ? at(4 * k + 1) : k == 0 ? start : at(4 * k - 1);
        put(shift, mosi, spi_bit(out, k, word_bits, lsb_first) ? '1' : '0');
        if (!three_wire) {
            // Without a receive buffer the record keeps nothing of MISO.
            put(shift, miso, x.rx.empty() ? 'x' : spi_bit(x.rx, k, word_bits, lsb_first) ? '1' : '0');
        }
        put(at(4 * k + 1), sclk, active);
        put(at(4 * k + 3), sclk, idle);
    }
    if (uses_cs && x.ends_message != x.cs_change) {
        put(end + std::int64_t{x.delay_usecs} * 1000, cs, deselected);
        is_selected = false;
    }
}

// --- PWM -------------------------------------------------------------------------------

// What a successful write to the channel's files asks of the output (the
// chip has accepted it, so it parses as the chip parsed it). Exporting the
// channel starts it afresh: disabled, period and duty cycle 0.
void VcdWriter::pwm_store(std::int64_t t, const std::string& attr, const std::string& bytes)
{
    pwm_until(t);
    if (attr == "export") {
        requested_ = Pwm{};
    } else if (attr == "pwm0/period" || attr == "pwm0/duty_cycle") {
        unsigned long long value = 0;
        if (parse_unsigned(bytes, 0, ULLONG_MAX, value) == 0) {
            (attr == "pwm0/period" ? requested_.period : requested_.duty) = value;
        }
    } else if (attr == "pwm0/enable") {
        long long value = 0;
        if (parse_signed(bytes, 0, INT_MAX, value) == 0) {
            requested_.enabled = value == 1;
        }
    } else if (attr == "pwm0/polarity") {
        requested_.inversed = bytes.rfind("inversed", 0) == 0;
    } else {
        return;
    }
    if (!running_.enabled) {
        // A stopped output starts its first period as it is enabled; until
        // then it holds its inactive level, which follows the polarity.
        pwm_period(t);
    }
}

// The hardware takes new settings at the end of the period under way (the
// kernel asks PWM drivers to finish the running period): each period runs
// with what the files held when it began, a disable included.
void VcdWriter::pwm_until(std::int64_t t)
{
    while (running_.enabled && next_pwm_ns_ < t) {
        if (pwm_falls_next_) {
            change(next_pwm_ns_, pwm0, running_.inversed ? '1' : '0');
            pwm_falls_next_ = false;
            next_pwm_ns_ = period_start_ns_ + static_cast<std::int64_t>(running_.period);
        } else {
            pwm_period(next_pwm_ns_);
        }
    }
}

// A period begins at `start` with the settings the files hold: active
// (high, or low when inversed) for the duty cycle, inactive for the rest;
// a disabled output stays at its inactive level.
void VcdWriter::pwm_period(std::int64_t start)
{
    running_ = requested_;
    running_.enabled = running_.enabled && running_.period > 0;
    const char active = running_.inversed ? '0' : '1';
    const char inactive = running_.inversed ? '1' : '0';
    if (!running_.enabled) {
        change(start, pwm0, inactive);
        return;
    }
    period_start_ns_ = start;
    change(start, pwm0, running_.duty > 0 ? active : inactive);
    pwm_falls_next_ = running_.duty > 0 && running_.duty < running_.period;
    next_pwm_ns_ = start + static_cast<std::int64_t>(pwm_falls_next_ ? running_.duty : running_.period);
}

// --- ADC -------------------------------------------------------------------------------

// A read of in_voltageN_raw is one conversion: the channel takes the count
// the read returned (the number its text begins with), at the read.
void VcdWriter::adc_read(std::int64_t t, const std::string& attr, const std::string& bytes)
{
    constexpr std::string_view prefix = "in_voltage";
    constexpr std::string_view suffix = "_raw";
    if (attr.size() != prefix.size() + 1 + suffix.size() || attr.rfind(prefix, 0) != 0 ||
        attr.compare(prefix.size() + 1, suffix.size(), suffix) != 0 || attr[prefix.size()] < '0' ||
        attr[prefix.size()] > '7') {
        return;
    }
    const int channel = attr[prefix.size()] - '0';
    std::string_view text = bytes;
    text.remove_prefix(std::min(text.find_first_not_of(" \t\n"), text.size()));
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    long long count = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (ec == std::errc()) {
        put_real(t, adc0 + channel, static_cast<double>(count));
    }
}

std::string to_vcd(const std::vector<Event>& events)
{
    std::string text;
    VcdWriter writer([&text](std::string_view bytes) {
        text += bytes;
        return 0;
    });
    writer.begin(); // a record without events is a capture without changes
    for (const Event& event : events) {
        writer.draw(event);
    }
    return text;
}

} // namespace vboard
