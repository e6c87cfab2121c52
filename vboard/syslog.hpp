#pragma once

// The board's /dev/log, as a syslog daemon serves it: one datagram per
// message, which the C library formats as
//   <PRIORITY>TIMESTAMP TAG[PID]: MESSAGE
// (glibc and musl alike; the [PID] only with LOG_PID). Every program's
// messages reach the board this way, statically linked ones included.

#include <optional>
#include <string>
#include <string_view>

namespace vboard {

struct SyslogMessage {
    int priority; // the severity, 0 (emergency) to 7 (debug)
    std::string text;
};

// A datagram as the C library sends it; one without a <PRIORITY> is taken
// whole, at notice. Nullopt for an empty datagram.
std::optional<SyslogMessage> parse_syslog(std::string_view datagram);

} // namespace vboard
