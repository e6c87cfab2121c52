// spi_mraa: sends a fixed text over SPI bus 0 at 400 kHz, most significant
// bit first, and prints what the device clocked back in the same transfer.
// With MOSI looped to MISO the text comes back as it was sent.

#include <mraa/common.h>
#include <mraa/spi.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

constexpr int spi_bus = 0;
constexpr int clock_hz = 400000;

// The text and its terminating NUL: 19 bytes on the wire. Not const, as
// libmraa's transfer call takes a plain pointer; it only reads from it.
std::uint8_t txbuf[] = "Hello How are you?";
static_assert(sizeof txbuf == 19);
// Whatever the device sends back; zero until then.
std::uint8_t rxbuf[sizeof txbuf];
constexpr int message_length = sizeof txbuf;

int open_failed()
{
    static constexpr char message[] = "Failed to initialize SPI\n";
    std::fwrite(message, 1, sizeof message - 1, stderr);
    mraa_deinit();
    return 1;
}

// Output that could not be written (a full disk; a closed pipe where
// SIGPIPE is ignored) fails the run, whatever the transfer did, and is said
// on standard error: standard output is what failed.
int checked(int status)
{
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "spi_mraa: cannot write standard output%s%s\n", flushed ? "" : ": ",
                     flushed ? "" : std::strerror(errno));
        return 1;
    }
    return status;
}

// The common end of every path after a successful open: libmraa's account
// of a failure, then the bus released.
int stop(mraa_spi_context spi, mraa_result_t result)
{
    if (result != MRAA_SUCCESS) {
        mraa_result_print(result);
    }
    mraa_spi_stop(spi);
    mraa_deinit();
    return checked(result == MRAA_SUCCESS ? 0 : 1);
}

// One full-duplex transfer, and the reply printed as text: up to its first
// NUL, and never beyond the buffer when the device sent none.
mraa_result_t exchange(mraa_spi_context spi)
{
    const mraa_result_t result = mraa_spi_transfer_buf(spi, txbuf, rxbuf, message_length);
    if (result != MRAA_SUCCESS) {
        return result;
    }
    std::printf("%.*s \n", message_length, reinterpret_cast<const char*>(rxbuf));
    return MRAA_SUCCESS;
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
    mraa_init(); // a failure shows as the bus failing to open
    const mraa_spi_context spi = mraa_spi_init(spi_bus);
    if (spi == nullptr) {
        return open_failed();
    }
    // Mode and word size stay as libmraa sets them on opening: mode 0, 8 bits.
    mraa_result_t result = mraa_spi_frequency(spi, clock_hz);
    if (result == MRAA_SUCCESS) {
        result = mraa_spi_lsbmode(spi, 0);
    }
    if (result == MRAA_SUCCESS) {
        result = exchange(spi);
    }
    return stop(spi, result);
}
