#pragma once

// A one-channel PWM controller as the kernel's PWM subsystem presents it in
// sysfs: writing a channel number to `export` creates its directory (pwm0/
// with period, duty_cycle, enable and polarity, times in nanoseconds),
// writing it to `unexport` removes it again. Numbers are read as the
// kernel's kstrto* parsers with base 0 read them (0x.. hexadecimal, a
// leading 0 octal). Settings the hardware cannot take are refused as the
// kernel does: a zero period, or a duty cycle longer than the period, with
// EINVAL. The hardware's clock granularity is not modelled: any period in
// nanoseconds is taken as it is.

#include "sysfs.hpp"

namespace vboard {

class PwmChip : public SysfsDevice {
public:
    static constexpr unsigned channels = 1; // npwm

    PwmChip();
    const std::vector<AttributeFile>& attributes() const override { return exported_ ? exported_files_ : files_; }
    std::optional<std::string> show(const std::string& attr, int& error) override;
    int store(const std::string& attr, std::string_view bytes) override;

    bool exported() const { return exported_; }
    unsigned long long period_ns() const { return period_; }
    unsigned long long duty_cycle_ns() const { return duty_; }
    bool enabled() const { return enabled_; }

private:
    int store_channel(const std::string& name, std::string_view bytes);

    std::vector<AttributeFile> files_;          // the chip's own
    std::vector<AttributeFile> exported_files_; // and the channel's, once exported
    bool exported_ = false;
    unsigned long long period_ = 0;
    unsigned long long duty_ = 0;
    bool enabled_ = false;
    bool inversed_ = false;
};

} // namespace vboard
