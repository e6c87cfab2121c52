#pragma once

#include "board.hpp"

#include <string>
#include <vector>

namespace vboard {

// A board with one fault, written as vboard's --fault option takes it
// (e.g. "ioctl=spidev3.0:SPI_IOC_MESSAGE:EIO"); a malformed one fails the
// test that asked for it.
BoardConfig with_fault(const std::string& fault);

// Standard output that cannot be written, the ways a program meets it, and
// the errno its writes fail with: a full disk (/dev/full), a pipe whose
// reader has gone (SIGPIPE ignored), and, unless `opens_files_first`, no
// standard output at all. (A program that opens a file before it writes,
// as libmraa opens syslog's socket, gets that file as its standard output
// then: its writes go there, as they would on the board.)
struct LostOutput {
    const char* name;
    RunOptions::Output output;
    int error;
};
std::vector<LostOutput> lost_outputs(bool opens_files_first = false);

// The lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string& text);

} // namespace vboard
