#pragma once

// An 8-channel 12-bit ADC (3.3 V reference) as the kernel's IIO core
// presents it:
//  - in sysfs: the device's name, its sampling frequency, the scale shared
//    by its voltage channels (in_voltage_scale, millivolts per count), a raw
//    conversion result per channel (in_voltageN_raw), the buffer's switch
//    and length (buffer/enable, buffer/length), and each channel's scan
//    element (scan_elements/in_voltageN_en, _index, _type);
//  - as the character device /dev/iio:device0, whose read() returns the
//    buffer's scans: the enabled channels in index order, each sample as
//    its scan type says (le:u12/16>>0: 16 bits, little-endian, 12 used).
//
// Once the buffer is enabled the converter makes one scan per sampling
// period of virtual time into a FIFO of the buffer's length; a read that
// finds it empty waits (virtual time moves on) for the next scan.

#include "adc_input.hpp"
#include "node.hpp"
#include "sysfs.hpp"

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace vboard {

class Recorder;

class IioAdc : public SysfsDevice, public DeviceNode {
public:
    static constexpr int channels = adc_channels;
    static constexpr int bits = 12;
    static constexpr int reference_mv = 3300;

    explicit IioAdc(Recorder& recorder);

    // The texts a channel's raw file shows, one per conversion, the last one
    // for good. Texts rather than numbers, so that a test can serve what no
    // ADC would (an eleven-digit value, a minus sign); a scan in the buffer
    // holds the number the text begins with, limited to 0..4095.
    void set_values(int channel, std::vector<std::string> values);
    // What is wired to a channel's input: a voltage, a thermistor module, a
    // signal generator; each conversion takes it at its own virtual time.
    void set_input(int channel, AdcInput input);
    // A knob on a channel turned by `counts`; returns the value it now gives.
    std::string turn(int channel, int counts);
    // The count each channel gives now (nullopt: no count, a test's text).
    std::array<std::optional<int>, channels> counts() const;

    const std::vector<AttributeFile>& attributes() const override { return files_; }
    std::optional<std::string> show(const std::string& attr, int& error) override;
    int store(const std::string& attr, std::string_view bytes) override;

    void ioctl(NodeCall& call, int injected_error) override;
    void read(NodeCall& call) override;
    unsigned poll(const void* open_file, bool waits) override;

private:
    struct Channel {
        AdcInput input;
        bool scan_enabled = false;
    };
    static int channel_of(const std::string& attr, std::string_view prefix, std::string_view suffix);
    // The channel's conversion at virtual time `t_ns`, as text.
    std::string convert(Channel& channel, std::int64_t t_ns);
    // Puts the scans due by `now_ns` into the FIFO (or drops them, once it is full).
    void sample_until(std::int64_t now_ns);
    int enable_buffer(bool enable);

    Recorder& recorder_;
    std::vector<AttributeFile> files_;
    std::array<Channel, channels> channels_;
    unsigned long long sampling_hz_ = 1000;
    bool buffer_enabled_ = false;
    unsigned long long buffer_length_ = 2;

    // The buffer while it runs: the channels of its scans (fixed at enable),
    // when it started, the scans made since, and those not yet read.
    std::vector<int> scan_channels_;
    std::int64_t started_ns_ = 0;
    std::int64_t period_ns_ = 1000000;
    std::int64_t scans_made_ = 0;
    std::size_t fifo_capacity_ = 2;
    std::deque<std::vector<std::uint8_t>> fifo_;
};

} // namespace vboard
