#include "iio_adc.hpp"

#include <cerrno>

namespace vboard {

namespace {

constexpr std::string_view raw_prefix = "in_voltage";
constexpr std::string_view raw_suffix = "_raw";
constexpr std::string_view scan_prefix = "scan_elements/in_voltage";
constexpr std::string_view scan_suffix = "_en";

} // namespace

void IioAdc::set_values(int channel, std::vector<std::string> values)
{
    if (channel >= 0 && channel < channels && !values.empty()) {
        channels_[static_cast<std::size_t>(channel)] = Channel{std::move(values), 0, false};
    }
}

// The IIO core's files: the device's name, the buffer's controls, and per
// channel its raw value (read-only: a read starts a conversion) and its
// scan element switch.
std::vector<AttributeFile> IioAdc::attributes() const
{
    std::vector<AttributeFile> files{{"name", true, false}, {"buffer/enable", true, true}, {"buffer/length", true, true}};
    for (int n = 0; n < channels; ++n) {
        files.push_back({std::string(raw_prefix) + std::to_string(n) + std::string(raw_suffix), true, false});
    }
    for (int n = 0; n < channels; ++n) {
        files.push_back({std::string(scan_prefix) + std::to_string(n) + std::string(scan_suffix), true, true});
    }
    return files;
}

int IioAdc::channel_of(const std::string& attr, std::string_view prefix, std::string_view suffix)
{
    if (attr.size() != prefix.size() + 1 + suffix.size() || attr.compare(0, prefix.size(), prefix) != 0 ||
        attr.compare(prefix.size() + 1, suffix.size(), suffix) != 0) {
        return -1;
    }
    const char digit = attr[prefix.size()];
    return digit >= '0' && digit < '0' + channels ? digit - '0' : -1;
}

std::optional<std::string> IioAdc::show(const std::string& attr, int& error)
{
    if (const int n = channel_of(attr, raw_prefix, raw_suffix); n >= 0) {
        // Each read starts a conversion; a sequence moves on by one value.
        Channel& channel = channels_[static_cast<std::size_t>(n)];
        const std::string& value = channel.values[channel.next];
        if (channel.next + 1 < channel.values.size()) {
            ++channel.next;
        }
        return value + "\n";
    }
    if (const int n = channel_of(attr, scan_prefix, scan_suffix); n >= 0) {
        return channels_[static_cast<std::size_t>(n)].scan_enabled ? "1\n" : "0\n";
    }
    if (attr == "buffer/enable") {
        return buffer_enabled_ ? "1\n" : "0\n";
    }
    if (attr == "buffer/length") {
        return std::to_string(buffer_length_) + "\n";
    }
    if (attr == "name") {
        return "virtual-adc\n";
    }
    error = EIO;
    return std::nullopt;
}

int IioAdc::store(const std::string& attr, std::string_view bytes)
{
    if (const int n = channel_of(attr, scan_prefix, scan_suffix); n >= 0) {
        const auto enable = parse_bool(bytes);
        if (!enable) {
            return EINVAL;
        }
        // The scan mask cannot change under a running buffer.
        if (buffer_enabled_) {
            return EBUSY;
        }
        channels_[static_cast<std::size_t>(n)].scan_enabled = *enable;
        return 0;
    }
    if (attr == "buffer/enable") {
        const auto enable = parse_bool(bytes);
        if (!enable) {
            return EINVAL;
        }
        buffer_enabled_ = *enable;
        return 0;
    }
    if (attr == "buffer/length") {
        const auto length = parse_unsigned(bytes);
        if (!length || *length > 0xFFFFFFFFu) {
            return EINVAL;
        }
        if (buffer_enabled_ && *length != buffer_length_) {
            return EBUSY;
        }
        buffer_length_ = *length;
        return 0;
    }
    // Read-only attributes have no store(): the write fails with EIO.
    return EIO;
}

} // namespace vboard
