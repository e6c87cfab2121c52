#include "run.hpp"

#include "locations.hpp"
#include "program_file.hpp"
#include "syslog.hpp"
#include "trace.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vboard {

namespace {

// A SIGINT made due by a line count goes out with the program's next call
// to the board; a program that makes none within this (real) time gets it anyway.
constexpr std::int64_t line_sigint_grace_ns = 100000000;

// How often the loop passes recorded events on (a live view keeps up with
// the eye), and how many may wait for it before the loop is woken for them.
constexpr int delivery_interval_ms = 20;
constexpr std::size_t events_before_wake = 256;

// How long vboard-init may take to put the board in place (some
// milliseconds, as a rule) before the run gives up on it.
constexpr std::int64_t set_up_timeout_ns = 20000000000;

// The environment of a program run on the board: the caller's, with the
// board description, where virtual time is, and the time preload (for an
// ARM program, the time library that qemu-arm loads, which must not be
// preloaded into qemu-arm itself: its own waits are no pauses of the
// program's).
std::vector<std::string> board_environment(bool emulated)
{
    std::vector<std::string> env;
    std::string asan_options = "verify_asan_link_order=0";
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name == "LD_PRELOAD" || name == "MRAA_JSON_PLATFORM" || name == wire::channel_variable ||
            name == wire::clock_variable || name == wire::time_library_variable) {
            continue;
        }
        if (name == "ASAN_OPTIONS") {
            asan_options = entry.substr(name.size() + 1) + ":" + asan_options;
            continue;
        }
        env.push_back(entry);
    }
    env.push_back(std::string(emulated ? wire::time_library_variable : "LD_PRELOAD") + "=" + locations().preload_library);
    env.push_back(std::string("MRAA_JSON_PLATFORM=") + locations().board_json);
    env.push_back(std::string(wire::channel_variable) + "=" + control::channel_path);
    env.push_back(std::string(wire::clock_variable) + "=" + control::clock_path);
    // A sanitized program cannot have its runtime first in line behind a preload.
    env.push_back("ASAN_OPTIONS=" + asan_options);
    return env;
}

// What a 32-bit ARM program runs under: the project's qemu-arm, modelling a
// Cortex-A9, which like the board's Cortex-A5 has no integer divide (and,
// unlike it, no fused multiply-add: a program that uses either dies of
// SIGILL, which the board build's checks forbid anyway). It finds musl's
// loader at the board's path, /lib/ld-musl-armhf.so.1.
constexpr const char* qemu_cpu = "cortex-a9";

// What the machines a program may be built for are called.
std::string machine_name(unsigned machine, bool is_64bit)
{
    switch (machine) {
    case EM_386:
        return "32-bit x86";
    case EM_X86_64:
        return is_64bit ? "x86-64" : "x32";
    case EM_ARM:
        return "32-bit ARM";
    case EM_AARCH64:
        return "64-bit ARM (AArch64)";
    case EM_RISCV:
        return is_64bit ? "64-bit RISC-V" : "32-bit RISC-V";
    case EM_MIPS:
        return "MIPS";
    case EM_PPC64:
        return "64-bit POWER";
    default:
        return "the ELF machine " + std::to_string(machine);
    }
}

} // namespace

// How the program is started: as it is for this PC (and 32-bit x86, which
// the kernel runs too); under qemu-arm for the board's 32-bit ARM; for any
// other machine, not at all (`error` says why).
bool Run::plan_program(std::vector<std::string>& exec_argv, bool& emulated, std::string& error) const
{
    exec_argv = options_.argv;
    emulated = false;
    const auto file = inspect_program(options_.argv.front());
    if (!file || file->machine == EM_X86_64 || file->machine == EM_386) {
        return true; // a script, say: the kernel decides
    }
    if (file->machine == EM_ARM && !file->is_64bit) {
        const std::string& qemu_arm = locations().qemu_arm;
        if (access(qemu_arm.c_str(), X_OK) != 0) {
            error = options_.argv.front() + " is a program for the board (32-bit ARM), which runs under the project's "
                    "qemu-arm, and that has not been built: scripts/setup builds it with the board's cross packages";
            return false;
        }
        exec_argv.insert(exec_argv.begin(), {qemu_arm, "-cpu", qemu_cpu});
        emulated = true;
        return true;
    }
    error = options_.argv.front() + " is a program for " + machine_name(file->machine, file->is_64bit) +
            ", which the board cannot run: it runs programs built for this PC (x86-64) and for the board (32-bit ARM)";
    return false;
}

std::int64_t Run::monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

void Run::close_fd(int& fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

int RunResult::status() const
{
    if (board_failed || observer_failed) {
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

Run::~Run()
{
    release();
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
        kill_program();
        if (process_.pid > 0) {
            waitpid(process_.pid, nullptr, 0);
        }
        release();
    }
    release_cpus();
    return result_;
}

// Each call a program makes of a device is a hand-off: the program waits
// while the filesystem's thread answers, then goes on. On two CPUs every
// hand-off wakes the other CPU, which costs a virtual machine tens of
// microseconds each way; on one it is a switch of a few. So this thread,
// the filesystem's (started from it) and the program's processes (which
// inherit it) keep to the CPU the run starts on, the one the scheduler
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
    if (sched_setaffinity(0, sizeof one, &one) == 0) {
        saved_cpus_ = allowed;
    }
}

void Run::release_cpus()
{
    if (saved_cpus_) {
        sched_setaffinity(0, sizeof *saved_cpus_, &*saved_cpus_);
        saved_cpus_.reset();
    }
}

// The board's channel and /dev/log, which vboard-init binds in the
// namespace's /dev.
bool Run::open_sockets(std::string& error)
{
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    log_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0 || log_ < 0) {
        error = std::string("cannot make the board's sockets: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// The page the program's processes read virtual time from.
bool Run::map_clock(int fd, std::string& error)
{
    void* mapped = mmap(nullptr, sizeof(wire::ClockPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) {
        error = std::string("cannot map the board's clock: ") + std::strerror(errno);
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

// vboard-init's reports until the program has started: the filesystem to
// serve (whatever vboard-init does with it waits for this thread to serve
// it), the clock, the program's process.
bool Run::set_up(std::string& error)
{
    const std::int64_t give_up = monotonic_ns() + set_up_timeout_ns;
    for (;;) {
        pollfd ready{process_.control, POLLIN, 0};
        const std::int64_t left_ms = (give_up - monotonic_ns()) / 1000000;
        if (left_ms <= 0 || poll(&ready, 1, static_cast<int>(left_ms)) == 0) {
            error = "the board was not in place after 20 s (vboard-init does not answer)";
            return false;
        }
        control::Report report{};
        int fd = -1;
        if (!receive_report(process_.control, report, fd)) {
            int exec_errno = 0;
            const bool exec_failed = read(process_.exec_status, &exec_errno, sizeof exec_errno) == sizeof exec_errno;
            error = exec_failed ? std::string("cannot start ") + locations().init_program + ": " + std::strerror(exec_errno)
                                : "vboard-init ended before the program started";
            return false;
        }
        switch (report.kind) {
        case control::Kind::fuse:
            try {
                server_ = std::make_unique<FuseServer>(fd, board_.tree, board_.files, board_.devices_lock, board_);
            } catch (const BoardError& e) {
                error = e.what();
                return false;
            }
            break;
        case control::Kind::clock:
            if (!map_clock(fd, error)) {
                return false;
            }
            break;
        case control::Kind::started:
            // -1 when it has ended (and been reaped) already: a program
            // that could not be run, or one that had nothing to do.
            program_ = pid_of(fd);
            program_pidfd_ = fd;
            return true;
        case control::Kind::failed:
            error = report.text;
            return false;
        default:
            if (fd >= 0) {
                close(fd);
            }
            break;
        }
    }
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
    std::vector<std::string> exec_argv;
    bool emulated = false;
    if (!plan_program(exec_argv, emulated, error)) {
        // Found, but not a program this board can run, as env(1) says 126.
        result_.err = "vboard: " + error + "\n";
        result_.exit_code = 126;
        if (observer_ != nullptr) {
            observer_->on_stderr(result_.err);
        }
        return false;
    }
    bool set = false;
    if (open_sockets(error)) {
        keep_to_one_cpu();
        process_ = start_board(exec_argv, board_environment(emulated), board_.node_specs(), listener_, log_,
                               options_.inherit_input, options_.output, error);
        set = process_.pid > 0 && set_up(error);
    }
    int exec_errno = 0;
    if (set && read(process_.exec_status, &exec_errno, sizeof exec_errno) == sizeof exec_errno) {
        // The board was in place; the program itself could not be run. As
        // env(1) ends: 127 when it is not there (as the board's root sees
        // it), 126 when it is there but cannot be run (no ELF or script the
        // kernel knows, a missing interpreter is ENOENT too).
        result_.err = "vboard: cannot run " + options_.argv[0] + ": " + std::strerror(exec_errno) + "\n";
        result_.exit_code = exec_errno == ENOENT ? 127 : 126;
    } else if (!set) {
        result_.err = "vboard: " + error + "\n";
        result_.board_failed = true;
    }
    if (!result_.err.empty()) {
        if (observer_ != nullptr) {
            observer_->on_stderr(result_.err);
        }
        return false;
    }
    handlers_.watch(program_);
    if (pid_of(program_pidfd_) != program_) {
        handlers_.watch(-1); // it ended meanwhile: the number may be another process's now
    }
    take_terminal();
    input_ = options_.input;
    if (process_.input >= 0 && input_.empty() && !options_.more_input) {
        close_fd(process_.input);
    } else if (process_.input >= 0) {
        fcntl(process_.input, F_SETFL, O_NONBLOCK);
    }
    if (process_.output >= 0) {
        fcntl(process_.output, F_SETFL, O_NONBLOCK);
    }
    fcntl(process_.errors, F_SETFL, O_NONBLOCK);
    fcntl(process_.control, F_SETFL, O_NONBLOCK);
    deadline_ = monotonic_ns() + std::chrono::duration_cast<std::chrono::nanoseconds>(options_.timeout).count();
    if (observer_ != nullptr) {
        observer_->on_start(*this);
    }
    return true;
}

void Run::loop()
{
    bool ended = false; // vboard-init has ended, and every process of the run with it
    for (;;) {
        const std::int64_t now = monotonic_ns();
        {
            std::lock_guard guard(lock_);
            if (ended && process_.output < 0 && process_.errors < 0) {
                return;
            }
            if (now >= deadline_ && !result_.timed_out) {
                kill_program();
                result_.timed_out = true;
            }
            if (sigint_pending_since_ && !sigint_sent_ && now - *sigint_pending_since_ > line_sigint_grace_ns) {
                send_sigint(board_.recorder.now_ns());
            }
            if (grace_ends_ && now >= *grace_ends_ && !program_ended_) {
                grace_ends_.reset();
                char said[512];
                std::snprintf(said, sizeof said, "vboard: %s has not ended %g s after %s; killing it\n",
                              options_.argv[0].c_str(), static_cast<double>(options_.grace.count()) / 1000,
                              signal_name(passed_signal_).c_str());
                if (observer_ != nullptr) {
                    observer_->on_stderr(said);
                }
                kill_program();
            }
        }
        std::vector<pollfd> fds{{listener_, POLLIN, 0},       {wake_, POLLIN, 0},
                                {process_.pidfd, POLLIN, 0},  {process_.output, POLLIN, 0},
                                {process_.errors, POLLIN, 0}, {input_.empty() ? -1 : process_.input, POLLOUT, 0},
                                {options_.signals, POLLIN, 0}, {process_.control, POLLIN, 0},
                                {log_, POLLIN, 0}};
        const std::size_t first_watched = fds.size();
        for (const int fd : watch_) {
            fds.push_back({fd, POLLIN, 0});
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
        ended = ended || fds[2].revents != 0 || process_.pidfd < 0;
        if (fds[5].revents != 0) {
            feed_input();
        }
        if (fds[6].revents != 0) {
            pass_on_signals();
        }
        if (fds[7].revents != 0) {
            take_reports();
        }
        if (fds[8].revents != 0) {
            take_log();
        }
        for (std::size_t i = first_watched; i < first_process; ++i) {
            if (fds[i].revents != 0 && (observer_ == nullptr || !observer_->on_readable(fds[i].fd))) {
                watch_.erase(std::find(watch_.begin(), watch_.end(), fds[i].fd));
            }
        }
        if (stopped_for_terminal_) {
            hand_over_terminal();
        }
        drain_output();
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
                if (process->pid == program_ && process->planned_interrupt) {
                    interrupt_at_end_ = process->planned_interrupt;
                }
                close(process->fd);
                close_fd(process->pidfd);
                processes_.erase(process);
            }
        }
        deliver();
        observe_due();
        if (observer_ != nullptr) {
            observer_->on_idle();
        }
    }
}

// What vboard-init tells of the program while it runs.
void Run::take_reports()
{
    control::Report report{};
    int fd = -1;
    while (process_.control >= 0) {
        pollfd ready{process_.control, POLLIN, 0};
        if (poll(&ready, 1, 0) <= 0) {
            return;
        }
        if (!receive_report(process_.control, report, fd)) {
            close_fd(process_.control);
            return;
        }
        if (fd >= 0) {
            close(fd);
        }
        if (report.kind == control::Kind::stopped && (report.value == SIGTTIN || report.value == SIGTTOU)) {
            stopped_for_terminal_ = true;
        } else if (report.kind == control::Kind::ended) {
            program_ended_ = true;
            program_status_ = report.value;
            processes_ended_ = report.count;
        }
    }
}

void Run::finish()
{
    {
        std::lock_guard guard(lock_);
        kill_program(); // whatever is left, should vboard-init not have ended by itself
        for (auto& process : processes_) {
            close(process.fd);
            close_fd(process.pidfd);
        }
        processes_.clear();
    }
    while (waitpid(process_.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    give_terminal_back();
    {
        std::lock_guard guard(lock_);
        take_reports();
        if (program_ended_ && WIFEXITED(program_status_)) {
            result_.exit_code = WEXITSTATUS(program_status_);
        } else if (program_ended_ && WIFSIGNALED(program_status_)) {
            result_.signal = WTERMSIG(program_status_);
        } else {
            result_.signal = SIGKILL; // ended with the run, by vboard
        }
        take_log();
        {
            std::lock_guard devices(board_.devices_lock);
            board_.lcd.record_screen_if_changed();
        }
        if (interrupt_at_end_ && result_.signal == SIGINT) {
            board_.recorder.advance_to(*interrupt_at_end_);
            board_.recorder.record(ProgramEvent{to_seconds(*interrupt_at_end_), ProgramEvent::Kind::signal, 0, SIGINT});
        }
        if (!result_.stopped) {
            ProgramEvent exit{board_.recorder.now(), ProgramEvent::Kind::exit, 0, result_.signal, result_.exit_code};
            exit.processes_ended = processes_ended_;
            board_.recorder.record(exit);
        }
        deliver();
    }
    release();
    result_.events = board_.recorder.events();
    board_.recorder.keep_all(true);
}

// What the run holds of the board's back: the filesystem (its open files
// released, as the kernel would once the processes had gone), the clock.
void Run::release()
{
    server_.reset();
    board_.recorder.on_record(nullptr);
    board_.recorder.share_clock(nullptr);
    for (int* fd : {&process_.input, &process_.output, &process_.errors, &process_.control, &process_.exec_status,
                    &process_.pidfd, &program_pidfd_, &listener_, &log_, &wake_}) {
        close_fd(*fd);
    }
    if (clock_ != nullptr) {
        munmap(clock_, sizeof *clock_);
        clock_ = nullptr;
    }
}

std::int64_t Run::now_ns() const
{
    return delivering_at_ ? *delivering_at_ : board_.recorder.now_ns();
}

void Run::send_signal(int signal)
{
    if (observing_pause_) {
        pause_signal_ = {signal, board_.recorder.now_ns()};
    } else {
        send_signal_at(signal, board_.recorder.now_ns());
    }
}

void Run::write_input(std::string_view bytes)
{
    if (process_.input >= 0) {
        input_.append(bytes);
    }
}

void Run::stop()
{
    stop(board_.recorder.now_ns());
}

bool Run::before_device_call(bool opens)
{
    std::lock_guard guard(lock_);
    return device_call_allowed(opens);
}

void Run::after_device_call()
{
    std::lock_guard guard(lock_);
    device_call_done();
}

// Before the board answers, it takes in everything the program has written
// so far (to its output and to syslog), so that line counts are exact and
// the record is in the program's order at this point. A program the run
// has stopped does nothing more.
bool Run::device_call_allowed(bool opens)
{
    drain_output();
    take_log();
    if (opens) {
        note_handlers();
    }
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

// Every message waiting on the board's /dev/log, in the order sent.
void Run::take_log()
{
    char datagram[8192];
    while (log_ >= 0) {
        const ssize_t n = recv(log_, datagram, sizeof datagram, 0);
        if (n < 0) {
            return; // EAGAIN: nothing more
        }
        if (const auto message = parse_syslog(std::string_view(datagram, static_cast<std::size_t>(n)))) {
            board_.recorder.record(LogLine{board_.recorder.now(), message->priority, message->text});
        }
    }
}

// The program's signal handlers, as the kernel shows them now.
void Run::note_handlers()
{
    for (const auto& change : handlers_.look()) {
        board_.recorder.record(
            ProgramEvent{board_.recorder.now(), ProgramEvent::Kind::handler, 0, change.signal, change.caught ? 1 : 0});
    }
}

// Every process of the run: the program and its process group, and the
// processes connected to the board, at once, so that none of them goes on
// after the call it is in (a stop at a virtual time must find the program
// doing nothing there); then vboard-init, and with it the namespaces and
// whatever else is left in them. The pidfds reach only the processes they
// were opened for. The program's group is signalled only until its end
// was reported: a group id, like a process id, could go to another process
// once its last member has been reaped.
void Run::kill_program()
{
    const auto kill_by = [](int pidfd) {
        if (pidfd >= 0) {
            syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
        }
    };
    kill_by(program_pidfd_);
    if (program_ > 0 && !program_ended_) {
        kill(-program_, SIGKILL);
    }
    for (const auto& process : processes_) {
        kill_by(process.pidfd);
    }
    kill_by(process_.pidfd);
}

} // namespace vboard
