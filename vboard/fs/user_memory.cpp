#include "user_memory.hpp"

#include <sys/uio.h>

namespace vboard {

namespace {

// An address range that wraps around is nowhere in the process.
bool fits(std::uint64_t address, std::size_t length)
{
    return address + length >= address;
}

} // namespace

bool ProcessMemory::copy_from(std::uint64_t address, std::span<std::uint8_t> to) const
{
    if (!fits(address, to.size())) {
        return false;
    }
    iovec local{to.data(), to.size()};
    iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), to.size()};
    return process_vm_readv(pid_, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(to.size());
}

bool ProcessMemory::copy_to(std::uint64_t address, std::span<const std::uint8_t> from) const
{
    if (!fits(address, from.size())) {
        return false;
    }
    iovec local{const_cast<std::uint8_t*>(from.data()), from.size()};
    iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), from.size()};
    return process_vm_writev(pid_, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(from.size());
}

} // namespace vboard
