#pragma once

// A process's memory as a driver reaches it for the process's call:
// process_vm_readv() and process_vm_writev() on the caller, which the
// kernel checks page by page, so that memory the process has not got (or
// may not write) is a failed copy, EFAULT to the driver.

#include "../devices/node.hpp"

#include <sys/types.h>

namespace vboard {

class ProcessMemory : public UserMemory {
public:
    explicit ProcessMemory(pid_t pid) : pid_(pid) {}
    bool copy_from(std::uint64_t address, std::span<std::uint8_t> to) const override;
    bool copy_to(std::uint64_t address, std::span<const std::uint8_t> from) const override;

private:
    pid_t pid_;
};

} // namespace vboard
