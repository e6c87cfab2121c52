#pragma once

// Where the board's devices are, as its kernel would present them: the
// nodes in /dev with their numbers, the devices' directories in sysfs. The
// board's tree is built from these (board.cpp), and `vboard devices` lists
// them.

#include <array>

namespace vboard::layout {

// Where the board's devices sit in its sysfs, as on a board of this kind
// (a Cortex-A5 SoC): below the platform device of their SoC block, named by
// its unit address as the device tree does.
constexpr const char* platform = "sys/devices/platform";

// A character device node and the device the driver core made for it.
struct CharDevice {
    const char* name;      // the node's, /dev/NAME
    const char* subsystem; // its class, "" for a device on the iio bus
    unsigned major;
    unsigned minor;
    const char* directory; // its device's, below the platform
};

constexpr std::array<CharDevice, 3> char_devices{{
    {"i2c-0", "i2c-dev", 89, 0, "f8028000.i2c/i2c-0/i2c-dev/i2c-0"},
    {"spidev0.0", "spidev", 153, 0, "f8000000.spi/spi_master/spi0/spi0.0/spidev/spidev0.0"},
    {"spidev3.0", "spidev", 153, 1, "fc018400.spi/spi_master/spi3/spi3.0/spidev/spidev3.0"},
}};

// The IIO ADC's buffer node, whose device is the ADC's own directory.
constexpr CharDevice adc_node{"iio:device0", "", 250, 0, "fc030000.adc/iio:device0"};

// The name the I2C controller's driver gives its adapter (i2c-at91).
constexpr const char* i2c_adapter_name = "AT91";

// A device with behaviour: its directory below the platform, its name in
// the record, and the link programs usually reach it by.
struct SysfsPlace {
    const char* directory;
    const char* name;
    const char* alias; // below sys/
};

constexpr SysfsPlace adc_place{"fc030000.adc/iio:device0", "iio:device0", "bus/iio/devices/iio:device0"};
constexpr SysfsPlace pwm_place{"f802c000.pwm/pwm/pwmchip0", "pwmchip0", "class/pwm/pwmchip0"};

} // namespace vboard::layout
