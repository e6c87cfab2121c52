#include "syslog.hpp"

#include <charconv>

namespace vboard {

std::optional<SyslogMessage> parse_syslog(std::string_view datagram)
{
    if (datagram.size() < 3 || datagram.front() != '<') {
        return std::nullopt;
    }
    const auto close = datagram.find('>');
    int value = 0;
    const auto [end, ec] = std::from_chars(datagram.data() + 1, datagram.data() + (close == std::string_view::npos ? 1 : close), value);
    if (close == std::string_view::npos || ec != std::errc() || end != datagram.data() + close || value < 0) {
        return std::nullopt;
    }
    std::string_view rest = datagram.substr(close + 1);
    // The header ends at the first ": " (the timestamp's colons are
    // followed by digits); a message sent without one is taken whole.
    if (const auto colon = rest.find(": "); colon != std::string_view::npos) {
        rest.remove_prefix(colon + 2);
    }
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\0')) {
        rest.remove_suffix(1);
    }
    return SyslogMessage{value & 7, std::string(rest)};
}

} // namespace vboard
