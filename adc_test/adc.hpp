#pragma once

// One-shot access to a voltage channel of the ADC that the kernel's IIO
// subsystem exposes as iio:device0, through its sysfs attribute files only.
// Each operation opens its file, makes one transfer and closes it again; a
// failed open is reported with perror and the operation goes on.

#include <array>
#include <cstdint>
#include <string_view>

// Owned by the caller and passed to every operation; the module keeps no
// state of its own.
struct adc_device {
    const char* mode;     // label of the acquisition mode, e.g. "oneshot"
    std::int32_t enable;  // sample buffer: 0 disabled, anything else enabled
    std::int32_t length;  // sample-buffer length to set, in samples
    std::int32_t channel; // the voltage channel the caller passes to the operations
    // The module's working text: the last sysfs path it opened, or the
    // length it last wrote.
    std::array<char, 100> scratch;
};

// Writes the sample buffer's state, then its length (the first three
// characters of the decimal text). Always returns 0.
std::int32_t adc_init(adc_device* dev);

// Enables the channel's scan element. Always returns 0.
std::int32_t adc_set_channel(adc_device* dev, std::int32_t channel);

// Reads the channel's raw conversion result (at most 10 bytes of text).
// Returns 0 when nothing could be read.
std::int32_t adc_output(adc_device* dev, std::int32_t channel);

// The decimal number at the start of `text`, as atoi reads it: leading
// white space, an optional sign, digits up to the first other character.
// Nothing beyond `text` is looked at. A text without a number gives 0; a
// number outside the signed 32-bit range gives the nearest end of it
// (2147483647 or -2147483648).
std::int32_t decimal_value(std::string_view text);
