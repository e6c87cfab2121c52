#pragma once

// Where vboard's own files are. In a build tree: where that tree built
// them. Installed (cmake --install): beside the running vboard, found from
// its own path, so that an installed tree works wherever it is moved:
//
//   bin/vboard
//   lib/vboard/vboard-init, libvboard-preload.so, qemu-arm
//   lib/vboard/programs/NAME           the board's programs, built for this PC
//   share/vboard/boards/*.json         libmraa's description of the board

#include "program_names.hpp"

#include <string>
#include <string_view>

namespace vboard {

struct Locations {
    std::string init_program;    // the run's PID 1 (namespace/)
    std::string preload_library; // virtual time inside the program (preload/)
    std::string qemu_arm;        // runs the board build's 32-bit ARM programs
    std::string board_json;      // what MRAA_JSON_PLATFORM names
    std::string programs;        // the directory of the project's programs
    bool installed = false;
};

const Locations& locations();

// The path of one of the project's programs (i2c_lcd, ... spi_mraa,
// calculator) where this vboard has it, or "" for a name it does not know.
std::string program_path(std::string_view name);

} // namespace vboard
