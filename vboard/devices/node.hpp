#pragma once

// A character device node of the board (/dev/i2c-0, /dev/spidev3.0): the
// program's ioctl(), read() and write() on the node arrive here, on the
// thread that serves the board's filesystem, with the calling thread
// waiting for the answer. A handler reaches the caller's memory as the
// driver does, with copy_from_user() and copy_to_user(), each copy made at
// the point of the driver's code where the driver makes it: a buffer that a
// call reaches twice (an SPI transfer in place, an I2C write and read
// sharing one buffer) is read and written in the driver's order, as on the
// board. Memory the caller has not got is EFAULT.

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace vboard {

// The memory of the process that made a call.
class UserMemory {
public:
    virtual ~UserMemory() = default;
    // False where the process has no such memory (or may not be written there).
    virtual bool copy_from(std::uint64_t address, std::span<std::uint8_t> to) const = 0;
    virtual bool copy_to(std::uint64_t address, std::span<const std::uint8_t> from) const = 0;
};

// One ioctl(), read() or write() of the program on a node.
class NodeCall {
public:
    // An ioctl: its request and third argument; the bytes the kernel already
    // copied in from the argument for a request that encodes its size and
    // direction (_IOW, _IOWR), and whether the caller is a 32-bit program
    // (the driver's compat_ioctl).
    NodeCall(const void* open_file, const UserMemory& memory, unsigned long request, std::uint64_t argument,
             std::span<const std::uint8_t> copied_in, bool compat)
        : open_file_(open_file), memory_(memory), request_(request), argument_(argument), copied_in_(copied_in),
          compat_(compat)
    {
    }
    // A read() (into `buffer`) or write() (of `buffer`); `nonblocking`: the
    // open file's O_NONBLOCK.
    NodeCall(const void* open_file, const UserMemory& memory, std::span<std::uint8_t> buffer, bool nonblocking)
        : open_file_(open_file), memory_(memory), buffer_(buffer), nonblocking_(nonblocking)
    {
    }

    // Tells the program's open files of the node apart (the kernel keeps,
    // for instance, the I2C address per open file).
    const void* open_file() const { return open_file_; }

    unsigned long request() const { return request_; }
    // The third argument itself (I2C_SLAVE passes the address so).
    std::uint64_t argument() const { return argument_; }
    bool compat() const { return compat_; }

    // copy_from_user(): `to.size()` bytes at `address` in the caller.
    bool copy_from_user(std::uint64_t address, std::span<std::uint8_t> to) const
    {
        return to.empty() || memory_.copy_from(address, to);
    }
    bool copy_to_user(std::uint64_t address, std::span<const std::uint8_t> from) const
    {
        return from.empty() || memory_.copy_to(address, from);
    }
    // The block the argument points to, read as a T (a kernel structure or
    // a value): what the kernel copied in, or the caller's memory.
    bool copy_argument(std::span<std::uint8_t> to) const
    {
        if (copied_in_.size() >= to.size()) {
            std::copy_n(copied_in_.begin(), to.size(), to.begin());
            return true;
        }
        return copy_from_user(argument_, to);
    }
    template <typename T>
    std::optional<T> load_argument() const
    {
        T value{};
        if (!copy_argument({reinterpret_cast<std::uint8_t*>(&value), sizeof value})) {
            return std::nullopt;
        }
        return value;
    }
    // A T of the caller's at `address`, or nullopt where it has no such memory.
    template <typename T>
    std::optional<T> load_from_user(std::uint64_t address) const
    {
        T value{};
        if (!copy_from_user(address, {reinterpret_cast<std::uint8_t*>(&value), sizeof value})) {
            return std::nullopt;
        }
        return value;
    }
    // put_user() of a T where the argument points.
    template <typename T>
    bool store_argument(const T& value) const
    {
        return copy_to_user(argument_, {reinterpret_cast<const std::uint8_t*>(&value), sizeof value});
    }

    // read(): where the bytes read go; write(): the bytes written.
    std::span<std::uint8_t> buffer() const { return buffer_; }
    bool nonblocking() const { return nonblocking_; }

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
    const UserMemory& memory_;
    unsigned long request_ = 0;
    std::uint64_t argument_ = 0;
    std::span<const std::uint8_t> copied_in_;
    bool compat_ = false;
    std::span<std::uint8_t> buffer_;
    bool nonblocking_ = false;
    bool completed_ = false;
    long result_ = -1;
    int error_ = EIO;
};

// What poll() on a driver without a poll method of its own gets from the
// kernel (DEFAULT_POLLMASK): readable and writable, always.
inline constexpr unsigned default_poll_mask = 0x0001 | 0x0004 | 0x0040 | 0x0100; // POLLIN, POLLOUT, POLLRDNORM, POLLWRNORM

class DeviceNode {
public:
    virtual ~DeviceNode() = default;

    // `injected_error` is the errno a fault plan makes this call fail with,
    // or 0. Each handler completes the call.
    virtual void ioctl(NodeCall& call, int injected_error) = 0;
    virtual void write(NodeCall& call) { call.complete(-1, EINVAL); }
    virtual void read(NodeCall& call) { call.complete(-1, EINVAL); }
    // poll(): the events the node is ready for. `waits`: the caller is
    // about to wait for them (it has not got them otherwise).
    virtual unsigned poll(const void* /*open_file*/, bool /*waits*/) { return default_poll_mask; }
    // Whether the driver opens the node as a stream (stream_open() or
    // nonseekable_open()): no lseek() and no pread() or pwrite() (ESPIPE).
    virtual bool stream() const { return false; }
    // A program opened the node / the last descriptor of that open file
    // was closed (the driver's open() and release()).
    virtual void opened(const void* /*open_file*/) {}
    virtual void closed(const void* /*open_file*/) {}
};

} // namespace vboard
