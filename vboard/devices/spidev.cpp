#include "spidev.hpp"

#include "../events.hpp"
#include "ioctl_names.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <linux/spi/spi.h>
#include <linux/spi/spidev.h>

namespace vboard {

namespace {

// The mode bits the SPI controller supports; spi_setup() refuses the others
// (EINVAL), except the dual, quad and octal ones, which it drops with a
// warning in the kernel log. SPI_CS_WORD always passes: the core emulates it.
constexpr std::uint32_t supported_mode_bits = SPI_CPHA | SPI_CPOL | SPI_CS_HIGH | SPI_LSB_FIRST | SPI_3WIRE | SPI_NO_CS;
constexpr std::uint32_t multi_wire_bits = SPI_TX_DUAL | SPI_TX_QUAD | SPI_TX_OCTAL | SPI_RX_DUAL | SPI_RX_QUAD | SPI_RX_OCTAL;

// The number of data lines a transfer uses each way (the kernel's SPI_NBITS_*).
constexpr unsigned SPI_NBITS_SINGLE = 1;
constexpr unsigned SPI_NBITS_DUAL = 2;
constexpr unsigned SPI_NBITS_QUAD = 4;
constexpr unsigned SPI_NBITS_OCTAL = 8;

// Each transfer's share of a bounce buffer starts at the DMA alignment
// (spidev_message rounds every length up to ARCH_DMA_MINALIGN): a cache
// line, 64 bytes in an ARMv7 kernel built for several SoCs.
constexpr std::size_t dma_alignment = 64;

// How long the SPI core keeps the device deselected for a cs_change inside a
// message when the transfer names no delay of its own (default_delay_ns in
// _spi_transfer_cs_change_delay).
constexpr std::int64_t cs_change_delay_ns = 10000;

bool supported_word_size(unsigned bits)
{
    return bits == 8 || bits == 16 || bits == 32;
}

// Whether `nbits` lines for one direction are allowed by the mode: one line
// always; two with the mode's DUAL or QUAD bit; four with QUAD; eight with
// OCTAL; nothing else (__spi_validate).
bool lines_allowed(unsigned nbits, std::uint32_t mode, std::uint32_t dual, std::uint32_t quad, std::uint32_t octal)
{
    switch (nbits) {
    case SPI_NBITS_SINGLE:
        return true;
    case SPI_NBITS_DUAL:
        return (mode & (dual | quad)) != 0;
    case SPI_NBITS_QUAD:
        return (mode & quad) != 0;
    case SPI_NBITS_OCTAL:
        return (mode & octal) != 0;
    default:
        return false;
    }
}

} // namespace

// One transfer as the SPI core takes it: the record's settings with the
// device's filled in where it left them 0.
struct Spidev::Transfer {
    std::uint32_t len = 0;
    bool has_tx = false;
    bool has_rx = false;
    std::uint32_t speed_hz = 0;
    std::uint8_t bits_per_word = 0; // as the record gave it
    unsigned tx_nbits = SPI_NBITS_SINGLE;
    unsigned rx_nbits = SPI_NBITS_SINGLE;
    std::uint32_t delay_us = 0; // after the transfer
    bool cs_change = false;     // deselect the device after it (see message())
    std::vector<std::uint8_t> tx; // what goes out on MOSI (zeros without a transmit buffer, none without either)
    std::vector<std::uint8_t> rx; // what came back on MISO
};

Spidev::Spidev(std::string name, Recorder& recorder, SpiPeer peer)
    : name_(std::move(name)), recorder_(recorder), peer_(std::move(peer))
{
}

void Spidev::opened(const void*)
{
    ++users_;
}

// spidev_release: when the last user closes the node, its clock goes back
// to the device's maximum; the mode and word size stay as they were.
void Spidev::closed(const void*)
{
    if (users_ > 0 && --users_ == 0) {
        speed_hz_ = max_speed_hz;
    }
}

void Spidev::ioctl(NodeCall& call, int injected_error)
{
    if (is_spi_message(call.request())) {
        message(call, injected_error);
    } else {
        config_request(call, injected_error);
    }
}

void Spidev::config_request(NodeCall& call, int injected_error)
{
    const unsigned long request = call.request();
    const std::size_t size = _IOC_SIZE(request);
    const bool reads = request == SPI_IOC_RD_MODE || request == SPI_IOC_RD_MODE32 || request == SPI_IOC_RD_LSB_FIRST ||
                       request == SPI_IOC_RD_BITS_PER_WORD || request == SPI_IOC_RD_MAX_SPEED_HZ;
    const bool writes = request == SPI_IOC_WR_MODE || request == SPI_IOC_WR_MODE32 || request == SPI_IOC_WR_LSB_FIRST ||
                        request == SPI_IOC_WR_BITS_PER_WORD || request == SPI_IOC_WR_MAX_SPEED_HZ;
    int error = injected_error;
    std::optional<std::uint32_t> value;
    if (!reads && !writes) {
        error = ENOTTY;
    } else if (writes) {
        // get_user(); what the program asked for is recorded even when it is refused.
        if (size == 1) {
            value = call.load_argument<std::uint8_t>();
        } else {
            value = call.load_argument<std::uint32_t>();
        }
        if (!value) {
            error = EFAULT;
        }
    }

    if (error == 0 && reads) {
        std::uint32_t current = 0;
        if (request == SPI_IOC_RD_MODE || request == SPI_IOC_RD_MODE32) {
            current = request == SPI_IOC_RD_MODE ? (mode_ & 0xFF) : mode_;
        } else if (request == SPI_IOC_RD_LSB_FIRST) {
            current = (mode_ & SPI_LSB_FIRST) != 0 ? 1 : 0;
        } else if (request == SPI_IOC_RD_BITS_PER_WORD) {
            current = bits_per_word_;
        } else {
            current = speed_hz_;
        }
        value = current;
        const bool put = size == 1 ? call.store_argument(static_cast<std::uint8_t>(current)) : call.store_argument(current);
        if (!put) {
            error = EFAULT;
        }
    } else if (error == 0 && writes) {
        const std::uint32_t v = *value;
        if (request == SPI_IOC_WR_MODE || request == SPI_IOC_WR_MODE32) {
            std::uint32_t mode = request == SPI_IOC_WR_MODE ? ((mode_ & ~0xFFu) | v) : v;
            if ((mode & ~static_cast<std::uint32_t>(SPI_MODE_USER_MASK)) != 0) {
                error = EINVAL; // not a mode bit at all
            } else if ((mode & SPI_3WIRE) != 0 && (mode & multi_wire_bits) != 0) {
                error = EINVAL; // spi_setup: one shared data line cannot be two or four
            } else {
                mode &= ~multi_wire_bits; // dropped: this controller has one line each way
                if ((mode & ~(supported_mode_bits | SPI_CS_WORD)) != 0) {
                    error = EINVAL;
                } else {
                    mode_ = mode;
                }
            }
        } else if (request == SPI_IOC_WR_LSB_FIRST) {
            mode_ = v != 0 ? (mode_ | SPI_LSB_FIRST) : (mode_ & ~static_cast<std::uint32_t>(SPI_LSB_FIRST));
        } else if (request == SPI_IOC_WR_BITS_PER_WORD) {
            const unsigned bits = v == 0 ? 8 : v; // 0 means the default, 8
            if (!supported_word_size(bits)) {
                error = EINVAL;
            } else {
                bits_per_word_ = static_cast<std::uint8_t>(bits);
            }
        } else if (v == 0) {
            error = EINVAL;
        } else {
            speed_hz_ = v;
        }
    }
    const long result = error == 0 ? 0 : -1;
    recorder_.record(IoctlCall{recorder_.now(), name_, ioctl_name(request), request, value, result, error});
    call.complete(result, error);
}

std::vector<std::uint8_t> Spidev::peer_answer(const std::vector<std::uint8_t>& sent) const
{
    if (peer_.kind == SpiPeer::Kind::loopback) {
        return sent;
    }
    std::vector<std::uint8_t> answer(sent.size(), peer_.idle);
    if (peer_.kind == SpiPeer::Kind::reply) {
        std::copy_n(peer_.reply.begin(), std::min(peer_.reply.size(), answer.size()), answer.begin());
    }
    return answer;
}

// The SPI core's checks of one transfer of a message (__spi_validate),
// against the device's settings; 0 or the errno.
int Spidev::validate(const Transfer& transfer) const
{
    // Three-wire mode shares one data line: each transfer goes one way.
    if ((mode_ & SPI_3WIRE) != 0 && transfer.has_tx && transfer.has_rx) {
        return EINVAL;
    }
    const unsigned bits = transfer.bits_per_word != 0 ? transfer.bits_per_word : bits_per_word_;
    if (!supported_word_size(bits)) {
        return EINVAL;
    }
    // No partial words: the length is a whole number of words of 1, 2 or 4 bytes.
    const std::uint32_t word_bytes = bits <= 8 ? 1 : bits <= 16 ? 2 : 4;
    if (transfer.len % word_bytes != 0) {
        return EINVAL;
    }
    if (transfer.has_tx && !lines_allowed(transfer.tx_nbits, mode_, SPI_TX_DUAL, SPI_TX_QUAD, SPI_TX_OCTAL)) {
        return EINVAL;
    }
    if (transfer.has_rx && !lines_allowed(transfer.rx_nbits, mode_, SPI_RX_DUAL, SPI_RX_QUAD, SPI_RX_OCTAL)) {
        return EINVAL;
    }
    return 0;
}

// Clocks one transfer out from `start_ns`: 8 clock periods a byte at its
// clock, then the record's delay. Returns when it ended.
std::int64_t Spidev::run(Transfer& transfer, std::int64_t start_ns, bool ends_message)
{
    const std::int64_t clocks = std::int64_t{8} * transfer.len;
    const std::int64_t wire_ns = (clocks * 1000000000 + transfer.speed_hz - 1) / transfer.speed_hz;
    transfer.rx = peer_answer(transfer.tx);
    const std::int64_t end = start_ns + wire_ns;
    const std::uint8_t word_bits = transfer.bits_per_word != 0 ? transfer.bits_per_word : bits_per_word_;
    recorder_.record(SpiTransfer{to_seconds(end), name_, transfer.tx, transfer.has_rx ? transfer.rx : Bytes{},
                                 transfer.len, transfer.speed_hz, transfer.bits_per_word, mode_,
                                 static_cast<long>(transfer.len), 0, word_bits, transfer.delay_us,
                                 transfer.cs_change, ends_message});
    return end + std::int64_t{transfer.delay_us} * 1000;
}

void Spidev::record_refused(const Transfer& transfer, int error)
{
    recorder_.record(SpiTransfer{recorder_.now(), name_, transfer.tx, {}, transfer.len, transfer.speed_hz,
                                 transfer.bits_per_word, mode_, -1, error});
}

// SPI_IOC_MESSAGE(n): n transfer records, each pointing at the program's
// transmit and receive buffers (either may be null: zeros are sent, what
// comes back is dropped), done as one message with chip select held. spidev
// copies every record's data into its bounce buffers first (EMSGSIZE when
// they would overflow, EFAULT for a bad pointer), then the SPI core checks
// the whole message (EINVAL) before anything goes on the wire. The driver
// answers with the bytes moved.
void Spidev::message(NodeCall& call, int injected_error)
{
    const std::size_t size = _IOC_SIZE(call.request());
    const std::size_t count = size / sizeof(spi_ioc_transfer);
    if (size % sizeof(spi_ioc_transfer) != 0) {
        recorder_.record(IoctlCall{recorder_.now(), name_, ioctl_name(call.request()), call.request(), {}, -1, EINVAL});
        call.complete(-1, EINVAL);
        return;
    }
    if (count == 0) {
        call.complete(0); // SPI_IOC_MESSAGE(0) moves nothing
        return;
    }
    std::vector<spi_ioc_transfer> records(count);
    if (!call.copy_argument({reinterpret_cast<std::uint8_t*>(records.data()), size})) {
        call.complete(-1, EFAULT);
        return;
    }
    std::vector<Transfer> transfers;
    std::vector<std::uint64_t> receive; // where each transfer's bytes in go, in the program
    std::size_t tx_total = 0;
    std::size_t rx_total = 0;
    long total = 0;
    int error = 0;
    if (injected_error != 0) {
        const spi_ioc_transfer& first = records[0];
        Transfer t;
        t.len = first.len;
        t.speed_hz = first.speed_hz != 0 ? first.speed_hz : speed_hz_;
        t.bits_per_word = first.bits_per_word;
        record_refused(t, injected_error);
        call.complete(-1, injected_error);
        return;
    }
    for (std::size_t i = 0; i < count && error == 0; ++i) {
        const spi_ioc_transfer& record = records[i];
        Transfer t;
        t.len = record.len;
        t.has_tx = record.tx_buf != 0;
        t.has_rx = record.rx_buf != 0;
        t.speed_hz = record.speed_hz != 0 ? record.speed_hz : speed_hz_;
        t.bits_per_word = record.bits_per_word;
        t.tx_nbits = record.tx_nbits != 0 ? record.tx_nbits : SPI_NBITS_SINGLE;
        t.rx_nbits = record.rx_nbits != 0 ? record.rx_nbits : SPI_NBITS_SINGLE;
        t.delay_us = record.delay_usecs;
        t.cs_change = record.cs_change != 0;
        const std::size_t aligned = (std::size_t{record.len} + dma_alignment - 1) / dma_alignment * dma_alignment;
        total += record.len;
        if (total > INT_MAX || (t.has_rx && (rx_total += aligned) > bufsiz) ||
            (t.has_tx && (tx_total += aligned) > bufsiz)) {
            error = EMSGSIZE;
        } else if (t.has_tx) {
            // Into the transmit bounce buffer, as the message is built.
            t.tx.resize(record.len);
            if (!call.copy_from_user(record.tx_buf, t.tx)) {
                error = EFAULT;
            }
        } else if (t.has_rx) {
            t.tx.assign(record.len, 0); // within the receive buffer's 4096 bytes
        }
        // A transfer with neither buffer only clocks (up to 2 GiB of it): nothing is kept of it.
        if (error == 0 && t.has_rx) {
            receive.push_back(record.rx_buf);
        }
        if (error != 0) {
            record_refused(t, error);
        }
        transfers.push_back(std::move(t));
    }
    for (std::size_t i = 0; i < transfers.size() && error == 0; ++i) {
        if ((error = validate(transfers[i])) != 0) {
            record_refused(transfers[i], error);
        }
    }
    if (error != 0) {
        call.complete(-1, error);
        return;
    }
    std::int64_t t = recorder_.now_ns();
    auto rx = receive.begin();
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        Transfer& transfer = transfers[i];
        const bool last = i + 1 == transfers.size();
        t = run(transfer, t, last);
        // cs_change between two transfers: the SPI core deselects the device
        // and waits its default cs_change_delay (10 µs; spidev cannot set
        // another) before selecting it again for the next one. After the
        // last transfer it means the opposite: the device stays selected.
        if (transfer.cs_change && !last) {
            t += cs_change_delay_ns;
        }
        if (transfer.has_rx) {
            // Out of the receive bounce buffer once the whole message is done.
            if (error == 0 && !call.copy_to_user(*rx, transfer.rx)) {
                error = EFAULT;
            }
            ++rx;
        }
    }
    recorder_.advance_to(t);
    call.complete(error == 0 ? total : -1, error);
}

// read() and write() on the node: one half-duplex transfer at the node's
// clock and word size, no longer than the bounce buffer (spidev_read,
// spidev_write).
void Spidev::half_duplex(NodeCall& call, bool reading)
{
    const auto buffer = call.buffer();
    Transfer t;
    t.len = static_cast<std::uint32_t>(std::min<std::size_t>(buffer.size(), UINT32_MAX));
    t.has_tx = !reading;
    t.has_rx = reading;
    t.speed_hz = speed_hz_;
    if (buffer.size() > bufsiz) {
        record_refused(t, EMSGSIZE);
        call.complete(-1, EMSGSIZE);
        return;
    }
    if (reading) {
        t.tx.assign(buffer.size(), 0);
    } else {
        t.tx.assign(buffer.begin(), buffer.end());
    }
    if (const int error = validate(t); error != 0) {
        record_refused(t, error);
        call.complete(-1, error);
        return;
    }
    recorder_.advance_to(run(t, recorder_.now_ns(), true));
    if (reading) {
        std::copy(t.rx.begin(), t.rx.end(), buffer.begin());
    }
    call.complete(static_cast<long>(buffer.size()));
}

void Spidev::write(NodeCall& call)
{
    half_duplex(call, false);
}

void Spidev::read(NodeCall& call)
{
    half_duplex(call, true);
}

} // namespace vboard
