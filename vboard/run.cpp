#include "run.hpp"

#include "trace.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace vboard {

namespace {

// A SIGINT made due by a line count goes out with the program's next call
// to the board; a program that makes none within this (real) time gets it anyway.
constexpr std::int64_t line_sigint_grace_ns = 100000000;

// How often the loop passes recorded events on (a live view keeps up with
// the eye), and how many may wait for it before the loop is woken for them.
constexpr int delivery_interval_ms = 20;
constexpr std::size_t events_before_wake = 256;

std::int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// How many bytes of `chunk` to let through so that no more than `limit`
// lines are (all of it without a limit); counts the lines in `lines`.
std::size_t admit(std::string_view chunk, std::optional<int> limit, int& lines)
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

void close_fd(int& fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Makes `group` the foreground of the terminal on standard input. A process
// outside the foreground that does so is sent SIGTTOU, which would stop
// vboard; it is blocked for the call, as shells do.
bool make_foreground(pid_t group)
{
    sigset_t block;
    sigset_t old;
    sigemptyset(&block);
    sigaddset(&block, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    const bool made = tcsetpgrp(STDIN_FILENO, group) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return made;
}

} // namespace

int RunResult::status() const
{
    if (observer_failed) {
        return 125;
    }
    if (stopped) {
        return 0;
    }
    if (timed_out) {
        return 124;
    }
    return signal != 0 ? 128 + signal : exit_code;
}

Run::Run(Board::Impl& board, const RunOptions& options, Observer* observer)
    : board_(board), options_(options), observer_(observer)
{
}

RunResult Run::execute()
{
    // Attached before the program starts: its very first call of a device
    // is this run's business.
    board_.attach(this);
    const bool started = start();
    if (started) {
        loop();
    }
    board_.attach(nullptr);
    if (started) {
        finish();
    } else {
        release();
    }
    release_cpus();
    return result_;
}

// Each call a program makes of a device is a hand-off: the program waits
// while this thread (or the sysfs filesystem's) answers, then goes on. On
// two CPUs every hand-off wakes the other CPU, which costs a virtual
// machine tens of microseconds each way; on one it is a switch of a few. So
// this thread, the filesystem's and the program (which inherits it from
// this thread) keep to the CPU the run starts on, the one the scheduler
// found least busy; two boards at once mostly get one each. The program
// sees one CPU (nproc says 1).
void Run::keep_to_one_cpu()
{
    cpu_set_t allowed;
    const int current = sched_getcpu();
    if (current < 0 || sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) {
        return;
    }
    const auto cpu = static_cast<std::size_t>(current);
    if (!CPU_ISSET(cpu, &allowed)) {
        return;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) {
        return;
    }
    saved_cpus_ = allowed;
    if (board_.mount != nullptr) {
        saved_mount_cpus_ = board_.mount->cpus();
        board_.mount->run_on(one);
    }
}

void Run::release_cpus()
{
    if (saved_cpus_) {
        sched_setaffinity(0, sizeof *saved_cpus_, &*saved_cpus_);
        saved_cpus_.reset();
    }
    if (saved_mount_cpus_ && board_.mount != nullptr) {
        board_.mount->run_on(*saved_mount_cpus_);
        saved_mount_cpus_.reset();
    }
}

namespace {

// A listening SOCK_SEQPACKET socket at `path` (inside the testbed), or -1.
int listen_at(const std::string& path)
{
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0)) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

// The processes' channel, and the socket that each open of a node connects to.
bool Run::open_channel()
{
    channel_path_ = board_.testbed.root() + "/vboard.sock";
    listener_ = listen_at(channel_path_);
    if (listener_ < 0) {
        return false;
    }
    nodes_path_ = board_.testbed.root() + "/vboard-nodes.sock";
    nodes_listener_ = listen_at(nodes_path_);
    return nodes_listener_ >= 0;
}

// The page the program's processes read virtual time from.
bool Run::open_clock()
{
    clock_path_ = board_.testbed.root() + "/vboard.clock";
    const int fd = open(clock_path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    void* mapped = MAP_FAILED;
    if (ftruncate(fd, sizeof(wire::ClockPage)) == 0) {
        mapped = mmap(nullptr, sizeof(wire::ClockPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    close(fd);
    if (mapped == MAP_FAILED) {
        return false;
    }
    clock_ = static_cast<wire::ClockPage*>(mapped);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    clock_->realtime_base_ns = std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
    clock_gettime(CLOCK_BOOTTIME, &now);
    clock_->boottime_base_ns = std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
    clock_->monotonic_base_ns = monotonic_ns();
    clock_->speed = options_.speed;
    board_.recorder.share_clock(&clock_->now_ns);
    return true;
}

// Holds the run's lock until the program's process is known: a call it
// makes of a device meanwhile waits for that.
bool Run::start()
{
    std::lock_guard guard(lock_);
    board_.recorder.keep_all(options_.keep_record);
    watch_ = options_.watch;
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Events reach the observer within a delivery interval of the loop; it
    // is woken early only when many are waiting. A wake-up for every event
    // would cost the program a switch to this thread for each device call.
    board_.recorder.on_record([this] {
        if (++recorded_since_delivery_ == events_before_wake) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t ignored = write(wake_, &one, sizeof one);
        }
    });
    std::string error;
    if (!open_channel()) {
        error = "cannot open the board's channel in " + board_.testbed.root() + ": " + std::strerror(errno) +
                (errno == ENAMETOOLONG ? " (set TMPDIR to a shorter directory)" : "");
    } else if (!open_clock()) {
        error = "cannot make the board's clock " + clock_path_ + ": " + std::strerror(errno);
    } else {
        keep_to_one_cpu();
        child_ = spawn(options_.argv, board_.testbed.environment(channel_path_, nodes_path_, clock_path_), options_.inherit_input,
                       error);
    }
    if (child_.pid < 0) {
        result_.err = "vboard: " + error + "\n";
        result_.exit_code = 127;
        if (observer_ != nullptr) {
            observer_->on_stderr(result_.err);
        }
        return false;
    }
    take_terminal();
    exited_ = static_cast<int>(syscall(SYS_pidfd_open, child_.pid, 0));
    if (child_.input >= 0 && options_.input.empty()) {
        close_fd(child_.input);
    } else if (child_.input >= 0) {
        fcntl(child_.input, F_SETFL, O_NONBLOCK);
    }
    fcntl(child_.output, F_SETFL, O_NONBLOCK);
    fcntl(child_.errors, F_SETFL, O_NONBLOCK);
    deadline_ = monotonic_ns() + std::chrono::duration_cast<std::chrono::nanoseconds>(options_.timeout).count();
    return true;
}

void Run::loop()
{
    bool ended = false; // the program's own process has ended
    for (;;) {
        const std::int64_t now = monotonic_ns();
        {
            std::lock_guard guard(lock_);
            if (ended && child_.output < 0 && child_.errors < 0) {
                return;
            }
            if (now >= deadline_ && !result_.timed_out) {
                kill_program(SIGKILL);
                result_.timed_out = true;
            }
            if (sigint_pending_since_ && !sigint_sent_ && now - *sigint_pending_since_ > line_sigint_grace_ns) {
                send_sigint(board_.recorder.now_ns());
            }
            if (grace_ends_ && now >= *grace_ends_ && !ended) {
                grace_ends_.reset();
                char said[512];
                std::snprintf(said, sizeof said, "vboard: %s has not ended %g s after %s; killing it\n",
                              options_.argv[0].c_str(), static_cast<double>(options_.grace.count()) / 1000,
                              signal_name(passed_signal_).c_str());
                if (observer_ != nullptr) {
                    observer_->on_stderr(said);
                }
                kill_program(SIGKILL);
            }
        }
        std::vector<pollfd> fds{{listener_, POLLIN, 0},     {wake_, POLLIN, 0},          {exited_, POLLIN, 0},
                                {child_.output, POLLIN, 0}, {child_.errors, POLLIN, 0}, {child_.input, POLLOUT, 0},
                                {options_.signals, POLLIN, 0}};
        for (const int fd : watch_) {
            fds.push_back({fd, POLLIN, 0});
        }
        fds.push_back({nodes_listener_, POLLIN, 0});
        const std::size_t first_node_file = fds.size();
        for (const auto& file : node_files_) {
            fds.push_back({file->fd, POLLIN, 0});
        }
        const std::size_t first_process = fds.size();
        for (const auto& process : processes_) {
            fds.push_back({process.fd, POLLIN, 0});
        }
        const int wait_ms = (sigint_pending_since_ && !sigint_sent_) || grace_ends_ ? 10 : delivery_interval_ms;
        if (poll(fds.data(), fds.size(), wait_ms) < 0 && errno != EINTR) {
            return;
        }
        std::lock_guard guard(lock_);
        if (fds[1].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t ignored = read(wake_, &count, sizeof count);
        }
        if (!ended && (fds[2].revents != 0 || exited_ < 0)) {
            // Ended, but left to finish() to collect.
            siginfo_t info{};
            ended = waitid(P_PID, static_cast<id_t>(child_.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                    info.si_pid == child_.pid;
        }
        if (fds[5].revents != 0) {
            feed_input();
        }
        if (fds[6].revents != 0) {
            pass_on_signals();
        }
        for (std::size_t i = 7; i + 1 < first_node_file; ++i) {
            if (fds[i].revents != 0 && (observer_ == nullptr || !observer_->on_readable(fds[i].fd))) {
                watch_.erase(std::find(watch_.begin(), watch_.end(), fds[i].fd));
            }
        }
        if (options_.keep_terminal && !terminal_taken_ && !ended) {
            hand_over_terminal();
        }
        drain_output();
        // An open file closed for the last time is released before a new
        // open of the node is served, as the kernel would have done.
        for (std::size_t i = first_node_file; i < first_process; ++i) {
            if (fds[i].revents != 0) {
                serve_node_file(fds[i].fd);
            }
        }
        if (fds[first_node_file - 1].revents != 0) {
            accept_node_files();
        }
        if (fds[0].revents != 0) {
            accept_process();
        }
        for (std::size_t i = first_process; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const auto process = std::find_if(processes_.begin(), processes_.end(),
                                              [fd = fds[i].fd](const Process& p) { return p.fd == fd; });
            if (process != processes_.end() && !serve(*process)) {
                close(process->fd);
                close_fd(process->pidfd);
                processes_.erase(process);
            }
        }
        deliver();
    }
}

void Run::finish()
{
    {
        // What is left of the program (a background process) goes with the
        // run: killed while the program's own process, ended but not yet
        // collected, still holds its process id and its group's.
        std::lock_guard guard(lock_);
        kill_program(SIGKILL);
        for (auto& process : processes_) {
            close(process.fd);
            close_fd(process.pidfd);
        }
        processes_.clear();
        while (!node_files_.empty()) {
            release_node_file(*node_files_.back());
        }
    }
    int status = 0;
    while (waitpid(child_.pid, &status, 0) < 0 && errno == EINTR) {
    }
    give_terminal_back();
    if (WIFEXITED(status)) {
        result_.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result_.signal = WTERMSIG(status);
    }
    {
        std::lock_guard guard(lock_);
        {
            std::lock_guard devices(board_.devices_lock);
            board_.lcd.record_screen_if_changed();
        }
        if (!result_.stopped) {
            board_.recorder.record(ProgramEvent{board_.recorder.now(), ProgramEvent::Kind::exit, 0, result_.signal,
                                                result_.exit_code});
        }
        deliver();
    }
    release();
    result_.events = board_.recorder.events();
    board_.recorder.keep_all(true);
}

void Run::release()
{
    board_.recorder.on_record(nullptr);
    board_.recorder.share_clock(nullptr);
    for (int* fd : {&child_.input, &child_.output, &child_.errors, &listener_, &nodes_listener_, &wake_, &exited_}) {
        close_fd(*fd);
    }
    if (clock_ != nullptr) {
        munmap(clock_, sizeof *clock_);
        clock_ = nullptr;
    }
    for (const auto& path : {channel_path_, nodes_path_, clock_path_}) {
        if (!path.empty()) {
            unlink(path.c_str());
        }
    }
}

bool Run::before_device_call()
{
    std::lock_guard guard(lock_);
    return device_call_allowed();
}

void Run::after_device_call()
{
    std::lock_guard guard(lock_);
    device_call_done();
}

bool Run::device_call_allowed()
{
    drain_output();
    return !result_.stopped;
}

void Run::device_call_done()
{
    // Bus time moves virtual time on too: a program that never pauses is
    // stopped by the transfer that reaches the stop time.
    if (options_.stop_at && board_.recorder.now_ns() >= to_ns(*options_.stop_at)) {
        stop(board_.recorder.now_ns());
        return;
    }
    if (sigint_due()) {
        send_sigint(board_.recorder.now_ns());
    }
}

// --- The program's processes on the channel ------------------------------------------

void Run::accept_process()
{
    for (;;) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            return;
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length);
        Process process;
        process.fd = fd;
        process.pid = peer.pid;
        process.pidfd = static_cast<int>(syscall(SYS_pidfd_open, peer.pid, 0));
        processes_.push_back(std::move(process));
    }
}

bool Run::serve(Process& process)
{
    struct {
        wire::RequestHeader header;
        char payload[wire::max_payload];
    } message{};
    const ssize_t n = recv(process.fd, &message, sizeof message, 0);
    if (n < 0) {
        return errno == EINTR || errno == EAGAIN;
    }
    if (n == 0) {
        return false;
    }
    if (static_cast<std::size_t>(n) < sizeof message.header) {
        return true;
    }
    // Before the board answers, it takes in everything the program has
    // written so far, so that line counts are exact at this point. A
    // program the run has stopped does nothing more.
    drain_output();
    if (result_.stopped) {
        return false;
    }
    const std::size_t length = std::min<std::size_t>(message.header.length, static_cast<std::size_t>(n) - sizeof message.header);
    wire::Reply reply = handle(process, message.header, std::string_view(message.payload, length));
    if (message.header.type != wire::Request::sleep_begin && sigint_due()) {
        send_sigint(board_.recorder.now_ns());
    }
    send(process.fd, &reply, sizeof reply, MSG_NOSIGNAL);
    return true;
}

wire::Reply Run::handle(Process& process, const wire::RequestHeader& header, std::string_view payload)
{
    using wire::Request;
    wire::Reply reply{0, 0, 0, -1, 0, 0};
    switch (header.type) {
    case Request::open:
        return handle_open(header, payload);
    case Request::log:
        board_.recorder.record(LogLine{board_.recorder.now(), static_cast<int>(header.arg0), std::string(payload)});
        break;
    case Request::sleep_begin:
        return handle_sleep_begin(process, header.arg0);
    case Request::sleep_end:
        handle_sleep_end(process, header.arg0, header.arg1 != 0);
        break;
    case Request::handler:
        board_.recorder.record(ProgramEvent{board_.recorder.now(), ProgramEvent::Kind::handler, 0,
                                            static_cast<int>(header.arg0), static_cast<int>(header.arg1)});
        break;
    }
    return reply;
}

// An open that failed in the process: an attribute that is not there
// (recorded if it would be in a device's directory), or a node of the PC's
// that the board has not got.
wire::Reply Run::handle_open(const wire::RequestHeader& header, std::string_view path_text)
{
    const std::string path(path_text);
    const int error = header.fd < 0 ? static_cast<int>(-header.fd) : 0;
    if (path.compare(0, 5, "/dev/") == 0) {
        board_.recorder.record(FileEvent{board_.recorder.now(), std::filesystem::path(path).filename().string(), path,
                                         FileEvent::Op::open, error});
    } else if (const auto device = board_.sysfs.device_at(board_.canonical(path)); device && header.fd < 0) {
        board_.recorder.record(FileEvent{board_.recorder.now(), *device, path, FileEvent::Op::open, error});
    }
    return {header.fd, error, 0, -1, 0, 0};
}

// --- The open files of the board's nodes ------------------------------------------

void Run::accept_node_files()
{
    for (;;) {
        const int fd = accept4(nodes_listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            return;
        }
        node_files_.push_back(std::make_unique<NodeFile>());
        node_files_.back()->fd = fd;
        // The open is usually there already: served now, not a turn later.
        serve_node_file(fd);
    }
}

void Run::serve_node_file(int fd)
{
    const auto it = std::find_if(node_files_.begin(), node_files_.end(),
                                 [fd](const auto& file) { return file->fd == fd; });
    if (it == node_files_.end()) {
        return;
    }
    NodeFile& file = **it;
    node_message_.resize(sizeof(wire::NodeRequest) + wire::max_node_segments * sizeof(wire::Segment) +
                         wire::max_node_message);
    const ssize_t n = recv(file.fd, node_message_.data(), node_message_.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        release_node_file(file); // the last descriptor of it has been closed
        return;
    }
    const auto received = std::span(node_message_).first(static_cast<std::size_t>(n));
    wire::NodeRequest request{};
    if (received.size() >= sizeof request) {
        std::memcpy(&request, received.data(), sizeof request);
    }
    node_reply_.clear();
    if (request.magic != wire::node_magic) {
        // Bytes written past the preload (the C library's stdio writes
        // through its own write(), which no preload sees): a write() that
        // nobody waits an answer for.
        raw_node_write(file, received);
        return;
    }
    wire::NodeReply reply = answer_node_call(file, request, received.subspan(sizeof request));
    reply.returned = static_cast<std::uint32_t>(node_reply_.size());
    iovec parts[2] = {{&reply, sizeof reply}, {node_reply_.data(), node_reply_.size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    sendmsg(file.fd, &message, MSG_NOSIGNAL);
}

wire::NodeReply Run::answer_node_call(NodeFile& file, const wire::NodeRequest& request, std::span<std::uint8_t> rest)
{
    if (request.op == wire::NodeOp::open) {
        const std::size_t length = std::min<std::size_t>(request.path_length, rest.size());
        return open_node_file(file, request, std::string(reinterpret_cast<const char*>(rest.data()), length));
    }
    if (file.node == nullptr) {
        return {-1, EBADF, 0};
    }
    if (request.op == wire::NodeOp::close) {
        if (request.pid == file.opener && request.fd == file.opener_fd && !file.close_recorded) {
            FileEvent closed = file.opened;
            closed.t = board_.recorder.now();
            closed.op = FileEvent::Op::close;
            board_.recorder.record(closed);
            file.close_recorded = true;
        }
        return {0, 0, 0};
    }
    if (request.op == wire::NodeOp::stat) {
        const wire::NodeStat stat = board_.testbed.stat(*file.node);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&stat);
        node_reply_.assign(bytes, bytes + sizeof stat);
        return {0, 0, 0};
    }
    // The segment table, then the bytes of the segments the program sent.
    if (request.segments > wire::max_node_segments || request.segments > rest.size() / sizeof(wire::Segment)) {
        return {-1, EINVAL, 0};
    }
    std::vector<wire::Segment>& segments = node_segments_;
    segments.resize(request.segments);
    if (!segments.empty()) {
        std::memcpy(segments.data(), rest.data(), segments.size() * sizeof(wire::Segment));
    }
    std::span<std::uint8_t> data = rest.subspan(segments.size() * sizeof(wire::Segment));
    // What the call only writes (a read()'s buffer) starts as zeros here.
    std::size_t written_only = 0;
    for (const wire::Segment& segment : segments) {
        written_only += (segment.flags & wire::segment_in) == 0 ? segment.length : 0;
    }
    if (written_only > wire::max_node_message) {
        return {-1, EINVAL, 0};
    }
    node_scratch_.assign(written_only, 0);
    std::span<std::uint8_t> scratch(node_scratch_);
    CallMemory memory;
    std::vector<std::span<std::uint8_t>>& pieces = node_pieces_;
    pieces.clear();
    for (const wire::Segment& segment : segments) {
        std::span<std::uint8_t>& source = (segment.flags & wire::segment_in) != 0 ? data : scratch;
        if (segment.length > source.size()) {
            return {-1, EINVAL, 0};
        }
        pieces.push_back(source.first(segment.length));
        source = source.subspan(segment.length);
        memory.add(segment.address, pieces.back());
    }
    const auto buffer = request.op != wire::NodeOp::ioctl && !pieces.empty() ? pieces.front() : std::span<std::uint8_t>{};
    NodeCall call(&file, static_cast<unsigned long>(request.request), static_cast<unsigned long>(request.argument),
                  memory, buffer);
    if (!device_call_allowed()) {
        return {-1, EIO, 0};
    }
    {
        std::lock_guard devices(board_.devices_lock);
        Testbed::serve(*file.node, call, request.op);
    }
    device_call_done();
    // What the call wrote goes back when it succeeded (the drivers copy
    // nothing out on a failure): a read()'s bytes read, an ioctl's memory.
    if (call.result() > 0 && request.op == wire::NodeOp::read) {
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(call.result()), buffer.size());
        node_reply_.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    } else if (call.result() >= 0 && request.op == wire::NodeOp::ioctl) {
        for (std::size_t i = 0; i < segments.size(); ++i) {
            if ((segments[i].flags & wire::segment_out) != 0) {
                node_reply_.insert(node_reply_.end(), pieces[i].begin(), pieces[i].end());
            }
        }
    }
    return {call.result(), call.result() < 0 ? call.error() : 0, 0};
}

void Run::raw_node_write(NodeFile& file, std::span<std::uint8_t> bytes)
{
    if (file.node == nullptr || !device_call_allowed()) {
        return;
    }
    CallMemory memory;
    NodeCall call(&file, 0, bytes.size(), memory, bytes);
    {
        std::lock_guard devices(board_.devices_lock);
        Testbed::serve(*file.node, call, wire::NodeOp::write);
    }
    device_call_done();
}

// The first message of a node's connection: the open() it stands for.
wire::NodeReply Run::open_node_file(NodeFile& file, const wire::NodeRequest& request, const std::string& path)
{
    if (file.node != nullptr || file.refused) {
        return {-1, EINVAL, 0};
    }
    const std::string canonical = board_.canonical(path);
    Testbed::Node* node = canonical.compare(0, 5, "/dev/") == 0 ? board_.testbed.node(canonical.substr(5)) : nullptr;
    const int error = node == nullptr ? ENOENT : board_.config.faults.denied(canonical) ? EACCES : 0;
    file.opened = FileEvent{board_.recorder.now(), std::filesystem::path(path).filename().string(), path,
                            FileEvent::Op::open, error};
    board_.recorder.record(file.opened);
    if (error != 0) {
        file.refused = true;
        return {-1, error, 0};
    }
    file.node = node;
    file.opener = request.pid;
    file.opener_fd = request.fd;
    std::lock_guard devices(board_.devices_lock);
    node->model.opened(&file);
    return {0, 0, 0};
}

void Run::release_node_file(NodeFile& file)
{
    if (file.node != nullptr) {
        std::lock_guard devices(board_.devices_lock);
        file.node->model.closed(&file);
    }
    close(file.fd);
    const auto it = std::find_if(node_files_.begin(), node_files_.end(),
                                 [&file](const auto& f) { return f.get() == &file; });
    node_files_.erase(it);
}

// --- Virtual time -------------------------------------------------------------------
//
// A pause of the program is where virtual time moves on. Something due at
// exactly the moment a pause ends (a stop, a SIGINT) happens before the
// program resumes: stopping at 3 s a program that pauses 1 s at a time ends
// it before it does anything at 3 s.

wire::Reply Run::handle_sleep_begin(Process& process, std::int64_t ns)
{
    const std::int64_t now = board_.recorder.now_ns();
    {
        // A pause is where a person would look at the display.
        std::lock_guard guard(board_.devices_lock);
        board_.lcd.record_screen_if_changed();
    }
    board_.recorder.record(ProgramEvent{to_seconds(now), ProgramEvent::Kind::sleep, to_seconds(ns)});
    process.sleep_start = now;
    process.sleep_length = ns;
    process.planned_interrupt.reset();

    wire::Reply reply{0, 0, 0, -1, 0, 0};
    const std::int64_t end = now + ns;
    const std::optional<std::int64_t> stop_at = options_.stop_at ? std::optional(to_ns(*options_.stop_at)) : std::nullopt;
    const std::optional<std::int64_t> sigint_at =
        !sigint_sent_ && options_.sigint_at ? std::optional(to_ns(*options_.sigint_at)) : std::nullopt;
    const bool stop_in_sleep = stop_at && *stop_at <= end;
    const bool sigint_in_sleep = sigint_at && *sigint_at <= end;
    if (stop_in_sleep && !(sigint_in_sleep && *sigint_at < *stop_at)) {
        stop(std::max(now, *stop_at));
        return reply;
    }
    if (process.pid != child_.pid) {
        // Another process of the program (a shell's `sleep`): the program
        // gets a SIGINT due meanwhile when this pause ends.
        if (sigint_due()) {
            send_sigint(now);
        }
        return reply;
    }
    if (sigint_in_sleep) {
        process.planned_interrupt = std::max(now, *sigint_at);
    } else if (sigint_due()) {
        process.planned_interrupt = now;
    }
    if (process.planned_interrupt) {
        // The preload sleeps until then and raises the signal itself, so the
        // program's pause is cut short at exactly that virtual time.
        sigint_sent_ = true;
        reply.interrupt_after_ns = *process.planned_interrupt - now;
        reply.raise_signal = SIGINT;
    }
    return reply;
}

void Run::handle_sleep_end(Process& process, std::int64_t real_ns, bool cut_short)
{
    if (process.planned_interrupt) {
        board_.recorder.advance_to(*process.planned_interrupt);
        board_.recorder.record(
            ProgramEvent{to_seconds(*process.planned_interrupt), ProgramEvent::Kind::signal, 0, SIGINT});
        process.planned_interrupt.reset();
        return;
    }
    std::int64_t end = process.sleep_start + process.sleep_length;
    if (cut_short) {
        // Cut short by a signal from elsewhere: as far as it got in real time.
        const double slept = static_cast<double>(real_ns) * options_.speed;
        end = process.sleep_start + (slept < static_cast<double>(process.sleep_length) ? static_cast<std::int64_t>(slept)
                                                                                      : process.sleep_length);
    }
    if (process.pid != child_.pid && !sigint_sent_ && options_.sigint_at && to_ns(*options_.sigint_at) <= end) {
        const std::int64_t at = std::max(board_.recorder.now_ns(), to_ns(*options_.sigint_at));
        board_.recorder.advance_to(at);
        send_sigint(at);
    }
    board_.recorder.advance_to(end);
}

// --- Output, stops and signals --------------------------------------------------------

void Run::feed_input()
{
    const std::string& input = options_.input;
    const ssize_t n = write(child_.input, input.data() + input_written_, input.size() - input_written_);
    if (n > 0) {
        input_written_ += static_cast<std::size_t>(n);
    }
    if ((n < 0 && errno != EAGAIN && errno != EINTR) || input_written_ == input.size()) {
        close_fd(child_.input);
    }
}

// Standard output and error come through two pipes, and nothing tells in
// which order the program wrote what waits in both; standard error is taken
// first, since a program's complaint usually comes before the output it
// concerns.
void Run::drain_output()
{
    // One look at both pipes: most device calls come with nothing waiting.
    pollfd fds[2] = {{child_.errors, POLLIN, 0}, {child_.output, POLLIN, 0}};
    int ready = 0;
    while ((ready = poll(fds, 2, 0)) < 0 && errno == EINTR) {
    }
    if (ready < 0 || fds[0].revents != 0) {
        take_output(child_.errors, false);
    }
    if (ready < 0 || fds[1].revents != 0) {
        take_output(child_.output, true);
    }
}

void Run::take_output(int& fd, bool is_stdout)
{
    char buffer[4096];
    while (fd >= 0) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                close_fd(fd);
            }
            return;
        }
        if (n == 0) {
            close_fd(fd);
            return;
        }
        std::string_view chunk(buffer, static_cast<std::size_t>(n));
        if (!is_stdout) {
            if (options_.keep_record) {
                result_.err.append(chunk);
            }
            pending_output_.push_back({false, std::string(chunk), board_.recorder.count()});
            continue;
        }
        if (output_closed_) {
            continue;
        }
        chunk = chunk.substr(0, admit(chunk, options_.stop_after_lines, lines_));
        if (options_.keep_record) {
            result_.out.append(chunk);
        }
        pending_output_.push_back({true, std::string(chunk), board_.recorder.count()});
        if (options_.stop_after_lines && lines_ >= *options_.stop_after_lines) {
            output_closed_ = true;
            stop(board_.recorder.now_ns());
        }
        if (options_.sigint_after_lines && lines_ >= *options_.sigint_after_lines && !sigint_pending_since_) {
            sigint_pending_since_ = monotonic_ns();
        }
    }
}

void Run::deliver()
{
    recorded_since_delivery_ = 0;
    for (const auto& chunk : pending_output_) {
        deliver_events(chunk.after_events);
        if (observer_ == nullptr || result_.observer_failed) {
            continue;
        }
        if (chunk.is_stdout && passing_stdout_) {
            observer_said(observer_->on_stdout(chunk.bytes), child_.output, passing_stdout_);
        } else if (!chunk.is_stdout && passing_stderr_) {
            observer_said(observer_->on_stderr(chunk.bytes), child_.errors, passing_stderr_);
        }
    }
    pending_output_.clear();
    deliver_events(SIZE_MAX);
}

// Events go to the observer in the order recorded; without an observer, or
// once it has failed, they are only taken (and, unless kept, forgotten).
void Run::deliver_events(std::size_t until)
{
    for (const auto& event : board_.recorder.take_from(delivered_, until)) {
        if (observer_ != nullptr && !result_.observer_failed) {
            int no_stream = -1;
            bool passing = true;
            const Observer::Passed passed = observer_->on_event(event);
            observer_said(passed == Observer::Passed::closed ? Observer::Passed::failed : passed, no_stream, passing);
        }
    }
}

// A reader that has gone (vboard's standard output closed, as by `| head`):
// the program's own stream is closed too, so that the program meets a
// closed pipe at its next write and ends as it would alone (SIGPIPE).
// Anything else (a full disk) stops the run: output would be lost.
void Run::observer_said(Observer::Passed passed, int& stream, bool& passing)
{
    if (passed == Observer::Passed::closed) {
        close_fd(stream);
        passing = false;
    } else if (passed == Observer::Passed::failed && !result_.observer_failed) {
        result_.observer_failed = true;
        kill_program(SIGKILL);
    }
}

// Signals the caller received go to the program's process group, as a
// terminal's would; vboard then waits for it to end, for a while.
void Run::pass_on_signals()
{
    unsigned char signals[16];
    const ssize_t n = read(options_.signals, signals, sizeof signals);
    for (ssize_t i = 0; i < n; ++i) {
        passed_signal_ = signals[i];
        board_.recorder.record(ProgramEvent{board_.recorder.now(), ProgramEvent::Kind::signal, 0, passed_signal_});
        kill(-child_.pid, passed_signal_);
        grace_ends_ = monotonic_ns() + std::chrono::duration_cast<std::chrono::nanoseconds>(options_.grace).count();
    }
}

// A program that reads the terminal vboard was started from gets it as a
// shell would give it to a job: its process group becomes the terminal's
// foreground, so that it can read there and Ctrl-C reaches it.
void Run::take_terminal()
{
    if (options_.keep_terminal || !options_.inherit_input || !isatty(STDIN_FILENO) ||
        tcgetpgrp(STDIN_FILENO) != getpgrp()) {
        return;
    }
    terminal_taken_ = make_foreground(child_.pid);
}

// A program in a background group that reads (or writes, with TOSTOP) the
// terminal is stopped by the kernel (SIGTTIN, SIGTTOU), as a shell's
// background job is: it wants the terminal after all.
void Run::hand_over_terminal()
{
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(child_.pid), &info, WSTOPPED | WNOHANG) != 0 || info.si_pid != child_.pid ||
        (info.si_status != SIGTTIN && info.si_status != SIGTTOU)) {
        return;
    }
    if (observer_ != nullptr) {
        observer_->on_terminal_wanted();
    }
    terminal_taken_ = isatty(STDIN_FILENO) && make_foreground(child_.pid);
    kill(-child_.pid, SIGCONT);
}

void Run::give_terminal_back()
{
    if (!terminal_taken_) {
        return;
    }
    make_foreground(getpgrp());
    terminal_taken_ = false;
}

void Run::stop(std::int64_t at)
{
    if (result_.stopped) {
        return;
    }
    kill_program(SIGKILL);
    result_.stopped = true;
    board_.recorder.advance_to(at);
    std::lock_guard guard(board_.devices_lock);
    board_.lcd.record_screen_if_changed();
    board_.recorder.record(ProgramEvent{board_.recorder.now(), ProgramEvent::Kind::stopped});
}

// The program's process group (it leads one of its own), and any of its
// processes that left it. The program's own process is not collected
// before the run's end, so its id and its group's are still its own here.
void Run::kill_program(int signal)
{
    if (child_.pid <= 0) {
        return;
    }
    kill(-child_.pid, signal);
    kill(child_.pid, signal);
    for (const auto& process : processes_) {
        if (process.pid != child_.pid && process.pidfd >= 0) {
            syscall(SYS_pidfd_send_signal, process.pidfd, signal, nullptr, 0);
        }
    }
}

void Run::send_sigint(std::int64_t at)
{
    if (child_.pid <= 0) {
        return;
    }
    sigint_sent_ = true;
    board_.recorder.record(ProgramEvent{to_seconds(at), ProgramEvent::Kind::signal, 0, SIGINT});
    kill(child_.pid, SIGINT);
}

bool Run::sigint_due() const
{
    if (sigint_sent_) {
        return false;
    }
    if (options_.sigint_after_lines && lines_ >= *options_.sigint_after_lines) {
        return true;
    }
    return options_.sigint_when && options_.sigint_when(board_.recorder.events());
}

} // namespace vboard
