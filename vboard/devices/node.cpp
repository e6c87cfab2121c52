#include "node.hpp"

#include <umockdev.h>

#include <algorithm>
#include <utility>

namespace vboard {

ClientMemory::ClientMemory(const ClientMemory& other) : data_(other.data_)
{
    if (data_ != nullptr) {
        g_object_ref(data_);
    }
}

ClientMemory& ClientMemory::operator=(const ClientMemory& other)
{
    if (this != &other) {
        ClientMemory copy(other);
        std::swap(data_, copy.data_);
    }
    return *this;
}

ClientMemory::~ClientMemory()
{
    if (data_ != nullptr) {
        g_object_unref(data_);
    }
}

namespace {

// umockdev lends the call's argument block; a ClientMemory owns a reference.
ClientMemory argument_block(UMockdevIoctlClient* client)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (arg != nullptr) {
        g_object_ref(arg);
    }
    return ClientMemory(arg);
}

} // namespace

std::span<std::uint8_t> ClientMemory::bytes() const
{
    if (data_ == nullptr) {
        return {};
    }
    return {data_->data, static_cast<std::size_t>(data_->data_len)};
}

ClientMemory ClientMemory::follow(std::size_t pointer_offset, std::size_t length) const
{
    if (data_ == nullptr) {
        return ClientMemory(nullptr);
    }
    GError* error = nullptr;
    UMockdevIoctlData* target = umockdev_ioctl_data_resolve(data_, pointer_offset, length, &error);
    if (target == nullptr) {
        g_clear_error(&error);
    }
    return ClientMemory(target);
}

unsigned long NodeCall::request() const
{
    return umockdev_ioctl_client_get_request(client_);
}

unsigned long NodeCall::argument() const
{
    const UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client_);
    unsigned long value = 0;
    if (arg != nullptr && static_cast<std::size_t>(arg->data_len) >= sizeof value) {
        std::copy_n(arg->data, sizeof value, reinterpret_cast<std::uint8_t*>(&value));
    }
    return value;
}

ClientMemory NodeCall::argument_memory(std::size_t length) const
{
    return argument_block(client_).follow(0, length);
}

std::span<std::uint8_t> NodeCall::buffer() const
{
    const UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client_);
    if (arg == nullptr) {
        return {};
    }
    return {arg->data, static_cast<std::size_t>(arg->data_len)};
}

void NodeCall::complete(long result, int error)
{
    result_ = result;
    error_ = error;
    completed_ = true;
}

void NodeCall::answer()
{
    umockdev_ioctl_client_complete(client_, result_, error_);
}

} // namespace vboard
