#include "adc.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The IIO on/off attributes get the digit and its terminating NUL, two
// bytes; the kernel reads a boolean from the first character.
constexpr char flag_on[] = "1";
constexpr char flag_off[] = "0";

// The buffer length goes out as at most three characters ("1000" becomes
// "100"): the size limit of the formatting, terminating NUL included.
constexpr std::size_t length_text_limit = 4;

// A raw value is a short decimal text: one read of this many bytes takes it.
constexpr std::size_t raw_text_limit = 10;

// perror for a failed open of a channel's file: the text names the channel
// between `before` and `after`. errno is kept for perror.
void report_open_failure(const char* before, std::int32_t channel, const char* after)
{
    const int error = errno;
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%s%d%s", before, channel, after);
    errno = error;
    std::perror(text.data());
}

// Results of write and close are not examined: a sysfs attribute that
// refuses a value leaves the converter as it was, and the readings show it.
void write_text(int fd, const char* bytes, std::size_t count)
{
    static_cast<void>(write(fd, bytes, count));
}

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::int32_t decimal_value(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size() && is_space(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    // The magnitude stops growing just past the 32-bit range, so any number
    // of digits is safe.
    constexpr std::int64_t ceiling = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 2;
    std::int64_t magnitude = 0;
    for (; at < text.size() && is_digit(text[at]); ++at) {
        magnitude = std::min(magnitude * 10 + (text[at] - '0'), ceiling);
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                             std::numeric_limits<std::int32_t>::max()));
}

std::int32_t adc_init(adc_device* dev)
{
    int fd = open("/sys/bus/iio/devices/iio:device0/buffer/enable", O_WRONLY);
    if (fd < 0) {
        std::perror("open buffer enable error");
    }
    if (dev->enable != 0) {
        write_text(fd, flag_on, sizeof flag_on);
    } else {
        write_text(fd, flag_off, sizeof flag_off);
    }
    close(fd);

    // The state goes first: the driver refuses a new length while the
    // buffer runs.
    fd = open("/sys/bus/iio/devices/iio:device0/buffer/length", O_WRONLY);
    if (fd < 0) {
        std::perror("open buffer length error");
    }
    std::snprintf(dev->scratch.data(), length_text_limit, "%d", dev->length);
    write_text(fd, dev->scratch.data(), std::string_view(dev->scratch.data()).size());
    close(fd);
    return 0;
}

std::int32_t adc_set_channel(adc_device* dev, std::int32_t channel)
{
    std::snprintf(dev->scratch.data(), dev->scratch.size(),
                  "/sys/bus/iio/devices/iio:device0/scan_elements/in_voltage%d_en", channel);
    const int fd = open(dev->scratch.data(), O_WRONLY);
    if (fd < 0) {
        report_open_failure("open scan_elements/in_voltage", channel, "_en error");
    }
    write_text(fd, flag_on, sizeof flag_on);
    close(fd);
    return 0;
}

std::int32_t adc_output(adc_device* dev, std::int32_t channel)
{
    std::snprintf(dev->scratch.data(), dev->scratch.size(), "/sys/bus/iio/devices/iio:device0/in_voltage%d_raw", channel);
    const int fd = open(dev->scratch.data(), O_RDONLY);
    if (fd < 0) {
        report_open_failure("open in_voltage", channel, "_raw   error");
    }
    std::array<char, raw_text_limit> text{};
    const ssize_t count = read(fd, text.data(), text.size());
    close(fd);
    // A failed read leaves nothing to convert: the value is 0, as for a text
    // without a number.
    const std::size_t valid = count > 0 ? static_cast<std::size_t>(count) : 0;
    return decimal_value(std::string_view(text.data(), valid));
}
