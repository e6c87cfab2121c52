// The calculator binary, driven through pipes and through a pseudo-terminal.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "child_process.hpp"

namespace {

constexpr const char* first_prompt = "Enter first number: ";
constexpr const char* operator_prompt = "Enter operator (+, -, *, /): ";
constexpr const char* second_prompt = "Enter second number: ";

const std::string all_prompts = std::string(first_prompt) + operator_prompt + second_prompt;

struct Dialogue {
    const char* name;
    const char* input;
    std::string out; // everything expected on standard output
    int status;
};

void PrintTo(const Dialogue& d, std::ostream* os) { *os << d.name; }

std::string dialogue_name(const testing::TestParamInfo<Dialogue>& param) { return param.param.name; }

class Piped : public testing::TestWithParam<Dialogue> {};

TEST_P(Piped, PrintsExactlyAndExits)
{
    const Dialogue& d = GetParam();
    const auto r = test_support::run_child({CALCULATOR_PATH}, d.input);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, d.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, d.status);
}

// Reads of the three values succeed; the line or the error follows all prompts.
Dialogue full(const char* name, const char* input, const char* last_line, int status)
{
    return {name, input, all_prompts + last_line, status};
}

INSTANTIATE_TEST_SUITE_P(Arithmetic, Piped, testing::Values(
    full("add", "3\n+\n4\n", "3 + 4 = 7\n", 0),
    full("subtract_negative", "3\n-\n-2\n", "3 - -2 = 5\n", 0),
    full("multiply", "12\n*\n-7\n", "12 * -7 = -84\n", 0),
    full("divide_truncates", "7\n/\n2\n", "7 / 2 = 3\n", 0),
    full("divide_negative_dividend_toward_zero", "-7\n/\n2\n", "-7 / 2 = -3\n", 0),
    full("divide_negative_divisor_toward_zero", "7\n/\n-2\n", "7 / -2 = -3\n", 0),
    full("divide_smallest_by_one", "-2147483648 / 1", "-2147483648 / 1 = -2147483648\n", 0),
    full("sum_wraps_to_smallest", "2147483647\n+\n1\n", "2147483647 + 1 = -2147483648\n", 0),
    full("difference_wraps_to_largest", "-2147483648 - 1", "-2147483648 - 1 = 2147483647\n", 0),
    full("product_keeps_low_32_bits", "65536 * 65537", "65536 * 65537 = 65536\n", 0),
    full("product_of_smallest_and_minus_one_wraps", "-2147483648 * -1", "-2147483648 * -1 = -2147483648\n", 0)),
    dialogue_name);

INSTANTIATE_TEST_SUITE_P(InputLayout, Piped, testing::Values(
    full("one_line_with_blanks", "12 * 3\n", "12 * 3 = 36\n", 0),
    full("one_line_without_blanks", "12*3", "12 * 3 = 36\n", 0),
    full("minus_operator_without_blanks", "12-3", "12 - 3 = 9\n", 0),
    full("second_operand_signed_without_blanks", "12--3", "12 - -3 = 15\n", 0),
    full("operator_after_blank_lines", "5\n\n\n\n  \t\n+\n\n6\n", "5 + 6 = 11\n", 0),
    full("leading_plus_and_zeros_normalised", "+007 * 0003", "7 * 3 = 21\n", 0),
    full("negative_with_leading_zeros", "-0012 + 2", "-12 + 2 = -10\n", 0),
    full("carriage_returns_are_white_space", "4\r\n/\r\n2\r\n", "4 / 2 = 2\n", 0),
    full("no_final_newline", "8 - 9", "8 - 9 = -1\n", 0)),
    dialogue_name);

INSTANTIATE_TEST_SUITE_P(Errors, Piped, testing::Values(
    full("invalid_operator_after_second_number", "5\nx\n3\n", "Invalid operator.\n", 1),
    full("digit_as_operator", "5 5 5", "Invalid operator.\n", 1),
    full("division_by_zero", "7 / 0", "Division by zero.\n", 1),
    full("quotient_out_of_range", "-2147483648 / -1", "Result out of range.\n", 1),
    Dialogue{"letters_for_first_number", "abc + 1", std::string(first_prompt) + "Invalid number.\n", 1},
    Dialogue{"no_input_at_all", "", std::string(first_prompt) + "Invalid number.\n", 1},
    Dialogue{"sign_without_digits", "- 5 + 1", std::string(first_prompt) + "Invalid number.\n", 1},
    Dialogue{"first_number_one_past_largest", "2147483648 + 1",
             std::string(first_prompt) + "Invalid number.\n", 1},
    Dialogue{"first_number_one_below_smallest", "-2147483649 + 1",
             std::string(first_prompt) + "Invalid number.\n", 1},
    Dialogue{"twenty_digit_number", "99999999999999999999 + 1",
             std::string(first_prompt) + "Invalid number.\n", 1},
    full("letters_for_second_number", "5 + x", "Invalid number.\n", 1),
    full("input_ends_before_second_number", "5 +", "Invalid number.\n", 1),
    full("input_ends_before_operator", "5\n", "Invalid number.\n", 1),
    full("second_number_out_of_range", "1 + 4294967296", "Invalid number.\n", 1)),
    dialogue_name);

// --- Interactively: each answer is written only once its prompt is seen ---

// A running calculator and the two ends the test talks to it through.
struct Session {
    pid_t pid = -1;
    int to_child = -1;   // what the test types
    int from_child = -1; // what the calculator prints
};

// Through a pseudo-terminal, as a person at a console.
Session start_on_terminal()
{
    Session s;
    int master = -1;
    s.pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (s.pid == 0) {
        execl(CALCULATOR_PATH, CALCULATOR_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    s.to_child = master;
    s.from_child = master;
    return s;
}

// Through two pipes, as a script or another program would drive it.
Session start_on_pipes()
{
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
        return {};
    }
    Session s;
    s.pid = fork();
    if (s.pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        execl(CALCULATOR_PATH, CALCULATOR_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    s.to_child = in[1];
    s.from_child = out[0];
    return s;
}

// Reads what the calculator prints until `text` has appeared in
// `transcript`; false after a few seconds of silence or at its end.
bool wait_for(int fd, std::string& transcript, const std::string& text)
{
    while (transcript.find(text) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) {
            return false;
        }
        char buffer[256];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        transcript.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

void type(int fd, const std::string& answer)
{
    ASSERT_EQ(write(fd, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
}

struct Console {
    const char* name;
    Session (*start)();
    const char* transcript; // all the calculator's side shows, answers included
};

void PrintTo(const Console& c, std::ostream* os) { *os << c.name; }

class Interactive : public testing::TestWithParam<Console> {};

TEST_P(Interactive, EachPromptAppearsBeforeItsAnswerIsTyped)
{
    const Session s = GetParam().start();
    ASSERT_GT(s.pid, 0);
    std::string transcript;
    ASSERT_TRUE(wait_for(s.from_child, transcript, first_prompt)) << transcript;
    type(s.to_child, "12\n");
    ASSERT_TRUE(wait_for(s.from_child, transcript, operator_prompt)) << transcript;
    type(s.to_child, "*\n");
    ASSERT_TRUE(wait_for(s.from_child, transcript, second_prompt)) << transcript;
    type(s.to_child, "-7\n");
    ASSERT_TRUE(wait_for(s.from_child, transcript, "= -84")) << transcript;
    wait_for(s.from_child, transcript, "\n");

    EXPECT_EQ(transcript, GetParam().transcript);
    int status = 0;
    ASSERT_EQ(waitpid(s.pid, &status, 0), s.pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(s.to_child);
    if (s.from_child != s.to_child) {
        close(s.from_child);
    }
}

INSTANTIATE_TEST_SUITE_P(Console, Interactive, testing::Values(
    // A terminal echoes what was typed and turns each newline into CR LF.
    Console{"terminal", start_on_terminal,
            "Enter first number: 12\r\n"
            "Enter operator (+, -, *, /): *\r\n"
            "Enter second number: -7\r\n"
            "12 * -7 = -84\r\n"},
    Console{"pipe", start_on_pipes,
            "Enter first number: "
            "Enter operator (+, -, *, /): "
            "Enter second number: "
            "12 * -7 = -84\n"}),
    [](const testing::TestParamInfo<Console>& param) { return std::string(param.param.name); });

} // namespace
