#pragma once

// The parts of a board, shared by board.cpp (which builds it) and the run
// (which runs programs on it).

#include "board.hpp"
#include "device_calls.hpp"
#include "devices/i2c_bus.hpp"
#include "devices/iio_adc.hpp"
#include "devices/lcd_backpack.hpp"
#include "devices/pwm_chip.hpp"
#include "fs/open_files.hpp"
#include "fs/tree.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace vboard {

class Run;

struct Board::Impl : DeviceCalls {
    explicit Impl(BoardConfig c);
    ~Impl() override;

    // Passed on to the run under way, if any.
    bool before(bool opens) override;
    void after() override;
    void attach(Run* run);

    std::string canonical(const std::string& path) const;
    // The board's nodes as vboard-init takes them: "i2c-0:89:0".
    std::vector<std::string> node_specs() const;

    BoardConfig config;

    // The device models, the tree and the open files. Every call on them
    // takes devices_lock: the filesystem's thread and the run loop both
    // reach them.
    std::mutex devices_lock;
    Recorder recorder;
    LcdBackpack lcd;
    I2cBus i2c;
    Spidev spi3;
    Spidev spi0;
    IioAdc adc;
    PwmChip pwm;
    FsTree tree;
    OpenFiles files;

    std::mutex run_lock; // guards `run`
    Run* run = nullptr;
};

} // namespace vboard
