#pragma once

// An 8-channel ADC as the kernel's IIO subsystem presents it in sysfs: a raw
// conversion result per channel (in_voltageN_raw), the sample buffer's state
// and length (buffer/enable, buffer/length) and the channels' scan elements
// (scan_elements/in_voltageN_en).

#include "sysfs.hpp"

#include <array>
#include <string>
#include <vector>

namespace vboard {

class IioAdc : public SysfsDevice {
public:
    static constexpr int channels = 8;

    // The texts a channel's raw file shows, one per read, the last one for
    // good. Texts rather than numbers, so that a test can serve what no ADC
    // would (an eleven-digit value, a minus sign).
    void set_values(int channel, std::vector<std::string> values);

    std::vector<AttributeFile> attributes() const override;
    std::optional<std::string> show(const std::string& attr, int& error) override;
    int store(const std::string& attr, std::string_view bytes) override;

private:
    struct Channel {
        std::vector<std::string> values{"0"};
        std::size_t next = 0;
        bool scan_enabled = false;
    };
    static int channel_of(const std::string& attr, std::string_view prefix, std::string_view suffix);

    std::array<Channel, channels> channels_;
    bool buffer_enabled_ = false;
    unsigned long long buffer_length_ = 2;
};

} // namespace vboard
