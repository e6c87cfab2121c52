#include "board.hpp"

#include "board_impl.hpp"
#include "run.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>

namespace vboard {

namespace {

// The board's device nodes: name, subsystem, major:minor. The ADC's is its
// buffer; its device is in the board's sysfs.
constexpr std::array<std::array<const char*, 3>, 4> device_nodes{{
    {"i2c-0", "i2c-dev", "89:0"},
    {"spidev0.0", "spidev", "153:0"},
    {"spidev3.0", "spidev", "153:1"},
    {"iio:device0", "", "250:0"},
}};

// Where a device with sysfs behaviour sits, as on a board of this kind: its
// directory under the platform device of the SoC block (named by its unit
// address, as the device tree does), and the link through which programs
// usually reach it (its bus's or class's directory).
struct SysfsPlace {
    const char* directory; // below Testbed::sysfs_mount_point
    const char* name;
    const char* alias;
    const char* alias_target; // the link's target, relative to the link
};

constexpr SysfsPlace adc_place{"fc030000.adc/iio:device0", "iio:device0", "/sys/bus/iio/devices/iio:device0",
                               "../../../devices/platform/fc030000.adc/iio:device0"};
constexpr SysfsPlace pwm_place{"f802c000.pwm/pwm/pwmchip0", "pwmchip0", "/sys/class/pwm/pwmchip0",
                               "../../devices/platform/f802c000.pwm/pwm/pwmchip0"};

} // namespace

Board::Impl::Impl(BoardConfig c)
    : config(std::move(c)),
      lcd(recorder, config.lcd, config.lcd_start),
      i2c("i2c-0", recorder, config.faults),
      spi3("spidev3.0", recorder, config.spi),
      spi0("spidev0.0", recorder, config.spi),
      adc(recorder),
      testbed(),
      sysfs(Testbed::sysfs_mount_point, recorder, config.faults, devices_lock)
{
    i2c.attach(lcd_backpack_address, lcd);
    for (const auto& [channel, values] : config.adc) {
        adc.set_values(channel, values);
    }
    for (const auto& [channel, input] : config.adc_inputs) {
        adc.set_input(channel, input);
    }

    testbed.add_directory(Testbed::sysfs_mount_point);
    for (const SysfsPlace& place : {adc_place, pwm_place}) {
        testbed.add_link(place.alias, place.alias_target);
    }
    sysfs.add_device(adc_place.directory, adc_place.name, adc_place.alias, adc);
    sysfs.add_device(pwm_place.directory, pwm_place.name, pwm_place.alias, pwm);

    // Fault paths name what the program would open, through any link.
    config.faults.canonicalise([this](const std::string& path) { return canonical(path); });
    const auto absent = [this](const std::string& path) {
        const auto& paths = config.faults.absent_paths();
        return std::any_of(paths.begin(), paths.end(), [&path](const auto& a) { return path_within(path, a); });
    };
    const auto model_of = [this](std::string_view name) -> DeviceNode& {
        return name == "i2c-0" ? static_cast<DeviceNode&>(i2c)
               : name == "spidev0.0" ? static_cast<DeviceNode&>(spi0)
               : name == "spidev3.0" ? static_cast<DeviceNode&>(spi3)
                                     : static_cast<DeviceNode&>(adc);
    };
    const bool adc_absent = absent(std::string(Testbed::sysfs_mount_point) + "/" + adc_place.directory);
    for (const auto& [name, subsystem, major_minor] : device_nodes) {
        DeviceNode& node = model_of(name);
        if (!absent(std::string("/dev/") + name) && !(&node == &adc && adc_absent)) {
            testbed.add_node(name, subsystem, major_minor, node, config.faults);
        }
    }
    // Whatever is absent outside the sysfs mount goes from the testbed; the
    // mount hides its own. A link to an absent device goes with it.
    for (const auto& path : config.faults.absent_paths()) {
        testbed.remove(path, Testbed::sysfs_mount_point);
    }
    for (const SysfsPlace& place : {adc_place, pwm_place}) {
        if (absent(std::string(Testbed::sysfs_mount_point) + "/" + place.directory)) {
            testbed.remove(place.alias, Testbed::sysfs_mount_point);
        }
    }
    mount = std::make_unique<SysfsMount>(sysfs, testbed.root() + Testbed::sysfs_mount_point, *this);
}

Board::Impl::~Impl() = default;

std::string Board::Impl::canonical(const std::string& path) const
{
    return testbed.canonical(path, Testbed::sysfs_mount_point);
}

bool Board::Impl::before()
{
    std::lock_guard guard(run_lock);
    return run == nullptr || run->before_device_call();
}

void Board::Impl::after()
{
    std::lock_guard guard(run_lock);
    if (run != nullptr) {
        run->after_device_call();
    }
}

void Board::Impl::attach(Run* r)
{
    std::lock_guard guard(run_lock);
    run = r;
}

std::string problem_with(const BoardConfig& config)
{
    for (const auto& device : config.faults.ioctl_devices()) {
        const bool known = std::any_of(device_nodes.begin(), device_nodes.end(),
                                       [&device](const auto& node) { return device == node[0]; });
        if (!known) {
            return "--fault ioctl=" + device + ": the board has no node " + device +
                   " (it has i2c-0, spidev0.0, spidev3.0 and iio:device0)";
        }
    }
    for (const int address : config.faults.nack_addresses()) {
        if (address != lcd_backpack_address) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "--fault nack=0x%02x: nothing answers there on i2c-0 to stop answering (the display is at 0x%02x)",
                          address, lcd_backpack_address);
            return text;
        }
    }
    return "";
}

Board::Board(BoardConfig config)
{
    if (const std::string problem = problem_with(config); !problem.empty()) {
        throw BoardError(problem);
    }
    impl_ = std::make_unique<Impl>(std::move(config));
}

Board::~Board() = default;

const std::string& Board::root() const
{
    return impl_->testbed.root();
}

std::string Board::canonical(const std::string& path) const
{
    return impl_->canonical(path);
}

void Board::set_adc_input(int channel, AdcInput input, const std::string& source)
{
    std::lock_guard guard(impl_->devices_lock);
    const std::string value = input.spec();
    impl_->adc.set_input(channel, std::move(input));
    impl_->recorder.record(InputChange{impl_->recorder.now(), "iio:device0", channel, value, source, impl_->adc.counts()});
}

void Board::turn_adc_input(int channel, int counts, const std::string& source)
{
    std::lock_guard guard(impl_->devices_lock);
    const std::string value = impl_->adc.turn(channel, counts);
    impl_->recorder.record(InputChange{impl_->recorder.now(), "iio:device0", channel, value, source, impl_->adc.counts()});
}

std::array<std::optional<int>, 8> Board::adc_counts() const
{
    std::lock_guard guard(impl_->devices_lock);
    return impl_->adc.counts();
}

RunResult Board::run(const RunOptions& options, Observer* observer)
{
    impl_->recorder.clear();
    {
        std::lock_guard guard(impl_->devices_lock);
        impl_->lcd.begin_run();
    }
    Run run(*impl_, options, observer);
    return run.execute();
}

std::string program_path(std::string_view name)
{
    static constexpr std::array<std::string_view, 7> programs{"i2c_lcd",      "spi_ioctl", "adc_test", "pwm_led_mraa",
                                                              "calculator",   "ky013",     "spi_mraa"};
    if (std::find(programs.begin(), programs.end(), name) == programs.end()) {
        return "";
    }
    return std::string(VBOARD_BUILD_DIR) + "/" + std::string(name) + "/" + std::string(name);
}

} // namespace vboard
