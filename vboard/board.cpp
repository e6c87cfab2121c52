#include "board.hpp"

#include "board_impl.hpp"
#include "board_layout.hpp"
#include "fault_paths.hpp"
#include "run.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace vboard {

using namespace layout;

namespace {

// The relative target of a link at `link` to `target`, both paths of the tree.
std::string relative_link(const std::string& link, const std::string& target)
{
    return std::filesystem::path(target).lexically_relative(std::filesystem::path(link).parent_path()).string();
}

void add_link(FsTree& tree, const std::string& link, const std::string& target)
{
    tree.add_link(link, relative_link(link, target));
}

// What the driver core gives a character device: its dev and uevent
// files, its subsystem, and the links to it from its class and from
// /sys/dev/char. An IIO device is on the iio bus, not in a class: its
// subsystem is the bus, which lists it in /sys/bus/iio/devices.
void add_char_device(FsTree& tree, const CharDevice& device)
{
    const std::string directory = std::string(platform) + "/" + device.directory;
    const std::string number = std::to_string(device.major) + ":" + std::to_string(device.minor);
    tree.add_file(directory + "/dev", number + "\n");
    tree.add_file(directory + "/uevent", "MAJOR=" + std::to_string(device.major) + "\nMINOR=" +
                                             std::to_string(device.minor) + "\nDEVNAME=" + device.name + "\n");
    if (device.subsystem[0] == '\0') {
        add_link(tree, directory + "/subsystem", "sys/bus/iio");
    } else {
        add_link(tree, directory + "/subsystem", std::string("sys/class/") + device.subsystem);
        add_link(tree, std::string("sys/class/") + device.subsystem + "/" + device.name, directory);
    }
    add_link(tree, "sys/dev/char/" + number, directory);
}

// The I2C controller's adapter, i2c-0 on the I2C bus, as i2c-core and
// i2c-dev present it: what i2cdetect -l lists (/sys/class/i2c-dev/*/name).
void add_i2c_adapter(FsTree& tree)
{
    const std::string adapter = std::string(platform) + "/f8028000.i2c/i2c-0";
    tree.add_file(adapter + "/name", std::string(i2c_adapter_name) + "\n");
    add_link(tree, adapter + "/subsystem", "sys/bus/i2c");
    add_link(tree, "sys/bus/i2c/devices/i2c-0", adapter);
    add_link(tree, "sys/class/i2c-adapter/i2c-0", adapter);
    const std::string dev = adapter + "/i2c-dev/i2c-0";
    tree.add_file(dev + "/name", std::string(i2c_adapter_name) + "\n");
    add_link(tree, dev + "/device", adapter);
}

} // namespace

Board::Impl::Impl(BoardConfig c)
    : config(std::move(c)),
      lcd(recorder, config.lcd, config.lcd_start),
      i2c("i2c-0", recorder, config.faults),
      spi3("spidev3.0", recorder, config.spi),
      spi0("spidev0.0", recorder, config.spi),
      adc(recorder),
      tree(config.faults),
      files(recorder, config.faults)
{
    i2c.attach(lcd_backpack_address, lcd);
    // The bench's inputs, each replaced by what the configuration wires there.
    const auto bench = default_adc_inputs();
    for (int channel = 0; channel < adc_channels; ++channel) {
        adc.set_input(channel, bench[static_cast<std::size_t>(channel)]);
    }
    for (const auto& [channel, values] : config.adc) {
        adc.set_values(channel, values);
    }
    for (const auto& [channel, input] : config.adc_inputs) {
        adc.set_input(channel, input);
    }

    // The tops of sysfs every board has, some of them empty here.
    for (const char* top : {"sys/block", "sys/bus", "sys/class", "sys/dev/block", "sys/dev/char", "sys/firmware",
                            "sys/fs", "sys/kernel", "sys/module", "sys/power"}) {
        tree.add_directory(top);
    }
    for (const SysfsPlace& place : {adc_place, pwm_place}) {
        const std::string directory = std::string(platform) + "/" + place.directory;
        add_link(tree, std::string("sys/") + place.alias, directory);
    }
    tree.add_device({std::string(platform) + "/" + adc_place.directory, adc_place.name,
                     std::string("/sys/") + adc_place.alias, &adc});
    tree.add_device({std::string(platform) + "/" + pwm_place.directory, pwm_place.name,
                     std::string("/sys/") + pwm_place.alias, &pwm});
    add_i2c_adapter(tree);

    const auto absent = [this](const std::string& path) {
        const auto& paths = config.faults.absent_paths();
        return std::any_of(paths.begin(), paths.end(),
                           [this, &path](const auto& a) { return path_within(path, canonical(a)); });
    };
    // A node that is absent has no device in sysfs either, as on a board
    // whose device tree leaves it out.
    const auto add_node = [&](const CharDevice& device, DeviceNode& model) {
        if (!absent(std::string("/dev/") + device.name)) {
            tree.add_node({device.name, &model, device.major, device.minor});
            add_char_device(tree, device);
        }
    };
    add_node(char_devices[0], i2c);
    add_node(char_devices[1], spi0);
    add_node(char_devices[2], spi3);
    if (!absent("/" + std::string(platform) + "/" + adc_place.directory)) {
        add_node(adc_node, adc);
    }
    // Fault paths name what the program would open, through any link (the
    // nodes' class links included).
    config.faults.canonicalise([this](const std::string& path) { return canonical(path); });
}

Board::Impl::~Impl() = default;

std::string Board::Impl::canonical(const std::string& path) const
{
    return tree.canonical(path);
}

std::vector<std::string> Board::Impl::node_specs() const
{
    std::vector<std::string> specs;
    for (const std::string& name : tree.node_names()) {
        for (const CharDevice& device : {char_devices[0], char_devices[1], char_devices[2], adc_node}) {
            if (name == device.name) {
                specs.push_back(name + ":" + std::to_string(device.major) + ":" + std::to_string(device.minor));
            }
        }
    }
    return specs;
}

bool Board::Impl::before(bool opens)
{
    std::lock_guard guard(run_lock);
    return run == nullptr || run->before_device_call(opens);
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

namespace {

// What `echo N > export` does for each channel N below npwm: the channel's
// directory and files appear, as a program can make them during a run.
void export_every_channel(PwmChip& pwm)
{
    int error = 0;
    const auto npwm = pwm.show("npwm", error);
    unsigned channels = 0;
    if (npwm) {
        std::from_chars(npwm->data(), npwm->data() + npwm->size(), channels);
    }
    for (unsigned n = 0; n < channels; ++n) {
        pwm.store("export", std::to_string(n));
    }
}

// Whether each path fault names something of the board: of its tree
// without faults, with every file that appears while a program runs. The
// PWM channels' files are the only such files: the IIO buffer's files and
// node are there from the start.
std::string problem_with_paths(const FaultPlan& faults)
{
    if (faults.path_faults().empty()) {
        return "";
    }
    Board::Impl board{BoardConfig{}};
    export_every_channel(board.pwm);
    return path_fault_problem(faults, board.tree);
}

} // namespace

std::string problem_with(const BoardConfig& config)
{
    for (const auto& device : config.faults.ioctl_devices()) {
        const bool known = device == adc_node.name || std::any_of(char_devices.begin(), char_devices.end(),
                                                                  [&device](const auto& node) { return device == node.name; });
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
    return problem_with_paths(config.faults);
}

Board::Board(BoardConfig config)
{
    if (const std::string problem = problem_with(config); !problem.empty()) {
        throw BoardError(problem);
    }
    // Told here, before any run: vboard-init would say the same at each one.
    if (access("/dev/fuse", F_OK) != 0) {
        throw BoardError("the board's filesystem needs FUSE, and /dev/fuse is missing: load the fuse module "
                         "(modprobe fuse), or start the container with /dev/fuse "
                         "(docker run --device /dev/fuse --cap-add SYS_ADMIN)");
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        throw BoardError("the board's filesystem needs FUSE, and /dev/fuse is not open to this user: Debian makes "
                         "it read-write for everyone (mode 0666); as root, chmod 0666 /dev/fuse, or run vboard as "
                         "root");
    }
    impl_ = std::make_unique<Impl>(std::move(config));
}

Board::~Board() = default;

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

} // namespace vboard
