// calculator: asks for a number, an operator and a second number on the
// console, and prints the calculation with its signed 32-bit result.

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "add.hpp"
#include "div.hpp"
#include "mul.hpp"
#include "sub.hpp"

namespace {

// Ends the program with `status`, unless its output could not be written
// (a full disk; a closed pipe where SIGPIPE is ignored): that is a failure,
// said on standard error, whatever the calculation gave.
[[noreturn]] void finish(int status)
{
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "calculator: cannot write standard output%s%s\n", flushed ? "" : ": ",
                     flushed ? "" : std::strerror(errno));
        std::exit(EXIT_FAILURE);
    }
    std::exit(status);
}

// Every message, errors included, goes to standard output: a person at the
// console reads them in line with the dialogue.
[[noreturn]] void fail(const char* message)
{
    std::puts(message);
    finish(EXIT_FAILURE);
}

// The prompts end without a newline, so a line-buffered terminal (or a
// fully buffered pipe) would hold them back while the program waits.
void prompt(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

int next_non_space()
{
    int c = std::getchar();
    while (c != EOF && std::isspace(c)) {
        c = std::getchar();
    }
    return c;
}

// Reads a decimal integer as scanf's "%d" would (white space skipped, an
// optional sign, digits up to the first other character, which is left
// unread), but gives up with "Invalid number." where "%d" would leave the
// value unset or overflow: no digit, end of input, or a value outside the
// signed 32-bit range.
std::int32_t read_number()
{
    int c = next_non_space();
    const bool negative = c == '-';
    if (c == '+' || c == '-') {
        c = std::getchar();
    }
    if (c == EOF || !std::isdigit(c)) {
        fail("Invalid number.");
    }
    // The magnitude is kept at most one past 2^31, so it never overflows
    // however many digits follow.
    constexpr std::int64_t magnitude_limit = std::int64_t{1} << 31;
    std::int64_t magnitude = 0;
    while (c != EOF && std::isdigit(c)) {
        if (magnitude <= magnitude_limit) {
            magnitude = magnitude * 10 + (c - '0');
        }
        c = std::getchar();
    }
    if (c != EOF) {
        std::ungetc(c, stdin);
    }
    if (magnitude > magnitude_limit - (negative ? 0 : 1)) {
        fail("Invalid number.");
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

// " %c": the next character that is not white space. At the end of input
// there is none; the NUL put in its place matches no operator.
char read_operator()
{
    const int c = next_non_space();
    return c == EOF ? '\0' : static_cast<char>(c);
}

std::int32_t checked_divide(std::int32_t first, std::int32_t second)
{
    switch (division_fault(first, second)) {
    case DivisionFault::by_zero:
        fail("Division by zero.");
    case DivisionFault::out_of_range:
        fail("Result out of range.");
    case DivisionFault::none:
        break;
    }
    return divide(first, second);
}

} // namespace

int main()
{
    prompt("Enter first number: ");
    const std::int32_t first = read_number();
    prompt("Enter operator (+, -, *, /): ");
    const char op = read_operator();
    prompt("Enter second number: ");
    const std::int32_t second = read_number();

    std::int32_t result = 0;
    switch (op) {
    case '+':
        result = add(first, second);
        break;
    case '-':
        result = subtract(first, second);
        break;
    case '*':
        result = multiply(first, second);
        break;
    case '/':
        result = checked_divide(first, second);
        break;
    default:
        fail("Invalid operator.");
    }
    std::printf("%d %c %d = %d\n", first, op, second, result);
    finish(EXIT_SUCCESS);
}
