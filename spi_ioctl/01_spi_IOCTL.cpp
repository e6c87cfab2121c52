// spi_ioctl: a one-shot test of SPI bus 3, chip select 0, through the
// kernel's spidev driver. It keeps the device's mode, sets its maximum clock
// to 5 MHz, makes one 32-byte full-duplex transfer of the counting bytes
// 0x00..0x1f at 1 MHz, and dumps what came back on MISO as hex. With MOSI
// wired to MISO the dump repeats what was sent.
//
// Everything, failures included, goes to standard output, each line ending
// in CR LF, as a serial terminal in raw mode wants it. Exit status 1: the
// node could not be opened or configured, or the transfer failed; 0
// otherwise.

#include <cstddef>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <array>

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The transfer record is handed to the kernel as raw memory: its layout is
// the spidev ABI, the same for 32-bit and 64-bit processes.
static_assert(sizeof(spi_ioc_transfer) == 32);
static_assert(offsetof(spi_ioc_transfer, tx_buf) == 0);
static_assert(offsetof(spi_ioc_transfer, rx_buf) == 8);
static_assert(offsetof(spi_ioc_transfer, len) == 16);
static_assert(offsetof(spi_ioc_transfer, speed_hz) == 20);
static_assert(offsetof(spi_ioc_transfer, delay_usecs) == 24);
static_assert(offsetof(spi_ioc_transfer, bits_per_word) == 26);
static_assert(offsetof(spi_ioc_transfer, cs_change) == 27);
static_assert(offsetof(spi_ioc_transfer, tx_nbits) == 28);
static_assert(offsetof(spi_ioc_transfer, rx_nbits) == 29);

// Kernel headers before 5.x have one 16-bit `pad` at 30 where newer ones
// have the 8-bit word_delay_usecs and an 8-bit pad; either is fine, since
// the record is zero-filled.
template <typename Record>
constexpr bool tail_at_30()
{
    if constexpr (requires { &Record::word_delay_usecs; }) {
        return offsetof(Record, word_delay_usecs) == 30 && offsetof(Record, pad) == 31;
    } else {
        return offsetof(Record, pad) == 30;
    }
}
static_assert(tail_at_30<spi_ioc_transfer>());

static_assert(SPI_IOC_MESSAGE(1) == 0x40206b00, "one 32-byte record per transfer");

// glibc declares ioctl(int, unsigned long, ...) and musl ioctl(int, int, ...).
// The SPI_IOC_RD_* numbers have the top bit set, so each C library needs
// the request converted to its own parameter type, which is taken from the
// declaration itself.
template <typename Request, bool no_throw>
Request request_parameter(int (*)(int, Request, ...) noexcept(no_throw));
using ioctl_request = decltype(request_parameter(&ioctl));

constexpr const char* device_path = "/dev/spidev3.0";
constexpr std::size_t buffer_size = 32;
// The rate the peripheral may be clocked at from now on, and the rate this
// one transfer asks for (it overrides the device's default, not the maximum).
constexpr std::uint32_t max_speed_hz = 5000000;

int fd = -1;
int ret = 0;
// Argument cell of the configuration requests: the mode word, then the
// maximum speed read, then the maximum speed written.
std::uint32_t scratch32 = 0;
std::uint8_t looper = 0;
std::array<std::uint8_t, buffer_size> tx_buffer{};
std::array<std::uint8_t, buffer_size> rx_buffer{};
// Static storage: zero in every field the program does not set, as the
// driver expects of cs_change, tx_nbits, rx_nbits and the padding.
spi_ioc_transfer trx{};
std::uint32_t spi_speed = 1000000;

std::uint64_t address_of(const std::array<std::uint8_t, buffer_size>& buffer)
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(buffer.data()));
}

void fill_transfer_record()
{
    trx.tx_buf = address_of(tx_buffer);
    trx.rx_buf = address_of(rx_buffer);
    trx.bits_per_word = 0; // the device's own word size
    trx.speed_hz = spi_speed;
    trx.delay_usecs = 0;
    trx.len = buffer_size;
}

// 0xff in the receive buffer marks every byte the transfer did not write.
void fill_buffers()
{
    for (looper = 0; looper < buffer_size; ++looper) {
        tx_buffer[looper] = looper;
        rx_buffer[looper] = 0xff;
    }
}

// Output that could not be written (a full disk; a closed pipe where
// SIGPIPE is ignored) fails the run, whatever the transfer did, and is said
// on standard error: standard output is what failed.
[[noreturn]] void exit_checked(int status)
{
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "spi_ioctl: cannot write standard output%s%s\n", flushed ? "" : ": ",
                     flushed ? "" : std::strerror(errno));
        std::exit(EXIT_FAILURE);
    }
    std::exit(status);
}

[[noreturn]] void finish(int status)
{
    close(fd);
    exit_checked(status);
}

// A configuration request on the open node; a refusal ends the program.
void configure(unsigned long request, const char* failure)
{
    ret = ioctl(fd, static_cast<ioctl_request>(request), &scratch32);
    if (ret != 0) {
        std::puts(failure);
        finish(EXIT_FAILURE);
    }
}

void print_received()
{
    std::puts("Received SPI buffer...\r");
    for (looper = 0; looper < buffer_size; ++looper) {
        std::printf("%02x", static_cast<unsigned>(rx_buffer[looper]));
    }
    std::puts("\r");
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
    fill_transfer_record();
    fill_buffers();

    fd = open(device_path, O_RDWR);
    if (fd < 0) {
        std::puts("Could not open the SPI device...\r");
        exit_checked(EXIT_FAILURE);
    }

    // The mode word is written back exactly as read: the request makes the
    // driver apply (and validate) the device's own settings.
    configure(SPI_IOC_RD_MODE32, "Could not read SPI mode...\r");
    configure(SPI_IOC_WR_MODE32, "Could not write SPI mode...\r");
    configure(SPI_IOC_RD_MAX_SPEED_HZ, "Could not read the SPI max speed...\r");
    scratch32 = max_speed_hz;
    configure(SPI_IOC_WR_MAX_SPEED_HZ, "Could not write the SPI max speed...\r");

    // spidev answers a transfer with the number of bytes moved, or -1.
    ret = ioctl(fd, static_cast<ioctl_request>(SPI_IOC_MESSAGE(1)), &trx);
    if (ret != 0) {
        std::printf("SPI transfer returned %d...\r\n", ret);
    }
    // Whatever came back is shown even after a failure: the bytes still 0xff
    // tell how far the transfer got.
    print_received();
    finish(ret < 0 ? EXIT_FAILURE : EXIT_SUCCESS);
}
