#include "process.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
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
        }
    }
}

} // namespace

ChildProcess spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool inherit_input,
                   std::string& error)
{
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    int exec_status[2] = {-1, -1}; // carries errno back if exec fails
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
        pipe2(exec_status, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        close_pair(in), close_pair(out), close_pair(err), close_pair(exec_status);
        return {};
    }
    auto args = c_strings(argv);
    auto environment = c_strings(env);
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec: the board has threads.
        // A process group of its own, as a shell gives a job: the board can
        // signal all of it, and a signal to vboard's group does not reach it twice.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127); // the board died before the line above took effect
        }
        if (!inherit_input) {
            dup2(in[0], STDIN_FILENO);
        }
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        // Signals the board ignores or blocks must not stay so for the program.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        execve(args[0], args.data(), environment.data());
        const int e = errno;
        [[maybe_unused]] const ssize_t ignored = write(exec_status[1], &e, sizeof e);
        _exit(127);
    }
    if (pid > 0) {
        setpgid(pid, pid); // also here: whichever of the two runs first
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    close(exec_status[1]);
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        close(in[1]), close(out[0]), close(err[0]), close(exec_status[0]);
        return {};
    }
    int exec_errno = 0;
    const ssize_t n = read(exec_status[0], &exec_errno, sizeof exec_errno);
    close(exec_status[0]);
    if (n == static_cast<ssize_t>(sizeof exec_errno)) {
        error = "cannot run " + argv[0] + ": " + std::strerror(exec_errno);
        waitpid(pid, nullptr, 0);
        close(in[1]), close(out[0]), close(err[0]);
        return {};
    }
    if (inherit_input) {
        close(in[1]);
        in[1] = -1;
    }
    return ChildProcess{pid, in[1], out[0], err[0]};
}

Janitor::Janitor(const std::string& directory, const std::string& mount_point)
{
    int lifeline[2];
    if (pipe2(lifeline, O_CLOEXEC) != 0) {
        return;
    }
    // Waits for the lifeline's end with the shell's own read (no process of
    // its own). Nothing to do when the owner cleaned up itself. Else as root
    // umount, as a user fusermount3; lazily, so that nothing a dead program
    // left open keeps it. --one-file-system: whatever could not be
    // unmounted is left alone, never emptied.
    const std::vector<std::string> argv{
        "/bin/sh", "-c",
        "while read -r _; do :; done; [ -e \"$0\" ] || exit 0; "
        "umount -l -- \"$1\" 2>/dev/null || fusermount3 -u -z -q -- \"$1\" 2>/dev/null; "
        "rm -rf --one-file-system -- \"$0\"",
        directory, mount_point};
    auto args = c_strings(argv);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        dup2(lifeline[0], STDIN_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        signal(SIGINT, SIG_IGN);
        signal(SIGHUP, SIG_IGN);
        signal(SIGTERM, SIG_IGN);
        execv(args[0], args.data());
        _exit(127);
    }
    close(lifeline[0]);
    if (pid < 0) {
        close(lifeline[1]);
        return;
    }
    pid_ = pid;
    lifeline_ = lifeline[1];
}

void Janitor::dismiss()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
    }
}

Janitor::~Janitor()
{
    if (lifeline_ >= 0) {
        close(lifeline_);
    }
    if (pid_ > 0) {
        waitpid(pid_, nullptr, 0);
    }
}

} // namespace vboard
