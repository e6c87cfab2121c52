#include "faults.hpp"

#include "devices/ioctl_names.hpp"
#include "text.hpp"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <limits>

namespace vboard {

namespace {

std::optional<long> parse_number(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// A count from 1 (an occurrence, a frame), which an int holds.
std::optional<int> parse_count(std::string_view text)
{
    const auto n = parse_number(text);
    if (!n || *n < 1 || *n > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    return static_cast<int>(*n);
}

// The path with `.`, `..` and repeated slashes resolved as text, if it then
// lies strictly inside the board's /dev or /sys; nothing of the PC's may be
// named, whatever the path's spelling.
std::optional<std::string> board_path(std::string_view text)
{
    if (text.empty() || text.front() != '/') {
        return std::nullopt;
    }
    std::string path = std::filesystem::path(std::string(text)).lexically_normal().string();
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const bool inside = (path.rfind("/dev/", 0) == 0 && path.size() > 5) || (path.rfind("/sys/", 0) == 0 && path.size() > 5);
    if (!inside) {
        return std::nullopt;
    }
    return path;
}

constexpr std::array<std::pair<std::string_view, int>, 12> errno_names{{
    {"EPERM", EPERM}, {"ENOENT", ENOENT}, {"EIO", EIO}, {"ENXIO", ENXIO}, {"EBADF", EBADF}, {"EAGAIN", EAGAIN},
    {"EACCES", EACCES}, {"EBUSY", EBUSY}, {"ENODEV", ENODEV}, {"EINVAL", EINVAL}, {"ENOTTY", ENOTTY},
    {"ETIMEDOUT", ETIMEDOUT},
}};

std::optional<int> parse_errno(std::string_view text)
{
    for (const auto& [name, value] : errno_names) {
        if (text == name) {
            return value;
        }
    }
    const auto number = parse_number(text);
    if (number && *number > 0 && *number < 4096) {
        return static_cast<int>(*number);
    }
    return std::nullopt;
}

} // namespace

bool path_within(const std::string& path, const std::string& prefix)
{
    return path == prefix || (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
                              (prefix.back() == '/' || path[prefix.size()] == '/'));
}

void FaultPlan::refuse_ioctl(std::string device, unsigned long request, bool any_message, int error, int occurrence)
{
    ioctls_.push_back({std::move(device), request, any_message, error, occurrence});
}

std::string FaultPlan::add(std::string_view spec)
{
    const auto equals = spec.find('=');
    if (equals == std::string_view::npos) {
        return "a fault is KIND=WHAT, e.g. absent=/dev/i2c-0";
    }
    const std::string_view kind = spec.substr(0, equals);
    const std::string_view what = spec.substr(equals + 1);
    if (kind == "absent" || kind == "deny" || kind == "write") {
        std::string path(what);
        int occurrence = 0;
        // write=PATH:N; sysfs paths have colons of their own (iio:device0),
        // so only a last part that is all digits counts as N.
        const auto colon = path.rfind(':');
        if (kind == "write" && colon != std::string::npos && colon + 1 < path.size() &&
            path.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
            const auto n = parse_count(std::string_view(path).substr(colon + 1));
            if (!n) {
                return "write=PATH:N counts writes from 1 to " + std::to_string(std::numeric_limits<int>::max());
            }
            occurrence = *n;
            path.erase(colon);
        }
        const auto inside = board_path(path);
        if (!inside) {
            return std::string(kind) + "=" + path + " names nothing of the board: give an absolute path inside its /dev or /sys";
        }
        path = *inside;
        if (kind == "absent") {
            absent(path);
        } else if (kind == "deny") {
            deny(path);
        } else {
            refuse_writes(path, occurrence);
        }
        return "";
    }
    if (kind == "nack") {
        const auto parts = split(what, ":");
        const auto address = parts.size() == 2 ? parse_number(parts[0]) : std::nullopt;
        const auto frame = parts.size() == 2 ? parse_count(parts[1]) : std::nullopt;
        if (!address || !frame || *address < 0 || *address > 0x7F) {
            return "nack= needs ADDRESS:FRAME, an address 0..0x7f and a frame from 1 to " +
                   std::to_string(std::numeric_limits<int>::max());
        }
        nack(static_cast<int>(*address), *frame);
        return "";
    }
    if (kind == "ioctl") {
        const auto parts = split(what, ":");
        if (parts.size() < 2 || parts.size() > 4 || parts[0].empty()) {
            return "ioctl= needs DEVICE:REQUEST[:ERRNO[:N]]";
        }
        if (parts[0].find('/') != std::string_view::npos) {
            return "ioctl= names the node, not its path: " +
                   std::filesystem::path(std::string(parts[0])).filename().string() + ", not " + std::string(parts[0]);
        }
        unsigned long request = 0;
        const bool any_message = parts[1] == spi_message_name;
        if (!any_message) {
            bool named = false;
            for (const auto& entry : ioctl_names) {
                if (entry.name == parts[1]) {
                    request = entry.number;
                    named = true;
                }
            }
            const auto number = named ? std::nullopt : parse_number(parts[1]);
            if (!named && !number) {
                return "unknown ioctl request " + std::string(parts[1]);
            }
            if (number) {
                request = static_cast<unsigned long>(*number);
            }
        }
        int error = EINVAL;
        if (parts.size() >= 3) {
            const auto e = parse_errno(parts[2]);
            if (!e) {
                return "unknown errno " + std::string(parts[2]);
            }
            error = *e;
        }
        int occurrence = 0;
        if (parts.size() == 4) {
            const auto n = parse_count(parts[3]);
            if (!n) {
                return "the occurrence N counts from 1 to " + std::to_string(std::numeric_limits<int>::max());
            }
            occurrence = *n;
        }
        refuse_ioctl(std::string(parts[0]), request, any_message, error, occurrence);
        return "";
    }
    return "unknown fault kind " + std::string(kind) + " (absent, deny, ioctl, nack, write)";
}

std::vector<std::pair<std::string, std::string>> FaultPlan::path_faults() const
{
    std::vector<std::pair<std::string, std::string>> faults;
    for (const auto& path : absent_) {
        faults.emplace_back("absent", path);
    }
    for (const auto& path : denied_) {
        faults.emplace_back("deny", path);
    }
    for (const auto& fault : writes_) {
        faults.emplace_back("write", fault.path);
    }
    return faults;
}

std::vector<std::string> FaultPlan::ioctl_devices() const
{
    std::vector<std::string> devices;
    for (const auto& fault : ioctls_) {
        devices.push_back(fault.device);
    }
    return devices;
}

std::vector<int> FaultPlan::nack_addresses() const
{
    std::vector<int> addresses;
    for (const auto& n : nacks_) {
        addresses.push_back(n.address);
    }
    return addresses;
}

void FaultPlan::canonicalise(const std::function<std::string(const std::string&)>& canonical)
{
    for (auto& path : absent_) {
        path = canonical(path);
    }
    for (auto& path : denied_) {
        path = canonical(path);
    }
    for (auto& fault : writes_) {
        fault.path = canonical(fault.path);
    }
}

bool FaultPlan::denied(const std::string& canonical_path) const
{
    for (const auto& prefix : denied_) {
        if (path_within(canonical_path, prefix)) {
            return true;
        }
    }
    return false;
}

bool FaultPlan::write_refused(const std::string& canonical_path)
{
    bool refused = false;
    for (auto& fault : writes_) {
        if (path_within(canonical_path, fault.path)) {
            ++fault.seen;
            refused = refused || fault.occurrence == 0 || fault.occurrence == fault.seen;
        }
    }
    return refused;
}

int FaultPlan::ioctl_error(std::string_view device, unsigned long request)
{
    int error = 0;
    for (auto& fault : ioctls_) {
        const bool matches = fault.device == device && (fault.any_message ? is_spi_message(request) : fault.request == request);
        if (!matches) {
            continue;
        }
        ++fault.seen;
        if (error == 0 && (fault.occurrence == 0 || fault.occurrence == fault.seen)) {
            error = fault.error;
        }
    }
    return error;
}

std::optional<int> FaultPlan::nack_from(int address) const
{
    std::optional<int> first;
    for (const auto& n : nacks_) {
        if (n.address == address && (!first || n.from_frame < *first)) {
            first = n.from_frame;
        }
    }
    return first;
}

} // namespace vboard
