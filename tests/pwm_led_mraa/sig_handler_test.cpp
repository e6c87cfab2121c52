// The fader's SIGINT handler, called in this process with signal numbers
// that no run of the program delivers to it: the program's module is linked
// into this test with its main renamed (see CMakeLists.txt).

#include "pwm_led_mraa.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// Calls sig_handler with standard output on a pipe; what it wrote there.
std::string written_by_handler(int signo)
{
    int pipe_fds[2];
    EXPECT_EQ(pipe2(pipe_fds, O_NONBLOCK), 0);
    const int saved_stdout = dup(STDOUT_FILENO);
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[1]);
    sig_handler(signo);
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    std::string out;
    char buffer[64];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipe_fds[0]);
    return out;
}

TEST(SigHandler, SigintSaysExitingAndClearsTheFlag)
{
    flag = 1;
    EXPECT_EQ(written_by_handler(SIGINT), "Exiting...\n");
    EXPECT_EQ(flag, 0);
}

class SigHandlerOtherSignal : public testing::TestWithParam<int> {};

TEST_P(SigHandlerOtherSignal, ChangesNothingAndPrintsNothing)
{
    flag = 1;
    EXPECT_EQ(written_by_handler(GetParam()), "");
    EXPECT_EQ(flag, 1);
}

INSTANTIATE_TEST_SUITE_P(Numbers, SigHandlerOtherSignal,
                         testing::Values(0, SIGHUP, SIGQUIT, SIGUSR1, SIGPIPE, SIGTERM, -SIGINT));

TEST(SigHandler, LeavesErrnoAsTheInterruptedCallSetIt)
{
    // With standard output closed its write fails (EBADF), which must not
    // show in the errno that the interrupted code goes on to read.
    flag = 1;
    const int saved_stdout = dup(STDOUT_FILENO);
    close(STDOUT_FILENO);
    errno = EINTR;
    sig_handler(SIGINT);
    const int after = errno;
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    EXPECT_EQ(after, EINTR);
    EXPECT_EQ(flag, 0);
}

} // namespace
