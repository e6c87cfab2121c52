#include "pwm_chip.hpp"

#include <array>
#include <cerrno>
#include <climits>

namespace vboard {

namespace {

constexpr const char* channel_directory = "pwm0";
constexpr std::array<const char*, 4> channel_attributes{"period", "duty_cycle", "enable", "polarity"};

} // namespace

// The chip's own files (pwmchip_groups: export and unexport are write-only,
// npwm read-only) and, while exported, the channel's (pwm_groups).
PwmChip::PwmChip() : files_{{"npwm", true, false}, {"export", false, true}, {"unexport", false, true}}
{
    exported_files_ = files_;
    for (const char* name : channel_attributes) {
        exported_files_.push_back({std::string(channel_directory) + "/" + name, true, true, true});
    }
}

std::optional<std::string> PwmChip::show(const std::string& attr, int& error)
{
    if (attr == "npwm") {
        return std::to_string(channels) + "\n";
    }
    const std::string prefix = std::string(channel_directory) + "/";
    if (attr.compare(0, prefix.size(), prefix) == 0) {
        // A file still open after unexport belongs to a channel that is gone.
        if (!exported_) {
            error = ENODEV;
            return std::nullopt;
        }
        const std::string name = attr.substr(prefix.size());
        if (name == "period") {
            return std::to_string(period_) + "\n";
        }
        if (name == "duty_cycle") {
            return std::to_string(duty_) + "\n";
        }
        if (name == "enable") {
            return enabled_ ? "1\n" : "0\n";
        }
        if (name == "polarity") {
            return inversed_ ? "inversed\n" : "normal\n";
        }
    }
    // export and unexport are write-only.
    error = EIO;
    return std::nullopt;
}

// export_store and unexport_store: the channel number is read with
// kstrtouint(buf, 0); a channel the chip does not have is ENODEV, exporting
// one already exported EBUSY, unexporting one not exported ENODEV.
int PwmChip::store(const std::string& attr, std::string_view bytes)
{
    if (attr == "export" || attr == "unexport") {
        unsigned long long channel = 0;
        if (const int error = parse_unsigned(bytes, 0, UINT_MAX, channel); error != 0) {
            return error;
        }
        if (channel >= channels) {
            return ENODEV;
        }
        if (attr == "export") {
            if (exported_) {
                return EBUSY;
            }
            exported_ = true;
            period_ = 0;
            duty_ = 0;
            enabled_ = false;
            inversed_ = false;
        } else {
            if (!exported_) {
                return ENODEV;
            }
            exported_ = false;
        }
        return 0;
    }
    const std::string prefix = std::string(channel_directory) + "/";
    if (attr.compare(0, prefix.size(), prefix) == 0) {
        return exported_ ? store_channel(attr.substr(prefix.size()), bytes) : ENODEV;
    }
    return EIO;
}

// The kernel checks every new state as a whole (pwm_apply_state): the period
// must not be 0 and the duty cycle must fit in it.
int PwmChip::store_channel(const std::string& name, std::string_view bytes)
{
    if (name == "period" || name == "duty_cycle") {
        // kstrtou64(buf, 0): 0x30d40 and 200000 are the same period, 010 is 8.
        unsigned long long value = 0;
        if (const int error = parse_unsigned(bytes, 0, ULLONG_MAX, value); error != 0) {
            return error;
        }
        const unsigned long long period = name == "period" ? value : period_;
        const unsigned long long duty = name == "duty_cycle" ? value : duty_;
        if (period == 0 || duty > period) {
            return EINVAL;
        }
        period_ = period;
        duty_ = duty;
        return 0;
    }
    if (name == "enable") {
        long long value = 0; // kstrtoint(buf, 0)
        if (const int error = parse_signed(bytes, 0, INT_MAX, value); error != 0) {
            return error;
        }
        if (value != 0 && value != 1) {
            return EINVAL;
        }
        if (value == 1 && period_ == 0) {
            return EINVAL;
        }
        enabled_ = value == 1;
        return 0;
    }
    if (name == "polarity") {
        std::string_view text = bytes.substr(0, bytes.find('\0'));
        if (!text.empty() && text.back() == '\n') {
            text.remove_suffix(1);
        }
        if (text != "normal" && text != "inversed") {
            return EINVAL;
        }
        if (enabled_) {
            return EBUSY; // most controllers change polarity only while stopped
        }
        inversed_ = text == "inversed";
        return 0;
    }
    return EIO;
}

} // namespace vboard
