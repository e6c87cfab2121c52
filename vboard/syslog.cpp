#include "syslog.hpp"

#include <charconv>
#include <utility>

namespace vboard {

namespace {

// A message that comes without a priority is user.notice, as a syslog
// daemon files it (RFC 3164, 4.3.3).
constexpr int notice = 5;

// The <PRIORITY> a datagram starts with, and where the rest begins.
std::optional<std::pair<int, std::size_t>> priority_of(std::string_view datagram)
{
    const auto close = datagram.find('>');
    if (datagram.empty() || datagram.front() != '<' || close == std::string_view::npos) {
        return std::nullopt;
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(datagram.data() + 1, datagram.data() + close, value);
    if (ec != std::errc() || end != datagram.data() + close || value < 0) {
        return std::nullopt;
    }
    return std::pair(value & 7, close + 1);
}

} // namespace

std::optional<SyslogMessage> parse_syslog(std::string_view datagram)
{
    if (datagram.empty()) {
        return std::nullopt;
    }
    const auto priority = priority_of(datagram);
    if (!priority) {
        return SyslogMessage{notice, std::string(datagram)};
    }
    std::string_view rest = datagram.substr(priority->second);
    // The header ends at the first ": " (the timestamp's colons are
    // followed by digits); a message sent without one is taken whole.
    if (const auto colon = rest.find(": "); colon != std::string_view::npos) {
        rest.remove_prefix(colon + 2);
    }
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\0')) {
        rest.remove_suffix(1);
    }
    return SyslogMessage{priority->first, std::string(rest)};
}

} // namespace vboard
