#include "devices_command.hpp"

#include "board.hpp"
#include "board_layout.hpp"
#include "devices/adc_input.hpp"
#include "devices/iio_adc.hpp"
#include "devices/i2c_bus.hpp"
#include "devices/lcd_backpack.hpp"
#include "devices/pwm_chip.hpp"
#include "devices/spidev.hpp"
#include "locations.hpp"
#include "output_files.hpp"
#include "usage.hpp"

#include <cerrno>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace vboard::command {

namespace {

// "  NAME<padding>WHAT", the descriptions in one column: after a name too
// long for it, on the next line.
std::string row(const std::string& name, const std::string& what, std::size_t width = 22)
{
    if (name.size() < width) {
        return "  " + name + std::string(width - name.size(), ' ') + what + "\n";
    }
    return "  " + name + "\n" + std::string(2 + width, ' ') + what + "\n";
}

std::string hex_address(int address)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", static_cast<unsigned>(address));
    return text;
}

// The SoC block a device's directory is below ("f8028000.i2c").
std::string soc_block(const char* directory)
{
    const std::string path = directory;
    return path.substr(0, path.find('/'));
}

std::string node(const layout::CharDevice& device)
{
    return "/dev/" + std::string(device.name);
}

std::string numbers(const layout::CharDevice& device)
{
    return "char " + std::to_string(device.major) + ":" + std::to_string(device.minor);
}

std::string lcd_size(LcdGeometry lcd)
{
    return std::to_string(lcd.columns) + "x" + std::to_string(lcd.rows);
}

std::string i2c_bus()
{
    const auto& adapter = layout::char_devices[0];
    const long khz = 1000000 / I2cBus::bit_ns;
    return "I2C\n" +
           row(node(adapter), numbers(adapter) + ", adapter \"" + layout::i2c_adapter_name + "\" (" +
                                  soc_block(adapter.directory) + "), " + std::to_string(khz) + " kHz") +
           row("  " + hex_address(lcd_backpack_address),
               "PCF8574 expander, an HD44780 display behind it (" + lcd_size(BoardConfig{}.lcd) + ")");
}

std::string spi_buses()
{
    std::string text = "SPI (the peer on each: loopback, MOSI wired to MISO, unless told otherwise)\n";
    for (std::size_t i = 1; i < layout::char_devices.size(); ++i) {
        const auto& device = layout::char_devices[i];
        text += row(node(device), numbers(device) + " (" + soc_block(device.directory) + "), up to " +
                                      std::to_string(Spidev::max_speed_hz / 1000000) + " MHz");
    }
    return text;
}

// The channels in runs of the same default input: "channel 0", "channels 1 to 7".
std::string adc_channels_wired()
{
    const auto inputs = default_adc_inputs();
    std::string text;
    for (int first = 0; first < adc_channels;) {
        const std::string input = inputs[static_cast<std::size_t>(first)].describe();
        int last = first;
        while (last + 1 < adc_channels && inputs[static_cast<std::size_t>(last + 1)].describe() == input) {
            ++last;
        }
        const std::string channels = first == last ? "channel " + std::to_string(first)
                                                   : "channels " + std::to_string(first) + " to " +
                                                         std::to_string(last);
        text += row("  " + channels, input + (first == ky013_channel ? " (ky013 reads it)" : ""));
        first = last + 1;
    }
    return text;
}

std::string adc()
{
    const auto& device = layout::adc_node;
    return "ADC (the inputs: vboard help run)\n" +
           row(node(device), numbers(device) + ", the IIO buffer") +
           row("/sys/" + std::string(layout::adc_place.alias),
               std::to_string(adc_channels) + " channels in_voltageN_raw, " + std::to_string(IioAdc::bits) + " bits, " +
                   std::to_string(IioAdc::reference_mv) + " mV full scale") +
           adc_channels_wired();
}

std::string pwm()
{
    return "PWM\n" + row("/sys/" + std::string(layout::pwm_place.alias),
                         std::to_string(PwmChip::channels) + " channel (" + soc_block(layout::pwm_place.directory) +
                             "), pwm0 once exported");
}

std::string programs()
{
    std::string text = "Programs vboard run knows by name\n";
    for (const std::string_view name : program_names) {
        const std::string path = program_path(name);
        text += row(std::string(name), access(path.c_str(), X_OK) == 0 ? path : "(not built)", 16);
    }
    return text;
}

} // namespace

int devices_command(int argc, char** /*argv*/)
{
    if (argc > 1) {
        usage_error("devices takes no arguments");
    }
    const std::string text = i2c_bus() + "\n" + spi_buses() + "\n" + adc() + "\n" + pwm() + "\n" + programs();
    if (const int error = write_all(STDOUT_FILENO, text); error != 0) {
        errno = error;
        std::perror("vboard: cannot write standard output");
        return 125;
    }
    return 0;
}

} // namespace vboard::command
