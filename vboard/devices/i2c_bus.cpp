#include "i2c_bus.hpp"

#include "../events.hpp"
#include "../faults.hpp"
#include "ioctl_names.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

namespace vboard {

namespace {

// What the adapter offers: plain I2C plus every SMBus transfer the i2c core
// can emulate with plain messages. No 10-bit addressing, no block reads
// (they need the controller to take the length from the device:
// I2C_M_RECV_LEN).
constexpr unsigned long adapter_functionality = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;

// i2c-dev refuses read(), write() and I2C_RDWR messages longer than this
// (the first two are cut to it, the last refused with EINVAL).
constexpr std::size_t max_message = 8192;

// The SMBus packet error code: CRC-8, polynomial x^8 + x^2 + x + 1, over the
// address byte and the data bytes (i2c_smbus_pec).
std::uint8_t pec_update(std::uint8_t crc, std::span<const std::uint8_t> bytes)
{
    for (const std::uint8_t byte : bytes) {
        crc = static_cast<std::uint8_t>(crc ^ byte);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint8_t>((crc & 0x80) != 0 ? (crc << 1) ^ 0x07 : crc << 1);
        }
    }
    return crc;
}

// The PEC of one message: its address byte (R/W bit included), then its data.
std::uint8_t message_pec(std::uint8_t crc, unsigned address, bool read, std::span<const std::uint8_t> data)
{
    const std::uint8_t address_byte = static_cast<std::uint8_t>((address << 1) | (read ? 1 : 0));
    return pec_update(pec_update(crc, {&address_byte, 1}), data);
}

} // namespace

I2cBus::I2cBus(std::string name, Recorder& recorder, const FaultPlan& faults)
    : name_(std::move(name)), recorder_(recorder), faults_(faults)
{
}

// START, then for each message its address byte (with ACK) and data bytes
// (with ACK each), a repeated START before every further message, and STOP.
// A device takes a written byte as its acknowledge ends (the PCF8574 changes
// its outputs then) and samples a byte it sends as the acknowledge before it
// ends. A message not acknowledged ends the transaction with a STOP.
int I2cBus::transfer(std::span<Message> messages)
{
    std::int64_t t = recorder_.now_ns();
    int error = 0;
    for (std::size_t n = 0; n < messages.size(); ++n) {
        Message& m = messages[n];
        t += bit_ns;     // START or repeated START
        t += 9 * bit_ns; // address byte and ACK (only the first of a 10-bit address, if no one answers)
        const auto device = devices_.find(static_cast<int>(m.address));
        bool acknowledged = !m.ten_bit && device != devices_.end(); // no 10-bit device on this bus
        if (!m.ten_bit) {
            // A device made to stop acknowledging at its Nth write stays silent from then on.
            int& writes = writes_to_address_[static_cast<int>(m.address)];
            writes += m.read ? 0 : 1;
            const auto nack = faults_.nack_from(static_cast<int>(m.address));
            acknowledged = acknowledged && !(nack && writes >= *nack);
        }
        if (!acknowledged) {
            error = ENXIO;
        } else {
            std::vector<std::int64_t> at(m.data.size());
            for (std::size_t i = 0; i < at.size(); ++i) {
                at[i] = t + static_cast<std::int64_t>(9 * (m.read ? i : i + 1)) * bit_ns;
            }
            if (m.read) {
                device->second->read(m.data, at);
            } else {
                device->second->write(m.data, at);
            }
            t += static_cast<std::int64_t>(9 * m.data.size()) * bit_ns;
        }
        Bytes bytes = error == 0 || !m.read ? Bytes(m.data.begin(), m.data.end()) : Bytes{};
        const bool stop = error != 0 || n + 1 == messages.size();
        if (m.read) {
            recorder_.record(I2cRead{to_seconds(t), name_, static_cast<int>(m.address), std::move(bytes), error, stop,
                                     m.ten_bit});
        } else {
            recorder_.record(I2cWrite{to_seconds(t), name_, static_cast<int>(m.address), std::move(bytes), error, stop,
                                      m.ten_bit});
        }
        if (error != 0) {
            break;
        }
    }
    t += bit_ns; // STOP
    recorder_.advance_to(t);
    return error;
}

// A request the driver refused before anything went on the wire.
void I2cBus::refuse(NodeCall& call, const std::string& request, int error, std::optional<std::uint32_t> value)
{
    recorder_.record(IoctlCall{recorder_.now(), name_, request, call.request(), value, -1, error});
    call.complete(-1, error);
}

void I2cBus::ioctl(NodeCall& call, int injected_error)
{
    switch (call.request()) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
    case I2C_TENBIT:
    case I2C_PEC:
    case I2C_FUNCS:
    case I2C_TIMEOUT:
    case I2C_RETRIES:
        file_request(call, injected_error);
        return;
    case I2C_RDWR:
        combined_transfer(call, injected_error);
        return;
    case I2C_SMBUS:
        smbus_transfer(call, injected_error);
        return;
    default:
        refuse(call, ioctl_name(call.request()), ENOTTY); // i2cdev_ioctl's default
        return;
    }
}

// The requests that only set or read something (i2cdev_ioctl).
void I2cBus::file_request(NodeCall& call, int injected_error)
{
    const unsigned long request = call.request();
    const unsigned long arg = call.argument();
    FileState& state = file(call);
    int error = injected_error;
    std::optional<std::uint32_t> value = static_cast<std::uint32_t>(std::min<unsigned long>(arg, UINT32_MAX));
    if (request == I2C_FUNCS) {
        value = static_cast<std::uint32_t>(adapter_functionality);
        // put_user() of an unsigned long: 4 bytes for a 32-bit program (compat_ulong_t).
        const bool put = call.compat() ? call.store_argument(static_cast<std::uint32_t>(adapter_functionality))
                                       : call.store_argument(adapter_functionality);
        if (error == 0 && !put) {
            error = EFAULT;
        }
    } else if (error == 0 && (request == I2C_SLAVE || request == I2C_SLAVE_FORCE)) {
        // 7-bit addresses up to 0x7f, 10-bit ones up to 0x3ff once I2C_TENBIT is set.
        if ((!state.ten_bit && arg > 0x7F) || arg > 0x3FF) {
            error = EINVAL;
        } else {
            state.address = static_cast<unsigned>(arg);
        }
    } else if (error == 0 && request == I2C_TENBIT) {
        state.ten_bit = arg != 0;
    } else if (error == 0 && request == I2C_PEC) {
        state.pec = arg != 0;
    } else if (error == 0 && (request == I2C_TIMEOUT || request == I2C_RETRIES)) {
        if (arg > INT_MAX) {
            error = EINVAL;
        } else {
            (request == I2C_TIMEOUT ? timeout_ : retries_) = arg;
        }
    }
    const long result = error == 0 ? 0 : -1;
    recorder_.record(IoctlCall{recorder_.now(), name_, ioctl_name(request), request, value, result, error});
    call.complete(result, error);
}

// The layouts a 32-bit program passes (struct i2c_rdwr_ioctl_data32,
// i2c_msg32 and i2c_smbus_ioctl_data32 of i2c-dev's compat_ioctl): 32-bit
// pointers.
struct Rdwr32 {
    std::uint32_t msgs;
    std::uint32_t nmsgs;
};
struct Msg32 {
    std::uint16_t addr;
    std::uint16_t flags;
    std::uint16_t len;
    std::uint32_t buf;
};
struct Smbus32 {
    std::uint8_t read_write;
    std::uint8_t command;
    std::uint32_t size;
    std::uint32_t data;
};
static_assert(sizeof(Rdwr32) == 8 && sizeof(Msg32) == 12 && sizeof(Smbus32) == 12);

std::uint64_t user_address(std::uint32_t compat_pointer)
{
    return compat_pointer;
}

std::uint64_t user_address(const void* pointer)
{
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// A structure of the caller's at `address` in the caller's own layout
// (Native for a 64-bit program, Compat for a 32-bit one), turned by
// `fields` into what the driver takes of it; nullopt where the caller has
// no such memory.
template <typename Native, typename Compat, typename Fields>
auto load_layout(const NodeCall& call, std::uint64_t address, Fields fields) -> std::optional<decltype(fields(Native{}))>
{
    if (call.compat()) {
        if (const auto value = call.load_from_user<Compat>(address)) {
            return fields(*value);
        }
    } else if (const auto value = call.load_from_user<Native>(address)) {
        return fields(*value);
    }
    return std::nullopt;
}

// I2C_RDWR: up to 42 messages in one combined transaction, each a write or a
// read addressed on its own, none longer than 8192 bytes (i2cdev_ioctl and
// i2cdev_ioctl_rdwr; compat_i2cdev_ioctl for a 32-bit program). Every
// message's buffer is copied in (memdup_user, read messages included)
// before any goes on the wire; after the transaction the read messages'
// bytes are copied out, the last message first. The result is the number
// of messages.
void I2cBus::combined_transfer(NodeCall& call, int injected_error)
{
    if (injected_error != 0) {
        refuse(call, "I2C_RDWR", injected_error);
        return;
    }
    struct Set {
        std::uint64_t msgs;
        std::uint32_t count;
    };
    const auto set = load_layout<i2c_rdwr_ioctl_data, Rdwr32>(
        call, call.argument(), [](const auto& s) { return Set{user_address(s.msgs), s.nmsgs}; });
    if (!set) {
        refuse(call, "I2C_RDWR", EFAULT);
        return;
    }
    const std::uint32_t count = set->count;
    if (set->msgs == 0 || count == 0 || count > I2C_RDWR_IOCTL_MAX_MSGS) {
        refuse(call, "I2C_RDWR", EINVAL, count);
        return;
    }
    struct Record {
        unsigned addr;
        unsigned flags;
        std::uint32_t len;
        std::uint64_t buf;
    };
    std::vector<Record> records;
    const std::size_t record_size = call.compat() ? sizeof(Msg32) : sizeof(i2c_msg);
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto record = load_layout<i2c_msg, Msg32>(call, set->msgs + i * record_size, [](const auto& m) {
            return Record{m.addr, m.flags, m.len, user_address(m.buf)};
        });
        if (!record) {
            refuse(call, "I2C_RDWR", EFAULT, count);
            return;
        }
        records.push_back(*record);
    }
    std::vector<std::vector<std::uint8_t>> buffers;
    std::vector<Message> messages;
    for (const Record& record : records) {
        if (record.len > max_message) {
            refuse(call, "I2C_RDWR", EINVAL, record.len);
            return;
        }
        buffers.emplace_back(record.len);
        if (!call.copy_from_user(record.buf, buffers.back())) {
            refuse(call, "I2C_RDWR", EFAULT, record.len);
            return;
        }
        if ((record.flags & I2C_M_RECV_LEN) != 0) {
            // A length taken from the device: this controller cannot (no
            // I2C_FUNC_SMBUS_READ_BLOCK_DATA in its functionality).
            refuse(call, "I2C_RDWR", EOPNOTSUPP, record.len);
            return;
        }
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        messages.push_back(Message{records[i].addr, (records[i].flags & I2C_M_RD) != 0,
                                   (records[i].flags & I2C_M_TEN) != 0, buffers[i]});
    }
    int error = transfer(messages);
    for (std::size_t i = records.size(); i-- > 0;) {
        if (error == 0 && messages[i].read && !call.copy_to_user(records[i].buf, buffers[i])) {
            error = EFAULT;
        }
    }
    call.complete(error == 0 ? static_cast<long>(count) : -1, error);
}

// I2C_SMBUS: i2c-dev checks the request (i2cdev_ioctl_smbus), then the i2c
// core emulates the SMBus transfer with one or two plain messages
// (i2c_smbus_xfer_emulated), adding a PEC byte where the file asked for it.
void I2cBus::smbus_transfer(NodeCall& call, int injected_error)
{
    struct Args {
        std::uint8_t read_write;
        std::uint8_t command;
        std::uint32_t size;
        std::uint64_t data;
    };
    const auto args = load_layout<i2c_smbus_ioctl_data, Smbus32>(call, call.argument(), [](const auto& a) {
        return Args{a.read_write, a.command, a.size, user_address(a.data)};
    });
    if (!args) {
        refuse(call, "I2C_SMBUS", EFAULT);
        return;
    }
    std::uint8_t read_write = args->read_write;
    const std::uint8_t command = args->command;
    std::uint32_t size = args->size;
    const std::uint64_t data_address = args->data;
    if (injected_error != 0) {
        refuse(call, "I2C_SMBUS", injected_error, size);
        return;
    }
    const bool known_size = size == I2C_SMBUS_QUICK || size == I2C_SMBUS_BYTE || size == I2C_SMBUS_BYTE_DATA ||
                            size == I2C_SMBUS_WORD_DATA || size == I2C_SMBUS_PROC_CALL ||
                            size == I2C_SMBUS_BLOCK_DATA || size == I2C_SMBUS_I2C_BLOCK_BROKEN ||
                            size == I2C_SMBUS_I2C_BLOCK_DATA || size == I2C_SMBUS_BLOCK_PROC_CALL;
    if (!known_size || (read_write != I2C_SMBUS_READ && read_write != I2C_SMBUS_WRITE)) {
        refuse(call, "I2C_SMBUS", EINVAL, size);
        return;
    }
    // A quick command and a byte write carry nothing in the data block.
    const bool needs_data = !(size == I2C_SMBUS_QUICK || (size == I2C_SMBUS_BYTE && read_write == I2C_SMBUS_WRITE));
    // The part of union i2c_smbus_data the transfer uses: a byte, a word,
    // or a block with its count; copied in for a write and for the calls
    // that send something first, copied out after a read.
    const std::size_t datasize = size == I2C_SMBUS_BYTE_DATA || size == I2C_SMBUS_BYTE          ? 1
                                 : size == I2C_SMBUS_WORD_DATA || size == I2C_SMBUS_PROC_CALL ? 2
                                                                                              : I2C_SMBUS_BLOCK_MAX + 2;
    const bool sends_data = size == I2C_SMBUS_PROC_CALL || size == I2C_SMBUS_BLOCK_PROC_CALL ||
                            size == I2C_SMBUS_I2C_BLOCK_DATA || read_write == I2C_SMBUS_WRITE;
    std::array<std::uint8_t, I2C_SMBUS_BLOCK_MAX + 2> block{};
    const std::span<std::uint8_t> data(block.data(), needs_data ? datasize : 0);
    if (needs_data) {
        if (data_address == 0) {
            refuse(call, "I2C_SMBUS", EINVAL, size);
            return;
        }
        if (sends_data && !call.copy_from_user(data_address, data)) {
            refuse(call, "I2C_SMBUS", EFAULT, size);
            return;
        }
    }
    if (size == I2C_SMBUS_I2C_BLOCK_BROKEN) {
        // The old numbering of I2C block transfers, which i2c-tools still
        // uses for writes; a read asks for the largest block.
        size = I2C_SMBUS_I2C_BLOCK_DATA;
        if (read_write == I2C_SMBUS_READ) {
            data[0] = I2C_SMBUS_BLOCK_MAX;
        }
    }

    const FileState& state = file(call);
    std::vector<std::uint8_t> out{command}; // msg[0]: the command byte first
    std::vector<std::uint8_t> in;                // msg[1], when there is one
    bool two_messages = read_write == I2C_SMBUS_READ;
    bool first_reads = false;
    switch (size) {
    case I2C_SMBUS_QUICK:
        out.clear(); // the R/W bit is the data
        first_reads = read_write == I2C_SMBUS_READ;
        two_messages = false;
        break;
    case I2C_SMBUS_BYTE:
        if (read_write == I2C_SMBUS_READ) {
            out.assign(1, 0);
            first_reads = true;
            two_messages = false;
        }
        break;
    case I2C_SMBUS_BYTE_DATA:
        if (read_write == I2C_SMBUS_READ) {
            in.resize(1);
        } else {
            out.push_back(data[0]);
        }
        break;
    case I2C_SMBUS_WORD_DATA:
        if (read_write == I2C_SMBUS_READ) {
            in.resize(2);
        } else {
            out.insert(out.end(), data.begin(), data.begin() + 2);
        }
        break;
    case I2C_SMBUS_PROC_CALL:
        read_write = I2C_SMBUS_READ;
        two_messages = true;
        out.insert(out.end(), data.begin(), data.begin() + 2);
        in.resize(2);
        break;
    case I2C_SMBUS_BLOCK_DATA:
        if (read_write == I2C_SMBUS_READ) {
            refuse(call, "I2C_SMBUS", EOPNOTSUPP, size); // needs I2C_M_RECV_LEN
            return;
        }
        if (data[0] > I2C_SMBUS_BLOCK_MAX) {
            refuse(call, "I2C_SMBUS", EINVAL, size);
            return;
        }
        out.insert(out.end(), data.begin(), data.begin() + 1 + data[0]); // the count, then the block
        break;
    case I2C_SMBUS_I2C_BLOCK_DATA:
        if (data[0] > I2C_SMBUS_BLOCK_MAX) {
            refuse(call, "I2C_SMBUS", EINVAL, size);
            return;
        }
        if (read_write == I2C_SMBUS_READ) {
            in.resize(data[0]);
        } else {
            out.insert(out.end(), data.begin() + 1, data.begin() + 1 + data[0]);
        }
        break;
    default: // I2C_SMBUS_BLOCK_PROC_CALL: a block read as well
        refuse(call, "I2C_SMBUS", EOPNOTSUPP, size);
        return;
    }

    // PEC on everything but quick commands and I2C block transfers: appended
    // to a write-only transfer, else read as one more byte and checked.
    const bool pec = state.pec && size != I2C_SMBUS_QUICK && size != I2C_SMBUS_I2C_BLOCK_DATA;
    std::uint8_t partial_pec = 0;
    if (pec && !first_reads) {
        if (!two_messages) {
            out.push_back(message_pec(0, state.address, false, out));
        } else {
            partial_pec = message_pec(0, state.address, false, out);
        }
    }
    std::vector<std::uint8_t>& last = two_messages ? in : out;
    if (pec && (two_messages || first_reads)) {
        last.push_back(0);
    }
    std::vector<Message> messages{Message{state.address, first_reads, state.ten_bit, out}};
    if (two_messages) {
        messages.push_back(Message{state.address, true, state.ten_bit, in});
    }
    int error = transfer(messages);
    if (error == 0 && pec && (two_messages || first_reads)) {
        const std::uint8_t received = last.back();
        last.pop_back();
        if (message_pec(partial_pec, state.address, true, last) != received) {
            error = EBADMSG;
        }
    }
    if (error == 0 && read_write == I2C_SMBUS_READ && size != I2C_SMBUS_QUICK) {
        const std::vector<std::uint8_t>& got = two_messages ? in : out;
        const std::size_t at = size == I2C_SMBUS_I2C_BLOCK_DATA ? 1 : 0; // block[0] holds the count
        std::copy(got.begin(), got.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
        if (!call.copy_to_user(data_address, data)) {
            error = EFAULT;
        }
    }
    call.complete(error == 0 ? 0 : -1, error);
}

// Plain read() and write() on the node: one message with the file's address
// and flags, at most 8192 bytes of it (i2cdev_read, i2cdev_write); the call
// returns the bytes moved.
void I2cBus::plain_transfer(NodeCall& call, bool reading)
{
    const FileState& state = file(call);
    const auto buffer = call.buffer();
    Message message{state.address, reading, state.ten_bit, buffer.first(std::min(buffer.size(), max_message))};
    const int error = transfer({&message, 1});
    call.complete(error == 0 ? static_cast<long>(message.data.size()) : -1, error);
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
