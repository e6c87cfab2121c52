#pragma once

// A spidev node (/dev/spidevB.C) as the kernel's spidev driver presents it:
// the mode, bit order, word size and default clock of the device, and
// full-duplex transfers described by struct spi_ioc_transfer records. What
// comes back on MISO is the peer's business.

#include "node.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

class Recorder;

// Whatever is wired to the port.
struct SpiPeer {
    enum class Kind {
        loopback, // MOSI wired to MISO: every byte sent comes back
        reply,    // a device that answers each transfer with `reply`, then idles high (0xFF)
        silent,   // nothing connected: the driver leaves the receive buffer as it was
    };
    Kind kind = Kind::loopback;
    std::vector<std::uint8_t> reply;
};

class Spidev : public DeviceNode {
public:
    Spidev(std::string name, Recorder& recorder, SpiPeer peer);

    void ioctl(NodeCall& call, int injected_error) override;

private:
    void config_request(NodeCall& call, int injected_error);
    void message(NodeCall& call, int injected_error);
    std::vector<std::uint8_t> peer_answer(const std::vector<std::uint8_t>& sent) const;

    std::string name_;
    Recorder& recorder_;
    SpiPeer peer_;

    // The device's settings as spi_setup() leaves them: mode 0 (which
    // includes MSB first), 8-bit words, and the maximum clock that its
    // device tree entry gives.
    std::uint32_t mode_ = 0;
    std::uint8_t bits_per_word_ = 8;
    std::uint32_t max_speed_hz_ = 10000000;
};

} // namespace vboard
