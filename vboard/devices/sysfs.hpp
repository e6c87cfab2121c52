#pragma once

// What a driver puts into its device's sysfs directory, in the driver's own
// terms: the attribute files it declares, and for each one its show() (the
// text a read returns) and store() (what a written buffer does). The board's
// sysfs filesystem (sysfs/) serves them to programs with the kernel's rules.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vboard {

// One attribute file, as a driver declares it (struct device_attribute):
// readable if it has a show(), writable if it has a store(). The kernel
// shows such a file with mode 0644, 0444 or 0200 accordingly.
struct AttributeFile {
    std::string path; // below the device directory, e.g. "pwm0/duty_cycle"
    bool readable;
    bool writable;
    // Created and removed while the device runs (a PWM channel's files
    // appear on export), rather than for the device's whole life.
    bool transient = false;
};

class SysfsDevice {
public:
    virtual ~SysfsDevice() = default;
    // The files the device's directory holds now; subdirectories follow
    // from the paths. Looked up on every open, so kept rather than made.
    virtual const std::vector<AttributeFile>& attributes() const = 0;
    // The attribute's value as `cat` shows it, or nullopt with `error` set.
    virtual std::optional<std::string> show(const std::string& attr, int& error) = 0;
    // Hands the written bytes to the driver; returns 0 or the errno it refuses them with.
    virtual int store(const std::string& attr, std::string_view bytes) = 0;
};

// The kernel's parsers for written values, as a store() calls them: the
// text ends at the first NUL, one trailing newline is accepted, anything
// else makes the write fail.
//  - kstrtobool: y/Y/1/on or n/N/0/off (only the first one or two
//    characters are looked at);
//  - kstrtoull, kstrtouint...: an optional '+', digits in `base`; base 0
//    takes "0x" for hexadecimal and a leading 0 for octal. The result is 0
//    or the parser's errno: EINVAL for text that is no number, ERANGE for a
//    number above `max`;
//  - kstrtoll, kstrtoint...: the same with an optional '-', within
//    -max - 1 .. max.
std::optional<bool> parse_bool(std::string_view text);
int parse_unsigned(std::string_view text, unsigned base, unsigned long long max, unsigned long long& value);
int parse_signed(std::string_view text, unsigned base, long long max, long long& value);

} // namespace vboard
