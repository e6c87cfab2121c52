#pragma once

// What the devices of the virtual board saw, in the order the program did it.
// Every event carries `t`, the program's virtual time in seconds since it
// started (see Recorder).

#include <array>
#include <cstddef>
#include <deque>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vboard {

using Bytes = std::vector<std::uint8_t>;

// One write message on the I2C bus: the address byte and the data bytes
// that followed it. `t` is when its last bit (the last acknowledge) was on
// the wire. `error` is 0 when the device acknowledged it, or the errno the
// bus driver reported (ENXIO: no device acknowledged the address byte, and
// none of the data went out). `stop`: the transaction ended after it with a
// STOP (it was the last message, or was not acknowledged); else a repeated
// START began the next message. `ten_bit`: sent with a 10-bit address.
struct I2cWrite {
    double t;
    std::string dev; // "i2c-0"
    int addr;
    Bytes bytes;
    int error;
    bool stop = true;
    bool ten_bit = false;
};

// One read message on the I2C bus: the bytes the device sent, `t` when the
// last of them was on the wire; the rest as for a write.
struct I2cRead {
    double t;
    std::string dev;
    int addr;
    Bytes bytes;
    int error;
    bool stop = true;
    bool ten_bit = false;
};

// An instruction or a character that the display controller latched, at
// the falling edge of EN that completed it.
struct LcdOperation {
    enum class Kind { instruction, character };
    double t;
    Kind kind;
    std::uint8_t value;
    bool eight_bit; // latched in a single transfer of the 8-bit interface
};

// A nibble (4-bit interface) or a whole byte (8-bit interface) that the
// display controller latched while it was still busy with the previous
// instruction, or before its power-on reset was over: the chip ignores it.
struct LcdViolation {
    double t;
    std::string lost;     // what was lost, e.g. "high nibble 0x3 of an instruction"
    std::int64_t early_ns; // how long before the controller was ready it came
};

// What the display shows, each time it has changed and the program then
// paused, stopped talking to the display, or ended.
struct LcdScreen {
    double t;
    std::vector<std::string> rows;
    bool display_on;
    bool backlight;
};

// A configuration request on a device node: an ioctl other than a transfer.
struct IoctlCall {
    double t;
    std::string dev;     // "spidev3.0", "i2c-0"
    std::string request; // the kernel's name, e.g. "SPI_IOC_RD_MODE32"
    unsigned long number;
    std::optional<std::uint32_t> value; // the value read or written, where the request has one
    long result;
    int error; // errno when result is -1
};

// One SPI transfer as the spidev driver received it (full duplex from
// SPI_IOC_MESSAGE; transmit or receive only from write() and read()). `t` is
// when its last bit was clocked, or when it was refused.
struct SpiTransfer {
    double t;
    std::string dev;
    Bytes tx;
    Bytes rx;             // what the peer clocked back (empty for a failed transfer)
    std::uint32_t length;   // the record's len, or the count of the read() or write()
    std::uint32_t speed_hz; // the clock it ran at: the record's, or the node's when that is 0
    std::uint8_t bits_per_word; // the record's (0: the node's word size)
    std::uint32_t mode; // the device's mode word in force
    long result;
    int error;
    std::uint8_t word_bits = 8;    // the word size it ran with: the record's, or the node's
    std::uint32_t delay_usecs = 0; // the record's pause after it, chip select still asserted
    bool cs_change = false;        // the record's cs_change
    bool ends_message = true;      // the last transfer of its message (a read() or write() is one)
};

// A read or a write of a sysfs attribute.
struct SysfsAccess {
    enum class Op { read, write };
    double t;
    std::string dev;  // "iio:device0", "pwmchip0"
    std::string attr; // path below the device directory, e.g. "pwm0/duty_cycle"
    Op op;
    std::string bytes; // exactly what was written, or what the read returned
    long result;
    int error;
};

// A read() of an IIO device's buffer (/dev/iio:deviceN): the scans it returned.
struct BufferRead {
    double t;
    std::string dev; // "iio:device0"
    Bytes bytes;
    long result;
    int error;
};

// The program opening or closing one of the board's device nodes or sysfs
// attributes; a failed open carries its errno.
struct FileEvent {
    enum class Op { open, close };
    double t;
    std::string dev;  // node name or device directory
    std::string path; // as the program gave it
    Op op;
    int error; // errno of a failed open, else 0
};

// A message the program (through libmraa) sent to syslog.
struct LogLine {
    double t;
    int priority;
    std::string text;
};

// Something the program did to its own process: a pause, a signal handler
// installed, a signal delivered to it, its end.
struct ProgramEvent {
    enum class Kind { sleep, handler, signal, stopped, exit };
    double t;
    Kind kind;
    double seconds = 0; // sleep: the pause asked for
    int signal = 0;     // handler, signal: the signal; exit: the signal that ended it, or 0
    int status = 0;     // exit: the exit status
    int processes_ended = 0; // exit: the other processes of the run still running, ended with it
};

// What is wired to an ADC input changed while a program ran (a knob
// turned at the keyboard, a line on the control FIFO).
struct InputChange {
    double t;
    std::string dev; // "iio:device0"
    int channel;
    std::string value;  // as given: "1.2V", "40C", "ramp:0..4095:10"
    std::string source; // "keys", "control"
    std::array<std::optional<int>, 8> counts; // every channel's count from then on
};

using Event = std::variant<I2cWrite, I2cRead, LcdOperation, LcdViolation, LcdScreen, IoctlCall, SpiTransfer,
                           SysfsAccess, BufferRead, FileEvent, LogLine, ProgramEvent, InputChange>;

double time_of(const Event& event);

// Virtual time is kept in whole nanoseconds, so that it never drifts; an
// event's `t` is that count in seconds.
std::int64_t to_ns(double seconds);
double to_seconds(std::int64_t ns);

// The record of one run, and the program's virtual time.
//
// Virtual time advances while the program sleeps (by the time it asked to
// sleep, or up to the moment a signal cut the sleep short), and by the time
// each transfer takes on its bus (the device models advance it); everything
// else a program does between two pauses takes no time, and a run's record
// is the same on every run and every machine. The program's clocks
// read it too (wire::ClockPage).
//
// Device models record from the board's own thread (the nodes' calls) and
// the sysfs filesystem's; the callback set with on_record runs after each event (a
// live view draws it).
class Recorder {
public:
    void record(Event event);
    // Forgets every event and sets the clock back to 0.
    void clear();
    double now() const { return to_seconds(now_ns()); }
    std::int64_t now_ns() const;
    void advance_to(std::int64_t ns);
    // Keeps `*shared` equal to the virtual time from now on (null: no longer).
    void share_clock(std::int64_t* shared);

    // Whether every event stays (the default) or only those not yet taken:
    // a long run's record then streams through in bounded memory.
    void keep_all(bool keep);

    // A copy of every event kept.
    std::vector<Event> events() const;
    // How many events have been recorded.
    std::size_t count() const;
    // Events recorded since `from` (and before `until`), counted from the
    // first event recorded; `from` is moved past them.
    std::vector<Event> take_from(std::size_t& from, std::size_t until = SIZE_MAX);

    void on_record(std::function<void()> wake) { wake_ = std::move(wake); }

private:
    mutable std::mutex lock_;
    std::deque<Event> events_;
    std::size_t dropped_ = 0; // events taken and not kept, before events_
    bool keep_all_ = true;
    std::int64_t now_ns_ = 0;
    std::int64_t* shared_now_ = nullptr;
    std::function<void()> wake_;
};

// All events of one type, in order.
template <typename T>
std::vector<T> all_of(const std::vector<Event>& events)
{
    std::vector<T> found;
    for (const auto& e : events) {
        if (const T* x = std::get_if<T>(&e)) {
            found.push_back(*x);
        }
    }
    return found;
}

} // namespace vboard
