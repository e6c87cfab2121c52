#include "report.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace vboard::init {

namespace {

bool send_report(const control::Report& report, int fd)
{
    iovec part{const_cast<control::Report*>(&report), sizeof report};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        message.msg_control = space;
        message.msg_controllen = sizeof space;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    ssize_t n = -1;
    do {
        n = sendmsg(control::control_fd, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof report);
}

} // namespace

bool report(control::Kind kind, int value, int count, int fd)
{
    control::Report r{};
    r.kind = kind;
    r.value = value;
    r.count = count;
    return send_report(r, fd);
}

void fail(std::string_view what)
{
    control::Report r{};
    r.kind = control::Kind::failed;
    const std::size_t length = std::min(what.size(), sizeof r.text - 1);
    std::memcpy(r.text, what.data(), length);
    send_report(r, -1);
    _exit(125);
}

void fail_with_errno(std::string_view what)
{
    fail(std::string(what) + ": " + std::strerror(errno));
}

} // namespace vboard::init
