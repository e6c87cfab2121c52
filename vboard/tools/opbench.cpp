// opbench: times one kind of device operation, many times over, and prints
// the mean real time of one in microseconds. scripts/bench runs it bare
// (a native sysfs read, the reference) and on the virtual board.
//
//   opbench sysfs PATH COUNT   open, read and close an attribute
//   opbench i2c COUNT          a 4-byte write to the display on /dev/i2c-0
//   opbench spi COUNT          a 32-byte full-duplex transfer on /dev/spidev3.0
//
// Real time is read from the kernel directly: on the board the program's
// clocks tell virtual time, which these operations do not move.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::int64_t real_ns()
{
    timespec now{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

[[noreturn]] void fail(const char* what)
{
    std::perror(what);
    std::exit(1);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: opbench sysfs PATH COUNT | i2c COUNT | spi COUNT\n", stderr);
        return 2;
    }
    const char* kind = argv[1];
    const long count = std::strtol(argv[argc - 1], nullptr, 10);
    int fd = -1;
    if (std::strcmp(kind, "i2c") == 0) {
        fd = open("/dev/i2c-0", O_RDWR);
        if (fd < 0 || ioctl(fd, I2C_SLAVE, 0x27) != 0) {
            fail("/dev/i2c-0");
        }
    } else if (std::strcmp(kind, "spi") == 0) {
        fd = open("/dev/spidev3.0", O_RDWR);
        if (fd < 0) {
            fail("/dev/spidev3.0");
        }
    }
    std::uint8_t frame[4] = {0x0c, 0x08, 0x0c, 0x08}; // a no-op for the display: EN pulsed with nothing latched
    std::uint8_t tx[32] = {};
    std::uint8_t rx[32] = {};
    spi_ioc_transfer transfer{};
    transfer.tx_buf = reinterpret_cast<std::uintptr_t>(tx);
    transfer.rx_buf = reinterpret_cast<std::uintptr_t>(rx);
    transfer.len = sizeof tx;
    transfer.speed_hz = 1000000;
    char buffer[64];

    const std::int64_t start = real_ns();
    for (long i = 0; i < count; ++i) {
        if (std::strcmp(kind, "sysfs") == 0) {
            const int attr = open(argv[2], O_RDONLY);
            if (attr < 0 || read(attr, buffer, sizeof buffer) <= 0) {
                fail(argv[2]);
            }
            close(attr);
        } else if (std::strcmp(kind, "i2c") == 0) {
            if (write(fd, frame, sizeof frame) != sizeof frame) {
                fail("write");
            }
        } else if (ioctl(fd, SPI_IOC_MESSAGE(1), &transfer) != static_cast<int>(sizeof tx)) {
            fail("SPI_IOC_MESSAGE");
        }
    }
    std::printf("%.3f\n", static_cast<double>(real_ns() - start) / 1000.0 / static_cast<double>(count));
    return 0;
}
