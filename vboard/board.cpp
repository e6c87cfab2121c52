#include "board.hpp"

#include "devices/i2c_bus.hpp"
#include "devices/iio_adc.hpp"
#include "devices/lcd_backpack.hpp"
#include "devices/node.hpp"
#include "devices/pwm_chip.hpp"
#include "devices/sysfs.hpp"
#include "process.hpp"
#include "protocol.hpp"

#include <umockdev.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vboard {

namespace fs = std::filesystem;

namespace {

constexpr int lcd_address = 0x27;

// A device node and the umockdev handler that feeds it.
struct NodeBinding {
    std::string name; // "spidev3.0"
    std::string major_minor;
    std::string subsystem;
    DeviceNode* node = nullptr;
    UMockdevIoctlBase* handler = nullptr;
};

std::int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Holds the program's stdout until whole lines can be counted.
struct LineCounter {
    int lines = 0;
    // How many bytes of `chunk` to keep so that no more than `limit` lines
    // are let through (all of it without a limit).
    std::size_t admit(std::string_view chunk, std::optional<int> limit)
    {
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            if (chunk[i] == '\n') {
                ++lines;
                if (limit && lines >= *limit) {
                    return i + 1;
                }
            }
        }
        return chunk.size();
    }
};

} // namespace

int RunResult::status() const
{
    if (stopped) {
        return 0;
    }
    if (timed_out) {
        return 124;
    }
    return signal != 0 ? 128 + signal : exit_code;
}

struct Board::Impl {
    explicit Impl(BoardConfig c);
    ~Impl();

    void build_nodes();
    void build_sysfs();
    void remove_absent_paths();
    void add_node(const std::string& name, const std::string& subsystem, const std::string& major_minor, DeviceNode& node);

    // umockdev's worker thread
    enum class NodeOp { ioctl, read, write };
    static void serve_node_call(gpointer binding, UMockdevIoctlClient* client, NodeOp op);
    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer binding);
    static gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer binding);
    static gboolean on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer binding);

    std::string canonical(const std::string& path) const;
    std::vector<std::string> environment(double speed, int channel_fd) const;

    BoardConfig config;
    UMockdevTestbed* testbed = nullptr;
    std::string root;
    std::unique_ptr<Janitor> janitor;

    // Everything below is used by umockdev's thread and the run loop alike.
    std::mutex devices_lock;
    Recorder recorder;
    LcdBackpack lcd;
    I2cBus i2c;
    Spidev spi3;
    Spidev spi0;
    IioAdc adc;
    std::unique_ptr<PwmChip> pwm;
    AttributeServer attributes;
    std::vector<std::unique_ptr<NodeBinding>> nodes;
};

// --- One run ---------------------------------------------------------------------

namespace {

class Run {
public:
    Run(Board::Impl& board, const RunOptions& options, Observer* observer)
        : board_(board), options_(options), observer_(observer)
    {
    }

    RunResult execute();

private:
    using Request = wire::Request;

    bool start();
    void loop();
    void finish();

    void serve_request();
    wire::Reply handle(const wire::RequestHeader& header, std::string_view payload, std::string& data);
    wire::Reply handle_open(const wire::RequestHeader& header, std::string_view path);
    wire::Reply handle_sleep_begin(std::int64_t ns);
    void handle_sleep_end(std::int64_t real_ns, bool cut_short);

    void drain_output();
    void take_output(int& fd, bool is_stdout);
    void feed_input();
    void deliver_events();
    void stop(double at);
    // True when the run owes the program a SIGINT that may go out now.
    bool sigint_due() const;
    void note_signal(double at);

    Board::Impl& board_;
    const RunOptions& options_;
    Observer* observer_;
    RunResult result_;

    ChildProcess child_;
    int channel_ = -1;
    int wake_ = -1;
    std::size_t input_written_ = 0;
    std::size_t delivered_ = 0;
    LineCounter lines_;
    bool output_closed_ = false; // stdout cut after the last line let through

    // The sleep the program is in, if any.
    double sleep_start_ = 0;
    double sleep_length_ = 0;
    std::optional<double> planned_interrupt_;
    std::map<int, FileEvent> open_files_; // the program's open nodes and attributes, by descriptor
    std::optional<std::int64_t> sigint_pending_since_; // when (real ns) a line count made a SIGINT due
    bool sigint_sent_ = false;
    std::int64_t deadline_ = 0;
};

RunResult Run::execute()
{
    if (!start()) {
        return result_;
    }
    loop();
    finish();
    return result_;
}

bool Run::start()
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        result_.err = std::string("vboard: socketpair: ") + std::strerror(errno) + "\n";
        result_.exit_code = 127;
        return false;
    }
    channel_ = pair[0];
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    board_.recorder.on_record([wake = wake_] {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = write(wake, &one, sizeof one);
    });
    std::string error;
    child_ = spawn(options_.argv, board_.environment(options_.speed, pair[1]), pair[1], error);
    close(pair[1]);
    if (child_.pid < 0) {
        result_.err = "vboard: " + error + "\n";
        result_.exit_code = 127;
        if (observer_ != nullptr) {
            observer_->on_stderr(result_.err);
        }
        board_.recorder.on_record(nullptr);
        close(channel_);
        close(wake_);
        return false;
    }
    if (options_.input.empty()) {
        close(child_.input);
        child_.input = -1;
    } else {
        fcntl(child_.input, F_SETFL, O_NONBLOCK);
    }
    deadline_ = monotonic_ns() + std::chrono::duration_cast<std::chrono::nanoseconds>(options_.timeout).count();
    return true;
}

void Run::loop()
{
    while (child_.output >= 0 || child_.errors >= 0 || channel_ >= 0) {
        const std::int64_t now = monotonic_ns();
        if (now >= deadline_ && !result_.timed_out) {
            kill(child_.pid, SIGKILL);
            result_.timed_out = true;
        }
        // A SIGINT made due by a line count goes out with the program's next
        // call to the board; a program that makes none gets it anyway.
        if (sigint_pending_since_ && !sigint_sent_ && now - *sigint_pending_since_ > 100000000) {
            kill(child_.pid, SIGINT);
            note_signal(board_.recorder.now());
        }
        std::array<pollfd, 5> fds{{{channel_, POLLIN, 0},
                                   {child_.output, POLLIN, 0},
                                   {child_.errors, POLLIN, 0},
                                   {wake_, POLLIN, 0},
                                   {child_.input, POLLOUT, 0}}};
        const int wait_ms = sigint_pending_since_ && !sigint_sent_ ? 10 : 100;
        if (poll(fds.data(), fds.size(), wait_ms) < 0 && errno != EINTR) {
            break;
        }
        if (fds[3].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t ignored = read(wake_, &count, sizeof count);
        }
        if (fds[4].revents != 0) {
            feed_input();
        }
        // Standard error first: see drain_output.
        if (fds[2].revents != 0) {
            take_output(child_.errors, false);
        }
        if (fds[1].revents != 0) {
            take_output(child_.output, true);
        }
        if (fds[0].revents != 0) {
            serve_request();
        }
        deliver_events();
    }
}

void Run::finish()
{
    int status = 0;
    while (waitpid(child_.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result_.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result_.signal = WTERMSIG(status);
    }
    {
        std::lock_guard guard(board_.devices_lock);
        board_.lcd.record_screen_if_changed();
        if (!result_.stopped) {
            board_.recorder.record(ProgramEvent{board_.recorder.now(), ProgramEvent::Kind::exit, 0,
                                                result_.signal, result_.exit_code});
        }
    }
    deliver_events();
    board_.recorder.on_record(nullptr);
    for (int fd : {child_.input, child_.output, child_.errors, channel_, wake_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    result_.events = board_.recorder.events();
}

void Run::feed_input()
{
    const std::string& input = options_.input;
    const ssize_t n = write(child_.input, input.data() + input_written_, input.size() - input_written_);
    if (n > 0) {
        input_written_ += static_cast<std::size_t>(n);
    }
    if ((n < 0 && errno != EAGAIN && errno != EINTR) || input_written_ == input.size()) {
        close(child_.input);
        child_.input = -1;
    }
}

void Run::take_output(int& fd, bool is_stdout)
{
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            close(fd);
            fd = -1;
        }
        return;
    }
    std::string_view chunk(buffer, static_cast<std::size_t>(n));
    if (!is_stdout) {
        result_.err.append(chunk);
        if (observer_ != nullptr) {
            observer_->on_stderr(chunk);
        }
        return;
    }
    if (output_closed_) {
        return;
    }
    chunk = chunk.substr(0, lines_.admit(chunk, options_.stop_after_lines));
    result_.out.append(chunk);
    if (observer_ != nullptr) {
        observer_->on_stdout(chunk);
    }
    if (options_.stop_after_lines && lines_.lines >= *options_.stop_after_lines) {
        output_closed_ = true;
        stop(board_.recorder.now());
    }
    if (options_.sigint_after_lines && lines_.lines >= *options_.sigint_after_lines && !sigint_pending_since_) {
        sigint_pending_since_ = monotonic_ns();
    }
}

// Before the board answers a call, it takes in everything the program has
// written so far, so that line counts are exact at that point. Standard
// output and error come through two pipes, and nothing tells in which order
// the program wrote what waits in both; standard error is taken first, since
// a program's complaint usually comes before the output it concerns.
void Run::drain_output()
{
    for (int* fd : {&child_.errors, &child_.output}) {
        while (*fd >= 0) {
            pollfd p{*fd, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0 || p.revents == 0) {
                break;
            }
            take_output(*fd, fd == &child_.output);
        }
    }
}

void Run::deliver_events()
{
    if (observer_ == nullptr) {
        return;
    }
    for (const auto& event : board_.recorder.take_from(delivered_)) {
        observer_->on_event(event);
    }
}

void Run::stop(double at)
{
    if (result_.stopped) {
        return;
    }
    kill(child_.pid, SIGKILL);
    result_.stopped = true;
    board_.recorder.advance_to(at);
    std::lock_guard guard(board_.devices_lock);
    board_.lcd.record_screen_if_changed();
    board_.recorder.record(ProgramEvent{at, ProgramEvent::Kind::stopped});
}

void Run::note_signal(double at)
{
    sigint_sent_ = true;
    board_.recorder.record(ProgramEvent{at, ProgramEvent::Kind::signal, 0, SIGINT});
}

bool Run::sigint_due() const
{
    if (sigint_sent_) {
        return false;
    }
    return (options_.sigint_at && board_.recorder.now() >= *options_.sigint_at) || sigint_pending_since_.has_value() ||
           (options_.sigint_when && options_.sigint_when(board_.recorder.events()));
}

void Run::serve_request()
{
    struct {
        wire::RequestHeader header;
        char payload[wire::max_payload];
    } message{};
    const ssize_t n = recv(channel_, &message, sizeof message, 0);
    if (n <= 0) {
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            close(channel_);
            channel_ = -1;
        }
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof message.header) {
        return;
    }
    drain_output();
    const std::size_t length = std::min<std::size_t>(message.header.length, static_cast<std::size_t>(n) - sizeof message.header);
    std::string data;
    wire::Reply reply = handle(message.header, std::string_view(message.payload, length), data);
    if (message.header.type != Request::sleep_begin && sigint_due()) {
        reply.raise_signal = SIGINT;
        note_signal(board_.recorder.now());
    }
    struct {
        wire::Reply reply;
        char payload[wire::max_payload];
    } answer{};
    answer.reply = reply;
    answer.reply.length = static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), wire::max_payload));
    std::memcpy(answer.payload, data.data(), answer.reply.length);
    send(channel_, &answer, sizeof answer.reply + answer.reply.length, MSG_NOSIGNAL);
}

wire::Reply Run::handle(const wire::RequestHeader& header, std::string_view payload, std::string& data)
{
    wire::Reply reply{0, 0, wire::Handling::pass, -1, 0, 0};
    switch (header.type) {
    case Request::hello:
        break;
    case Request::open:
        return handle_open(header, payload);
    case Request::read: {
        std::lock_guard guard(board_.devices_lock);
        auto r = board_.attributes.read(header.fd, header.arg0, static_cast<std::size_t>(header.arg1));
        reply.result = r.result;
        reply.error = r.error;
        data = std::move(r.data);
        break;
    }
    case Request::write: {
        std::lock_guard guard(board_.devices_lock);
        const auto r = board_.attributes.write(header.fd, payload);
        reply.result = r.result;
        reply.error = r.error;
        break;
    }
    case Request::close: {
        std::lock_guard guard(board_.devices_lock);
        board_.attributes.close(header.fd);
        if (const auto file = open_files_.find(header.fd); file != open_files_.end()) {
            FileEvent closed = file->second;
            closed.t = board_.recorder.now();
            closed.op = FileEvent::Op::close;
            board_.recorder.record(closed);
            open_files_.erase(file);
        }
        break;
    }
    case Request::log:
        board_.recorder.record(LogLine{board_.recorder.now(), static_cast<int>(header.arg0), std::string(payload)});
        break;
    case Request::sleep_begin:
        return handle_sleep_begin(header.arg0);
    case Request::sleep_end:
        handle_sleep_end(header.arg0, header.arg1 != 0);
        break;
    case Request::handler:
        board_.recorder.record(ProgramEvent{board_.recorder.now(), ProgramEvent::Kind::handler, 0,
                                            static_cast<int>(header.arg0), static_cast<int>(header.arg1)});
        break;
    }
    return reply;
}

wire::Reply Run::handle_open(const wire::RequestHeader& header, std::string_view path_text)
{
    const std::string path(path_text);
    const std::string canonical = board_.canonical(path);
    const bool is_node = path.compare(0, 5, "/dev/") == 0;
    std::lock_guard guard(board_.devices_lock);
    const auto device = board_.attributes.device_of(canonical);
    const std::string dev = is_node ? fs::path(path).filename().string() : device ? device->second : "";
    const bool watched = is_node || device.has_value();

    wire::Reply reply{header.fd, 0, wire::Handling::pass, -1, 0, 0};
    if (header.fd < 0) {
        reply = {-1, -header.fd, wire::Handling::pass, -1, 0, 0};
    } else if (board_.config.faults.denied(canonical)) {
        reply = {-1, EACCES, wire::Handling::pass, -1, 0, 0};
    }
    if (reply.result < 0) {
        if (watched) {
            board_.recorder.record(FileEvent{board_.recorder.now(), dev, path, FileEvent::Op::open, reply.error});
        }
        return reply;
    }
    if (is_node) {
        reply.handling = wire::Handling::device;
    } else if (fs::is_regular_file(board_.root + canonical) && board_.attributes.open(header.fd, canonical)) {
        reply.handling = wire::Handling::attribute;
    }
    if (reply.handling != wire::Handling::pass) {
        const FileEvent opened{board_.recorder.now(), dev, path, FileEvent::Op::open, 0};
        open_files_[header.fd] = opened;
        board_.recorder.record(opened);
    }
    return reply;
}

wire::Reply Run::handle_sleep_begin(std::int64_t ns)
{
    const double now = board_.recorder.now();
    const double length = static_cast<double>(ns) / 1e9;
    {
        // A pause is where a person would look at the display.
        std::lock_guard guard(board_.devices_lock);
        board_.lcd.record_screen_if_changed();
    }
    board_.recorder.record(ProgramEvent{now, ProgramEvent::Kind::sleep, length});
    sleep_start_ = now;
    sleep_length_ = length;
    planned_interrupt_.reset();

    wire::Reply reply{0, 0, wire::Handling::pass, -1, 0, 0};
    const double end = now + length;
    const bool stop_in_sleep = options_.stop_at && *options_.stop_at <= end;
    const bool sigint_in_sleep = !sigint_sent_ && options_.sigint_at && *options_.sigint_at <= end;
    if (stop_in_sleep && !(sigint_in_sleep && *options_.sigint_at < *options_.stop_at)) {
        stop(std::max(now, *options_.stop_at));
        return reply;
    }
    if (sigint_in_sleep) {
        planned_interrupt_ = std::max(now, *options_.sigint_at);
    } else if (sigint_due()) {
        planned_interrupt_ = now;
    }
    if (planned_interrupt_) {
        // The preload sleeps until then and raises the signal itself, so the
        // program's pause is cut short at exactly that virtual time.
        sigint_sent_ = true;
        reply.interrupt_after_ns = static_cast<std::int64_t>((*planned_interrupt_ - now) * 1e9 + 0.5);
        reply.raise_signal = SIGINT;
    }
    return reply;
}

void Run::handle_sleep_end(std::int64_t real_ns, bool cut_short)
{
    if (planned_interrupt_) {
        board_.recorder.advance_to(*planned_interrupt_);
        board_.recorder.record(ProgramEvent{*planned_interrupt_, ProgramEvent::Kind::signal, 0, SIGINT});
        planned_interrupt_.reset();
        return;
    }
    if (!cut_short) {
        board_.recorder.advance_to(sleep_start_ + sleep_length_);
        return;
    }
    // Cut short by a signal from elsewhere: as far as it got in real time.
    const double slept = std::min(sleep_length_, static_cast<double>(real_ns) / 1e9 * options_.speed);
    board_.recorder.advance_to(sleep_start_ + slept);
}

} // namespace

// --- The board -----------------------------------------------------------------------

Board::Impl::Impl(BoardConfig c)
    : config(std::move(c)),
      lcd(recorder, config.lcd),
      i2c("i2c-0", recorder, config.faults),
      spi3("spidev3.0", recorder, config.spi),
      spi0("spidev0.0", recorder, config.spi),
      attributes(recorder, config.faults)
{
    testbed = umockdev_testbed_new();
    gchar* dir = umockdev_testbed_get_root_dir(testbed);
    root = dir;
    g_free(dir);
    janitor = std::make_unique<Janitor>(root);

    i2c.attach(lcd_address, lcd);
    for (const auto& [channel, values] : config.adc) {
        adc.set_values(channel, values);
    }
    build_nodes();
    build_sysfs();
    remove_absent_paths();
    config.faults.canonicalise([this](const std::string& path) { return canonical(path); });
}

Board::Impl::~Impl()
{
    for (const auto& node : nodes) {
        umockdev_testbed_detach_ioctl(testbed, ("/dev/" + node->name).c_str(), nullptr);
        g_object_unref(node->handler);
    }
    g_object_unref(testbed);
}

void Board::Impl::add_node(const std::string& name, const std::string& subsystem, const std::string& major_minor,
                           DeviceNode& node)
{
    const std::string devname = "/dev/" + name;
    for (const auto& absent : config.faults.absent_paths()) {
        if (absent == devname) {
            return; // never created: opening it fails with ENOENT
        }
    }
    gchar* syspath = umockdev_testbed_add_device(testbed, subsystem.c_str(), name.c_str(), nullptr, "dev",
                                                 major_minor.c_str(), nullptr, "DEVNAME", devname.c_str(), nullptr);
    g_free(syspath);
    // umockdev records the node's major:minor but leaves the node itself to
    // us; an empty file is enough, as umockdev answers every call on it.
    std::ofstream(root + devname);

    auto binding = std::make_unique<NodeBinding>();
    binding->name = name;
    binding->node = &node;
    binding->handler = umockdev_ioctl_base_new();
    auto* context = new std::pair<Impl*, NodeBinding*>(this, binding.get());
    g_signal_connect_data(binding->handler, "handle-ioctl", G_CALLBACK(on_ioctl), context,
                          [](gpointer data, GClosure*) { delete static_cast<std::pair<Impl*, NodeBinding*>*>(data); },
                          GConnectFlags{});
    g_signal_connect(binding->handler, "handle-read", G_CALLBACK(on_read), context);
    g_signal_connect(binding->handler, "handle-write", G_CALLBACK(on_write), context);
    umockdev_testbed_attach_ioctl(testbed, devname.c_str(), binding->handler, nullptr);
    nodes.push_back(std::move(binding));
}

void Board::Impl::build_nodes()
{
    add_node("i2c-0", "i2c-dev", "89:0", i2c);
    add_node("spidev0.0", "spidev", "153:0", spi0);
    add_node("spidev3.0", "spidev", "153:1", spi3);
}

namespace {

// umockdev wants attributes as a NULL-terminated list of name, value pairs.
gchar* add_sysfs_device(UMockdevTestbed* testbed, const char* subsystem, const char* name,
                        const std::vector<std::string>& attributes)
{
    std::vector<gchar*> list;
    for (const auto& attr : attributes) {
        list.push_back(const_cast<gchar*>(attr.c_str()));
        list.push_back(const_cast<gchar*>(""));
    }
    list.push_back(nullptr);
    gchar* no_properties[] = {nullptr};
    return umockdev_testbed_add_devicev(testbed, subsystem, name, nullptr, list.data(), no_properties);
}

} // namespace

void Board::Impl::build_sysfs()
{
    gchar* adc_path = add_sysfs_device(testbed, "iio", "iio:device0", IioAdc::attribute_names());
    attributes.add_device(adc_path, "iio:device0", adc);
    g_free(adc_path);

    gchar* pwm_path = add_sysfs_device(testbed, "pwm", "pwmchip0", PwmChip::attribute_names());
    pwm = std::make_unique<PwmChip>(root + pwm_path);
    attributes.add_device(pwm_path, "pwmchip0", *pwm);
    g_free(pwm_path);
}

void Board::Impl::remove_absent_paths()
{
    for (const auto& path : config.faults.absent_paths()) {
        std::error_code ignored;
        fs::remove_all(root + path, ignored);
    }
}

std::string Board::Impl::canonical(const std::string& path) const
{
    std::error_code error;
    const std::string resolved = fs::weakly_canonical(root + path, error).string();
    if (error || resolved.compare(0, root.size(), root) != 0) {
        return path;
    }
    return resolved.substr(root.size());
}

std::vector<std::string> Board::Impl::environment(double speed, int channel_fd) const
{
    std::vector<std::string> env;
    std::string asan_options = "verify_asan_link_order=0";
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name == "LD_PRELOAD" || name == "UMOCKDEV_DIR" || name == "MRAA_JSON_PLATFORM" || name == "FAKETIME" ||
            name == wire::channel_fd_variable) {
            continue;
        }
        if (name == "ASAN_OPTIONS") {
            asan_options = entry.substr(name.size() + 1) + ":" + asan_options;
            continue;
        }
        env.push_back(entry);
    }
    // Our preload first: umockdev's reaches libc through dlsym, so a wrapper
    // listed after it would never see the program's calls.
    env.push_back(std::string("LD_PRELOAD=") + VBOARD_PRELOAD_LIBRARY + ":libumockdev-preload.so.0:" +
                  VBOARD_FAKETIME_LIBRARY);
    env.push_back("UMOCKDEV_DIR=" + root);
    env.push_back(std::string("MRAA_JSON_PLATFORM=") + VBOARD_BOARD_JSON);
    char rate[64];
    std::snprintf(rate, sizeof rate, "FAKETIME=+0 x%g", speed);
    env.push_back(rate);
    env.push_back(std::string(wire::channel_fd_variable) + "=" + std::to_string(channel_fd));
    // A sanitized program cannot have its runtime first in line behind preloads.
    env.push_back("ASAN_OPTIONS=" + asan_options);
    return env;
}

// Every call on a node takes the devices' lock: the run loop reads the same
// models (the display, the record) on its own thread.
void Board::Impl::serve_node_call(gpointer data, UMockdevIoctlClient* client, NodeOp op)
{
    auto [board, binding] = *static_cast<std::pair<Impl*, NodeBinding*>*>(data);
    std::lock_guard guard(board->devices_lock);
    NodeCall call(client);
    switch (op) {
    case NodeOp::ioctl:
        binding->node->ioctl(call, board->config.faults.ioctl_error(binding->name, call.request()));
        break;
    case NodeOp::read:
        binding->node->read(call);
        break;
    case NodeOp::write:
        binding->node->write(call);
        break;
    }
    if (!call.completed()) {
        call.complete(-1, EIO);
    }
}

gboolean Board::Impl::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
{
    serve_node_call(data, client, NodeOp::ioctl);
    return TRUE;
}

gboolean Board::Impl::on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
{
    serve_node_call(data, client, NodeOp::read);
    return TRUE;
}

gboolean Board::Impl::on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
{
    serve_node_call(data, client, NodeOp::write);
    return TRUE;
}

Board::Board(BoardConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Board::~Board() = default;

const std::string& Board::root() const
{
    return impl_->root;
}

std::string Board::canonical(const std::string& path) const
{
    return impl_->canonical(path);
}

RunResult Board::run(const RunOptions& options, Observer* observer)
{
    impl_->recorder.clear();
    Run run(*impl_, options, observer);
    return run.execute();
}

std::string program_path(std::string_view name)
{
    static constexpr std::array<std::string_view, 7> programs{"i2c_lcd",      "spi_ioctl", "adc_test", "pwm_led_mraa",
                                                              "calculator",   "ky013",     "spi_mraa"};
    if (std::find(programs.begin(), programs.end(), name) == programs.end()) {
        return "";
    }
    return std::string(VBOARD_BUILD_DIR) + "/" + std::string(name) + "/" + std::string(name);
}

} // namespace vboard
