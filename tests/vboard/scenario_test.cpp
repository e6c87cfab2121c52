// vboard test: scenario files run and checked in virtual time, their
// malformed lines told with file and line, runs side by side kept apart,
// and the JUnit report as CI reads it.

#include "child_process.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::run_child;

// A test's own directory, gone with the test whether it passes or not.
struct Scratch {
    explicit Scratch(const std::string& name)
        : dir(fs::temp_directory_path() / ("vboard-scenario-" + name + "-" + std::to_string(getpid())))
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { fs::remove_all(dir); }

    const fs::path dir;
};

fs::path write_file(const fs::path& path, const std::string& text)
{
    std::ofstream(path) << text;
    return path;
}

test_support::ChildResult vboard_test(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), {VBOARD_COMMAND_PATH, "test"});
    return run_child(arguments, "", std::chrono::seconds(60));
}

// `run:` with devprobe's steps.
std::string devprobe(const std::string& steps)
{
    return "[" + std::string(DEVPROBE_PATH) + ", " + steps + "]";
}

struct StepCase {
    const char* what;
    std::string run;
    std::string board; // a board: map's lines, or ""
    std::string steps;
    int status;
    std::string said; // in the report: the FAIL line's reason, or the ok line's times
};

TEST(Scenario, EachStepPassesOrFailsAtItsVirtualTime)
{
    const std::string ticks = devprobe("ticks, '10', '1000000'"); // "tick I" each virtual second
    const std::vector<StepCase> cases = {
        {"wait, then a line", ticks, "", "  - wait: 2s\n  - expect-stdout: { line: tick 2, within: 1s }\n", 0,
         "(2 s virtual"},
        {"a deadline met exactly", ticks, "", "  - expect-stdout: { line: tick 3, within: 3s }\n", 0, "(3 s virtual"},
        {"a deadline missed", ticks, "", "  - wait: 1s\n  - expect-stdout: { line: tick 9, within: 2500ms }\n", 1,
         "step 2 (expect-stdout, line 6) at 3.5 s: expected the line \"tick 9\" on standard output: not seen within "
         "2.5 s; last seen: \"tick 3\""},
        {"the scenario's timeout", ticks, "", "  - expect-stdout: { match: 'tick [7-9]' }\n", 1,
         "at 4 s: expected a line matching \"tick [7-9]\" on standard output: still waiting at the scenario's "
         "timeout of 4 s"},
        {"each match goes on from the last", ticks, "",
         "  - expect-stdout: { match: tick }\n  - expect-stdout: { line: tick 0, within: 2s }\n", 1,
         "line 6) at 2 s: expected the line \"tick 0\""},
        {"the program ends first", devprobe("print, done"), "", "  - expect-stdout: { line: more, within: 5s }\n", 1,
         "the program ended at 0 s before it was seen; last seen: \"done\""},
        {"standard error", devprobe("bogus-step"), "",
         "  - expect-stderr: { line: 'devprobe: unknown step bogus-step' }\n  - expect-exit: 2\n", 0, "ok"},
        {"set turns a knob", "[adc_test, '3']", "  adc: ['3=1V']",
         "  - expect-stdout: { line: Digital Value on Channel 3 = 1241 }\n  - set: adc 3 2V\n"
         "  - expect-stdout: { line: Digital Value on Channel 3 = 2482, within: 1s }\n",
         0, "(1 s virtual"},
        {"set refuses a wrong line", ticks, "", "  - set: adc 9 1V\n", 1,
         "step 1 (set, line 5) at 0 s: set \"adc 9 1V\": the ADC has channels 0 to 7"},
        {"a signal cuts a pause short", devprobe("handler, ticks, '5', '1000000'"), "",
         "  - wait: 1500ms\n  - signal: SIGINT\n  - expect-stdout: { line: SIGINT, within: 1ns }\n"
         "  - expect-event: { dev: program, event: signal, signal: SIGINT, exactly: 1 }\n",
         0, "(1.5 s virtual"},
        {"a death by a signal", ticks, "", "  - signal: SIGTERM\n  - expect-exit: { signal: SIGTERM, within: 1s }\n",
         0, "ok"},
        {"another end than expected", ticks, "", "  - signal: SIGTERM\n  - expect-exit: 0\n", 1,
         "expected the program to end with status 0: it ended otherwise; last seen: ended by SIGTERM"},
        {"standard input", "[sh, -c, 'read a; echo \"got $a\"']", "",
         "  - write-stdin: \"one\\n\"\n  - expect-stdout: { line: got one }\n  - expect-exit: 0\n", 0,
         "(0 s virtual"},
        {"the display's screen", "[i2c_lcd]", "",
         "  - expect-lcd: { row: 1, text: STM32F411RE, within: 1s }\n"
         "  - expect-lcd: { screen: [WELCOME ALL TO, TALVOR INDIA], within: 3s }\n",
         0, "(2.21113 s virtual"},
        {"a row not shown", "[i2c_lcd]", "", "  - expect-lcd: { row: 0, text: WELCOME, within: 1s }\n", 1,
         "at 1 s: expected the display to show row 0 \"WELCOME\": not seen within 1 s; last seen: \"Prog for I2C "
         "on  | STM32F411RE     \""},
        {"events counted exactly", "[spi_ioctl]", "",
         "  - expect-exit: 0\n  - expect-event: { dev: spidev3.0, event: transfer, len: 32, exactly: 1 }\n", 0, "ok"},
        {"too many events", "[spi_ioctl]", "",
         "  - expect-exit: 0\n  - expect-event: { dev: spidev3.0, event: transfer, exactly: 0 }\n", 1,
         "expected exactly 0 events { dev: spidev3.0, event: transfer }: seen more than 0; last seen: 1 so far"},
        {"an address in hex", devprobe("open, /dev/i2c-0, rw, address, '0x27', i2cwrite, '08'"), "",
         "  - expect-event: { event: write, addr: 0x27, bytes: '08', within: 1s }\n", 0, "ok"},
        {"the duty cycle held", "[pwm_led_mraa]", "",
         "  - expect-pwm: { period: 200us, duty: 60%, tolerance: 0.5%, within: 1s, for: 40ms }\n", 0,
         "(0.49 s virtual"},
        {"the duty cycle leaves the window", "[pwm_led_mraa]", "",
         "  - expect-pwm: { duty: 60%, tolerance: 0.5%, within: 1s, for: 100ms }\n", 1,
         "at 0.5 s: expected PWM channel 0 duty cycle 60% (within 0.5% and 0 ns) for 0.1 s: left it before the "
         "window's end at 0.55 s; last seen: period 200000 ns, duty cycle 121999 ns"},
        {"no violation", "[i2c_lcd]", "", "  - wait: 3s\n  - expect-no-violation\n", 0, "ok"},
        {"a violation", devprobe("open, /dev/i2c-0, rw, address, '0x27', i2cwrite, 0c08"), "",
         "  - expect-exit: 0\n  - expect-no-violation\n", 1,
         "expected no transfer lost by the display controller: the display controller lost 1 transfer while busy; "
         "last seen: the first: instruction 0x00 at 0.00028 s"},
    };
    const Scratch scratch("steps");
    const fs::path& dir = scratch.dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string board = c.board.empty() ? "" : "board:\n" + c.board + "\n";
        const fs::path file = write_file(dir / "case.yaml", "name: " + std::string(c.what) + "\nrun: " + c.run +
                                                                "\ntimeout: 4s\n" + board + "steps:\n" + c.steps);
        // The steps' lines above count from "steps:" at line 4, or later with a board.
        const auto r = vboard_test({"-j", "1", file.string()});
        EXPECT_EQ(r.exit_code, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        EXPECT_EQ(r.out.rfind(c.status == 0 ? "ok   " : "FAIL ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find(c.status == 0 ? "\n1 passed, 0 failed\n" : "\n0 passed, 1 failed\n"), std::string::npos);
    }
}

// Blocked reading its input, the program moves no virtual time: the real
// time limit ends it, and the step it was at says so.
TEST(Scenario, AProgramThatNeverPausesIsKilledAfterTheRealTimeLimit)
{
    const Scratch scratch("stuck");
    const fs::path& dir = scratch.dir;
    const fs::path file = write_file(dir / "stuck.yaml", "run: [calculator]\nsteps:\n  - wait: 1s\n");
    const auto r = vboard_test({"--timeout=0.5", file.string()});
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("step 1 (wait, line 3) at 0 s: waiting 1 s: the program was killed after 0.5 s of real "
                         "time"),
              std::string::npos)
        << r.out;
}

TEST(Scenario, AMalformedFileIsToldWithItsLineAndStatusTwo)
{
    struct Case {
        std::string text;
        std::string said;
    };
    const std::string run = "run: [" + std::string(DEVPROBE_PATH) + "]\n";
    const std::vector<Case> cases = {
        {run + "steps:\n  - wiat: 1s\n", ":3: unknown step \"wiat\" (the steps: wait, set, signal,"},
        {run + "steps:\n  - expect-stdout: { match: x, whithin: 1s }\n",
         ":3: unknown key \"whithin\" in expect-stdout (it takes line, match, within)"},
        {run + "stesp:\n  - wait: 1s\n", ":2: unknown key \"stesp\" in a scenario"},
        {run + "steps:\n  - wait: 2 seconds\n", ":3: wait needs a length of virtual time such as 2s"},
        {run + "board:\n  lcd: 40x2\nsteps:\n  - wait: 1s\n", ":3: --lcd is 16x2 or 20x4, not \"40x2\""},
        {run + "board:\n  trace: /tmp/x\nsteps:\n  - wait: 1s\n", ":3: --trace is not for a scenario"},
        {run + "board:\n  colour: red\nsteps:\n  - wait: 1s\n", ":3: no option --colour of vboard run"},
        {run + "steps:\n  - expect-stdout: { match: '(' }\n", ":3: match: \"(\" is no regular expression"},
        {run + "steps:\n  - signal: SIGFOO\n", ":3: no signal \"SIGFOO\""},
        {"run: [no-such-program-here]\nsteps:\n  - wait: 1s\n", ":1: no program no-such-program-here"},
        {run + "steps: [\n", ":3: end of sequence flow not found"},
        {run + "steps: []\n", ":2: a scenario needs steps: a list of at least one"},
    };
    const Scratch scratch("malformed");
    const fs::path& dir = scratch.dir;
    const fs::path good = write_file(dir / "good.yaml", run + "steps:\n  - expect-exit: 0\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const fs::path file = write_file(dir / "bad.yaml", c.text);
        const auto r = vboard_test({good.string(), file.string()});
        EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
        EXPECT_NE(r.out.find("FAIL " + file.string() + "\n     " + file.string() + c.said), std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.rfind("ok   good", 0), 0u) << r.out; // the other file still runs
    }
    const auto missing = vboard_test({(dir / "missing.yaml").string()});
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_NE(missing.out.find("missing.yaml: cannot be read"), std::string::npos) << missing.out;
}

// Four boards at once, each with its own ADC input, one of them turned:
// every run reads its own board's.
TEST(Scenario, RunsSideBySideOnBoardsOfTheirOwn)
{
    const Scratch scratch("parallel");
    const fs::path& dir = scratch.dir;
    std::vector<std::string> files{"-j", "4"};
    const int counts[] = {621, 1241, 1862, 2482}; // 0.5 V to 2 V of 3.3 V in 4096 codes
    for (int i = 0; i < 4; ++i) {
        const std::string turned = i == 0 ? "  - set: adc 3 3.3V\n  - expect-stdout: { line: Digital Value on "
                                            "Channel 3 = 4095, within: 1s }\n"
                                          : "  - wait: 1s\n";
        files.push_back(write_file(dir / ("board" + std::to_string(i) + ".yaml"),
                                   "run: [adc_test, '3']\nboard:\n  adc: ['3=" + std::to_string(0.5 * (i + 1)) +
                                       "V']\nsteps:\n  - expect-stdout: { line: Digital Value on Channel 3 = " +
                                       std::to_string(counts[i]) + " }\n" + turned +
                                       "  - expect-stdout: { line: Digital Value on Channel 3 = " +
                                       std::to_string(i == 0 ? 4095 : counts[i]) + ", within: 1s }\n")
                            .string());
    }
    const auto r = vboard_test(files);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    const std::regex in_order("ok   board0 .*\nok   board1 .*\nok   board2 .*\nok   board3 .*\n.*4 at a time\n"
                              "4 passed, 0 failed\n");
    EXPECT_TRUE(std::regex_match(r.out, in_order)) << r.out;
}

std::string without_times(std::string xml)
{
    return std::regex_replace(xml, std::regex(" time=\"[0-9.]+\""), " time=\"\"");
}

TEST(Scenario, JunitReportIsWellFormedAndTheSameOnEveryRun)
{
    const Scratch scratch("junit");
    const fs::path& dir = scratch.dir;
    const std::string run = "run: [" + std::string(DEVPROBE_PATH) + ", print, 'a <b> & \"c\"']\n";
    const fs::path passes = write_file(dir / "passes.yaml", "name: passes\n" + run + "steps:\n  - expect-exit: 0\n");
    const fs::path fails =
        write_file(dir / "fails.yaml", "name: fails\n" + run + "steps:\n  - expect-stdout: { line: d }\n");
    const fs::path broken = write_file(dir / "broken.yaml", run + "steps:\n  - nothing: 1\n");
    std::string reports[2];
    for (auto& report : reports) {
        const auto r = vboard_test({"--junit", (dir / "report.xml").string(), passes.string(), fails.string(),
                                    broken.string()});
        EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
        std::ifstream file(dir / "report.xml");
        report.assign(std::istreambuf_iterator<char>(file), {});
    }
    EXPECT_EQ(without_times(reports[0]), without_times(reports[1]));
    // Python's own XML parser reads it as CI systems do.
    const std::string check =
        "import sys, xml.etree.ElementTree as E\n"
        "r = E.parse(sys.argv[1]).getroot()\n"
        "print(r.tag, r.get('tests'), r.get('failures'), r.get('errors'))\n"
        "for s in r:\n"
        "    c = s.find('testcase')\n"
        "    p = s.find('properties/property')\n"
        "    f = c.find('failure') if c.find('failure') is not None else c.find('error')\n"
        "    print(s.get('tests'), c.get('name').split('/')[-1], p.get('value'),\n"
        "          '-' if f is None else f.tag + ': ' + f.get('message').split(': ', 1)[1] + ' | ' + (f.text or '').strip())\n";
    const auto parsed = run_child({"/usr/bin/python3", "-c", check, (dir / "report.xml").string()}, "");
    EXPECT_EQ(parsed.exit_code, 0) << parsed.err;
    EXPECT_EQ(parsed.out, "testsuites 3 1 1\n"
                          "1 passes 0 -\n"
                          "1 fails 0 failure: expected the line \"d\" on standard output: the program ended at 0 s "
                          "before it was seen; last seen: \"a <b> & \"c\"\" | a <b> & \"c\"\n"
                          "1 broken.yaml 0 error: unknown step \"nothing\" (the steps: wait, set, signal, "
                          "write-stdin, expect-stdout, expect-stderr, expect-lcd, expect-event, expect-pwm, "
                          "expect-no-violation, expect-exit) | \n");
}

TEST(Scenario, KeepsAFailedScenariosTraceCaptureAndOutput)
{
    const Scratch scratch("keep");
    const fs::path& dir = scratch.dir;
    const std::string run = "run: [" + std::string(DEVPROBE_PATH) + ", print, hello, bogus]\n";
    const fs::path passes = write_file(dir / "passes.yaml", run + "steps:\n  - expect-exit: 2\n");
    const fs::path fails = write_file(dir / "fails.yaml", run + "steps:\n  - expect-exit: 0\n");
    const auto r = vboard_test({"--keep=" + (dir / "kept").string(), passes.string(), fails.string()});
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_FALSE(fs::exists(dir / "kept" / "passes"));
    std::ifstream out(dir / "kept" / "fails" / "stdout.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(out), {}), "hello\n");
    std::ifstream err(dir / "kept" / "fails" / "stderr.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(err), {}), "devprobe: unknown step bogus\n");
    std::ifstream trace(dir / "kept" / "fails" / "trace.jsonl");
    std::string first;
    std::string line;
    std::getline(trace, first);
    std::string last;
    while (std::getline(trace, line)) {
        last = line;
    }
    EXPECT_EQ(first.rfind("{\"t\":0,\"dev\":\"vboard\",\"event\":\"trace\"", 0), 0u) << first;
    EXPECT_NE(last.find("\"event\":\"exit\""), std::string::npos) << last;
    EXPECT_TRUE(fs::exists(dir / "kept" / "fails" / "capture.vcd"));
}

} // namespace
