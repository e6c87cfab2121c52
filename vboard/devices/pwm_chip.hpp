#pragma once

// A one-channel PWM controller as the kernel's PWM subsystem presents it in
// sysfs: writing a channel number to `export` creates its directory (pwm0/
// with period, duty_cycle, enable and polarity, times in nanoseconds),
// writing it to `unexport` removes it again. Settings the hardware cannot
// take are refused as the kernel does: a zero period, or a duty cycle longer
// than the period, with EINVAL.

#include "sysfs.hpp"

namespace vboard {

class PwmChip : public SysfsDevice {
public:
    std::vector<AttributeFile> attributes() const override;
    std::optional<std::string> show(const std::string& attr, int& error) override;
    int store(const std::string& attr, std::string_view bytes) override;

    bool exported() const { return exported_; }
    unsigned long long period_ns() const { return period_; }
    unsigned long long duty_cycle_ns() const { return duty_; }
    bool enabled() const { return enabled_; }

private:
    int store_channel(const std::string& name, std::string_view bytes);

    bool exported_ = false;
    unsigned long long period_ = 0;
    unsigned long long duty_ = 0;
    bool enabled_ = false;
    bool inversed_ = false;
};

} // namespace vboard
