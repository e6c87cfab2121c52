// boundary_probe: what a program does to the board's nodes that only a
// kernel gets right, one case per argument; each prints what came back.
//
//   fork-spi N       opens /dev/spidev3.0, forks; parent and child each make N
//                    loopback transfers of patterns of their own on the one
//                    descriptor; "parent W" and "child W": how many came back wrong
//   in-place-spi     an SPI transfer whose receive buffer is its transmit
//                    buffer (11223344); "in-place RX"
//   shared-i2c       I2C_RDWR to 0x27: a write of f6 (the display's data lines
//                    released, R/W and EN high), then a read into the same
//                    buffer; "shared RX"
//   handler-write    a SIGINT handler that writes one port byte to the display;
//                    the program writes port bytes until the handler has run;
//                    "handled"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int open_node(const char* path)
{
    const int fd = open(path, O_RDWR);
    if (fd < 0) {
        std::perror(path);
        std::_Exit(1);
    }
    return fd;
}

// A loopback transfer of `n` bytes of `pattern`: true if they came back.
bool loops_back(int fd, std::uint8_t pattern, std::size_t n)
{
    std::uint8_t tx[64];
    std::uint8_t rx[64];
    std::memset(tx, pattern, n);
    std::memset(rx, 0, n);
    spi_ioc_transfer t{};
    t.tx_buf = reinterpret_cast<std::uintptr_t>(tx);
    t.rx_buf = reinterpret_cast<std::uintptr_t>(rx);
    t.len = static_cast<std::uint32_t>(n);
    return ioctl(fd, SPI_IOC_MESSAGE(1), &t) == static_cast<int>(n) && std::memcmp(tx, rx, n) == 0;
}

int fork_spi(long transfers)
{
    const int fd = open_node("/dev/spidev3.0");
    const pid_t child = fork();
    const std::uint8_t pattern = child == 0 ? 0xC1 : 0x9A;
    const std::size_t length = child == 0 ? 16 : 24;
    long wrong = 0;
    for (long i = 0; i < transfers; ++i) {
        wrong += loops_back(fd, pattern, length) ? 0 : 1;
    }
    std::printf("%s %ld\n", child == 0 ? "child" : "parent", wrong);
    std::fflush(stdout);
    if (child == 0) {
        std::_Exit(0);
    }
    waitpid(child, nullptr, 0);
    return 0;
}

int in_place_spi()
{
    const int fd = open_node("/dev/spidev3.0");
    std::uint8_t buffer[4] = {0x11, 0x22, 0x33, 0x44};
    spi_ioc_transfer t{};
    t.tx_buf = t.rx_buf = reinterpret_cast<std::uintptr_t>(buffer);
    t.len = sizeof buffer;
    const int r = ioctl(fd, SPI_IOC_MESSAGE(1), &t);
    std::printf("in-place %d %02x%02x%02x%02x\n", r, buffer[0], buffer[1], buffer[2], buffer[3]);
    return 0;
}

int shared_i2c()
{
    const int fd = open_node("/dev/i2c-0");
    std::uint8_t buffer = 0xF6;
    i2c_msg messages[2] = {{0x27, 0, 1, &buffer}, {0x27, I2C_M_RD, 1, &buffer}};
    i2c_rdwr_ioctl_data set{messages, 2};
    const int r = ioctl(fd, I2C_RDWR, &set);
    std::printf("shared %d %02x\n", r, buffer);
    return 0;
}

int display = -1;
volatile std::sig_atomic_t handled = 0;

void write_in_handler(int)
{
    const std::uint8_t port = 0x08;
    if (write(display, &port, 1) == 1) {
        handled = 1;
    }
}

int handler_write()
{
    display = open_node("/dev/i2c-0");
    ioctl(display, I2C_SLAVE, 0x27);
    struct sigaction action {};
    action.sa_handler = write_in_handler;
    sigaction(SIGINT, &action, nullptr);
    const std::uint8_t port = 0x08;
    while (handled == 0) {
        if (write(display, &port, 1) != 1) {
            std::perror("write");
            return 1;
        }
    }
    std::puts("handled");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "fork-spi" && argc > 2) {
        return fork_spi(std::strtol(argv[2], nullptr, 10));
    }
    if (what == "in-place-spi") {
        return in_place_spi();
    }
    if (what == "shared-i2c") {
        return shared_i2c();
    }
    if (what == "handler-write") {
        return handler_write();
    }
    std::fprintf(stderr, "boundary_probe: unknown case %s\n", what.c_str());
    return 2;
}
