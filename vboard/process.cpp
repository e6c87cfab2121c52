#include "process.hpp"

#include "locations.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vboard {

namespace {

std::vector<char*> c_strings(const std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (const auto& s : strings) {
        pointers.push_back(const_cast<char*>(s.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

void close_pair(int fds[2])
{
    for (int i = 0; i < 2; ++i) {
        if (fds[i] >= 0) {
            close(fds[i]);
            fds[i] = -1;
        }
    }
}

// In the child: `fd` at `number`, open across execve().
void place(int fd, int number)
{
    if (fd == number) {
        fcntl(fd, F_SETFD, 0);
    } else {
        dup2(fd, number);
    }
}

} // namespace

BoardProcess start_board(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::vector<std::string>& nodes, int channel, int log, bool inherit_input,
                         RunOptions::Output output, std::string& error)
{
    using Output = RunOptions::Output;
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    int exec_status[2] = {-1, -1};
    int control[2] = {-1, -1};
    // /dev/full opened here, not in the child: an open may take a lock.
    const int full = output == Output::full ? open("/dev/full", O_WRONLY | O_CLOEXEC) : -1;
    if ((output == Output::full && full < 0) || pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
        pipe2(exec_status, O_CLOEXEC) != 0 || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, control) != 0) {
        error = std::string("cannot make the run's pipes: ") + std::strerror(errno);
        close_pair(in), close_pair(out), close_pair(err), close_pair(exec_status), close_pair(control);
        return {};
    }
    std::vector<std::string> init_argv{locations().init_program};
    init_argv.insert(init_argv.end(), nodes.begin(), nodes.end());
    init_argv.emplace_back("--");
    init_argv.insert(init_argv.end(), argv.begin(), argv.end());
    auto args = c_strings(init_argv);
    auto environment = c_strings(env);
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec: the board has threads.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127); // the board died before the line above took effect
        }
        if (!inherit_input) {
            dup2(in[0], STDIN_FILENO);
        }
        switch (output) {
        case Output::pipe:
            dup2(out[1], STDOUT_FILENO);
            break;
        case Output::full:
            dup2(full, STDOUT_FILENO);
            break;
        case Output::closed:
            close(STDOUT_FILENO);
            break;
        case Output::broken_pipe:
            close(out[0]);
            dup2(out[1], STDOUT_FILENO);
            break;
        }
        dup2(err[1], STDERR_FILENO);
        // The descriptors vboard-init expects, in the order of their
        // numbers, none of which the ones still to be placed can be at
        // (socketpair and pipe2 above gave numbers of 3 or more).
        const int wanted[] = {control[1], channel, log, exec_status[1]};
        int moved[4];
        for (int i = 0; i < 4; ++i) {
            moved[i] = fcntl(wanted[i], F_DUPFD_CLOEXEC, 16);
        }
        place(moved[0], control::control_fd);
        place(moved[1], control::channel_fd);
        place(moved[2], control::log_fd);
        place(moved[3], control::exec_status_fd);
        // Signals the board ignores or blocks must not stay so for the program.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, output == Output::broken_pipe ? SIG_IGN : SIG_DFL);
        execve(args[0], args.data(), environment.data());
        const int e = errno;
        [[maybe_unused]] const ssize_t ignored = write(exec_status[1], &e, sizeof e);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    close(exec_status[1]);
    close(control[1]);
    if (full >= 0) {
        close(full);
    }
    if (output != Output::pipe) {
        close(out[0]); // nothing of the program's output comes this way (a broken pipe's reader has gone)
        out[0] = -1;
    }
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        close(in[1]), close(out[0]), close(err[0]), close(exec_status[0]), close(control[0]);
        return {};
    }
    if (inherit_input) {
        close(in[1]);
        in[1] = -1;
    }
    BoardProcess board;
    board.pid = pid;
    board.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    board.control = control[0];
    board.exec_status = exec_status[0];
    board.input = in[1];
    board.output = out[0];
    board.errors = err[0];
    return board;
}

bool receive_report(int control, control::Report& report, int& fd)
{
    fd = -1;
    iovec part{&report, sizeof report};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    ssize_t n = -1;
    do {
        n = recvmsg(control, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
            std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
        }
    }
    if (n != static_cast<ssize_t>(sizeof report)) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
        return false;
    }
    report.text[sizeof report.text - 1] = '\0';
    return true;
}

pid_t pid_of(int pidfd)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", pidfd);
    FILE* info = std::fopen(path, "re");
    if (info == nullptr) {
        return -1;
    }
    char line[256];
    pid_t pid = -1;
    while (std::fgets(line, sizeof line, info) != nullptr) {
        if (std::sscanf(line, "Pid:\t%d", &pid) == 1) {
            break;
        }
    }
    std::fclose(info);
    return pid;
}

} // namespace vboard
