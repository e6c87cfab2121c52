#pragma once

// The virtual board: the unmodified program binaries, linked against the
// real libmraa, run against simulated devices.
//
//   /dev/i2c-0         I2C bus 0, a PCF8574 + HD44780 character LCD at 0x27
//   /dev/spidev3.0     SPI bus 3, chip select 0   } with a peer: loopback,
//   /dev/spidev0.0     SPI bus 0, chip select 0   } a scripted reply, or silence
//   /sys/bus/iio/devices/iio:device0   an 8-channel IIO ADC, its buffer at /dev/iio:device0
//   /sys/class/pwm/pwmchip0            a one-channel PWM controller
//
// Each run has namespaces of its own (namespace/): a mount namespace whose
// /dev and /sys are the board's, served by a FUSE filesystem with the
// kernel's rules (fs/), and a PID namespace whose processes all end with
// the run. A preload library (preload/) gives the program's dynamically
// linked processes virtual time: their clocks and their pauses. libmraa
// finds the board's pins and buses in the JSON description in boards/.

#include "devices/adc_input.hpp"
#include "devices/hd44780.hpp"
#include "devices/spidev.hpp"
#include "events.hpp"
#include "faults.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <array>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vboard {

// The board could not be built on this machine (no FUSE, say); what() says
// why and what to do.
class BoardError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct BoardConfig {
    LcdGeometry lcd = lcd_16x2;
    // The display controller's state when the board starts.
    Hd44780::Start lcd_start = Hd44780::Start::power_on;
    SpiPeer spi; // on every SPI port
    // An ADC channel given in `adc` or `adc_inputs` no longer has the
    // bench's input (default_adc_inputs(), devices/adc_input.hpp).
    // The texts each ADC channel's raw file shows, one per read, the last for good.
    std::map<int, std::vector<std::string>> adc;
    // What is wired to ADC channels as on a bench: volts, a thermistor
    // module, a signal generator (devices/adc_input.hpp); over `adc`.
    std::map<int, AdcInput> adc_inputs;
    FaultPlan faults;
};

struct RunOptions {
    std::vector<std::string> argv; // argv[0]: the program's path
    std::string input;             // standard input, followed by end of file
    bool inherit_input = false;    // instead: the caller's own standard input (a terminal, a pipe)
    // Where the program's standard output goes: the run's pipe (passed to
    // the observer, kept in RunResult::out) or, to see how a program takes
    // output that cannot be written, /dev/full, a closed descriptor, or a
    // pipe whose reader has gone (the program starting with SIGPIPE
    // ignored, so that its writes fail with EPIPE).
    enum class Output { pipe, full, closed, broken_pipe };
    Output output = Output::pipe;
    // Virtual seconds per real second: a program's pauses take this much
    // less real time. Unlimited by default: they take none, and a run takes
    // only what the program and the board compute (the vboard command runs
    // at 100, so that a person can watch).
    double speed = std::numeric_limits<double>::infinity();

    // Stopping the program: counted as a normal end (status 0).
    std::optional<double> stop_at;       // when its virtual time reaches this
    std::optional<int> stop_after_lines; // after this many lines of standard output

    // Delivering SIGINT, once: at a virtual time, after a number of output
    // lines, or as soon as a condition on the record holds (tested at each
    // call the program makes to the board).
    std::optional<double> sigint_at;
    std::optional<int> sigint_after_lines;
    std::function<bool(const std::vector<Event>&)> sigint_when;

    // Real time after which the program is killed, whatever it is doing.
    std::chrono::milliseconds timeout{30000};

    // Signals the caller received and passes on to the program (SIGINT,
    // SIGTERM, SIGHUP), one byte each, readable from this descriptor (-1:
    // none). The program may handle them; one that has not ended `grace`
    // after a signal is told so on standard error and killed.
    int signals = -1;
    std::chrono::milliseconds grace{5000};

    // Descriptors to watch for the observer while the program runs (a
    // control FIFO, a terminal's keys): Observer::on_readable is called on
    // the run's thread when one is readable.
    std::vector<int> watch;
    // The caller keeps the terminal (to read keys there): the program does
    // not get it at the start. Should the program stop to read or write it
    // (SIGTTIN, SIGTTOU), Observer::on_terminal_wanted is called, then the
    // program gets the terminal and goes on.
    bool keep_terminal = false;

    // Standard input stays open after `input` for more that the observer
    // gives (RunControl::write_input), until the program ends.
    bool more_input = false;

    // Keep the whole record and output in the result (for tests). Without,
    // the run passes them to the observer and keeps nothing, so that its
    // memory stays the same however long the program runs.
    bool keep_record = true;
};

struct RunResult {
    std::string out; // standard output, byte for byte
    std::string err; // standard error, byte for byte
    int exit_code = -1; // the status it exited with, or -1
    int signal = 0;     // the signal that ended it, or 0
    bool stopped = false;   // ended by stop_at or stop_after_lines
    bool timed_out = false; // killed after RunOptions::timeout
    bool observer_failed = false; // stopped because the observer could not pass something on
    bool board_failed = false;    // the board could not be put in place for the run (err says why)
    std::vector<Event> events;

    // As a shell reports it, with a program the board stopped counted as 0,
    // and 125 when the board could not be put in place or the observer
    // failed (vboard could not write its output).
    int status() const;
};

// What an observer may do to the program while it runs, from its callbacks.
class RunControl {
public:
    virtual ~RunControl() = default;
    // The virtual time of what is being passed on (the program's output is
    // taken at its next call of the board or pause), else the run's.
    virtual std::int64_t now_ns() const = 0;
    // Sends `signal` to the program (recorded as a signal event). From
    // Observer::on_time, a pause of the program's in progress is cut short
    // by it at that time, as the kernel's signal would.
    virtual void send_signal(int signal) = 0;
    // More for the program's standard input (RunOptions::more_input).
    virtual void write_input(std::string_view bytes) = 0;
    // Stops the program, counted as a normal end (RunResult::stopped).
    virtual void stop() = 0;
};

// Receives the run as it happens, on the thread that called Board::run, and
// says whether it could pass each piece on.
class Observer {
public:
    enum class Passed {
        ok,
        closed, // the reader has gone (a closed pipe): the program's own stream is closed in turn
        failed, // a write failed otherwise (a full disk): the run stops the program
    };
    virtual ~Observer() = default;
    virtual Passed on_stdout(std::string_view) { return Passed::ok; }
    virtual Passed on_stderr(std::string_view) { return Passed::ok; }
    virtual Passed on_event(const Event&) { return Passed::ok; }
    // See RunOptions::watch and RunOptions::keep_terminal. on_readable
    // returns false to have the descriptor no longer watched.
    virtual bool on_readable(int) { return false; }
    virtual void on_terminal_wanted() {}
    // After each of the run's waits, at least every 20 ms of real time,
    // whether or not anything happened: for what shows time passing.
    virtual void on_idle() {}
    // Once the program has started: what the observer may do to it.
    virtual void on_start(RunControl&) {}
    // The virtual time (ns) at which the observer wants on_time, if any.
    // Asked again after every callback.
    virtual std::optional<std::int64_t> wanted_time() const { return std::nullopt; }
    // Virtual time has reached `at_ns`, the time wanted: everything the
    // program did up to it has been passed on (what it does at the very
    // time a pause of its ends comes first), and a pause of the program's
    // that spans it waits until this returns. A program that calls the
    // board without pausing (bus time) gets it within a delivery interval
    // of the run's loop, still with the time wanted.
    virtual void on_time(std::int64_t) {}
};

class Board {
public:
    // Throws BoardError when the board cannot be built here.
    explicit Board(BoardConfig config = {});
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Runs one program on the board. The devices keep their state from one
    // run to the next, as a real board would; the record starts afresh.
    RunResult run(const RunOptions& options, Observer* observer = nullptr);

    // A knob turned while a program runs (from an Observer's callback) or
    // before: what channel `channel` of the ADC converts from now on,
    // recorded as an input event. `source` says who turned it ("keys",
    // "control").
    void set_adc_input(int channel, AdcInput input, const std::string& source);
    // The same, a knob turned by `counts` from what the channel gives now.
    void turn_adc_input(int channel, int counts, const std::string& source);
    // The count each ADC channel gives now (nullopt: a test's text that is no count).
    std::array<std::optional<int>, 8> adc_counts() const;

    // The device tree as the program sees it: the board's own path for
    // /sys/... and /dev/..., with /sys/class and /sys/bus links resolved.
    std::string canonical(const std::string& path) const;

    struct Impl; // the devices and the board's filesystem, in board_impl.hpp

private:
    std::unique_ptr<Impl> impl_;
};

// What in `config` can never happen on this board (a fault on a node, a
// path or an I2C address it does not have), or "".
std::string problem_with(const BoardConfig& config);

} // namespace vboard
