#include "spidev.hpp"

#include "../events.hpp"
#include "ioctl_names.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <linux/spi/spidev.h>

namespace vboard {

namespace {

// The mode bits the SPI controller supports; spidev refuses the others.
constexpr std::uint32_t supported_mode_bits = SPI_CPHA | SPI_CPOL | SPI_CS_HIGH | SPI_LSB_FIRST | SPI_3WIRE | SPI_NO_CS;

bool supported_word_size(unsigned bits)
{
    return bits == 8 || bits == 16 || bits == 32;
}

template <typename T>
void store(std::span<std::uint8_t> bytes, T value)
{
    std::memcpy(bytes.data(), &value, std::min(sizeof value, bytes.size()));
}

} // namespace

Spidev::Spidev(std::string name, Recorder& recorder, SpiPeer peer)
    : name_(std::move(name)), recorder_(recorder), peer_(std::move(peer))
{
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
    const ClientMemory arg = (reads || writes) ? call.argument_memory(size) : ClientMemory(nullptr);
    if (!reads && !writes) {
        error = ENOTTY;
    } else if (!arg.valid()) {
        error = EFAULT;
    } else if (writes) {
        // What the program asked for is recorded even when it is refused.
        value = size == 1 ? arg.load<std::uint8_t>() : arg.load<std::uint32_t>();
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
            current = max_speed_hz_;
        }
        value = current;
        if (size == 1) {
            store(arg.bytes(), static_cast<std::uint8_t>(current));
        } else {
            store(arg.bytes(), current);
        }
    } else if (error == 0 && writes) {
        const std::uint32_t v = *value;
        if (request == SPI_IOC_WR_MODE || request == SPI_IOC_WR_MODE32) {
            const std::uint32_t mode = request == SPI_IOC_WR_MODE ? ((mode_ & ~0xFFu) | v) : v;
            if ((mode & ~supported_mode_bits) != 0) {
                error = EINVAL;
            } else {
                mode_ = mode;
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
            max_speed_hz_ = v;
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
    std::vector<std::uint8_t> answer(sent.size(), 0xFF);
    std::copy_n(peer_.reply.begin(), std::min(peer_.reply.size(), answer.size()), answer.begin());
    return answer;
}

// SPI_IOC_MESSAGE(n): n transfer records, each pointing at the program's
// transmit and receive buffers (either may be null: zeros are sent, what
// comes back is dropped). The driver answers with the bytes moved.
void Spidev::message(NodeCall& call, int injected_error)
{
    const std::size_t size = _IOC_SIZE(call.request());
    const std::size_t count = size / sizeof(spi_ioc_transfer);
    const ClientMemory records = call.argument_memory(size);
    if (count == 0 || size % sizeof(spi_ioc_transfer) != 0 || !records.valid()) {
        call.complete(-1, records.valid() ? EINVAL : EFAULT);
        return;
    }
    long total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = i * sizeof(spi_ioc_transfer);
        const auto record = records.load<spi_ioc_transfer>(at);
        std::vector<std::uint8_t> sent(record.len, 0);
        if (record.tx_buf != 0 && record.len > 0) {
            const ClientMemory tx = records.follow(at + offsetof(spi_ioc_transfer, tx_buf), record.len);
            if (!tx.valid()) {
                call.complete(-1, EFAULT);
                return;
            }
            std::copy(tx.bytes().begin(), tx.bytes().end(), sent.begin());
        }
        SpiTransfer transfer{recorder_.now(), name_, sent, {}, record.len, record.speed_hz, record.bits_per_word,
                             mode_, 0, 0};
        if (injected_error != 0) {
            transfer.result = -1;
            transfer.error = injected_error;
            recorder_.record(std::move(transfer));
            call.complete(-1, injected_error);
            return;
        }
        if (peer_.kind != SpiPeer::Kind::silent) {
            transfer.rx = peer_answer(sent);
            if (record.rx_buf != 0 && record.len > 0) {
                const ClientMemory rx = records.follow(at + offsetof(spi_ioc_transfer, rx_buf), record.len);
                if (!rx.valid()) {
                    call.complete(-1, EFAULT);
                    return;
                }
                std::copy(transfer.rx.begin(), transfer.rx.end(), rx.bytes().begin());
            }
        }
        total += record.len;
        transfer.result = record.len;
        recorder_.record(std::move(transfer));
    }
    call.complete(total);
}

} // namespace vboard
