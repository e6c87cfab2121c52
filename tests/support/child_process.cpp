#include "child_process.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_support {

namespace {

struct Pipe {
    int read_end = -1;
    int write_end = -1;
};

Pipe make_pipe()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        std::abort();
    }
    return {fds[0], fds[1]};
}

void close_fd(int& fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Appends what is ready on fd to sink, and closes fd at the end of the stream.
void read_ready(int& fd, short revents, std::string& sink)
{
    if (revents == 0) {
        return;
    }
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        sink.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
        close_fd(fd);
    }
}

[[noreturn]] void exec_child(const std::vector<std::string>& argv, const Pipe& in, const Pipe& out, const Pipe& err)
{
    dup2(in.read_end, STDIN_FILENO);
    dup2(out.write_end, STDOUT_FILENO);
    dup2(err.write_end, STDERR_FILENO);
    exec_argv(argv);
}

} // namespace

RunningChild start_child(const std::vector<std::string>& argv, bool with_stderr)
{
    Pipe out = make_pipe();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out.write_end, STDOUT_FILENO);
        if (with_stderr) {
            dup2(out.write_end, STDERR_FILENO);
        }
        exec_argv(argv);
    }
    close(out.write_end);
    if (pid < 0) {
        close(out.read_end);
        return {};
    }
    return {pid, out.read_end};
}

int finish_child(RunningChild& child, std::string& seen)
{
    // Text no output holds: read_until then reads to the end of the stream.
    static const std::string never{"\x01never\x01"};
    read_until(child.out, seen, never);
    close_fd(child.out);
    int status = 0;
    waitpid(child.pid, &status, 0);
    return status;
}

ChildResult run_child(const std::vector<std::string>& argv, std::string_view input,
                      std::chrono::milliseconds timeout)
{
    // A child that exits before reading all its input must not kill the
    // test with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);

    Pipe in = make_pipe();
    Pipe out = make_pipe();
    Pipe err = make_pipe();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::abort();
    }
    if (pid == 0) {
        exec_child(argv, in, out, err);
    }
    close_fd(in.read_end);
    close_fd(out.write_end);
    close_fd(err.write_end);
    fcntl(in.write_end, F_SETFL, O_NONBLOCK);

    ChildResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t written = 0;
    if (input.empty()) {
        close_fd(in.write_end);
    }
    while (out.read_end >= 0 || err.read_end >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            result.timed_out = true;
            break;
        }
        std::array<pollfd, 3> fds{{{out.read_end, POLLIN, 0}, {err.read_end, POLLIN, 0}, {in.write_end, POLLOUT, 0}}};
        if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
            std::perror("poll");
            std::abort();
        }
        if (fds[2].revents != 0) {
            const ssize_t n = write(in.write_end, input.data() + written, input.size() - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
            }
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                close_fd(in.write_end);
            }
        }
        read_ready(out.read_end, fds[0].revents, result.out);
        read_ready(err.read_end, fds[1].revents, result.err);
    }
    close_fd(in.write_end);
    close_fd(out.read_end);
    close_fd(err.read_end);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

bool read_until(int fd, std::string& seen, const std::string& text)
{
    while (seen.find(text) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        char buffer[512];
        if (poll(&p, 1, 10000) <= 0) {
            return false;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

[[noreturn]] void exec_argv(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

} // namespace test_support
