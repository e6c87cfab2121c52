#include "pid1.hpp"

#include "capabilities.hpp"
#include "control.hpp"
#include "report.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

extern char** environ;

namespace vboard::init {

namespace {

// A file or directory of /proc made read-only where it is (where the
// kernel has it at all: SysRq is a build option).
void read_only(const char* path)
{
    if (access(path, F_OK) != 0 && errno == ENOENT) {
        return;
    }
    if (mount(path, path, nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, path, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) !=
            0) {
        fail_with_errno(std::string("cannot make the board's ") + path + " read-only");
    }
}

// The namespace's own /proc: the run's processes and nothing else. Its
// sysctls and SysRq are the PC's kernel's (a board script's `echo 1 >
// /proc/sys/...` or `echo b > /proc/sysrq-trigger` would set or reboot the
// PC), so they are read-only, as in a container.
void mount_proc()
{
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        fail_with_errno("cannot mount the board's /proc");
    }
    read_only("/proc/sys");
    read_only("/proc/sysrq-trigger");
}

// The program's process, from fork() to execve(): a process group of its
// own, as a shell gives a job, and the signals as vboard gave them.
[[noreturn]] void exec_program(char** argv, const sigset_t& ignored)
{
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int signal : terminal_signals) {
        std::signal(signal, sigismember(&ignored, signal) == 1 ? SIG_IGN : SIG_DFL);
    }
    if (!keep_container_capabilities()) {
        fail_with_errno("cannot limit the program's capabilities to a container's");
    }
    execve(argv[0], argv, environ);
    const int error = errno;
    [[maybe_unused]] const ssize_t written = write(control::exec_status_fd, &error, sizeof error);
    _exit(127);
}

// Processes of the run still there besides this one (its /proc lists the
// namespace's processes only).
int processes_left()
{
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    int count = 0;
    while (const dirent* entry = readdir(proc)) {
        const long pid = std::strtol(entry->d_name, nullptr, 10);
        count += pid > 1 ? 1 : 0;
    }
    closedir(proc);
    return count;
}

// Standard input, output and error are the program's: holding them would
// keep its pipes open after it has gone.
void let_go_of_standard_streams()
{
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd <= 2; ++fd) {
        dup2(null, fd);
    }
    close(null);
}

} // namespace

void run_as_pid1(char** argv, const sigset_t& ignored)
{
    mount_proc();
    const pid_t program = fork();
    if (program < 0) {
        fail_with_errno("cannot start the program");
    }
    if (program == 0) {
        exec_program(argv, ignored);
    }
    setpgid(program, program); // also here: whichever of the two runs first
    close(control::exec_status_fd);
    let_go_of_standard_streams();
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, program, 0));
    if (pidfd < 0 || !report(control::Kind::started, program, 0, pidfd)) {
        _exit(125);
    }
    close(pidfd);
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WUNTRACED);
        if (pid < 0 && errno == EINTR) {
            continue;
        }
        if (pid < 0) {
            _exit(125); // no child at all: cannot be, the program is one
        }
        if (pid != program) {
            continue; // an orphan of the run, reaped
        }
        if (WIFSTOPPED(status)) {
            report(control::Kind::stopped, WSTOPSIG(status));
            continue;
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        report(control::Kind::ended, status, processes_left());
        // Every other process of the namespace is killed as this one ends.
        _exit(0);
    }
}

} // namespace vboard::init
