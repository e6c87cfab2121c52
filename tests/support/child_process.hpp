#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <string_view>
#include <vector>

namespace test_support {

// How a child process ended and everything it wrote.
struct ChildResult {
    std::string out;       // standard output, byte for byte
    std::string err;       // standard error, byte for byte
    int exit_code = -1;    // the status it exited with, or -1 when a signal ended it
    int signal = 0;        // the signal that ended it, or 0
    bool timed_out = false; // killed by run_child after the timeout
};

// Runs argv[0] (a path) with the given arguments, feeds it `input` on
// standard input and then end of input, and waits for it to end. A child
// still running after `timeout` is killed with SIGKILL.
ChildResult run_child(const std::vector<std::string>& argv, std::string_view input,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A child that the test talks to while it runs: its standard output (and,
// if asked, its error) comes through the pipe `out`.
struct RunningChild {
    pid_t pid = -1;
    int out = -1;
};

// Starts argv[0] (a path) with the given arguments, its standard output on a
// pipe, and with `with_stderr` its standard error on the same pipe; standard
// input stays the test's. Read the pipe with read_until.
RunningChild start_child(const std::vector<std::string>& argv, bool with_stderr = false);

// Reads the rest of the child's output into `seen`, to the end of the
// stream, then waits for the child: its wait status.
int finish_child(RunningChild& child, std::string& seen);

// Reads `fd` into `seen` until `text` has appeared in it: false when the
// stream ends first, or nothing more comes for 10 seconds.
bool read_until(int fd, std::string& seen, const std::string& text);

// In a forked child: runs argv[0] (a path) with argv, or ends with 127.
[[noreturn]] void exec_argv(const std::vector<std::string>& argv);

} // namespace test_support
