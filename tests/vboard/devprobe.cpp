// devprobe: a small program that does to the board's devices exactly what
// its arguments say, one step after another, and prints one line per step
// with what the system call returned. The virtual board's tests run it as
// they would run a real program.
//
//   open PATH r|w|rw        print "open OK" or "open -ERRNO" (the descriptor becomes current)
//   close                   "close R"
//   write TEXT              TEXT with \n, \0 and \xHH escapes; "write N" or "write -ERRNO"
//   read COUNT              "read N <bytes, escaped>" (the bytes only up to 256 of them)
//   seek OFFSET             "seek R"
//   ioctl8 NAME VALUE       an SPI_IOC_* request with a one-byte argument; "ioctl R VALUE"
//   ioctl32 NAME VALUE      the same with a four-byte argument
//   transfer LEN TXHEX|-  SPI_IOC_MESSAGE(1) with rx pre-filled with ff; "transfer R RXHEX"
//   message CS_CHANGE HEX HEX  SPI_IOC_MESSAGE(2) at 1 MHz, receiving both, the first with
//                           cs_change = CS_CHANGE; "message R"
//   spi LEN TX|- RX|- BITS TXNBITS RXNBITS
//                           SPI_IOC_MESSAGE(1) with zeros to send (TX) and/or a receive
//                           buffer (RX), the record's bits_per_word and tx/rx_nbits; "spi R"
//   i2cioctl NAME ARG       I2C_TENBIT, I2C_PEC, I2C_TIMEOUT or I2C_RETRIES with ARG; "i2cioctl R"
//   address ADDR            I2C_SLAVE; "address R"
//   i2cwrite HEX            plain write() on the I2C bus; "i2cwrite R"
//                           (HEX may be HH*N: the byte HH N times, for HEX here and below)
//   rdwr ADDR HEX           I2C_RDWR with one write message; "rdwr R"
//   smbus CMD HEX           I2C_SMBUS I2C-block write; "smbus R"
//   badspi / badi2c         SPI_IOC_MESSAGE(1) / I2C_RDWR whose data buffer is memory the
//                           process does not have; "badspi R" / "badi2c R"
//   log TEXT                syslog(LOG_ERR, TEXT)
//   usleep US               "usleep R ERRNO"
//   nap KIND US             pauses US microseconds in one of the ways a program can (see nap());
//                           "nap KIND MS", MS the milliseconds CLOCK_MONOTONIC moved on meanwhile
//   handler                 installs a SIGINT handler that writes "SIGINT\n"
//   print TEXT              prints TEXT and a newline
//   ticks N US              N times: print "tick I", then usleep US
//   pid                     prints the process id

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/spi/spidev.h>
#include <poll.h>
#include <string>
#include <sys/select.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <syslog.h>
#include <unistd.h>

namespace {

int fd = -1;

std::string unescape(const char* text)
{
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '\\' || p[1] == '\0') {
            out += *p;
            continue;
        }
        ++p;
        if (*p == 'n') {
            out += '\n';
        } else if (*p == '0') {
            out += '\0';
        } else if (*p == 'x' && p[1] != '\0' && p[2] != '\0') {
            const char hex[3] = {p[1], p[2], '\0'};
            out += static_cast<char>(std::strtoul(hex, nullptr, 16));
            p += 2;
        } else {
            out += *p;
        }
    }
    return out;
}

std::string from_hex(const char* text)
{
    if (const char* star = std::strchr(text, '*'); star != nullptr) {
        const char hex[3] = {text[0], text[1], '\0'};
        return std::string(std::strtoul(star + 1, nullptr, 10), static_cast<char>(std::strtoul(hex, nullptr, 16)));
    }
    std::string out;
    for (std::size_t i = 0; text[i] != '\0' && text[i + 1] != '\0'; i += 2) {
        const char hex[3] = {text[i], text[i + 1], '\0'};
        out += static_cast<char>(std::strtoul(hex, nullptr, 16));
    }
    return out;
}

std::string to_hex(const unsigned char* bytes, std::size_t n)
{
    std::string out;
    char h[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(h, sizeof h, "%02x", bytes[i]);
        out += h;
    }
    return out;
}

std::string escaped(const char* bytes, std::size_t n)
{
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            char h[8];
            std::snprintf(h, sizeof h, "\\x%02x", c);
            out += h;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

long outcome(long r)
{
    return r < 0 ? -errno : r;
}

unsigned long spi_request(const char* name)
{
    static const struct {
        const char* name;
        unsigned long request;
    } requests[] = {
        {"RD_MODE", SPI_IOC_RD_MODE},
        {"WR_MODE", SPI_IOC_WR_MODE},
        {"RD_MODE32", SPI_IOC_RD_MODE32},
        {"WR_MODE32", SPI_IOC_WR_MODE32},
        {"RD_LSB_FIRST", SPI_IOC_RD_LSB_FIRST},
        {"WR_LSB_FIRST", SPI_IOC_WR_LSB_FIRST},
        {"RD_BITS_PER_WORD", SPI_IOC_RD_BITS_PER_WORD},
        {"WR_BITS_PER_WORD", SPI_IOC_WR_BITS_PER_WORD},
        {"RD_MAX_SPEED_HZ", SPI_IOC_RD_MAX_SPEED_HZ},
        {"WR_MAX_SPEED_HZ", SPI_IOC_WR_MAX_SPEED_HZ},
    };
    for (const auto& r : requests) {
        if (std::strcmp(r.name, name) == 0) {
            return r.request;
        }
    }
    std::fprintf(stderr, "devprobe: unknown request %s\n", name);
    std::exit(2);
}

std::int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Pauses `us` microseconds the way `kind` says.
void nap(const std::string& kind, long us)
{
    const timespec length{us / 1000000, us % 1000000 * 1000};
    if (kind == "sleep") {
        sleep(static_cast<unsigned>(us / 1000000));
    } else if (kind == "usleep") {
        usleep(static_cast<useconds_t>(us));
    } else if (kind == "nanosleep") {
        nanosleep(&length, nullptr);
    } else if (kind == "clock_nanosleep" || kind == "until_monotonic" || kind == "until_realtime") {
        const clockid_t clock = kind == "until_realtime" ? CLOCK_REALTIME : CLOCK_MONOTONIC;
        timespec when = length;
        if (kind != "clock_nanosleep") {
            clock_gettime(clock, &when);
            when.tv_sec += length.tv_sec + (when.tv_nsec + length.tv_nsec) / 1000000000;
            when.tv_nsec = (when.tv_nsec + length.tv_nsec) % 1000000000;
        }
        clock_nanosleep(clock, kind == "clock_nanosleep" ? 0 : TIMER_ABSTIME, &when, nullptr);
    } else if (kind == "poll") {
        poll(nullptr, 0, static_cast<int>(us / 1000));
    } else if (kind == "select") {
        timeval timeout{us / 1000000, us % 1000000};
        select(0, nullptr, nullptr, nullptr, &timeout);
    } else {
        std::fprintf(stderr, "devprobe: unknown pause %s\n", kind.c_str());
        std::exit(2);
    }
}

void on_sigint(int)
{
    static const char text[] = "SIGINT\n";
    [[maybe_unused]] const ssize_t n = write(STDOUT_FILENO, text, sizeof text - 1);
}

// Runs the step at argv[i]; returns the index of the next one.
int step(char** argv, int i)
{
    const std::string op = argv[i];
    if (op == "open") {
        const std::string mode = argv[i + 2];
        const int flags = mode == "r" ? O_RDONLY : mode == "w" ? O_WRONLY : O_RDWR;
        fd = open(argv[i + 1], flags);
        if (fd >= 0) {
            std::puts("open OK");
        } else {
            std::printf("open %d\n", -errno);
        }
        return i + 3;
    }
    if (op == "close") {
        std::printf("close %ld\n", outcome(close(fd)));
        return i + 1;
    }
    if (op == "write" || op == "i2cwrite") {
        const std::string bytes = op == "write" ? unescape(argv[i + 1]) : from_hex(argv[i + 1]);
        std::printf("%s %ld\n", op.c_str(), outcome(write(fd, bytes.data(), bytes.size())));
        return i + 2;
    }
    if (op == "read") {
        std::string buffer(std::min(std::strtoul(argv[i + 1], nullptr, 10), 65536UL), '\0');
        const long n = outcome(read(fd, buffer.data(), buffer.size()));
        // A long read is shown by its count alone.
        std::printf("read %ld %s\n", n, n > 0 && n <= 256 ? escaped(buffer.data(), static_cast<std::size_t>(n)).c_str() : "");
        return i + 2;
    }
    if (op == "seek") {
        std::printf("seek %ld\n", outcome(lseek(fd, std::strtol(argv[i + 1], nullptr, 10), SEEK_SET)));
        return i + 2;
    }
    if (op == "ioctl8" || op == "ioctl32") {
        std::uint8_t value8 = static_cast<std::uint8_t>(std::strtoul(argv[i + 2], nullptr, 0));
        std::uint32_t value32 = static_cast<std::uint32_t>(std::strtoul(argv[i + 2], nullptr, 0));
        void* arg = op == "ioctl8" ? static_cast<void*>(&value8) : static_cast<void*>(&value32);
        const long r = outcome(ioctl(fd, spi_request(argv[i + 1]), arg));
        std::printf("ioctl %ld %u\n", r, op == "ioctl8" ? value8 : value32);
        return i + 3;
    }
    if (op == "transfer") {
        const auto length = std::strtoul(argv[i + 1], nullptr, 10);
        const std::string tx = std::strcmp(argv[i + 2], "-") == 0 ? "" : from_hex(argv[i + 2]);
        unsigned char rx[256];
        std::memset(rx, 0xFF, sizeof rx);
        spi_ioc_transfer t{};
        t.tx_buf = tx.empty() ? 0 : reinterpret_cast<std::uintptr_t>(tx.data());
        t.rx_buf = reinterpret_cast<std::uintptr_t>(rx);
        t.len = static_cast<std::uint32_t>(length);
        t.speed_hz = 1000000;
        const long r = outcome(ioctl(fd, SPI_IOC_MESSAGE(1), &t));
        std::printf("transfer %ld %s\n", r, to_hex(rx, length).c_str());
        return i + 3;
    }
    if (op == "message") {
        const std::string first = from_hex(argv[i + 2]);
        const std::string second = from_hex(argv[i + 3]);
        std::string rx(first.size() + second.size(), '\xff');
        spi_ioc_transfer t[2]{};
        t[0].tx_buf = reinterpret_cast<std::uintptr_t>(first.data());
        t[0].rx_buf = reinterpret_cast<std::uintptr_t>(rx.data());
        t[0].len = static_cast<std::uint32_t>(first.size());
        t[0].cs_change = static_cast<std::uint8_t>(std::strtoul(argv[i + 1], nullptr, 10));
        t[1].tx_buf = reinterpret_cast<std::uintptr_t>(second.data());
        t[1].rx_buf = reinterpret_cast<std::uintptr_t>(rx.data() + first.size());
        t[1].len = static_cast<std::uint32_t>(second.size());
        t[0].speed_hz = t[1].speed_hz = 1000000;
        std::printf("message %ld\n", outcome(ioctl(fd, SPI_IOC_MESSAGE(2), t)));
        return i + 4;
    }
    if (op == "spi") {
        const auto length = std::strtoul(argv[i + 1], nullptr, 10);
        const bool sends = std::strcmp(argv[i + 2], "-") != 0;
        const bool receives = std::strcmp(argv[i + 3], "-") != 0;
        std::string tx(sends ? length : 0, '\0');
        std::string rx(receives ? length : 0, '\xff');
        spi_ioc_transfer t{};
        t.tx_buf = sends ? reinterpret_cast<std::uintptr_t>(tx.data()) : 0;
        t.rx_buf = receives ? reinterpret_cast<std::uintptr_t>(rx.data()) : 0;
        t.len = static_cast<std::uint32_t>(length);
        t.bits_per_word = static_cast<std::uint8_t>(std::strtoul(argv[i + 4], nullptr, 10));
        t.tx_nbits = static_cast<std::uint8_t>(std::strtoul(argv[i + 5], nullptr, 10));
        t.rx_nbits = static_cast<std::uint8_t>(std::strtoul(argv[i + 6], nullptr, 10));
        std::printf("spi %ld\n", outcome(ioctl(fd, SPI_IOC_MESSAGE(1), &t)));
        return i + 7;
    }
    if (op == "i2cioctl") {
        const std::string name = argv[i + 1];
        const unsigned long request = name == "I2C_TENBIT" ? I2C_TENBIT
                                      : name == "I2C_PEC"  ? I2C_PEC
                                      : name == "I2C_TIMEOUT" ? I2C_TIMEOUT
                                                              : I2C_RETRIES;
        std::printf("i2cioctl %ld\n", outcome(ioctl(fd, request, std::strtoul(argv[i + 2], nullptr, 0))));
        return i + 3;
    }
    if (op == "address") {
        std::printf("address %ld\n", outcome(ioctl(fd, I2C_SLAVE, std::strtoul(argv[i + 1], nullptr, 0))));
        return i + 2;
    }
    if (op == "rdwr") {
        std::string bytes = from_hex(argv[i + 2]);
        i2c_msg message{static_cast<std::uint16_t>(std::strtoul(argv[i + 1], nullptr, 0)), 0,
                        static_cast<std::uint16_t>(bytes.size()), reinterpret_cast<std::uint8_t*>(bytes.data())};
        i2c_rdwr_ioctl_data set{&message, 1};
        std::printf("rdwr %ld\n", outcome(ioctl(fd, I2C_RDWR, &set)));
        return i + 3;
    }
    if (op == "smbus") {
        const std::string bytes = from_hex(argv[i + 2]);
        i2c_smbus_data data{};
        data.block[0] = static_cast<std::uint8_t>(bytes.size());
        std::memcpy(&data.block[1], bytes.data(), bytes.size());
        i2c_smbus_ioctl_data args{I2C_SMBUS_WRITE, static_cast<std::uint8_t>(std::strtoul(argv[i + 1], nullptr, 0)),
                                  I2C_SMBUS_I2C_BLOCK_DATA, &data};
        std::printf("smbus %ld\n", outcome(ioctl(fd, I2C_SMBUS, &args)));
        return i + 3;
    }
    if (op == "badspi" || op == "badi2c") {
        // A page mapped and unmapped again: nothing of the process's is there.
        void* gone = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        munmap(gone, 4096);
        long r = 0;
        if (op == "badspi") {
            spi_ioc_transfer t{};
            t.tx_buf = reinterpret_cast<std::uintptr_t>(gone);
            t.len = 4;
            r = outcome(ioctl(fd, SPI_IOC_MESSAGE(1), &t));
        } else {
            i2c_msg message{0x27, 0, 4, static_cast<std::uint8_t*>(gone)};
            i2c_rdwr_ioctl_data set{&message, 1};
            r = outcome(ioctl(fd, I2C_RDWR, &set));
        }
        std::printf("%s %ld\n", op.c_str(), r);
        return i + 1;
    }
    if (op == "log") {
        syslog(LOG_ERR, "%s", argv[i + 1]);
        return i + 2;
    }
    if (op == "usleep") {
        const int r = usleep(static_cast<useconds_t>(std::strtoul(argv[i + 1], nullptr, 10)));
        std::printf("usleep %d %d\n", r, r == 0 ? 0 : errno);
        return i + 2;
    }
    if (op == "nap") {
        const std::int64_t before = monotonic_ns();
        nap(argv[i + 1], std::strtol(argv[i + 2], nullptr, 10));
        std::printf("nap %s %lld\n", argv[i + 1], static_cast<long long>((monotonic_ns() - before) / 1000000));
        return i + 3;
    }
    if (op == "handler") {
        struct sigaction action{};
        action.sa_handler = on_sigint;
        sigaction(SIGINT, &action, nullptr);
        return i + 1;
    }
    if (op == "print") {
        std::printf("%s\n", argv[i + 1]);
        return i + 2;
    }
    if (op == "pid") {
        std::printf("pid %d\n", static_cast<int>(getpid()));
        return i + 1;
    }
    if (op == "ticks") {
        const long count = std::strtol(argv[i + 1], nullptr, 10);
        const auto pause = static_cast<useconds_t>(std::strtoul(argv[i + 2], nullptr, 10));
        for (long n = 0; n < count; ++n) {
            std::printf("tick %ld\n", n);
            std::fflush(stdout);
            usleep(pause);
        }
        return i + 3;
    }
    std::fprintf(stderr, "devprobe: unknown step %s\n", op.c_str());
    std::exit(2);
}

} // namespace

int main(int argc, char** argv)
{
    // Each step's line must reach the board before the next step runs.
    setvbuf(stdout, nullptr, _IONBF, 0);
    for (int i = 1; i < argc;) {
        i = step(argv, i);
    }
    return 0;
}
