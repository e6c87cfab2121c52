#pragma once

#include "board.hpp"

#include <string>
#include <vector>

namespace vboard {

// A board with one fault, written as vboard's --fault option takes it
// (e.g. "ioctl=spidev3.0:SPI_IOC_MESSAGE:EIO"); a malformed one fails the
// test that asked for it.
BoardConfig with_fault(const std::string& fault);

// The lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string& text);

} // namespace vboard
