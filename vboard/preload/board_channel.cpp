#include "board_channel.hpp"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vboard::preload {

namespace {

// The process's own connection: the process that made it, and the socket
// it is, by device and inode. Raw system calls throughout: nothing a
// sanitizer wraps may stand between the process and the board.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
int channel_fd = -1;
pid_t channel_pid = 0;
dev_t channel_dev = 0;
ino_t channel_ino = 0;

const char* channel_path()
{
    static const char* path = std::getenv(wire::channel_variable);
    return path;
}

int connect_channel()
{
    const char* path = channel_path();
    sockaddr_un address{};
    if (path == nullptr || std::strlen(path) >= sizeof address.sun_path) {
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path);
    const long fd = syscall(SYS_socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (syscall(SYS_connect, fd, &address, sizeof address) != 0) {
        syscall(SYS_close, fd);
        return -1;
    }
    return static_cast<int>(fd);
}

// The descriptor at channel_fd, if it still is this process's connection.
bool still_ours()
{
    struct stat st {};
    return channel_fd >= 0 && syscall(SYS_fstat, channel_fd, &st) == 0 && st.st_dev == channel_dev &&
           st.st_ino == channel_ino;
}

// Called with `lock` held: the process's connection, made afresh where
// needed, or -1.
int own_connection()
{
    const auto pid = static_cast<pid_t>(syscall(SYS_getpid));
    if (pid == channel_pid && still_ours()) {
        return channel_fd;
    }
    if (pid != channel_pid && still_ours()) {
        syscall(SYS_close, channel_fd); // the parent's, inherited through fork()
    }
    channel_fd = connect_channel();
    channel_pid = pid;
    struct stat st {};
    if (channel_fd >= 0 && syscall(SYS_fstat, channel_fd, &st) == 0) {
        channel_dev = st.st_dev;
        channel_ino = st.st_ino;
    }
    return channel_fd;
}

// A fork() while another thread held the lock leaves it held in the child.
__attribute__((constructor)) void start()
{
    pthread_atfork(nullptr, nullptr, [] { pthread_mutex_init(&lock, nullptr); });
}

} // namespace

bool on_board()
{
    return channel_path() != nullptr;
}

Pause::Pause()
{
    if (!on_board()) {
        return;
    }
    if (pthread_mutex_trylock(&lock) == 0) {
        fd_ = own_connection();
        if (fd_ < 0) {
            pthread_mutex_unlock(&lock);
        }
        return;
    }
    // Another pause of this process is under way (this may be a signal
    // handler that interrupted it): one of its own.
    fd_ = connect_channel();
    own_ = true;
}

Pause::~Pause()
{
    if (fd_ < 0) {
        return;
    }
    if (own_) {
        syscall(SYS_close, fd_);
    } else {
        pthread_mutex_unlock(&lock);
    }
}

bool Pause::ask(wire::Request type, std::int64_t arg0, std::int64_t arg1, wire::Reply& reply)
{
    const int saved_errno = errno;
    const wire::RequestHeader header{type, 0, arg0, arg1};
    long n = 0;
    do {
        n = syscall(SYS_sendto, fd_, &header, sizeof header, MSG_NOSIGNAL, nullptr, 0);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<long>(sizeof header)) {
        do {
            n = syscall(SYS_recvfrom, fd_, &reply, sizeof reply, 0, nullptr, nullptr);
        } while (n < 0 && errno == EINTR);
    }
    errno = saved_errno;
    return n == static_cast<long>(sizeof reply);
}

} // namespace vboard::preload
