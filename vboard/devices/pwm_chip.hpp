#pragma once

// A one-channel PWM controller as the kernel's PWM subsystem presents it in
// sysfs: writing a channel number to `export` creates its directory (pwm0/
// with period, duty_cycle, enable and polarity, times in nanoseconds),
// writing it to `unexport` removes it again. Settings the hardware cannot
// take are refused as the kernel does: a zero period, or a duty cycle longer
// than the period, with EINVAL.

#include "sysfs.hpp"

#include <filesystem>
#include <functional>

namespace vboard {

class PwmChip : public SysfsDevice {
public:
    // `directory` is the chip's directory in the testbed, where the channel
    // directory is created on export.
    explicit PwmChip(std::filesystem::path directory) : directory_(std::move(directory)) {}

    std::optional<std::string> show(const std::string& attr, int& error) override;
    int store(const std::string& attr, std::string_view bytes) override;

    static std::vector<std::string> attribute_names() { return {"npwm", "export", "unexport"}; }

    bool exported() const { return exported_; }
    unsigned long long period_ns() const { return period_; }
    unsigned long long duty_cycle_ns() const { return duty_; }
    bool enabled() const { return enabled_; }

private:
    int store_channel(const std::string& name, std::string_view bytes);
    void create_channel_directory() const;
    void remove_channel_directory() const;

    std::filesystem::path directory_;
    bool exported_ = false;
    unsigned long long period_ = 0;
    unsigned long long duty_ = 0;
    bool enabled_ = false;
    bool inversed_ = false;
};

} // namespace vboard
