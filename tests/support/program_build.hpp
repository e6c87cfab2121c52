#pragma once

// Which build of the programs a program's suite runs. Each such suite runs
// twice (tests/CMakeLists.txt): on this PC's build (the host preset's tree)
// and on the shipped board build, the bundle's 32-bit ARM musl binaries,
// unpacked from the archive the board build packs. The virtual board runs
// the latter under the project's qemu-arm, on the same devices.
//
//   BRINGUP_BUILD=board          the suite is the board build's run
//   BRINGUP_BOARD_BUNDLE=DIR     the unpacked bundle (bin/, lib/, ...)
//
// Without the bundle there (the board's cross packages could not be
// installed, or the board build has not been packed), the board build's run
// skips every test and says why.

#include <string>

namespace vboard {

enum class Build { host, board };

Build build_under_test();

// The program to run: `host_path` (NAME_PATH of the host tree) or the
// bundle's bin/NAME.
std::string program(const std::string& host_path, const std::string& name);

// What the build's C library prints for an errno (strerror, perror): the
// texts glibc and musl give differ for some errnos.
std::string error_text(int error);

// What a program says on standard error when its output could not be
// written, for the errno the write failed with.
std::string lost_output_message(const std::string& program_name, int error);

} // namespace vboard
