// The live view as it reaches a person: on a terminal, with its status
// line; into a file or a pipe, as plain text; in the locale's characters.

#include "child_process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::run_child;

struct Screen {
    std::string seen; // every byte vboard and the program wrote to the terminal
    int status = -1;
};

// Runs `argv` on a terminal of `columns` x `rows` with `environment`
// (NAME=VALUE, on top of a TERM of xterm and no NO_COLOR), reading what it
// draws; `meanwhile` may act on the terminal's master side as the text
// comes in, and returns true once it has done all it wanted.
Screen on_terminal(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int columns,
                   int rows, const std::function<bool(int, const std::string&)>& meanwhile = nullptr)
{
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
    if (child == 0) {
        setenv("TERM", "xterm", 1);
        unsetenv("NO_COLOR");
        for (const auto& setting : environment) {
            putenv(const_cast<char*>(setting.c_str()));
        }
        test_support::exec_argv(argv);
    }
    Screen screen;
    bool done = meanwhile == nullptr;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < give_up) {
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) {
            continue;
        }
        char bytes[4096];
        const ssize_t n = read(terminal, bytes, sizeof bytes);
        if (n <= 0) {
            break; // EIO: the terminal's last user has gone
        }
        screen.seen.append(bytes, static_cast<std::size_t>(n));
        done = done || meanwhile(terminal, screen.seen);
    }
    kill(child, SIGKILL);
    waitpid(child, &screen.status, 0);
    close(terminal);
    return screen;
}

std::string file_text(const fs::path& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The status line's texts as drawn: each between "erase the bottom row,
// reverse video" and "plain, restore the cursor".
std::vector<std::string> status_texts(const std::string& seen, int rows)
{
    const std::regex drawn("\0337\033\\[" + std::to_string(rows) + ";1H\033\\[2K\033\\[7m([^\033]*)\033\\[0m\0338");
    std::vector<std::string> texts;
    for (std::sregex_iterator i(seen.begin(), seen.end(), drawn), end; i != end; ++i) {
        texts.push_back((*i)[1]);
    }
    return texts;
}

const std::string wake_up_at_once[] = {DEVPROBE_PATH, "open", "/dev/i2c-0", "rw", "address", "0x27", "i2cwrite",
                                       "0c083c38"};

// Escapes (colour, the status line's scroll region) only on a terminal
// that takes them, unless --color says otherwise; the rest of the view the
// same either way.
TEST(View, EscapesFollowColorNoColorTermAndWhereTheViewGoes)
{
    struct Case {
        const char* name;
        bool to_file;
        std::vector<std::string> options;
        std::vector<std::string> environment;
        bool escapes;
    };
    const Case cases[] = {
        {"terminal", false, {}, {}, true},
        {"terminal, NO_COLOR", false, {}, {"NO_COLOR=1"}, false},
        {"terminal, NO_COLOR empty", false, {}, {"NO_COLOR="}, true},
        {"terminal, TERM=dumb", false, {}, {"TERM=dumb"}, false},
        {"terminal, --color=never", false, {"--color=never"}, {}, false},
        {"terminal, NO_COLOR, --color=always", false, {"--color=always"}, {"NO_COLOR=1"}, true},
        {"file", true, {}, {}, false},
        {"file, --color=auto", true, {"--color=auto"}, {}, false},
        {"file, --color", true, {"--color"}, {}, true},
    };
    const fs::path dir = fs::temp_directory_path() / ("vboard-view-escapes-" + std::to_string(getpid()));
    fs::create_directories(dir);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv{VBOARD_COMMAND_PATH, "run"};
        if (c.to_file) {
            argv.insert(argv.end(), {"--view", (dir / "view.txt").string()});
        }
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.emplace_back("--");
        argv.insert(argv.end(), std::begin(wake_up_at_once), std::end(wake_up_at_once));
        const Screen screen = on_terminal(argv, c.environment, 80, 24);
        ASSERT_TRUE(WIFEXITED(screen.status) && WEXITSTATUS(screen.status) == 0) << screen.seen;
        const std::string view = c.to_file ? file_text(dir / "view.txt") : screen.seen;
        EXPECT_EQ(view.find('\033') != std::string::npos, c.escapes) << view;
        // The scroll region of the status line, on the terminal alone.
        EXPECT_EQ(screen.seen.find("\033[1;23r") != std::string::npos, c.escapes && !c.to_file) << screen.seen;
        EXPECT_NE(view.find("i2c-0 I2C_SLAVE 0x27"), std::string::npos) << view;
        EXPECT_NE(view.find("lcd: instruction 0x00 lost"), std::string::npos) << view;
    }
    fs::remove_all(dir);
}

// Boxes, bars and the micro sign in UTF-8 only where the locale is; in
// ASCII otherwise, with nothing past it.
TEST(View, CharactersFollowTheLocale)
{
    struct Case {
        const char* locale;
        const char* program;
        std::vector<std::string> arguments;
        std::vector<std::string> drawn;
    };
    const Case cases[] = {
        {"C.UTF-8", I2C_LCD_PATH, {}, {"\u250c\u2500\u2500", "\u2502Prog for I2C on \u2502"}},
        {"C", I2C_LCD_PATH, {}, {"+----------------+\n", "|Prog for I2C on |"}},
        {"C.UTF-8", DEVPROBE_PATH, {"open", "/dev/i2c-0", "rw", "address", "0x27", "i2cwrite", "0c083c38"}, {" \u00b5s more"}},
        {"C", DEVPROBE_PATH, {"open", "/dev/i2c-0", "rw", "address", "0x27", "i2cwrite", "0c083c38"}, {" us more"}},
        {"C.UTF-8", PWM_LED_MRAA_PATH, {}, {"\u2588\u2588\u2588", "\u00b7\u00b7\u00b7"}},
        {"C", PWM_LED_MRAA_PATH, {}, {"###", "..."}},
    };
    const fs::path dir = fs::temp_directory_path() / ("vboard-view-locale-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string view = (dir / "view.txt").string();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.locale) + " " + c.program);
        std::vector<std::string> argv{"/usr/bin/env", std::string("LC_ALL=") + c.locale, VBOARD_COMMAND_PATH, "run",
                                      "--speed=max", "--for=3", "--view", view, "--", c.program};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const auto r = run_child(argv, "");
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const std::string drawn = file_text(view);
        for (const auto& piece : c.drawn) {
            EXPECT_NE(drawn.find(piece), std::string::npos) << piece << " in\n" << drawn;
        }
        if (std::string(c.locale) == "C") {
            EXPECT_EQ(std::count_if(drawn.begin(), drawn.end(), [](char b) { return (b & 0x80) != 0; }), 0) << drawn;
        }
    }
    fs::remove_all(dir);
}

// The fader's bar starts in one column whatever the duty cycle's width.
TEST(View, ThePwmBarKeepsItsColumn)
{
    const fs::path dir = fs::temp_directory_path() / ("vboard-view-bar-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string view = (dir / "view.txt").string();
    const auto r = run_child(
        {"/usr/bin/env", "LC_ALL=C", VBOARD_COMMAND_PATH, "run", "--speed=max", "--for=60", "--view", view, PWM_LED_MRAA_PATH},
        "");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::ifstream in(view);
    std::set<std::size_t> columns;
    std::set<std::size_t> widths;
    for (std::string line; std::getline(in, line);) {
        if (line.find("duty_cycle <- ") != std::string::npos && line.back() == '%') {
            columns.insert(line.find_first_of("#.", line.rfind('"') + 1));
            widths.insert(line.rfind('"') - line.find("<- \""));
        }
    }
    EXPECT_GT(widths.size(), 2u) << "duty cycles of one width only: the test proves nothing";
    EXPECT_EQ(columns.size(), 1u);
    fs::remove_all(dir);
}

// The status line: the bottom row kept out of the scroll region, each text
// cut to the terminal's width, the knobs only once the program reads the
// ADC, laid out again when the terminal is resized, and the whole screen
// given back at the end.
TEST(View, StatusLineIsPinnedCutToTheWidthAndGivenBack)
{
    bool resized = false;
    const Screen adc = on_terminal(
        {VBOARD_COMMAND_PATH, "run", "--speed=20", "--for=10", "--adc=6=2048", "adc_test", "6"}, {}, 40, 12,
        [&resized](int terminal, const std::string& seen) {
            if (!resized && seen.find("ADC 6: 2048") != std::string::npos) {
                winsize size{};
                size.ws_col = 60;
                size.ws_row = 20;
                ioctl(terminal, TIOCSWINSZ, &size); // the kernel sends SIGWINCH
                resized = true;
            }
            return resized;
        });
    ASSERT_TRUE(WIFEXITED(adc.status) && WEXITSTATUS(adc.status) == 0) << adc.seen;
    ASSERT_TRUE(resized) << adc.seen;
    EXPECT_LT(adc.seen.find("\033[1;11r"), adc.seen.find("\033[7m")) << "the region first";
    const auto small = status_texts(adc.seen, 12);
    ASSERT_FALSE(small.empty()) << adc.seen;
    EXPECT_EQ(small.front().rfind("[    0.000 s]  speed 20x", 0), 0u) << small.front();
    for (const auto& text : small) {
        EXPECT_LE(text.size(), 40u) << text;
    }
    // Laid out again at 60 x 20, its text longer now.
    const std::size_t relaid = adc.seen.find("\033[r\033[1;19r");
    ASSERT_NE(relaid, std::string::npos) << adc.seen;
    const auto large = status_texts(adc.seen.substr(relaid), 20);
    ASSERT_FALSE(large.empty());
    EXPECT_TRUE(std::regex_search(large.back(), std::regex(R"(^\[ +[0-9.]+ s\]  speed 20x  ADC 6: 2048 = 1\.650 V  <- )")))
        << large.back();
    EXPECT_LE(large.back().size(), 60u);
    // Given back: the row cleared, the whole screen scrolling, nothing drawn after.
    EXPECT_EQ(adc.seen.rfind("\0337\033[20;1H\033[2K\033[r\0338"), adc.seen.rfind("\0337")) << adc.seen;

    // A program that reads no ADC: the time and speed alone.
    const Screen ticks =
        on_terminal({VBOARD_COMMAND_PATH, "run", "--speed=20", "--", DEVPROBE_PATH, "ticks", "5", "100000"}, {}, 80, 24);
    ASSERT_TRUE(WIFEXITED(ticks.status) && WEXITSTATUS(ticks.status) == 0) << ticks.seen;
    const auto texts = status_texts(ticks.seen, 24);
    ASSERT_FALSE(texts.empty()) << ticks.seen;
    for (const auto& text : texts) {
        EXPECT_TRUE(std::regex_match(text, std::regex(R"(\[ +[0-9]+\.[0-9]{3} s\]  speed 20x)"))) << text;
    }
}

// When the program takes the terminal in the middle of its prompt, vboard's
// notice starts a line of its own.
TEST(View, NoticesStartALineOfTheirOwn)
{
    const Screen screen = on_terminal({VBOARD_COMMAND_PATH, "run", "--color=never", "--", "/bin/sh", "-c",
                                       "printf 'name? '; read name; echo \"hello $name\""},
                                      {}, 80, 24, [](int terminal, const std::string& seen) {
                                          if (seen.find("live control is off") == std::string::npos) {
                                              return false;
                                          }
                                          return write(terminal, "bob\n", 4) == 4;
                                      });
    ASSERT_TRUE(WIFEXITED(screen.status) && WEXITSTATUS(screen.status) == 0) << screen.seen;
    const std::size_t notice = screen.seen.find("vboard: the program reads the terminal");
    ASSERT_NE(notice, std::string::npos) << screen.seen;
    EXPECT_TRUE(notice == 0 || screen.seen[notice - 1] == '\n') << screen.seen;
    EXPECT_NE(screen.seen.find("hello bob"), std::string::npos) << screen.seen;
}

} // namespace
