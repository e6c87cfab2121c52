#pragma once

#include "board.hpp"

#include <string>

namespace vboard {

// A board with one fault, written as vboard's --fault option takes it
// (e.g. "ioctl=spidev3.0:SPI_IOC_MESSAGE:EIO"); a malformed one fails the
// test that asked for it.
BoardConfig with_fault(const std::string& fault);

} // namespace vboard
