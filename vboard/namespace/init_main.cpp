// vboard-init: puts one run of the virtual board in place and starts the
// program in it, as a container runtime's init does.
//
//   vboard-init NODE... -- PROGRAM [ARG]...
//
// started by the run with the descriptors of control.hpp and the program's
// environment. In a new mount namespace (and user namespace, for a user
// other than root) it mounts the board's /dev and /sys (board_mounts.hpp),
// then starts a new PID namespace whose first process, a fork of this one,
// starts the program and reaps for the run (pid1.hpp). This process waits
// for that one, so that the board's mounts stay as long as the run.

#include "board_mounts.hpp"
#include "control.hpp"
#include "pid1.hpp"
#include "report.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace vboard;

// NAME:MAJOR:MINOR (the name may hold colons: iio:device0).
bool parse_node(const std::string& text, init::NodeName& node)
{
    const auto minor_colon = text.rfind(':');
    const auto major_colon = minor_colon == std::string::npos || minor_colon == 0 ? std::string::npos
                                                                                 : text.rfind(':', minor_colon - 1);
    unsigned major = 0;
    unsigned minor = 0;
    if (major_colon == std::string::npos || major_colon == 0 ||
        std::sscanf(text.c_str() + major_colon + 1, "%u:%u", &major, &minor) != 2) {
        return false;
    }
    node = {text.substr(0, major_colon), major, minor};
    return true;
}

// The terminal's signals (pid1.hpp), ignored here; the program gets them as
// vboard gave them: those already ignored then are in `ignored`.
void ignore_terminal_signals(sigset_t& ignored)
{
    sigemptyset(&ignored);
    for (const int signal : init::terminal_signals) {
        if (std::signal(signal, SIG_IGN) == SIG_IGN) {
            sigaddset(&ignored, signal);
        }
    }
}

// A standard stream the program is to start without: held on /dev/null
// until then (close-on-exec), so that nothing this process opens takes its
// number.
void hold_closed_streams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            const int null = open("/dev/null", O_RDWR);
            if (null != fd || fcntl(null, F_SETFD, FD_CLOEXEC) != 0) {
                init::fail("vboard-init: cannot hold a closed standard stream");
            }
        }
    }
}

// The first process of the PID namespace must not outlive this one: the
// run's end (or vboard's death) is this process's.
void follow_parent(int lifeline)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    pollfd parent{lifeline, POLLIN, 0};
    if (poll(&parent, 1, 0) != 0) {
        _exit(125); // it ended before the line above took effect
    }
    close(lifeline);
}

[[noreturn]] void wait_for(pid_t first)
{
    for (const int fd : {control::control_fd, control::channel_fd, control::log_fd, control::exec_status_fd}) {
        close(fd);
    }
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd <= 2; ++fd) {
        dup2(null, fd);
    }
    int status = 0;
    while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

} // namespace

int main(int argc, char** argv)
{
    for (const int fd : {control::control_fd, control::channel_fd, control::log_fd, control::exec_status_fd}) {
        if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
            std::fprintf(stderr, "vboard-init: descriptor %d is not open: only vboard starts vboard-init\n", fd);
            return 125;
        }
    }
    hold_closed_streams();
    std::vector<init::NodeName> nodes;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        init::NodeName node;
        if (!parse_node(argv[i], node)) {
            init::fail(std::string("vboard-init: not a node: ") + argv[i]);
        }
        nodes.push_back(node);
    }
    if (i + 1 >= argc) {
        init::fail("vboard-init: no program to run");
    }
    char** program = argv + i + 1;

    sigset_t ignored;
    ignore_terminal_signals(ignored);
    init::enter_mount_namespace();
    init::mount_board(nodes);
    if (unshare(CLONE_NEWPID) != 0) {
        init::fail_with_errno("each program runs in a PID namespace of its own, which this system refuses");
    }
    int lifeline[2];
    if (pipe2(lifeline, O_CLOEXEC) != 0) {
        init::fail_with_errno("cannot start the board's init");
    }
    const pid_t first = fork();
    if (first < 0) {
        init::fail_with_errno("cannot start the board's init");
    }
    if (first == 0) {
        close(lifeline[1]);
        follow_parent(lifeline[0]);
        init::run_as_pid1(program, ignored);
    }
    close(lifeline[0]);
    wait_for(first);
}
