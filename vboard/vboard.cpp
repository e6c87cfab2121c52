// vboard: runs one of the board programs (or any program) on the virtual
// board, passes its standard output and error through unchanged, shows what
// the devices saw, and exits with the program's status.

#include "board.hpp"
#include "knobs.hpp"
#include "live_view.hpp"
#include "program_file.hpp"
#include "trace.hpp"
#include "vcd.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* usage =
    "usage: vboard run [OPTION]... [--] PROGRAM [ARG]...\n"
    "\n"
    "Runs PROGRAM (a path, one of the project's programs, or a program in PATH) on\n"
    "the virtual board. It reads vboard's standard input; its standard output and\n"
    "error pass through unchanged and its exit status is vboard's; a program that\n"
    "vboard stops counts as status 0. Status 125: vboard failed (the board could not\n"
    "be set up, or vboard could not write its output, trace, capture or view). SIGINT,\n"
    "SIGTERM and SIGHUP are passed on to the program (see --grace).\n"
    "\n"
    "  --adc CH=VALUE[,VALUE...]  what ADC channel CH reads, one value per read, the last for good:\n"
    "                             counts (2048) or volts (1.65V)\n"
    "  --adc CH=WAVEFORM          a signal generator on channel CH, read at each read's virtual time:\n"
    "                             ramp:FROM..TO:SECONDS, sine:MID+-AMPLITUDE:PERIOD,\n"
    "                             square:LOW/HIGH:PERIOD, noise:MID+-AMPLITUDE:SEED\n"
    "  --ntc CH=TEMPERATURE       the KY-013 thermistor module on channel CH at that temperature (25C)\n"
    "  --control FIFO             take lines such as \"adc 6 1.2V\" or \"ntc 0 40C\" from FIFO while\n"
    "                             the program runs (with the view on a terminal, the arrow keys turn\n"
    "                             the ADC's inputs too)\n"
    "  --spi loopback|silent|idle=00|idle=ff|reply=HEX\n"
    "                             the SPI peer (default loopback: MOSI wired to MISO); silent:\n"
    "                             nothing drives MISO, which floats high (idle=ff) or low (idle=00)\n"
    "  --lcd 16x2|20x4            the character display's size (default 16x2)\n"
    "  --lcd-state power-on|4bit|4bit-half\n"
    "                             the display controller as the program finds it: just powered on\n"
    "                             (default), left in 4-bit mode, or that halfway through a byte\n"
    "  --strict-timing            end with status 1 (if the program's was 0) when the display\n"
    "                             controller lost a transfer because it was still busy\n"
    "  --fault SPEC               absent=PATH, deny=PATH, write=PATH[:N], nack=ADDRESS:FRAME,\n"
    "                             ioctl=DEVICE:REQUEST[:ERRNO[:N]]  (may be repeated)\n"
    "  --for SECONDS              stop the program at this virtual time\n"
    "  --lines N                  stop the program after N lines of standard output\n"
    "  --sigint-after SECONDS     send SIGINT at this virtual time\n"
    "  --sigint-after-lines N     send SIGINT after N lines of standard output\n"
    "  --speed N|max              virtual seconds per real second (default 100, so that a person\n"
    "                             can watch); max: pauses take no real time at all\n"
    "  --timeout SECONDS          kill the program after this much real time (default none)\n"
    "  --grace SECONDS            how long the program may take to end after a signal vboard\n"
    "                             passed on, in real time, before it is killed (default 5)\n"
    "  --trace FILE               write every device event as a JSON line to FILE\n"
    "  --vcd FILE                 record the board's wires (I2C, SPI, PWM, the ADC reads) in\n"
    "                             virtual time as a logic analyser would, a Value Change Dump\n"
    "  --vcd-timescale 1ns|10ns|100ns|1us\n"
    "                             the capture's tick, which sigrok takes as its sample period\n"
    "                             (default 100ns: 10 MHz)\n"
    "  --view FILE                draw the devices to FILE instead of the terminal\n"
    "                             (- or /dev/stdout: into standard output, with the program's output)\n"
    "  --quiet                    do not draw the devices\n";

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "vboard: %s\n", message.c_str());
    std::exit(2);
}

template <typename T>
T number(std::string_view text, const char* option)
{
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        fail(std::string(option) + " needs a number, not \"" + std::string(text) + "\"");
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
        fail(std::string(option) + " needs " + (positive ? "more than 0" : "0 or more") +
             " seconds, at most 30 years, not \"" + std::string(text) + "\"");
    }
    return value;
}

// What the command's pauses run at unless --speed says otherwise: a loop
// that sleeps 1 s per pass shows 100 passes a second.
constexpr double default_speed = 100;

// --speed: virtual seconds per real second, or "max" for pauses that take
// no real time at all.
double speed(std::string_view text)
{
    if (text == "max") {
        return std::numeric_limits<double>::infinity();
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value <= 0 || value > 1e9) {
        fail("--speed needs virtual seconds per real second, above 0 and at most 1e9, or max, not \"" +
             std::string(text) + "\"");
    }
    return value;
}

// --vcd-timescale: the capture's tick.
vboard::VcdTimescale vcd_timescale(std::string_view text)
{
    using vboard::VcdTimescale;
    constexpr std::pair<std::string_view, VcdTimescale> ticks[] = {
        {"1ns", VcdTimescale::ns1}, {"10ns", VcdTimescale::ns10}, {"100ns", VcdTimescale::ns100},
        {"1us", VcdTimescale::us1}};
    for (const auto& [name, tick] : ticks) {
        if (text == name) {
            return tick;
        }
    }
    fail("--vcd-timescale is 1ns, 10ns, 100ns or 1us, not \"" + std::string(text) + "\"");
}

// A count of lines: 1 or more.
int count(std::string_view text, const char* option)
{
    const long long value = number<long long>(text, option);
    if (value < 1 || value > std::numeric_limits<int>::max()) {
        fail(std::string(option) + " needs a count from 1 to " + std::to_string(std::numeric_limits<int>::max()) +
             ", not \"" + std::string(text) + "\"");
    }
    return static_cast<int>(value);
}

std::vector<std::uint8_t> parse_hex(std::string_view text)
{
    if (text.size() % 2 != 0) {
        fail("reply=HEX needs an even number of hex digits");
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned byte = 0;
        const auto digits = text.substr(i, 2);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + 2, byte, 16);
        if (ec != std::errc() || end != digits.data() + 2) {
            fail("reply= needs hex digits, not \"" + std::string(digits) + "\"");
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
        fail(std::string(option) + " needs " + form);
    }
    const int channel = number<int>(spec.substr(0, equals), option);
    if (channel < 0 || channel > 7) {
        fail(std::string(option) + ": the ADC has channels 0 to 7");
    }
    return {channel, spec.substr(equals + 1)};
}

void add_adc(vboard::BoardConfig& config, std::string_view spec)
{
    const auto [channel, what] = channel_and(spec, "--adc", "CH=VALUE[,VALUE...] or CH=WAVEFORM");
    std::string problem;
    auto input = vboard::AdcInput::parse(what, problem);
    if (!input) {
        fail("--adc " + std::to_string(channel) + "=" + std::string(what) + ": " + problem);
    }
    config.adc_inputs[channel] = std::move(*input);
}

void add_thermistor(vboard::BoardConfig& config, std::string_view spec)
{
    const auto [channel, what] = channel_and(spec, "--ntc", "CH=TEMPERATURE, e.g. 0=25C");
    std::string problem;
    auto input = vboard::AdcInput::thermistor(what, problem);
    if (!input) {
        fail("--ntc " + std::to_string(channel) + ": " + problem);
    }
    config.adc_inputs[channel] = std::move(*input);
}

// --control FIFO: read without ever seeing its end (O_RDWR keeps a writer
// of our own on it), so that one script after another may write to it.
int open_control(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        fail("--control needs a FIFO (mkfifo " + path + "), not " +
             (fd < 0 ? std::string(errno == ELOOP ? "a symbolic link" : std::strerror(errno)) : "another kind of file"));
    }
    return fd;
}

// A name with a slash is a path; one of the project's programs is taken
// from the build tree; any other name is looked up in PATH, as a shell would.
std::string resolve_program(const std::string& name)
{
    if (name.find('/') != std::string::npos) {
        return name;
    }
    if (const std::string path = vboard::program_path(name); !path.empty()) {
        if (access(path.c_str(), X_OK) != 0) {
            fail(name + " has not been built (" + path + ")");
        }
        return path;
    }
    const char* search = std::getenv("PATH");
    std::string_view directories = search != nullptr ? search : "/usr/local/bin:/usr/bin:/bin";
    while (!directories.empty()) {
        const auto colon = directories.find(':');
        const std::string_view directory = directories.substr(0, colon);
        const std::string candidate = (directory.empty() ? std::string(".") : std::string(directory)) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        directories.remove_prefix(colon == std::string_view::npos ? directories.size() : colon + 1);
    }
    fail("no program " + name + " (not in PATH, and not one of i2c_lcd, spi_ioctl, adc_test, pwm_led_mraa, "
         "calculator, ky013, spi_mraa)");
}

// 0, or the errno of the write that failed.
int write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// A file vboard writes (the trace, the view). Standard output and error are
// shared with what the program writes: the view or trace then goes through
// the same open file, so that both keep one file offset when it is a regular
// file. Any other path is written as the file named and nothing else: a
// symbolic link planted there is refused (O_NOFOLLOW), never followed.
int open_output(const std::string& path, const char* option)
{
    int fd = -1;
    if (path == "/dev/stdout" || path == "-") {
        fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    } else if (path == "/dev/stderr") {
        fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    } else {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    }
    if (fd < 0) {
        fail(std::string(option) + ": cannot write " + path + ": " +
             (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno)));
    }
    return fd;
}

// What vboard itself writes: the program's output passed on, the view,
// the trace and the capture. The first write that fails is kept, to be told
// on whichever stream still works.
class Console : public vboard::Observer {
public:
    Console(int view_fd, int trace_fd, int vcd_fd, vboard::VcdTimescale vcd_tick, vboard::Knobs* knobs)
        : trace_(trace_fd), knobs_(knobs)
    {
        if (view_fd >= 0) {
            view_.emplace(view_fd);
        }
        if (vcd_fd >= 0) {
            vcd_.emplace([vcd_fd](std::string_view bytes) { return write_all(vcd_fd, bytes); }, vcd_tick);
        }
    }

    // The knobs' state, drawn as the view's status line.
    void show_inputs()
    {
        if (view_ && knobs_ != nullptr && knobs_->keys_on()) {
            view_->show_inputs(knobs_->counts(), knobs_->selected());
        }
    }

    bool on_readable(int fd) override
    {
        if (knobs_ == nullptr) {
            return false;
        }
        std::string complaint;
        bool moved = false;
        const bool keep = knobs_->take(fd, complaint, moved);
        if (!complaint.empty()) {
            write_all(STDERR_FILENO, complaint);
        }
        if (moved) {
            show_inputs();
        }
        return keep;
    }

    void on_terminal_wanted() override
    {
        if (knobs_ != nullptr && knobs_->keys_on()) {
            knobs_->give_up_keys();
            if (view_) {
                view_->say("the program reads the terminal: the arrow keys are its own now, live control is off");
            }
        }
    }
    Passed on_stdout(std::string_view bytes) override { return passed(write_all(STDOUT_FILENO, bytes), "standard output"); }
    Passed on_stderr(std::string_view bytes) override { return passed(write_all(STDERR_FILENO, bytes), "standard error"); }
    Passed on_event(const vboard::Event& event) override
    {
        if (std::holds_alternative<vboard::LcdViolation>(event)) {
            ++violations_;
        }
        if (view_) {
            if (const int error = view_->show(event); error != 0) {
                return passed(error, "the view");
            }
            if (const auto* change = std::get_if<vboard::InputChange>(&event); change != nullptr && knobs_ != nullptr &&
                                                                              knobs_->keys_on()) {
                view_->show_inputs(change->counts, knobs_->selected());
            }
        }
        if (trace_ >= 0) {
            if (const Passed p = passed(write_all(trace_, vboard::to_json(event) + "\n"), "the trace"); p != Passed::ok) {
                return p;
            }
        }
        if (vcd_) {
            return passed(vcd_->draw(event), "the capture");
        }
        return Passed::ok;
    }

    // How many transfers the display lost while busy.
    std::size_t violations() const { return violations_; }

    // Says what failed, on standard error unless that is what failed.
    void report() const
    {
        if (failure_.empty()) {
            return;
        }
        const std::string message = "vboard: cannot write " + failure_ + "; the program was stopped\n";
        if (write_all(failed_stream_ == STDERR_FILENO ? STDOUT_FILENO : STDERR_FILENO, message) != 0) {
            write_all(STDOUT_FILENO, message);
        }
    }

private:
    Passed passed(int error, const char* what)
    {
        if (error == 0) {
            return Passed::ok;
        }
        if (error == EPIPE && (std::strcmp(what, "standard output") == 0 || std::strcmp(what, "standard error") == 0)) {
            return Passed::closed;
        }
        if (failure_.empty()) {
            failure_ = std::string(what) + ": " + std::strerror(error);
            failed_stream_ = std::strcmp(what, "standard error") == 0 ? STDERR_FILENO : STDOUT_FILENO;
        }
        return Passed::failed;
    }

    std::optional<vboard::LiveView> view_;
    int trace_;
    std::optional<vboard::VcdWriter> vcd_;
    std::string failure_;
    int failed_stream_ = -1;
    std::size_t violations_ = 0;
    vboard::Knobs* knobs_;
};

// SIGINT, SIGTERM and SIGHUP are for the program: written to this pipe and
// passed on by the run, which then waits for the program to end.
int signal_pipe[2] = {-1, -1};

void pass_on(int signal)
{
    const auto byte = static_cast<unsigned char>(signal);
    const int saved = errno;
    [[maybe_unused]] const ssize_t ignored = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

void catch_signals_for_the_program()
{
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = pass_on;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

// Descriptors 0 to 2 held, on /dev/null where closed: whatever vboard opens
// next must never take the place of a standard stream.
void hold_standard_streams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) {
            std::_Exit(125);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    hold_standard_streams();
    if (argc < 2 || std::strcmp(argv[1], "run") != 0) {
        std::fputs(usage, argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? stdout : stderr);
        return argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    vboard::BoardConfig config;
    vboard::RunOptions options;
    // The library runs as fast as it can (its callers are tests); the
    // command runs at a pace a person can watch, unless told otherwise.
    options.speed = default_speed;
    options.timeout = std::chrono::hours(24 * 365 * 30);
    options.keep_record = false;
    std::string trace_path;
    std::string vcd_path;
    auto vcd_tick = vboard::VcdTimescale::default_tick;
    std::string view_path;
    bool quiet = false;
    bool strict_timing = false;
    std::string control_path;

    int i = 2;
    auto value = [&](const char* option) -> std::string_view {
        if (i + 1 >= argc) {
            fail(std::string(option) + " needs a value");
        }
        return argv[++i];
    };
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.empty() || arg[0] != '-') {
            break;
        }
        if (arg == "--adc") {
            add_adc(config, value("--adc"));
        } else if (arg == "--ntc") {
            add_thermistor(config, value("--ntc"));
        } else if (arg == "--control") {
            control_path = value("--control");
        } else if (arg == "--spi") {
            const std::string_view peer = value("--spi");
            if (peer == "loopback") {
                config.spi.kind = vboard::SpiPeer::Kind::loopback;
            } else if (peer == "silent") {
                config.spi.kind = vboard::SpiPeer::Kind::silent;
            } else if (peer == "idle=00" || peer == "idle=ff") {
                config.spi.kind = vboard::SpiPeer::Kind::silent;
                config.spi.idle = peer == "idle=00" ? 0x00 : 0xFF;
            } else if (peer.rfind("reply=", 0) == 0) {
                config.spi.kind = vboard::SpiPeer::Kind::reply;
                config.spi.reply = parse_hex(peer.substr(6));
            } else {
                fail("--spi is loopback, silent, idle=00, idle=ff or reply=HEX");
            }
        } else if (arg == "--lcd") {
            const std::string_view size = value("--lcd");
            if (size != "16x2" && size != "20x4") {
                fail("--lcd is 16x2 or 20x4");
            }
            config.lcd = size == "16x2" ? vboard::lcd_16x2 : vboard::lcd_20x4;
        } else if (arg == "--lcd-state") {
            const std::string_view state = value("--lcd-state");
            if (state == "power-on") {
                config.lcd_start = vboard::Hd44780::Start::power_on;
            } else if (state == "4bit") {
                config.lcd_start = vboard::Hd44780::Start::four_bit;
            } else if (state == "4bit-half") {
                config.lcd_start = vboard::Hd44780::Start::four_bit_half;
            } else {
                fail("--lcd-state is power-on, 4bit or 4bit-half");
            }
        } else if (arg == "--strict-timing") {
            strict_timing = true;
        } else if (arg == "--fault") {
            const std::string problem = config.faults.add(value("--fault"));
            if (!problem.empty()) {
                fail("--fault: " + problem);
            }
        } else if (arg == "--for") {
            options.stop_at = seconds(value("--for"), "--for");
        } else if (arg == "--lines") {
            options.stop_after_lines = count(value("--lines"), "--lines");
        } else if (arg == "--sigint-after") {
            options.sigint_at = seconds(value("--sigint-after"), "--sigint-after");
        } else if (arg == "--sigint-after-lines") {
            options.sigint_after_lines = count(value("--sigint-after-lines"), "--sigint-after-lines");
        } else if (arg == "--speed") {
            options.speed = speed(value("--speed"));
        } else if (arg == "--timeout") {
            options.timeout = std::chrono::milliseconds(
                static_cast<long long>(std::ceil(seconds(value("--timeout"), "--timeout", true) * 1000)));
        } else if (arg == "--grace") {
            options.grace = std::chrono::milliseconds(
                static_cast<long long>(std::ceil(seconds(value("--grace"), "--grace") * 1000)));
        } else if (arg == "--trace") {
            trace_path = value("--trace");
        } else if (arg == "--vcd") {
            vcd_path = value("--vcd");
        } else if (arg == "--vcd-timescale") {
            vcd_tick = vcd_timescale(value("--vcd-timescale"));
        } else if (arg == "--view") {
            view_path = value("--view");
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        } else {
            fail("unknown option " + std::string(arg) + " (vboard --help)");
        }
    }
    if (i >= argc) {
        fail("no program to run (vboard --help)");
    }
    if (const std::string problem = vboard::problem_with(config); !problem.empty()) {
        fail(problem);
    }
    options.argv.push_back(resolve_program(argv[i]));
    // No loader runs in a static program of this PC's, so no preload gives it
    // virtual time (a board program's, static or not, gets it from qemu-arm).
    if (const auto file = vboard::inspect_program(options.argv.front());
        file && file->is_static && file->machine != EM_ARM) {
        std::fprintf(stderr, "vboard: %s is statically linked: its pauses take real time\n", argv[i]);
    }
    for (++i; i < argc; ++i) {
        options.argv.emplace_back(argv[i]);
    }

    const int trace_fd = trace_path.empty() ? -1 : open_output(trace_path, "--trace");
    const int vcd_fd = vcd_path.empty() ? -1 : open_output(vcd_path, "--vcd");
    // The view goes to the terminal itself, so that the program's standard
    // output and error stay exactly what the program wrote.
    int view_fd = -1;
    if (!quiet) {
        view_fd = view_path.empty() ? open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC) : open_output(view_path, "--view");
    }
    // Live control: the arrow keys at the terminal the view is drawn on,
    // where vboard runs in the foreground; a control FIFO for scripts.
    const bool keys = view_fd >= 0 && view_path.empty() && tcgetpgrp(view_fd) == getpgrp();
    const int control_fd = control_path.empty() ? -1 : open_control(control_path);
    const int first_channel = config.adc_inputs.empty() ? 0 : config.adc_inputs.begin()->first;
    vboard::Knobs knobs(control_fd, keys ? view_fd : -1, first_channel);
    for (const int fd : {control_fd, keys ? view_fd : -1}) {
        if (fd >= 0) {
            options.watch.push_back(fd);
        }
    }
    options.keep_terminal = keys;
    // vboard's own writes report a closed pipe as EPIPE; the program starts
    // with SIGPIPE at its default.
    signal(SIGPIPE, SIG_IGN);
    catch_signals_for_the_program();
    options.signals = signal_pipe[0];
    // The program reads vboard's own standard input: the terminal, or a
    // pipe that ends when vboard's does.
    options.inherit_input = true;
    Console console(view_fd, trace_fd, vcd_fd, vcd_tick, &knobs);
    try {
        vboard::Board board(std::move(config));
        knobs.attach(board);
        console.show_inputs();
        const vboard::RunResult result = board.run(options, &console);
        console.report();
        const auto violations = console.violations();
        if (strict_timing && violations > 0) {
            std::fprintf(stderr, "vboard: the display controller lost %zu transfer%s while busy (--strict-timing)\n",
                         violations, violations == 1 ? "" : "s");
            return result.status() != 0 ? result.status() : 1;
        }
        return result.status();
    } catch (const vboard::BoardError& error) {
        std::fprintf(stderr, "vboard: %s\n", error.what());
        return 125;
    }
}
