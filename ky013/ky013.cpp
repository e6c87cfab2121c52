// ky013: reads a KY-013 NTC thermistor module on analog pin 73 once a
// second and prints the reading and the temperature in degrees Celsius.
//
// The module is a voltage divider: the thermistor against a fixed 10 kOhm
// resistor, read by a 10-bit converter (full scale 1023). The reading gives
// the thermistor's resistance, and the Steinhart-Hart equation
// 1/T = A + B ln R + C (ln R)^3 its temperature in kelvin. Each step is done
// in the precision written here, single or double, so that the printed
// values are the same on every machine (see the board checks).

#include <mraa/aio.h>
#include <mraa/common.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr unsigned analog_pin = 73;

constexpr float r0 = 10000.0f; // the divider's fixed resistor, ohms
// Steinhart-Hart coefficients of the module's thermistor.
constexpr float a = 0.001129148f;
constexpr float b = 0.000234125f;
constexpr float c = 0.0000000876741f;
static_assert(std::bit_cast<std::uint32_t>(r0) == 0x461C4000);
static_assert(std::bit_cast<std::uint32_t>(a) == 0x3A93FFEB);
static_assert(std::bit_cast<std::uint32_t>(b) == 0x39757F73);
static_assert(std::bit_cast<std::uint32_t>(c) == 0x33BC4759);

constexpr double full_scale = 1023.0;
constexpr double zero_celsius = 273.15; // kelvin

[[noreturn]] void error(const char* message)
{
    std::fprintf(stderr, "%s\n", message);
    std::exit(1);
}

// The reading as libmraa returns it: not examined, so that whatever the
// converter gives shows in the output.
int readAnalogValue(mraa_aio_context aio)
{
    return mraa_aio_read(aio);
}

// Readings of 0 and 1023 (an open or a shorted thermistor) divide by zero
// or take the logarithm of zero; readings outside 0..1023 take the
// logarithm of a negative resistance. IEEE arithmetic carries these through
// to what is printed: -273.15, or nan.
float analogToTemperature(int reading)
{
    const float x = static_cast<float>(reading);
    double ratio = full_scale / static_cast<double>(x);
    ratio = ratio - 1.0;
    const float resistance = static_cast<float>(static_cast<double>(r0) * ratio);
    const float ln_r = static_cast<float>(std::log(static_cast<double>(resistance)));
    const float linear = b * ln_r + a;
    const float cubic = c * ln_r * ln_r * ln_r;
    const float kelvin = 1.0f / (linear + cubic);
    return static_cast<float>(static_cast<double>(kelvin) - zero_celsius);
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

int main()
{
    buffer_output_fully();
    mraa_init(); // a failure shows as the pin failing to open
    const mraa_aio_context aio = mraa_aio_init(analog_pin);
    if (aio == nullptr) {
        error("Failed to initialize analog pin");
    }
    // Runs until a signal ends the process; the pin is left to the end of it.
    for (;;) {
        const int reading = readAnalogValue(aio);
        const float temperature = analogToTemperature(reading);
        std::printf("Analog Value: %d, Temperature: %.2f\n", reading, static_cast<double>(temperature));
        // Nothing is flushed at the end: each line goes out as it is made.
        // Output that cannot be written (a full disk; a closed pipe where
        // SIGPIPE is ignored) ends the monitor: it would sample for nobody.
        if (std::fflush(stdout) != 0) {
            std::fprintf(stderr, "ky013: cannot write standard output: %s\n", std::strerror(errno));
            std::exit(1);
        }
        sleep(1);
    }
}
