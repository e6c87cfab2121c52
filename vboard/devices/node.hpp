#pragma once

// A character device node of the board (/dev/i2c-0, /dev/spidev3.0): the
// program's ioctl(), read() and write() on the node arrive here, on the run's
// thread, with the program blocked until the call is completed. The program's
// memory that a call may reach comes with it (the preload sends it), so a
// handler works on a copy, and what it changes in the copy goes back.

#include <cerrno>
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace vboard {

// The pieces of the program's memory one call brought along: each is where
// it is in the program and the board's copy of it.
class CallMemory {
public:
    struct Piece {
        std::uint64_t address;
        std::span<std::uint8_t> bytes;
    };
    void add(std::uint64_t address, std::span<std::uint8_t> bytes) { pieces_.push_back({address, bytes}); }
    // `length` bytes at `address`, if the call brought them (a null span
    // otherwise, as for a bad pointer).
    std::span<std::uint8_t> find(std::uint64_t address, std::size_t length) const;

private:
    std::vector<Piece> pieces_;
};

// Memory of the program, as a call brought it. Changes to bytes() go back to
// the program when the call completes.
class ClientMemory {
public:
    ClientMemory() = default;
    explicit ClientMemory(std::nullptr_t) {}
    ClientMemory(const CallMemory& memory, std::span<std::uint8_t> bytes) : memory_(&memory), bytes_(bytes) {}

    bool valid() const { return memory_ != nullptr; }
    std::span<std::uint8_t> bytes() const { return bytes_; }
    // The bytes at `offset` read as a T (a kernel structure or a value),
    // zero where the block ends before it does.
    template <typename T>
    T load(std::size_t offset = 0) const
    {
        T value{};
        if (offset < bytes_.size()) {
            std::memcpy(&value, bytes_.data() + offset, std::min(sizeof value, bytes_.size() - offset));
        }
        return value;
    }
    // The memory that a pointer stored at `pointer_offset` in this block
    // points to, `length` bytes of it (invalid if the program's pointer is bad).
    ClientMemory follow(std::size_t pointer_offset, std::size_t length) const;

private:
    const CallMemory* memory_ = nullptr;
    std::span<std::uint8_t> bytes_;
};

// One ioctl(), read() or write() of the program on a node.
class NodeCall {
public:
    NodeCall(const void* open_file, unsigned long request, unsigned long argument, const CallMemory& memory,
             std::span<std::uint8_t> buffer)
        : open_file_(open_file), request_(request), argument_(argument), memory_(memory), buffer_(buffer)
    {
    }

    // Tells the program's open files of the node apart (the kernel keeps,
    // for instance, the I2C address per open file).
    const void* open_file() const { return open_file_; }

    unsigned long request() const { return request_; }
    // ioctl: the third argument itself (I2C_SLAVE passes the address so).
    unsigned long argument() const { return argument_; }
    // ioctl: `length` bytes at the address the third argument holds.
    ClientMemory argument_memory(std::size_t length) const;
    // read(), write(): the program's buffer.
    std::span<std::uint8_t> buffer() const { return buffer_; }

    // The call is to return `result`, with errno `error` if -1.
    void complete(long result, int error = 0)
    {
        result_ = result;
        error_ = error;
        completed_ = true;
    }
    bool completed() const { return completed_; }
    long result() const { return result_; }
    int error() const { return error_; }

private:
    const void* open_file_;
    unsigned long request_;
    unsigned long argument_;
    const CallMemory& memory_;
    std::span<std::uint8_t> buffer_;
    bool completed_ = false;
    long result_ = -1;
    int error_ = EIO;
};

class DeviceNode {
public:
    virtual ~DeviceNode() = default;

    // `injected_error` is the errno a fault plan makes this call fail with,
    // or 0. Each handler completes the call.
    virtual void ioctl(NodeCall& call, int injected_error) = 0;
    virtual void write(NodeCall& call) { call.complete(-1, EINVAL); }
    virtual void read(NodeCall& call) { call.complete(-1, EINVAL); }
    // A program opened the node / the last descriptor of that open file
    // was closed (the driver's open() and release()).
    virtual void opened(const void* /*open_file*/) {}
    virtual void closed(const void* /*open_file*/) {}
};

} // namespace vboard
