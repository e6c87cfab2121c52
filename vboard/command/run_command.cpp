#include "run_command.hpp"

#include "console.hpp"
#include "output_files.hpp"
#include "program_file.hpp"
#include "program_lookup.hpp"
#include "run_options.hpp"
#include "trace.hpp"
#include "usage.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace vboard::command {

namespace {

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

// Signals vboard takes as bytes on a pipe of their own, which the run
// watches: the signal's number is the byte.
void write_byte(int fd, int signal)
{
    const auto byte = static_cast<unsigned char>(signal);
    const int saved = errno;
    [[maybe_unused]] const ssize_t ignored = write(fd, &byte, 1);
    errno = saved;
}

// The pipe's read end, or -1 when none could be made.
int catch_into(int (&pipe)[2], void (*handler)(int), std::initializer_list<int> signals)
{
    if (pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return -1;
    }
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : signals) {
        sigaction(signal, &action, nullptr);
    }
    return pipe[0];
}

// SIGINT, SIGTERM and SIGHUP are for the program: passed on by the run,
// which then waits for the program to end.
int signal_pipe[2] = {-1, -1};

void pass_on(int signal)
{
    write_byte(signal_pipe[1], signal);
}

// SIGWINCH: the terminal was resized, for the status line to be laid out again.
int resize_pipe[2] = {-1, -1};

void note_resize(int signal)
{
    write_byte(resize_pipe[1], signal);
}

// No loader runs in a static program of this PC's, so no preload gives it
// virtual time (a board program's, static or not, gets it from qemu-arm).
void tell_if_static(const std::string& path, const std::string& name)
{
    if (const auto file = inspect_program(path); file && file->is_static && file->machine != EM_ARM) {
        std::fprintf(stderr, "vboard: %s is statically linked: its pauses take real time\n", name.c_str());
    }
}

} // namespace

int run_command(int argc, char** argv)
{
    RunRequest request = read_run_options(argc, argv);
    RunOptions& options = request.options;
    if (const std::string problem = problem_with(request.config); !problem.empty()) {
        fail(problem);
    }
    const OutputRequest trace{"--trace", request.trace_path};
    const OutputRequest vcd{"--vcd", request.vcd_path};
    const OutputRequest view{"--view", request.quiet ? "" : request.view_path};
    refuse_shared_outputs({view, trace, vcd});
    const std::string name = options.argv.front();
    options.argv.front() = find_program(name);
    tell_if_static(options.argv.front(), name);

    const int trace_fd = trace.path.empty() ? -1 : open_output(trace);
    // The header first, so that a trace begins with it whatever happens next.
    if (const int error = trace_fd < 0 ? 0 : write_all(trace_fd, trace_header() + "\n"); error != 0) {
        const std::string message = std::string("vboard: cannot write the trace: ") + std::strerror(error) + "\n";
        if (write_all(STDERR_FILENO, message) != 0) {
            write_all(STDOUT_FILENO, message);
        }
        return 125;
    }
    const int vcd_fd = vcd.path.empty() ? -1 : open_output(vcd);
    // The view goes to the terminal itself, so that the program's standard
    // output and error stay exactly what the program wrote.
    int view_fd = -1;
    if (!request.quiet) {
        view_fd = view.path.empty() ? open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC) : open_output(view);
    }
    // Live control: the arrow keys at the terminal the view is drawn on,
    // where vboard runs in the foreground; a control FIFO for scripts.
    const bool keys = view_fd >= 0 && view.path.empty() && tcgetpgrp(view_fd) == getpgrp();
    const int control_fd = request.control_path.empty() ? -1 : open_control(request.control_path);
    const auto& inputs = request.config.adc_inputs;
    // The knobs start on the lowest channel given, else on the first one the program reads.
    Knobs knobs(control_fd, keys ? view_fd : -1,
                inputs.empty() ? std::nullopt : std::optional<int>(inputs.begin()->first));
    for (const int fd : {control_fd, keys ? view_fd : -1}) {
        if (fd >= 0) {
            options.watch.push_back(fd);
        }
    }
    options.keep_terminal = keys;
    // vboard's own writes report a closed pipe as EPIPE; the program starts
    // with SIGPIPE at its default.
    signal(SIGPIPE, SIG_IGN);
    options.signals = catch_into(signal_pipe, pass_on, {SIGINT, SIGTERM, SIGHUP});
    // The program reads vboard's own standard input: the terminal, or a
    // pipe that ends when vboard's does.
    options.inherit_input = true;
    const ViewStyle style = choose_view_style(request.color, view_fd >= 0 && isatty(view_fd) != 0);
    const bool resizable = style.escapes && view_fd >= 0 && isatty(view_fd) != 0;
    const int resized = resizable ? catch_into(resize_pipe, note_resize, {SIGWINCH}) : -1;
    if (resized >= 0) {
        options.watch.push_back(resized);
    }
    Console console(view_fd, style, trace_fd, vcd_fd, request.vcd_tick, &knobs);
    try {
        Board board(std::move(request.config));
        knobs.attach(board);
        console.pin_status_line(options.speed, resized);
        const RunResult result = board.run(options, &console);
        console.finish();
        if (console.view_reader_gone()) {
            return 128 + SIGPIPE;
        }
        console.report();
        const auto violations = console.violations();
        if (request.strict_timing && violations > 0) {
            std::fprintf(stderr, "vboard: the display controller lost %zu transfer%s while busy (--strict-timing)\n",
                         violations, violations == 1 ? "" : "s");
            return result.status() != 0 ? result.status() : 1;
        }
        return result.status();
    } catch (const BoardError& error) {
        std::fprintf(stderr, "vboard: %s\n", error.what());
        return 125;
    }
}

} // namespace vboard::command
