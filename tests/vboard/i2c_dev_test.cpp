// i2c-dev's requests in both layouts a program can pass them in: a 64-bit
// program's, and a 32-bit program's (4-byte pointers and longs), which the
// driver's compat_ioctl takes. The model reads and writes the caller's
// memory through UserMemory, here a block of this test's.

#include "devices/i2c_bus.hpp"
#include "devices/lcd_backpack.hpp"
#include "events.hpp"
#include "faults.hpp"

#include <gtest/gtest.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <cstring>
#include <vector>

namespace {

using namespace vboard;

// The caller's memory: `bytes` at address `base`.
class Memory : public UserMemory {
public:
    static constexpr std::uint64_t base = 0x10000;
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(256, 0xAA);

    bool copy_from(std::uint64_t address, std::span<std::uint8_t> to) const override
    {
        if (address < base || address - base + to.size() > bytes.size()) {
            return false;
        }
        std::memcpy(to.data(), bytes.data() + (address - base), to.size());
        return true;
    }
    bool copy_to(std::uint64_t address, std::span<const std::uint8_t> from) const override
    {
        if (address < base || address - base + from.size() > bytes.size()) {
            return false;
        }
        std::memcpy(const_cast<std::uint8_t*>(bytes.data()) + (address - base), from.data(), from.size());
        return true;
    }
    template <typename T>
    void put(std::size_t offset, const T& value)
    {
        std::memcpy(bytes.data() + offset, &value, sizeof value);
    }
};

struct Bus {
    Recorder recorder;
    FaultPlan faults;
    LcdBackpack display{recorder, lcd_16x2, Hd44780::Start::four_bit};
    I2cBus bus{"i2c-0", recorder, faults};
    Memory memory;
    int file = 0; // the open file, as the board tells them apart

    Bus() { bus.attach(lcd_backpack_address, display); }

    long ioctl(unsigned long request, std::uint64_t argument, bool compat)
    {
        NodeCall call(&file, memory, request, argument, {}, compat);
        bus.ioctl(call, 0);
        return call.result() < 0 ? -call.error() : call.result();
    }
};

class I2cDevLayouts : public testing::TestWithParam<bool> {};

TEST_P(I2cDevLayouts, FuncsWritesAnUnsignedLongOfTheCallers)
{
    const bool compat = GetParam();
    Bus b;
    ASSERT_EQ(b.ioctl(I2C_FUNCS, Memory::base, compat), 0);
    std::uint64_t written = 0;
    std::memcpy(&written, b.memory.bytes.data(), sizeof written);
    const std::uint64_t funcs = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
    // A 32-bit caller's unsigned long is 4 bytes: what follows stays as it was.
    EXPECT_EQ(written, compat ? (funcs | 0xAAAAAAAA00000000ULL) : funcs);
}

TEST_P(I2cDevLayouts, CombinedTransferFollowsTheCallersPointers)
{
    const bool compat = GetParam();
    Bus b;
    const std::uint64_t messages = Memory::base + 64;
    const std::uint64_t data = Memory::base + 128;
    b.memory.put(128, std::uint8_t{0x08});
    if (compat) {
        b.memory.put(0, std::uint32_t{messages});
        b.memory.put(4, std::uint32_t{1});
        b.memory.put(64, std::uint16_t{0x27});
        b.memory.put(66, std::uint16_t{0});
        b.memory.put(68, std::uint16_t{1});
        b.memory.put(72, std::uint32_t{data}); // i2c_msg32's buffer, after two bytes of padding
    } else {
        b.memory.put(0, i2c_rdwr_ioctl_data{reinterpret_cast<i2c_msg*>(messages), 1});
        b.memory.put(64, i2c_msg{0x27, 0, 1, reinterpret_cast<std::uint8_t*>(data)});
    }
    EXPECT_EQ(b.ioctl(I2C_RDWR, Memory::base, compat), 1);
    const auto writes = all_of<I2cWrite>(b.recorder.events());
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].addr, 0x27);
    EXPECT_EQ(writes[0].bytes, Bytes{0x08});
}

TEST_P(I2cDevLayouts, SmbusReadsOnlyTheDataItUses)
{
    const bool compat = GetParam();
    Bus b;
    ASSERT_EQ(b.ioctl(I2C_SLAVE, 0x27, compat), 0);
    const std::uint64_t data = Memory::base + 128;
    b.memory.put(128, std::uint8_t{0x00});
    if (compat) {
        b.memory.put(0, std::uint8_t{I2C_SMBUS_WRITE});
        b.memory.put(1, std::uint8_t{0x08});
        b.memory.put(4, std::uint32_t{I2C_SMBUS_BYTE_DATA});
        b.memory.put(8, std::uint32_t{data});
    } else {
        b.memory.put(0, i2c_smbus_ioctl_data{I2C_SMBUS_WRITE, 0x08, I2C_SMBUS_BYTE_DATA,
                                             reinterpret_cast<i2c_smbus_data*>(data)});
    }
    // Only the byte of a byte-data write is read: the block may end right after it.
    b.memory.bytes.resize(129);
    EXPECT_EQ(b.ioctl(I2C_SMBUS, Memory::base, compat), 0);
    const auto writes = all_of<I2cWrite>(b.recorder.events());
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes, (Bytes{0x08, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(I2cDev, I2cDevLayouts, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& param) {
                             return param.param ? "32_bit_caller" : "64_bit_caller";
                         });

} // namespace
