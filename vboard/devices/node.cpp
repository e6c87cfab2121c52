#include "node.hpp"

namespace vboard {

std::span<std::uint8_t> CallMemory::find(std::uint64_t address, std::size_t length) const
{
    for (const Piece& piece : pieces_) {
        if (address >= piece.address && length <= piece.bytes.size() &&
            address - piece.address <= piece.bytes.size() - length) {
            return piece.bytes.subspan(address - piece.address, length);
        }
    }
    return {};
}

ClientMemory ClientMemory::follow(std::size_t pointer_offset, std::size_t length) const
{
    if (memory_ == nullptr || pointer_offset + sizeof(std::uint64_t) > bytes_.size()) {
        return ClientMemory(nullptr);
    }
    if (length == 0) {
        return ClientMemory(*memory_, {}); // nothing to copy: the kernel never looks at the pointer
    }
    const auto pointer = load<std::uint64_t>(pointer_offset);
    const auto target = memory_->find(pointer, length);
    return target.data() == nullptr ? ClientMemory(nullptr) : ClientMemory(*memory_, target);
}

ClientMemory NodeCall::argument_memory(std::size_t length) const
{
    const auto target = memory_.find(argument_, length);
    if (target.data() == nullptr && length > 0) {
        return ClientMemory(nullptr);
    }
    return ClientMemory(memory_, target);
}

} // namespace vboard
