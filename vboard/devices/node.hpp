#pragma once

// A character device node of the board (/dev/i2c-0, /dev/spidev3.0), served
// through umockdev's ioctl emulation: the program's ioctl(), read() and
// write() on the node arrive here, on umockdev's worker thread, with the
// program blocked until the call is completed.

#include <cerrno>
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace vboard {

// Memory of the program, copied over for the duration of one call. Changes
// to bytes() are copied back when the call completes. Holds a reference to
// umockdev's copy.
class ClientMemory {
public:
    // Takes over one reference to `data` (which may be null).
    explicit ClientMemory(UMockdevIoctlData* data) : data_(data) {}
    ClientMemory(const ClientMemory& other);
    ClientMemory& operator=(const ClientMemory& other);
    ~ClientMemory();

    bool valid() const { return data_ != nullptr; }
    std::span<std::uint8_t> bytes() const;
    // The bytes at `offset` read as a T (a kernel structure or a value),
    // zero where the block ends before it does.
    template <typename T>
    T load(std::size_t offset = 0) const
    {
        T value{};
        const auto block = bytes();
        if (offset < block.size()) {
            std::memcpy(&value, block.data() + offset, std::min(sizeof value, block.size() - offset));
        }
        return value;
    }
    // The memory that a pointer stored at `pointer_offset` in this block
    // points to, `length` bytes of it (invalid if the program's pointer is bad).
    ClientMemory follow(std::size_t pointer_offset, std::size_t length) const;

private:
    UMockdevIoctlData* data_;
};

// One ioctl(), read() or write() of the program on a node.
class NodeCall {
public:
    explicit NodeCall(UMockdevIoctlClient* client) : client_(client) {}

    // Tells the program's open files of the node apart (the kernel keeps,
    // for instance, the I2C address per open file).
    const void* open_file() const { return client_; }

    unsigned long request() const;
    // ioctl: the third argument itself (I2C_SLAVE passes the address so).
    unsigned long argument() const;
    // ioctl: `length` bytes at the address the third argument holds.
    ClientMemory argument_memory(std::size_t length) const;
    // read(), write(): the program's buffer.
    std::span<std::uint8_t> buffer() const;

    // The call is to return `result`, with errno `error` if -1.
    void complete(long result, int error = 0);
    bool completed() const { return completed_; }
    // Lets the program's call return what complete() said.
    void answer();

private:
    UMockdevIoctlClient* client_;
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
