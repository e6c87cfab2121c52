#pragma once

// An I2C adapter as /dev/i2c-N presents it through the kernel's i2c-dev
// driver (drivers/i2c/i2c-dev.c), with the i2c core's SMBus emulation
// (i2c-core-smbus.c) on top of a plain I2C controller: address selection,
// the functionality mask, the per-file flags (10-bit addresses, PEC), plain
// read()/write(), and combined (I2C_RDWR) and SMBus (I2C_SMBUS) transfers.
//
// Each transfer takes its time on the wire at the bus clock (standard mode,
// 100 kHz): a START, each message's address byte and data bytes with their
// acknowledge bits (a repeated START before each further message), a STOP.
// Virtual time moves on by that much, and each device sees every byte at
// the moment its acknowledge ends. An address with no device on it is not
// acknowledged, which the driver reports as ENXIO.

#include "node.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vboard {

class Recorder;
class FaultPlan;

class I2cDevice {
public:
    virtual ~I2cDevice() = default;
    // The data bytes of one write message addressed to the device; byte i
    // was complete on the wire at `at_ns[i]` (virtual ns).
    virtual void write(std::span<const std::uint8_t> bytes, std::span<const std::int64_t> at_ns) = 0;
    // One read message: the device fills `bytes`, byte i sampled at `at_ns[i]`.
    virtual void read(std::span<std::uint8_t> bytes, std::span<const std::int64_t> at_ns) = 0;
};

class I2cBus : public DeviceNode {
public:
    // Standard mode: 100 kHz, so one bit (a clock period) lasts 10 µs.
    static constexpr std::int64_t bit_ns = 10000;

    I2cBus(std::string name, Recorder& recorder, const FaultPlan& faults);

    void attach(int address, I2cDevice& device) { devices_[address] = &device; }

    void ioctl(NodeCall& call, int injected_error) override;
    void write(NodeCall& call) override;
    void read(NodeCall& call) override;
    void closed(const void* open_file) override { files_.erase(open_file); }

private:
    // What i2c-dev keeps per open file (its struct i2c_client): the address
    // I2C_SLAVE chose (0 until then, as the client is allocated zeroed) and
    // the flags I2C_TENBIT and I2C_PEC set.
    struct FileState {
        unsigned address = 0;
        bool ten_bit = false;
        bool pec = false;
    };
    // One message of a transaction, as struct i2c_msg describes it.
    struct Message {
        unsigned address;
        bool read;
        bool ten_bit;
        std::span<std::uint8_t> data;
    };

    FileState& file(const NodeCall& call) { return files_[call.open_file()]; }
    // One transaction on the wire; returns 0 or the errno the adapter reports.
    int transfer(std::span<Message> messages);
    void refuse(NodeCall& call, const std::string& request, int error, std::optional<std::uint32_t> value = {});
    void file_request(NodeCall& call, int injected_error);
    void combined_transfer(NodeCall& call, int injected_error);
    void smbus_transfer(NodeCall& call, int injected_error);
    void plain_transfer(NodeCall& call, bool reading);

    std::string name_;
    Recorder& recorder_;
    const FaultPlan& faults_;
    std::map<int, I2cDevice*> devices_;
    std::map<const void*, FileState> files_;
    std::map<int, int> writes_to_address_;
    // The adapter-wide settings of I2C_TIMEOUT (in 10 ms) and I2C_RETRIES:
    // kept, but nothing on this bus ever times out or loses arbitration.
    unsigned long timeout_ = 100;
    unsigned long retries_ = 0;
};

} // namespace vboard
