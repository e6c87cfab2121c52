#pragma once

// An I2C adapter as /dev/i2c-N presents it through the kernel's i2c-dev
// driver: address selection, the functionality mask, plain read()/write(),
// and combined (I2C_RDWR) and SMBus (I2C_SMBUS) transfers. Each transfer is
// one transaction on the wire; an address with no device on it is not
// acknowledged, which the driver reports as ENXIO.

#include "node.hpp"

#include <cstdint>
#include <map>
#include <span>
#include <string>

namespace vboard {

class Recorder;
class FaultPlan;

class I2cDevice {
public:
    virtual ~I2cDevice() = default;
    // The data bytes of one write transaction addressed to the device.
    virtual void write(std::span<const std::uint8_t> bytes) = 0;
    // One read transaction: the device fills `bytes`.
    virtual void read(std::span<std::uint8_t> bytes) = 0;
};

class I2cBus : public DeviceNode {
public:
    I2cBus(std::string name, Recorder& recorder, const FaultPlan& faults);

    void attach(int address, I2cDevice& device) { devices_[address] = &device; }

    void ioctl(NodeCall& call, int injected_error) override;
    void write(NodeCall& call) override;
    void read(NodeCall& call) override;

private:
    int selected_address(const NodeCall& call) const;
    // One transaction; returns 0 or the errno the adapter reports.
    int write_transaction(int address, std::span<const std::uint8_t> bytes, int injected_error = 0);
    int read_transaction(int address, std::span<std::uint8_t> bytes, int injected_error = 0);
    void config_request(NodeCall& call, const char* name, int injected_error);
    void combined_transfer(NodeCall& call, int injected_error);
    void smbus_transfer(NodeCall& call, int injected_error);
    void plain_transfer(NodeCall& call, bool reading);

    std::string name_;
    Recorder& recorder_;
    const FaultPlan& faults_;
    std::map<int, I2cDevice*> devices_;
    std::map<const void*, int> address_of_file_;
    std::map<int, int> writes_to_address_;
};

} // namespace vboard
