// adc_test: samples one voltage channel of the board's IIO ADC once a
// second and prints the raw conversion result and the voltage it stands
// for, in millivolts. Runs until a signal ends it.
//
//   adc_test CHANNEL

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <unistd.h>

#include "adc.hpp"

namespace {

// The converter's 12-bit count spans a 3.3 V reference: 3300 mV / 4096.
constexpr double millivolts_per_count = 0.805664062;

// The sample buffer stays off: readings are one-shot conversions of the raw
// attribute. The length is set all the same, for a later buffered capture.
constexpr std::int32_t buffer_disabled = 0;
constexpr std::int32_t buffer_length = 100;

float millivolts(std::int32_t raw)
{
    return static_cast<float>(static_cast<double>(raw) * millivolts_per_count);
}

// A monitor is often piped into tee or a file and stopped with Ctrl-C, which
// ends it without a flush: each finished piece of output is pushed out at
// once. Output that cannot be written (a full disk; a closed pipe where
// SIGPIPE is ignored) ends the monitor: it would sample for nobody.
void flush_output()
{
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "adc_test: cannot write standard output: %s\n", std::strerror(errno));
        std::exit(EXIT_FAILURE);
    }
}

// musl's standard output is line-buffered until its first write, glibc's
// fully buffered from the start when it is no terminal, and a write that
// fails inside printf or puts is lost to musl's next fflush, which then
// reports success. Buffered fully from the start here, on the board as on
// the PC, every write reaches the file at the flush that checks it and
// fails there with its errno. A terminal stays line-buffered.
void buffer_output_fully()
{
    static char buffer[4096];
    if (isatty(STDOUT_FILENO) == 0) {
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    buffer_output_fully();
    if (argc < 2) {
        std::fputs("usage: adc_test CHANNEL\n", stderr);
        return EXIT_FAILURE;
    }

    adc_device adc;
    adc.mode = "oneshot";
    adc.enable = buffer_disabled;
    adc.length = buffer_length;
    adc.channel = decimal_value(argv[1]);

    std::puts("\n   *** ADC TESTING UTILITY ***   ");
    flush_output();

    adc_init(&adc);
    adc_set_channel(&adc, adc.channel);

    for (;;) {
        const std::int32_t raw = adc_output(&adc, adc.channel);
        std::printf("Digital Value on Channel %d = %d\n", adc.channel, raw);
        std::printf("Analog Value on Channel %d = %f\n", adc.channel, static_cast<double>(millivolts(raw)));
        flush_output();
        sleep(1);
    }
}
