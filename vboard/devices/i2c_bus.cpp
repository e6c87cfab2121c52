#include "i2c_bus.hpp"

#include "../events.hpp"
#include "../faults.hpp"
#include "ioctl_names.hpp"

#include <cerrno>
#include <algorithm>
#include <cstddef>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <vector>

namespace vboard {

namespace {

// What the adapter offers: plain I2C plus every SMBus transfer the i2c-dev
// driver can emulate on top of it.
constexpr unsigned long adapter_functionality = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;

} // namespace

I2cBus::I2cBus(std::string name, Recorder& recorder, const FaultPlan& faults)
    : name_(std::move(name)), recorder_(recorder), faults_(faults)
{
}

int I2cBus::selected_address(const NodeCall& call) const
{
    const auto it = address_of_file_.find(call.open_file());
    return it == address_of_file_.end() ? -1 : it->second;
}

int I2cBus::write_transaction(int address, std::span<const std::uint8_t> bytes, int injected_error)
{
    int error = injected_error;
    const auto device = devices_.find(address);
    const int frame = ++writes_to_address_[address];
    const auto nack = faults_.nack_from(address);
    if (error == 0 && (device == devices_.end() || (nack && frame >= *nack))) {
        error = ENXIO; // nobody acknowledged the address byte
    }
    recorder_.record(I2cWrite{recorder_.now(), name_, address, Bytes(bytes.begin(), bytes.end()), error});
    if (error == 0) {
        device->second->write(bytes);
    }
    return error;
}

int I2cBus::read_transaction(int address, std::span<std::uint8_t> bytes, int injected_error)
{
    const auto device = devices_.find(address);
    if (injected_error != 0) {
        return injected_error;
    }
    if (device == devices_.end()) {
        return ENXIO;
    }
    device->second->read(bytes);
    return 0;
}

void I2cBus::config_request(NodeCall& call, const char* name, int injected_error)
{
    const unsigned long request = call.request();
    long result = 0;
    int error = injected_error;
    std::optional<std::uint32_t> value;
    if (request == I2C_FUNCS) {
        value = static_cast<std::uint32_t>(adapter_functionality);
        if (error == 0) {
            const ClientMemory out = call.argument_memory(sizeof(unsigned long));
            if (!out.valid()) {
                error = EFAULT;
            } else {
                const unsigned long funcs = adapter_functionality;
                std::copy_n(reinterpret_cast<const std::uint8_t*>(&funcs), sizeof funcs, out.bytes().begin());
            }
        }
    } else {
        // I2C_SLAVE and I2C_SLAVE_FORCE take the 7-bit address itself.
        const unsigned long address = call.argument();
        value = static_cast<std::uint32_t>(address);
        if (error == 0 && address > 0x7F) {
            error = EINVAL;
        }
        if (error == 0) {
            address_of_file_[call.open_file()] = static_cast<int>(address);
        }
    }
    if (error != 0) {
        result = -1;
    }
    recorder_.record(IoctlCall{recorder_.now(), name_, name, request, value, result, error});
    call.complete(result, error);
}

void I2cBus::ioctl(NodeCall& call, int injected_error)
{
    switch (call.request()) {
    case I2C_SLAVE:
        config_request(call, "I2C_SLAVE", injected_error);
        return;
    case I2C_SLAVE_FORCE:
        config_request(call, "I2C_SLAVE_FORCE", injected_error);
        return;
    case I2C_FUNCS:
        config_request(call, "I2C_FUNCS", injected_error);
        return;
    case I2C_RDWR:
        combined_transfer(call, injected_error);
        return;
    case I2C_SMBUS:
        smbus_transfer(call, injected_error);
        return;
    default:
        recorder_.record(IoctlCall{recorder_.now(), name_, ioctl_name(call.request()), call.request(), std::nullopt, -1, ENOTTY});
        call.complete(-1, ENOTTY);
        return;
    }
}

// I2C_RDWR: several messages in one combined transaction, each a write or a
// read addressed on its own.
void I2cBus::combined_transfer(NodeCall& call, int injected_error)
{
    const ClientMemory set = call.argument_memory(sizeof(i2c_rdwr_ioctl_data));
    if (!set.valid()) {
        call.complete(-1, EFAULT);
        return;
    }
    const auto header = set.load<i2c_rdwr_ioctl_data>();
    if (header.nmsgs == 0 || header.nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) {
        call.complete(-1, EINVAL);
        return;
    }
    const ClientMemory messages = set.follow(offsetof(i2c_rdwr_ioctl_data, msgs), header.nmsgs * sizeof(i2c_msg));
    if (!messages.valid()) {
        call.complete(-1, EFAULT);
        return;
    }
    for (std::size_t i = 0; i < header.nmsgs; ++i) {
        const std::size_t at = i * sizeof(i2c_msg);
        const auto message = messages.load<i2c_msg>(at);
        const ClientMemory data = messages.follow(at + offsetof(i2c_msg, buf), message.len);
        if (message.len > 0 && !data.valid()) {
            call.complete(-1, EFAULT);
            return;
        }
        const int error = (message.flags & I2C_M_RD) != 0
                              ? read_transaction(message.addr, data.bytes(), injected_error)
                              : write_transaction(message.addr, data.bytes(), injected_error);
        if (error != 0) {
            call.complete(-1, error);
            return;
        }
    }
    call.complete(static_cast<long>(header.nmsgs));
}

// I2C_SMBUS: the i2c-dev driver turns each SMBus transfer into the bytes
// below on the wire. libmraa writes several bytes as an "I2C block" write:
// the first byte as the command, the rest as the block.
void I2cBus::smbus_transfer(NodeCall& call, int injected_error)
{
    const ClientMemory args_memory = call.argument_memory(sizeof(i2c_smbus_ioctl_data));
    if (!args_memory.valid()) {
        call.complete(-1, EFAULT);
        return;
    }
    const auto args = args_memory.load<i2c_smbus_ioctl_data>();
    const int address = selected_address(call);
    if (address < 0) {
        call.complete(-1, EINVAL);
        return;
    }
    ClientMemory data_memory(nullptr);
    if (args.size != I2C_SMBUS_QUICK && !(args.size == I2C_SMBUS_BYTE && args.read_write == I2C_SMBUS_WRITE)) {
        data_memory = args_memory.follow(offsetof(i2c_smbus_ioctl_data, data), sizeof(i2c_smbus_data));
        if (!data_memory.valid()) {
            call.complete(-1, EFAULT);
            return;
        }
    }
    const std::span<std::uint8_t> data = data_memory.bytes();

    std::vector<std::uint8_t> wire{args.command};
    int error = 0;
    if (args.read_write == I2C_SMBUS_WRITE) {
        switch (args.size) {
        case I2C_SMBUS_QUICK:
            wire.clear();
            break;
        case I2C_SMBUS_BYTE:
            break;
        case I2C_SMBUS_BYTE_DATA:
            wire.push_back(data[0]);
            break;
        case I2C_SMBUS_WORD_DATA:
            wire.insert(wire.end(), data.begin(), data.begin() + 2);
            break;
        case I2C_SMBUS_BLOCK_DATA:
        case I2C_SMBUS_I2C_BLOCK_DATA: {
            const std::size_t count = data[0];
            if (count == 0 || count > I2C_SMBUS_BLOCK_MAX) {
                call.complete(-1, EINVAL);
                return;
            }
            if (args.size == I2C_SMBUS_BLOCK_DATA) {
                wire.push_back(data[0]); // SMBus block writes carry their count
            }
            wire.insert(wire.end(), data.begin() + 1, data.begin() + 1 + static_cast<std::ptrdiff_t>(count));
            break;
        }
        default:
            call.complete(-1, EOPNOTSUPP);
            return;
        }
        error = write_transaction(address, wire, injected_error);
    } else {
        std::size_t count = 0;
        switch (args.size) {
        case I2C_SMBUS_BYTE:
            wire.clear();
            count = 1;
            break;
        case I2C_SMBUS_BYTE_DATA:
            count = 1;
            break;
        case I2C_SMBUS_WORD_DATA:
            count = 2;
            break;
        case I2C_SMBUS_I2C_BLOCK_DATA:
            count = data[0] <= I2C_SMBUS_BLOCK_MAX ? data[0] : I2C_SMBUS_BLOCK_MAX;
            break;
        default:
            call.complete(-1, EOPNOTSUPP);
            return;
        }
        // The command byte goes out as a write, then a repeated start reads.
        error = wire.empty() ? 0 : write_transaction(address, wire, injected_error);
        if (error == 0) {
            const auto first = args.size == I2C_SMBUS_I2C_BLOCK_DATA ? 1 : 0;
            error = read_transaction(address, data.subspan(static_cast<std::size_t>(first), count), injected_error);
        }
    }
    call.complete(error == 0 ? 0 : -1, error);
}

// Plain read() and write() on the node: one transaction with the address
// that I2C_SLAVE selected for this open file; the call returns the bytes moved.
void I2cBus::plain_transfer(NodeCall& call, bool reading)
{
    const int address = selected_address(call);
    if (address < 0) {
        call.complete(-1, EINVAL);
        return;
    }
    const auto bytes = call.buffer();
    const int error = reading ? read_transaction(address, bytes) : write_transaction(address, bytes);
    call.complete(error == 0 ? static_cast<long>(bytes.size()) : -1, error);
}

void I2cBus::write(NodeCall& call)
{
    plain_transfer(call, false);
}

void I2cBus::read(NodeCall& call)
{
    plain_transfer(call, true);
}

} // namespace vboard
