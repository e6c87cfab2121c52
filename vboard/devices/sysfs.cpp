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

// _kstrtoull: digits in `base` (0: detected from the prefix), then
// nothing but an optional newline.
int parse_digits(std::string_view text, unsigned base, unsigned long long& value)
{
    const auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
    const auto digit_of = [&lower](char c) -> unsigned {
        c = lower(c);
        return c >= '0' && c <= '9' ? static_cast<unsigned>(c - '0') : c >= 'a' && c <= 'z' ? static_cast<unsigned>(c - 'a' + 10) : 99;
    };
    if (base == 0) {
        if (!text.empty() && text[0] == '0') {
            base = text.size() > 2 && lower(text[1]) == 'x' && digit_of(text[2]) < 16 ? 16 : 8;
        } else {
            base = 10;
        }
    }
    if (base == 16 && text.size() >= 2 && text[0] == '0' && lower(text[1]) == 'x') {
        text.remove_prefix(2);
    }
    value = 0;
    bool overflow = false;
    std::size_t used = 0;
    for (; used < text.size(); ++used) {
        const unsigned digit = digit_of(text[used]);
        if (digit >= base) {
            break;
        }
        if (value > (std::numeric_limits<unsigned long long>::max() - digit) / base) {
            overflow = true;
        }
        value = value * base + digit;
    }
    if (overflow) {
        return ERANGE;
    }
    text.remove_prefix(used);
    if (!text.empty() && text[0] == '\n') {
        text.remove_prefix(1);
    }
    return used == 0 || !text.empty() ? EINVAL : 0;
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

int parse_unsigned(std::string_view text, unsigned base, unsigned long long max, unsigned long long& value)
{
    text = as_c_string(text);
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
    }
    const int error = parse_digits(text, base, value);
    return error != 0 ? error : value > max ? ERANGE : 0;
}

int parse_signed(std::string_view text, unsigned base, long long max, long long& value)
{
    text = as_c_string(text);
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) {
        text.remove_prefix(1);
    } else if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
    }
    unsigned long long magnitude = 0;
    if (const int error = parse_digits(text, base, magnitude); error != 0) {
        return error;
    }
    const auto limit = static_cast<unsigned long long>(max) + (negative ? 1 : 0);
    if (magnitude > limit) {
        return ERANGE;
    }
    value = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    return 0;
}

} // namespace vboard
