#pragma once

// A spidev node (/dev/spidevB.C) as the kernel's spidev driver
// (drivers/spi/spidev.c) presents it, with the SPI core's checks of each
// message (__spi_validate in drivers/spi/spi.c): the mode, bit order, word
// size and clock of the device; full-duplex messages of struct
// spi_ioc_transfer records, at most one bounce buffer (4096 bytes) each way;
// half-duplex read() and write(). Each transfer takes its time on the wire
// at its clock, and virtual time moves on by that much. What comes back on
// MISO is the peer's business.

#include "node.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

class Recorder;

// Whatever is wired to the port.
struct SpiPeer {
    enum class Kind {
        loopback, // MOSI wired to MISO: every byte sent comes back
        reply,    // a device that answers each transfer with `reply`, then leaves MISO floating
        silent,   // nothing drives MISO: the controller samples its floating level
    };
    Kind kind = Kind::loopback;
    std::vector<std::uint8_t> reply;
    // The level a MISO that nothing drives settles at, as the controller
    // samples it: all ones with a pull-up (the usual case), all zeros with
    // a pull-down.
    std::uint8_t idle = 0xFF;
};

class Spidev : public DeviceNode {
public:
    Spidev(std::string name, Recorder& recorder, SpiPeer peer);

    // spidev's default bounce buffer size (its bufsiz module parameter).
    static constexpr std::size_t bufsiz = 4096;
    // The clock its device tree entry allows (spi-max-frequency).
    static constexpr std::uint32_t max_speed_hz = 10000000;

    void ioctl(NodeCall& call, int injected_error) override;
    void write(NodeCall& call) override;
    void read(NodeCall& call) override;
    // spidev_open() opens the node as a stream (stream_open): no seeking, no pread().
    bool stream() const override { return true; }
    void opened(const void* open_file) override;
    void closed(const void* open_file) override;

private:
    struct Transfer;
    void config_request(NodeCall& call, int injected_error);
    void message(NodeCall& call, int injected_error);
    void half_duplex(NodeCall& call, bool reading);
    int validate(const Transfer& transfer) const;
    std::int64_t run(Transfer& transfer, std::int64_t start_ns, bool ends_message);
    void record_refused(const Transfer& transfer, int error);
    std::vector<std::uint8_t> peer_answer(const std::vector<std::uint8_t>& sent) const;

    std::string name_;
    Recorder& recorder_;
    SpiPeer peer_;

    // The device's settings as spi_setup() leaves them: mode 0 (which
    // includes MSB first) and 8-bit words; and the clock spidev uses for a
    // transfer that names none (its own speed_hz: the device's maximum
    // until a program sets another, and again once the node's last user
    // has closed it).
    std::uint32_t mode_ = 0;
    std::uint8_t bits_per_word_ = 8;
    std::uint32_t speed_hz_ = max_speed_hz;
    int users_ = 0;
};

} // namespace vboard
