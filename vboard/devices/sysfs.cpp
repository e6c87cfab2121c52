#include "sysfs.hpp"

#include <cerrno>
#include <limits>

namespace vboard {

namespace {

// The kernel hands a store() the written bytes followed by a NUL, so for
// the parsers the text ends at the first NUL written.
std::string_view as_c_string(std::string_view text)
{
    return text.substr(0, text.find('\0'));
}

// Digits of a number followed by nothing but an optional newline.
std::optional<unsigned long long> parse_digits(std::string_view text)
{
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    unsigned long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<unsigned long long>(c - '0');
        if (value > (std::numeric_limits<unsigned long long>::max() - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

std::optional<bool> parse_bool(std::string_view text)
{
    text = as_c_string(text);
    if (text.empty()) {
        return std::nullopt;
    }
    switch (text[0]) {
    case 'y': case 'Y': case 't': case 'T': case '1':
        return true;
    case 'n': case 'N': case 'f': case 'F': case '0':
        return false;
    case 'o': case 'O':
        if (text.size() > 1 && (text[1] == 'n' || text[1] == 'N')) {
            return true;
        }
        if (text.size() > 1 && (text[1] == 'f' || text[1] == 'F')) {
            return false;
        }
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

std::optional<unsigned long long> parse_unsigned(std::string_view text)
{
    text = as_c_string(text);
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
    }
    return parse_digits(text);
}

std::optional<long long> parse_signed(std::string_view text)
{
    text = as_c_string(text);
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        text.remove_prefix(1);
    }
    const auto magnitude = parse_digits(text);
    const auto limit = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
    if (!magnitude || *magnitude > limit + (negative ? 1 : 0)) {
        return std::nullopt;
    }
    return negative ? static_cast<long long>(0 - *magnitude) : static_cast<long long>(*magnitude);
}

} // namespace vboard
