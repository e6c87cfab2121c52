#include "sysfs.hpp"

#include "../events.hpp"
#include "../faults.hpp"

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

void AttributeServer::add_device(std::string directory, std::string name, SysfsDevice& device)
{
    devices_[std::move(directory)] = Device{std::move(name), &device};
}

std::optional<std::pair<std::string, std::string>> AttributeServer::device_of(const std::string& canonical_path) const
{
    for (const auto& [directory, device] : devices_) {
        if (path_within(canonical_path, directory)) {
            return std::pair{directory, device.name};
        }
    }
    return std::nullopt;
}

bool AttributeServer::open(int fd, const std::string& canonical_path)
{
    const auto device = device_of(canonical_path);
    if (!device || canonical_path == device->first) {
        return false;
    }
    const Device& d = devices_.at(device->first);
    files_[fd] = OpenFile{d.name, d.model, canonical_path.substr(device->first.size() + 1), canonical_path, ""};
    return true;
}

AttributeServer::Result AttributeServer::read(int fd, long offset, std::size_t count)
{
    const auto it = files_.find(fd);
    if (it == files_.end()) {
        return {-1, EBADF, ""};
    }
    OpenFile& file = it->second;
    if (offset == 0) {
        int error = 0;
        const auto value = file.model->show(file.attr, error);
        if (!value) {
            recorder_.record(SysfsAccess{recorder_.now(), file.device_name, file.attr, SysfsAccess::Op::read, "", -1, error});
            return {-1, error, ""};
        }
        file.shown = *value;
    }
    const auto from = static_cast<std::size_t>(offset);
    const std::string data = from < file.shown.size() ? file.shown.substr(from, count) : "";
    if (offset == 0) {
        // A read from the start is the driver showing its value; the reads
        // that follow only pick up the rest of it.
        recorder_.record(SysfsAccess{recorder_.now(), file.device_name, file.attr, SysfsAccess::Op::read, data,
                                     static_cast<long>(data.size()), 0});
    }
    return {static_cast<long>(data.size()), 0, data};
}

AttributeServer::Result AttributeServer::write(int fd, std::string_view bytes)
{
    const auto it = files_.find(fd);
    if (it == files_.end()) {
        return {-1, EBADF, ""};
    }
    OpenFile& file = it->second;
    const int error = faults_.write_refused(file.canonical_path) ? EINVAL : file.model->store(file.attr, bytes);
    const long result = error == 0 ? static_cast<long>(bytes.size()) : -1;
    recorder_.record(SysfsAccess{recorder_.now(), file.device_name, file.attr, SysfsAccess::Op::write,
                                 std::string(bytes), result, error});
    return {result, error, ""};
}

} // namespace vboard
