// vboard's command line as GNU and Debian tools have theirs: help and
// version on standard output with status 0, usage errors in two lines with
// status 2, --name=VALUE and short options, and env(1)'s statuses for a
// program that cannot be run.

#include "child_process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::run_child;

const std::string try_help = "Try 'vboard --help' for more information.\n";

std::string help_text()
{
    return run_child({VBOARD_COMMAND_PATH, "--help"}, "").out;
}

struct Asked {
    std::vector<std::string> args; // after vboard
    int status;
    const char* out; // standard output: the help ("help"), or exactly this
    std::string err; // standard error, exactly
};

TEST(CommandLine, HelpVersionAndUsageErrorsAsGnuToolsGiveThem)
{
    const std::string version = std::string("vboard (board bring-up tools) ") + PROJECT_VERSION_TEXT + "\n";
    const std::vector<Asked> cases{
        {{"--help"}, 0, "help", ""},
        {{"-h"}, 0, "help", ""},
        {{"help"}, 0, "help", ""},
        {{"help", "run"}, 0, "help", ""},
        {{"run", "--help"}, 0, "help", ""},
        {{"run", "-h"}, 0, "help", ""},
        {{"--version"}, 0, version.c_str(), ""},
        {{"-V"}, 0, version.c_str(), ""},
        {{"run", "--version"}, 0, version.c_str(), ""},
        {{"run", "-q", "-V", "x"}, 0, version.c_str(), ""},
        {{}, 2, "", "vboard: missing command\n" + try_help},
        {{"frobnicate"}, 2, "", "vboard: unknown command 'frobnicate'\n" + try_help},
        {{"help", "frobnicate"}, 2, "", "vboard: no command frobnicate to help with (the commands: run, devices, test, help)\n" + try_help},
        {{"devices", "--all"}, 2, "", "vboard: devices takes no arguments\n" + try_help},
        {{"--for", "3", "ky013"}, 2, "",
         "vboard: unknown option --for (run's options come after it: vboard run --for ...)\n" + try_help},
        {{"run", "--trace"}, 2, "", "vboard: option --trace needs a value\n" + try_help},
        {{"run", "-T"}, 2, "", "vboard: option -T needs a value\n" + try_help},
        {{"run", "--trace", "spi_mraa"}, 2, "",
         "vboard: no program to run (--trace took \"spi_mraa\" as its value; was it the program?)\n" + try_help},
        {{"run", "--trace=t.jsonl"}, 2, "", "vboard: no program to run\n" + try_help},
        {{"run", "--quiet=yes", "x"}, 2, "", "vboard: option --quiet takes no value\n" + try_help},
        {{"run", "--qui=yes", "x"}, 2, "", "vboard: option --quiet takes no value\n" + try_help},
        {{"run", "--sigint", "1", "x"}, 2, "",
         "vboard: option --sigint is ambiguous: --sigint-after, --sigint-after-lines\n" + try_help},
        {{"run", "--frobnicate", "x"}, 2, "", "vboard: unknown option --frobnicate\n" + try_help},
        {{"run", "-x", "x"}, 2, "", "vboard: unknown option -x\n" + try_help},
        {{"run", "-qx", "x"}, 2, "", "vboard: unknown option -x\n" + try_help},
    };
    const std::string help = help_text();
    ASSERT_EQ(help.rfind("Usage: vboard run [OPTION]... [--] PROGRAM [ARG]...\n", 0), 0u) << help;
    for (const auto& c : cases) {
        std::vector<std::string> argv{VBOARD_COMMAND_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = run_child(argv, "");
        const std::string said = testing::PrintToString(c.args);
        EXPECT_EQ(r.exit_code, c.status) << said;
        EXPECT_EQ(r.out, std::string(c.out) == "help" ? help : c.out) << said;
        EXPECT_EQ(r.err, c.err) << said;
    }
}

// The help fits an 80-column terminal, says that what follows PROGRAM is
// the program's, and ends with examples.
TEST(CommandLine, HelpFitsEightyColumnsAndEndsWithExamples)
{
    std::istringstream help(help_text());
    std::vector<std::string> lines;
    for (std::string line; std::getline(help, line);) {
        EXPECT_LE(line.size(), 80u) << line;
        lines.push_back(line);
    }
    ASSERT_GT(lines.size(), 20u);
    const auto examples = std::find(lines.begin(), lines.end(), "Examples:");
    ASSERT_NE(examples, lines.end());
    EXPECT_EQ(std::count_if(examples, lines.end(), [](const std::string& l) { return l.rfind("  vboard ", 0) == 0; }), 3);
    std::string words = help.str();
    std::replace(words.begin(), words.end(), '\n', ' ');
    EXPECT_NE(words.find("Options after PROGRAM are its own."), std::string::npos);
}

// `vboard devices` names what a program finds on the board: every node
// listed is there, its numbers lead to it through /sys/dev/char (the nodes
// themselves are the FUSE filesystem's files), every sysfs directory is there,
// and every program it knows by name is built where it says.
TEST(CommandLine, DevicesListsWhatAProgramFindsOnTheBoard)
{
    const auto listed = run_child({VBOARD_COMMAND_PATH, "devices"}, "");
    ASSERT_EQ(listed.exit_code, 0) << listed.err;
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(run_child({VBOARD_COMMAND_PATH, "help", "devices"}, "").out.rfind("Usage: vboard devices\n", 0), 0u);

    // "/dev/NAME  char MAJOR:MINOR, ..." or a sysfs path, first on its line;
    // a program's name and its path.
    const std::regex node(R"(^  (/dev/\S+) +char (\d+):(\d+)\b.*)"), sysfs(R"(^  (/sys/\S+)$|^  (/sys/\S+) .*)");
    const std::regex program(R"(^  ([a-z0-9_]+) +(/\S+)$)");
    std::string expected, script = "import os\n";
    std::vector<std::string> programs;
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, node)) {
            script += "print(os.path.exists('" + m.str(1) + "'), open('/sys/dev/char/" + m.str(2) + ":" + m.str(3) +
                      "/uevent').read().split('DEVNAME=')[1].strip())\n";
            expected += "True " + m.str(1).substr(5) + "\n";
        } else if (std::regex_match(line, m, sysfs)) {
            const std::string path = m.str(1).empty() ? m.str(2) : m.str(1);
            script += "print('" + path + "', os.path.isdir('" + path + "'))\n";
            expected += path + " True\n";
        } else if (std::regex_match(line, m, program)) {
            programs.push_back(m.str(1));
            EXPECT_EQ(access(m.str(2).c_str(), X_OK), 0) << line;
        }
    }
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 6) << listed.out; // 4 nodes, 2 sysfs devices
    EXPECT_EQ(programs, (std::vector<std::string>{"i2c_lcd", "spi_ioctl", "adc_test", "pwm_led_mraa", "ky013",
                                                   "spi_mraa", "calculator"}));
    const auto found = run_child({VBOARD_COMMAND_PATH, "run", "-q", "--", "/usr/bin/python3", "-c", script}, "");
    EXPECT_EQ(found.out, expected) << found.err;
    EXPECT_EQ(found.exit_code, 0) << found.err;
}

// Every way of writing an option means the same: --name VALUE, --name=VALUE,
// a unique prefix, and the short option, with its value apart or joined.
TEST(CommandLine, AnOptionMeansTheSameHoweverItIsWritten)
{
    const std::vector<std::vector<std::string>> spellings{
        {"--for", "2.5", "--lines", "2"}, {"--for=2.5", "--lines=2"}, {"--fo=2.5", "--li", "2"},
        {"-t", "2.5", "-n", "2"},         {"-t2.5", "-n2"},           {"-qt2.5", "-n2"},
    };
    for (const auto& options : spellings) {
        std::vector<std::string> argv{VBOARD_COMMAND_PATH, "run", "--quiet"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {DEVPROBE_PATH, "ticks", "1000", "1000000"});
        const auto r = run_child(argv, "");
        EXPECT_EQ(r.out, "tick 0\ntick 1\n") << testing::PrintToString(options) << r.err;
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }
    // After PROGRAM, an option is the program's own.
    const auto r = run_child({VBOARD_COMMAND_PATH, "run", "--quiet", DEVPROBE_PATH, "print", "--for"}, "");
    EXPECT_EQ(r.out, "--for\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

struct Unrunnable {
    std::string program;
    int status;
    std::string err;
};

// A program that is there but cannot be run ends vboard with 126, one that
// is not there with 127, as env(1) and the shell end; each says why, and
// nothing runs.
TEST(CommandLine, AProgramThatCannotBeRunEndsWithEnvsStatuses)
{
    const fs::path dir = fs::temp_directory_path() / ("vboard-unrunnable-" + std::to_string(getpid()));
    fs::create_directories(dir / "bin");
    const fs::path plain = dir / "bin" / "notes";
    std::ofstream(plain) << "not a program\n";
    chmod(plain.c_str(), 0644);
    // Executable, but nothing the kernel can run: no ELF, no "#!" line.
    const fs::path garbage = dir / "bin" / "garbage";
    std::ofstream(garbage) << "\x7f" "ELX not a program\n";
    chmod(garbage.c_str(), 0755);
    // A script whose interpreter is not there: execve says ENOENT.
    const fs::path orphan = dir / "bin" / "orphan";
    std::ofstream(orphan) << "#!/no/such/interpreter\n";
    chmod(orphan.c_str(), 0755);
    const std::vector<Unrunnable> cases{
        {plain.string(), 126, "vboard: cannot run " + plain.string() + ": Permission denied\n"},
        {dir.string(), 126, "vboard: cannot run " + dir.string() + ": it is a directory\n"},
        {"/dev/null", 126, "vboard: cannot run /dev/null: it is no regular file\n"},
        {garbage.string(), 126, "vboard: cannot run " + garbage.string() + ": Exec format error\n"},
        {orphan.string(), 127, "vboard: cannot run " + orphan.string() + ": No such file or directory\n"},
        {"", 127, "vboard: the program's name is empty\n"},
        {dir.string() + "/absent", 127, "vboard: no program " + dir.string() + "/absent: No such file or directory\n"},
        {plain.string() + "/x", 127, "vboard: no program " + plain.string() + "/x: Not a directory\n"},
        // Found in PATH, but not executable.
        {"notes", 126, "vboard: cannot run " + plain.string() + ": Permission denied\n"},
        {"no_such_program", 127,
         "vboard: no program no_such_program (not in PATH, and not one of the board's: i2c_lcd, spi_ioctl, "
         "adc_test, pwm_led_mraa, ky013, spi_mraa, calculator)\n"},
    };
    const std::string path = "PATH=" + (dir / "bin").string() + ":/usr/bin:/bin";
    for (const auto& c : cases) {
        const auto r = run_child({"/usr/bin/env", path, VBOARD_COMMAND_PATH, "run", "--quiet", c.program}, "");
        EXPECT_EQ(r.exit_code, c.status) << c.program;
        EXPECT_EQ(r.err, c.err) << c.program;
        EXPECT_EQ(r.out, "");
    }
    fs::remove_all(dir);
}

// Two of vboard's outputs on one file would interleave their lines:
// refused before anything is written, under any of the file's names.
TEST(CommandLine, TwoOutputsOnOneFileAreRefused)
{
    const fs::path dir = fs::temp_directory_path() / ("vboard-outputs-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string file = (dir / "record").string();
    const std::string relative = (dir / "." / "record").string();
    const std::vector<std::vector<std::string>> cases{
        {"--trace", file, "--vcd", file},
        {"--trace", file, "--vcd", relative},
        {"--view", file, "--trace", file},
        {"--view", "-", "--trace", "/dev/stdout"},
    };
    for (const auto& options : cases) {
        std::vector<std::string> argv{VBOARD_COMMAND_PATH, "run"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {DEVPROBE_PATH, "print", "ran"});
        const auto r = run_child(argv, "");
        EXPECT_EQ(r.exit_code, 2) << testing::PrintToString(options);
        EXPECT_NE(r.err.find("name the same file"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(file));
    }
    // A device has no offset to share: both may write to /dev/null.
    const auto r = run_child({VBOARD_COMMAND_PATH, "run", "--quiet", "--trace", "/dev/null", "--vcd", "/dev/null",
                              DEVPROBE_PATH, "print", "ran"},
                             "");
    EXPECT_EQ(r.out, "ran\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    fs::remove_all(dir);
}

} // namespace
