#include "locations.hpp"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace vboard {

namespace {

// The directory of the running executable, or "" where /proc cannot say.
std::string own_directory()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return "";
    }
    const std::string executable(path, static_cast<std::size_t>(n));
    return executable.substr(0, executable.rfind('/'));
}

// `relative` (the install's path from bin/) below `bin`, without the "..".
std::string beside(const std::string& bin, const char* relative)
{
    return (std::filesystem::path(bin) / relative).lexically_normal().string();
}

// The installed layout, where the running executable is an installed
// vboard: its PID 1 is then at the place the install gave it, relative to
// the executable's directory.
bool find_installed(Locations& found)
{
    const std::string bin = own_directory();
    if (bin.empty()) {
        return false;
    }
    const std::string lib = beside(bin, VBOARD_INSTALLED_LIB);
    if (access((lib + "/vboard-init").c_str(), X_OK) != 0) {
        return false;
    }
    found.init_program = lib + "/vboard-init";
    found.preload_library = lib + "/libvboard-preload.so";
    found.qemu_arm = lib + "/qemu-arm";
    found.board_json = beside(bin, VBOARD_INSTALLED_DATA) + "/boards/virtual-board.json";
    found.programs = lib + "/programs";
    found.installed = true;
    return true;
}

Locations build_tree()
{
    Locations found;
    found.init_program = VBOARD_INIT_PROGRAM;
    found.preload_library = VBOARD_PRELOAD_LIBRARY;
    found.qemu_arm = VBOARD_QEMU_ARM;
    found.board_json = VBOARD_BOARD_JSON;
    found.programs = VBOARD_BUILD_DIR;
    return found;
}

} // namespace

const Locations& locations()
{
    static const Locations found = [] {
        Locations installed;
        return find_installed(installed) ? installed : build_tree();
    }();
    return found;
}

std::string program_path(std::string_view name)
{
    if (std::find(std::begin(program_names), std::end(program_names), name) == std::end(program_names)) {
        return "";
    }
    const Locations& found = locations();
    // A build tree has each program in a directory of its own.
    return found.programs + "/" + (found.installed ? "" : std::string(name) + "/") + std::string(name);
}

} // namespace vboard
