#pragma once

// The parts of a board, shared by board.cpp (which builds it) and run.cpp
// (which runs programs on it).

#include "board.hpp"
#include "devices/i2c_bus.hpp"
#include "devices/iio_adc.hpp"
#include "devices/lcd_backpack.hpp"
#include "devices/pwm_chip.hpp"
#include "sysfs/fuse_mount.hpp"
#include "sysfs/tree.hpp"
#include "testbed.hpp"

#include <memory>
#include <mutex>

namespace vboard {

class Run;

struct Board::Impl : DeviceCalls {
    explicit Impl(BoardConfig c);
    ~Impl() override;

    // Passed on to the run under way, if any.
    bool before() override;
    void after() override;
    void attach(Run* run);

    std::string canonical(const std::string& path) const;

    BoardConfig config;

    // The device models. Every call on them takes devices_lock: the sysfs
    // filesystem's thread and the run loop both reach them.
    std::mutex devices_lock;
    Recorder recorder;
    LcdBackpack lcd;
    I2cBus i2c;
    Spidev spi3;
    Spidev spi0;
    IioAdc adc;
    PwmChip pwm;

    std::mutex run_lock; // guards `run`
    Run* run = nullptr;

    // Declared in the order they are built; destroyed the other way round:
    // the mount goes before the testbed it lies in.
    Testbed testbed;
    SysfsTree sysfs;
    std::unique_ptr<SysfsMount> mount;
};

} // namespace vboard
