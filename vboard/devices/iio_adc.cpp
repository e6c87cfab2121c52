#include "iio_adc.hpp"

#include "../events.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace vboard {

namespace {

// The buffer's character device, as the record names it.
constexpr const char* node_name = "iio:device0";

constexpr std::string_view raw_prefix = "in_voltage";
constexpr std::string_view raw_suffix = "_raw";
constexpr std::string_view scan_prefix = "scan_elements/in_voltage";
constexpr std::string_view enable_suffix = "_en";
constexpr std::string_view index_suffix = "_index";
constexpr std::string_view type_suffix = "_type";

// The name a platform driver gives its IIO device: that of its platform
// device, the unit address and node name from the device tree.
constexpr const char* device_name = "fc030000.adc";

// in_voltage_scale: the reference over 2^bits, which the IIO core prints for
// IIO_VAL_FRACTIONAL_LOG2 with nine decimals, truncated: 3300 / 4096 =
// 0.8056640625 mV per count shows as 0.805664062.
std::string scale_text()
{
    const long long nano = (static_cast<long long>(IioAdc::reference_mv) * 1000000000LL) >> IioAdc::bits;
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%09lld\n", nano / 1000000000LL, nano % 1000000000LL);
    return text;
}

// Each sample in a scan: unsigned, 12 bits used of 16, little-endian, not
// shifted (the IIO core's scan type text "le:u12/16>>0").
constexpr const char* scan_type = "le:u12/16>>0\n";
constexpr std::size_t sample_bytes = 2;

// The converter takes 1 Hz to 1 MHz.
constexpr unsigned long long max_sampling_hz = 1000000;

} // namespace

void IioAdc::set_values(int channel, std::vector<std::string> values)
{
    if (!values.empty()) {
        set_input(channel, AdcInput::of_texts(std::move(values)));
    }
}

void IioAdc::set_input(int channel, AdcInput input)
{
    if (channel >= 0 && channel < channels) {
        channels_[static_cast<std::size_t>(channel)].input = std::move(input);
    }
}

std::string IioAdc::turn(int channel, int counts)
{
    if (channel < 0 || channel >= channels) {
        return "";
    }
    AdcInput& input = channels_[static_cast<std::size_t>(channel)].input;
    input.turn(counts, recorder_.now_ns());
    return input.spec();
}

std::array<std::optional<int>, IioAdc::channels> IioAdc::counts() const
{
    std::array<std::optional<int>, channels> all;
    for (std::size_t n = 0; n < all.size(); ++n) {
        all[n] = channels_[n].input.count_at(recorder_.now_ns());
    }
    return all;
}

// The files the IIO core makes for the driver's channels (each channel's
// raw value, the scale shared by type, the sampling frequency shared by
// all), for its buffer, and for each channel's scan element.
IioAdc::IioAdc(Recorder& recorder)
    : recorder_(recorder),
      files_{{"name", true, false},
             {"sampling_frequency", true, true},
             {"in_voltage_scale", true, false},
             {"buffer/enable", true, true},
             {"buffer/length", true, true}}
{
    for (int n = 0; n < channels; ++n) {
        files_.push_back({std::string(raw_prefix) + std::to_string(n) + std::string(raw_suffix), true, false});
    }
    for (int n = 0; n < channels; ++n) {
        const std::string element = std::string(scan_prefix) + std::to_string(n);
        files_.push_back({element + std::string(enable_suffix), true, true});
        files_.push_back({element + std::string(index_suffix), true, false});
        files_.push_back({element + std::string(type_suffix), true, false});
    }
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

std::string IioAdc::convert(Channel& channel, std::int64_t t_ns)
{
    return channel.input.read(t_ns);
}

std::optional<std::string> IioAdc::show(const std::string& attr, int& error)
{
    if (const int n = channel_of(attr, raw_prefix, raw_suffix); n >= 0) {
        // A driver's read_raw claims direct mode: not while the buffer runs.
        if (buffer_enabled_) {
            error = EBUSY;
            return std::nullopt;
        }
        // Each read starts a conversion; a sequence moves on by one value.
        return convert(channels_[static_cast<std::size_t>(n)], recorder_.now_ns()) + "\n";
    }
    if (const int n = channel_of(attr, scan_prefix, enable_suffix); n >= 0) {
        return channels_[static_cast<std::size_t>(n)].scan_enabled ? "1\n" : "0\n";
    }
    if (const int n = channel_of(attr, scan_prefix, index_suffix); n >= 0) {
        return std::to_string(n) + "\n"; // scan index: the channel number
    }
    if (channel_of(attr, scan_prefix, type_suffix) >= 0) {
        return scan_type;
    }
    if (attr == "buffer/enable") {
        return buffer_enabled_ ? "1\n" : "0\n";
    }
    if (attr == "buffer/length") {
        return std::to_string(buffer_length_) + "\n";
    }
    if (attr == "sampling_frequency") {
        return std::to_string(sampling_hz_) + "\n";
    }
    if (attr == "in_voltage_scale") {
        return scale_text();
    }
    if (attr == "name") {
        return std::string(device_name) + "\n";
    }
    error = EIO;
    return std::nullopt;
}

// buffer/enable (the IIO core's enable_store): nothing to do if it already
// is in that state; enabling needs at least one channel in the scan
// (iio_verify_update refuses an empty scan mask with EINVAL).
int IioAdc::enable_buffer(bool enable)
{
    if (enable == buffer_enabled_) {
        return 0;
    }
    if (enable) {
        scan_channels_.clear();
        for (int n = 0; n < channels; ++n) {
            if (channels_[static_cast<std::size_t>(n)].scan_enabled) {
                scan_channels_.push_back(n);
            }
        }
        if (scan_channels_.empty()) {
            return EINVAL;
        }
        // The kfifo holds a power of two of scans, at least the length asked for.
        fifo_capacity_ = 1;
        while (fifo_capacity_ < buffer_length_) {
            fifo_capacity_ *= 2;
        }
        fifo_.clear();
        started_ns_ = recorder_.now_ns();
        period_ns_ = static_cast<std::int64_t>(1000000000ULL / sampling_hz_);
        scans_made_ = 0;
    } else {
        sample_until(recorder_.now_ns()); // what was made before it stopped can still be read
    }
    buffer_enabled_ = enable;
    return 0;
}

int IioAdc::store(const std::string& attr, std::string_view bytes)
{
    if (const int n = channel_of(attr, scan_prefix, enable_suffix); n >= 0) {
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
        return enable ? enable_buffer(*enable) : EINVAL;
    }
    if (attr == "buffer/length") {
        unsigned long long length = 0;
        if (const int error = parse_unsigned(bytes, 10, UINT_MAX, length); error != 0) {
            return error;
        }
        if (length == buffer_length_) {
            return 0;
        }
        if (buffer_enabled_) {
            return EBUSY;
        }
        buffer_length_ = std::max(length, 2ULL); // the kfifo keeps at least two
        return 0;
    }
    if (attr == "sampling_frequency") {
        // The IIO core takes a fixed-point number; the driver uses its
        // integer part, within what the converter can do, and not while the
        // buffer runs.
        std::string_view text = bytes.substr(0, bytes.find('\0'));
        const auto dot = text.find('.');
        if (dot != std::string_view::npos) {
            const std::string_view fraction = text.substr(dot + 1);
            if (fraction.find_first_not_of("0123456789\n") != std::string_view::npos) {
                return EINVAL;
            }
            text = text.substr(0, dot);
        }
        long long hz = 0;
        if (const int error = parse_signed(text, 10, INT_MAX, hz); error != 0) {
            return EINVAL;
        }
        if (hz < 1 || static_cast<unsigned long long>(hz) > max_sampling_hz) {
            return EINVAL;
        }
        if (buffer_enabled_) {
            return EBUSY;
        }
        sampling_hz_ = static_cast<unsigned long long>(hz);
        return 0;
    }
    // Read-only attributes have no store(): the write fails with EIO.
    return EIO;
}

void IioAdc::sample_until(std::int64_t now_ns)
{
    if (!buffer_enabled_) {
        return;
    }
    const std::int64_t due = (now_ns - started_ns_) / period_ns_;
    std::int64_t pending = due - scans_made_;
    // Each scan converts its channels at its own moment, one sampling
    // period after the one before.
    while (pending > 0 && fifo_.size() < fifo_capacity_) {
        ++scans_made_;
        const std::int64_t at = started_ns_ + scans_made_ * period_ns_;
        std::vector<std::uint8_t> scan;
        for (const int n : scan_channels_) {
            const long long value = std::strtoll(convert(channels_[static_cast<std::size_t>(n)], at).c_str(), nullptr, 10);
            const auto sample = static_cast<unsigned>(std::clamp(value, 0LL, (1LL << bits) - 1));
            scan.push_back(static_cast<std::uint8_t>(sample & 0xFF));
            scan.push_back(static_cast<std::uint8_t>(sample >> 8));
        }
        fifo_.push_back(std::move(scan));
        --pending;
    }
    // Scans made while the FIFO is full are lost; their conversions still
    // move each channel's sequence on.
    for (const int n : scan_channels_) {
        channels_[static_cast<std::size_t>(n)].input.skip(pending);
    }
    scans_made_ = due;
}

void IioAdc::ioctl(NodeCall& call, int)
{
    // The buffer's file descriptors and events (IIO_BUFFER_GET_FD_IOCTL,
    // IIO_GET_EVENT_FD_IOCTL) are not offered: the IIO core's answer to a
    // request no handler takes is ENODEV.
    call.complete(-1, ENODEV);
}

// iio_buffer_read: whole scans only (EINVAL for a read shorter than one); a
// read of an empty FIFO waits for the next scan (virtual time moves on to
// it), unless the file is non-blocking (EAGAIN). With the buffer off, what
// it had left is read out.
void IioAdc::read(NodeCall& call)
{
    const auto buffer = call.buffer();
    const std::size_t datum = scan_channels_.size() * sample_bytes;
    const auto refuse = [&](int error) {
        recorder_.record(BufferRead{recorder_.now(), node_name, {}, -1, error});
        call.complete(-1, error);
    };
    if (datum == 0) {
        recorder_.record(BufferRead{recorder_.now(), node_name, {}, 0, 0});
        call.complete(0); // never enabled: nothing will ever come
        return;
    }
    if (buffer.size() < datum) {
        refuse(EINVAL);
        return;
    }
    sample_until(recorder_.now_ns());
    if (fifo_.empty()) {
        if (!buffer_enabled_ || call.nonblocking()) {
            // The kernel would block a reader here until the buffer runs again.
            refuse(EAGAIN);
            return;
        }
        const std::int64_t next = started_ns_ + (scans_made_ + 1) * period_ns_;
        recorder_.advance_to(next);
        sample_until(next);
    }
    std::size_t done = 0;
    while (!fifo_.empty() && done + datum <= buffer.size()) {
        std::copy(fifo_.front().begin(), fifo_.front().end(), buffer.begin() + static_cast<std::ptrdiff_t>(done));
        fifo_.pop_front();
        done += datum;
    }
    recorder_.record(BufferRead{recorder_.now(), node_name, Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(done)),
                                static_cast<long>(done), 0});
    call.complete(static_cast<long>(done));
}

// iio_buffer_poll: readable once a scan is in the FIFO (or, with the buffer
// off, while anything is left in it). A program about to wait for a scan
// waits in virtual time: the converter makes it at once, as a blocking
// read() waits for it.
unsigned IioAdc::poll(const void*, bool waits)
{
    constexpr unsigned readable = 0x0001 | 0x0040; // POLLIN, POLLRDNORM
    if (scan_channels_.empty()) {
        return 0; // never enabled: nothing will ever come
    }
    sample_until(recorder_.now_ns());
    if (fifo_.empty() && buffer_enabled_ && waits) {
        const std::int64_t next = started_ns_ + (scans_made_ + 1) * period_ns_;
        recorder_.advance_to(next);
        sample_until(next);
    }
    return fifo_.empty() ? 0 : readable;
}

} // namespace vboard
