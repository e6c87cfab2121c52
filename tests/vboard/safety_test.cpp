// The vboard command used carelessly or with hostile input: it never touches
// anything outside its own board, ends cleanly on Ctrl-C, closed pipes and
// full disks, and keeps its memory bounded.

#include "child_process.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::finish_child;
using test_support::read_until;
using test_support::run_child;
using test_support::start_child;

fs::path scratch_directory(const std::string& name)
{
    const fs::path dir = fs::temp_directory_path() / ("vboard-safety-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string contents(const fs::path& file)
{
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// `script` run by bash with $V the vboard command, for its redirections.
test_support::ChildResult bash(const std::string& script)
{
    return run_child({"/bin/bash", "-c", "V=\"$0\"; " + script, VBOARD_COMMAND_PATH}, "");
}

// --- Paths from options name only the board ----------------------------------------------

// The testbed is made in TMPDIR=dir/b/c; a sentinel directory sits two
// levels up, where `..` would lead out of the testbed.
TEST(Safety, FaultPathsOutsideTheBoardAreRefusedAndTouchNothing)
{
    const fs::path dir = scratch_directory("sentinel");
    fs::create_directories(dir / "b" / "c");
    fs::create_directories(dir / "b" / "sentinel");
    for (const char* fault :
         {"absent=/../../sentinel", "absent=/", "absent=//..", "absent=/sys/..", "absent=/dev",
          "absent=/sys/class/pwm/pwmchip0/../../../../../sentinel", "deny=/../sentinel", "write=/sys/../../sentinel:2"}) {
        const auto r = run_child({"/usr/bin/env", "TMPDIR=" + (dir / "b" / "c").string(), VBOARD_COMMAND_PATH, "run", "--quiet",
                                  "--for", "1", "--fault", fault, "--", DEVPROBE_PATH, "print", "ran"},
                                 "");
        EXPECT_EQ(r.exit_code, 2) << fault;
        EXPECT_NE(r.err.find("vboard: --fault: "), std::string::npos) << fault << ": " << r.err;
        EXPECT_EQ(r.out, "") << fault;
        EXPECT_TRUE(fs::is_directory(dir / "b" / "sentinel")) << fault;
    }
    fs::remove_all(dir);
}

// A link planted where the trace, the capture or the view is to be written
// is refused, and what it points to stays as it was.
TEST(Safety, TraceCaptureAndViewNeverFollowAPlantedLink)
{
    const fs::path dir = scratch_directory("planted");
    std::ofstream(dir / "victim") << "keep me\n";
    fs::create_symlink(dir / "victim", dir / "out.jsonl");
    for (const char* option : {"--trace", "--vcd", "--view"}) {
        const auto r = run_child({VBOARD_COMMAND_PATH, "run", option, (dir / "out.jsonl").string(), "--", DEVPROBE_PATH, "print", "x"}, "");
        EXPECT_EQ(r.exit_code, 2) << option;
        EXPECT_EQ(r.err, "vboard: " + std::string(option) + ": cannot write " + (dir / "out.jsonl").string() +
                             ": it is a symbolic link\n");
        EXPECT_EQ(contents(dir / "victim"), "keep me\n");
    }
    fs::remove_all(dir);
}

// --- Closed pipes and failed writes ----------------------------------------------------------

struct Looping {
    const char* program;
    std::string first_line;
};

// Piped into `head -1`, a looping program ends as it would alone: killed by
// SIGPIPE at its first write after head has gone. With the view on the same
// pipe, vboard's own write meets the closed pipe: it ends as such a tool
// does, quietly with 141, whether or not the program writes at all.
TEST(Safety, AClosedPipeEndsAProgramAsItWouldAlone)
{
    const std::string libmraa_log = "[    0.000 s] syslog: libmraa version v1.9.0 initialised by user '";
    for (const auto& [program, first_line] :
         {Looping{"--quiet adc_test 6", "\n"},
          Looping{"--quiet --adc 0=500 ky013", "Analog Value: 500, Temperature: 23.98\n"},
          Looping{"--quiet pwm_led_mraa", "PWM value is 0.510000\n"}, Looping{"--view - i2c_lcd", libmraa_log},
          Looping{"--view=/dev/stdout ky013", libmraa_log}}) {
        const auto r = bash("\"$V\" run " + std::string(program) + " | head -c " + std::to_string(first_line.size()) +
                            "; echo \"status ${PIPESTATUS[0]}\"");
        EXPECT_EQ(r.out, first_line + "status 141\n") << program;
        EXPECT_EQ(r.err, "") << program;
    }
}

struct FailedWrite {
    std::string command; // bash's, with $V the vboard command
    std::string said;
    const char* said_on; // "out" or "err"
};

std::string stopped_for(const std::string& what, const std::string& reason)
{
    return "vboard: cannot write " + what + ": " + reason + "; the program was stopped\n";
}

// Where vboard's own writes fail, it stops the program, says what failed on
// the stream that still works, and ends with 125. The trace's first line is
// written before the program starts: where that fails, it never does.
TEST(Safety, AFailedWriteStopsTheProgramAndIsSaid)
{
    const std::string full = "No space left on device";
    // A trace that fills up as the program runs: 4096 bytes at most, past
    // which writes fail with EFBIG (SIGXFSZ ignored).
    const std::string limited_trace = "t=$(mktemp); trap '' XFSZ; (ulimit -f 4; \"$V\" run --quiet --speed max "
                                      "--trace $t --for 100 adc_test 6 > /dev/null); s=$?; rm -f $t; (exit $s)";
    for (const auto& c : {
             FailedWrite{"\"$V\" run --quiet --for 3 adc_test 6 > /dev/full", stopped_for("standard output", full), "err"},
             FailedWrite{"\"$V\" run --quiet --for 3 adc_test 9 2> /dev/full", stopped_for("standard error", full), "out"},
             FailedWrite{"\"$V\" run --quiet --trace /dev/full --for 3 adc_test 6",
                         "vboard: cannot write the trace: " + full + "\n", "err"},
             FailedWrite{limited_trace, stopped_for("the trace", "File too large"), "err"},
             FailedWrite{"\"$V\" run --quiet --vcd /dev/full --for 3 i2c_lcd", stopped_for("the capture", full), "err"},
             FailedWrite{"\"$V\" run --view /dev/full --for 3 adc_test 6 > /dev/null", stopped_for("the view", full),
                         "err"}}) {
        const auto r = bash(c.command + "; echo \"status $?\" >&2");
        const std::string& stream = std::string(c.said_on) == "err" ? r.err : r.out;
        EXPECT_NE(stream.find(c.said), std::string::npos) << c.command << "\nout: " << r.out << "\nerr: " << r.err;
        EXPECT_NE(r.err.find("status 125\n"), std::string::npos) << c.command << ": " << r.err;
    }
    // The header failed: the program never started, so it printed nothing.
    const auto r = bash("\"$V\" run --quiet --trace /dev/full -- /bin/sh -c 'echo started'");
    EXPECT_EQ(r.out, "");
}

// With vboard's standard streams closed, nothing the program writes may
// land in a file vboard opens.
TEST(Safety, ClosedStandardStreamsNeverTakeTheTracesPlace)
{
    const fs::path dir = scratch_directory("closed");
    const fs::path trace = dir / "trace.jsonl";
    bash("\"$V\" run --quiet --trace " + trace.string() + " --for 2 adc_test 6 >&- 2>&-");
    std::ifstream in(trace);
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        EXPECT_EQ(line.front(), '{') << line;
    }
    EXPECT_GT(lines, 0);
    fs::remove_all(dir);
}

struct ClosedStream {
    const char* command;
    const char* out; // what vboard's other stream says
    const char* err;
};

// Output to a closed standard stream is lost output: vboard says so on the
// other stream and ends with 125, as for a full disk.
TEST(Safety, OutputToAClosedStandardStreamIsTold)
{
    const std::vector<ClosedStream> cases = {
        {"\"$V\" run --quiet --for 2 ky013 >&-", "",
         "vboard: cannot write standard output: Bad file descriptor; the program was stopped\n"},
        {"\"$V\" run --quiet -- /bin/sh -c 'echo oops >&2' 2>&-",
         "vboard: cannot write standard error: Bad file descriptor; the program was stopped\n", ""},
        {"\"$V\" --version >&-", "", "vboard: cannot write standard output: Bad file descriptor\n"},
    };
    for (const ClosedStream& c : cases) {
        const auto r = bash(c.command);
        EXPECT_EQ(r.exit_code, 125) << c.command;
        EXPECT_EQ(r.out, c.out) << c.command;
        EXPECT_EQ(r.err, c.err) << c.command;
    }
}

// --- Signals -----------------------------------------------------------------------------

enum class Interrupt { ctrl_c_at_the_terminal, sigint_to_vboard, sigterm_to_vboard };

class Signals : public testing::TestWithParam<Interrupt> {};

// pwm_led_mraa stops cleanly on SIGINT: whether the Ctrl-C is typed at the
// terminal vboard runs on or the signal is sent to vboard, the program gets
// it, says "Exiting...", disables and unexports the output, and ends with 0.
// SIGTERM the program does not handle: it ends by it, and vboard with it.
TEST_P(Signals, ReachTheProgramWhichEndsAsItWould)
{
    const fs::path dir = scratch_directory("signals");
    const std::string trace = (dir / "trace.jsonl").string();
    int terminal = -1;
    const pid_t vboard = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(vboard, 0);
    if (vboard == 0) {
        execl(VBOARD_COMMAND_PATH, VBOARD_COMMAND_PATH, "run", "--quiet", "--trace", trace.c_str(), "pwm_led_mraa", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    ASSERT_TRUE(read_until(terminal, seen, "PWM value is 0.520000")) << seen;
    switch (GetParam()) {
    case Interrupt::ctrl_c_at_the_terminal:
        ASSERT_EQ(write(terminal, "\x03", 1), 1);
        break;
    case Interrupt::sigint_to_vboard:
        kill(vboard, SIGINT);
        break;
    case Interrupt::sigterm_to_vboard:
        kill(vboard, SIGTERM);
        break;
    }
    int status = 0;
    std::string rest;
    read_until(terminal, rest, "\x01never\x01"); // to the end of its output
    waitpid(vboard, &status, 0);
    close(terminal);
    ASSERT_TRUE(WIFEXITED(status));
    const std::string record = contents(trace);
    if (GetParam() == Interrupt::sigterm_to_vboard) {
        EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    } else {
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_NE((seen + rest).find("Exiting..."), std::string::npos) << seen + rest;
        EXPECT_NE(record.find(R"("attr":"pwm0/enable","value":"0","result":1)"), std::string::npos) << record;
        EXPECT_NE(record.find(R"("attr":"unexport","value":"0","result":1)"), std::string::npos) << record;
    }
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Safety, Signals,
                         testing::Values(Interrupt::ctrl_c_at_the_terminal, Interrupt::sigint_to_vboard,
                                         Interrupt::sigterm_to_vboard),
                         [](const testing::TestParamInfo<Interrupt>& param) {
                             switch (param.param) {
                             case Interrupt::ctrl_c_at_the_terminal:
                                 return "ctrl_c_at_the_terminal";
                             case Interrupt::sigint_to_vboard:
                                 return "sigint_to_vboard";
                             case Interrupt::sigterm_to_vboard:
                                 return "sigterm_to_vboard";
                             }
                             return "";
                         });

// A program that ignores the signal is killed once the grace period is over.
TEST(Safety, AProgramThatIgnoresTheSignalIsKilledAfterTheGracePeriod)
{
    auto vboard = start_child({VBOARD_COMMAND_PATH, "run", "--quiet", "--grace", "0.2", "--", "/bin/sh", "-c",
                               "trap '' INT; echo ready; while :; do :; done"},
                              true);
    ASSERT_GT(vboard.pid, 0);
    std::string seen;
    ASSERT_TRUE(read_until(vboard.out, seen, "ready\n")) << seen;
    kill(vboard.pid, SIGINT);
    const int status = finish_child(vboard, seen);
    EXPECT_NE(seen.find("vboard: /bin/sh has not ended 0.2 s after SIGINT; killing it\n"), std::string::npos) << seen;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGKILL);
}

// --- Memory ---------------------------------------------------------------------------------

// The largest resident size vboard reached running adc_test for `passes`
// virtual seconds, with a trace and a capture, in kilobytes.
long max_resident_kb(int passes)
{
    const pid_t vboard = fork();
    if (vboard == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        // AddressSanitizer (the sanitize build) holds freed memory back in
        // a quarantine, which would look like growth: here it keeps none.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string options = std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        const std::string seconds = std::to_string(passes);
        execl(VBOARD_COMMAND_PATH, VBOARD_COMMAND_PATH, "run", "--quiet", "--speed", "1e9", "--for", seconds.c_str(), "--trace",
              "/dev/null", "--vcd", "/dev/null", "adc_test", "6", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(vboard, &status, 0, &usage);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? usage.ru_maxrss : -1;
}

// Two thousand more passes, each with its output and a dozen device events,
// must not make vboard any bigger: nothing of a pass is kept. The shorter
// run is long enough for the allocators to settle (AddressSanitizer's grows
// by up to a megabyte over the first few hundred passes, then stays flat),
// so what is compared is only what each pass leaves behind.
TEST(Safety, MemoryStaysTheSameHoweverLongTheProgramRuns)
{
    const long short_run = max_resident_kb(1000);
    const long long_run = max_resident_kb(3000);
    ASSERT_GT(short_run, 0);
    ASSERT_GT(long_run, 0);
    EXPECT_LT(long_run - short_run, 1024) << "kB: " << short_run << " then " << long_run;
}

} // namespace
