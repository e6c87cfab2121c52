#pragma once

// The processes of a run as vboard sees them: vboard-init, its child,
// which puts the board in place in namespaces of the run's own and starts
// the program there (namespace/), and what it reports.

#include "board.hpp"
#include "namespace/control.hpp"

#include <string>
#include <sys/types.h>
#include <vector>

namespace vboard {

struct BoardProcess {
    pid_t pid = -1;    // vboard-init, outside the namespaces: its end is the run's
    int pidfd = -1;    // readable once it has ended
    int control = -1;  // its reports (control.hpp)
    int exec_status = -1; // the errno of a failed execve() of the program, or end of file
    int input = -1;  // the write end of the program's standard input (-1 when it has the caller's)
    int output = -1; // the read end of its standard output
    int errors = -1; // the read end of its standard error
};

// Starts vboard-init for a run of argv[0] with exactly the environment
// `env`, on a board with `nodes` ("i2c-0:89:0"). `channel` (SOCK_SEQPACKET)
// and `log` (SOCK_DGRAM) are unbound sockets of the run's, which vboard-init
// binds in the board's /dev. The program's standard error is a pipe, its
// standard output one too or what `output` says (then `output` of the
// result is -1), its standard input a pipe too or, with `inherit_input`,
// the caller's own. vboard-init is killed if the thread that started it
// ends (so a killed vboard leaves nothing of the run behind). On failure
// returns a process with pid -1 and says why in `error`.
BoardProcess start_board(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::vector<std::string>& nodes, int channel, int log, bool inherit_input,
                         RunOptions::Output output, std::string& error);

// Receives vboard-init's next report, and the descriptor passed with it
// (else -1). False once vboard-init has gone.
bool receive_report(int control, control::Report& report, int& fd);

// The process id, in this process's PID namespace, of the process `pidfd`
// refers to (as /proc/self/fdinfo shows it), or -1 (as for one that has
// ended and been reaped).
pid_t pid_of(int pidfd);

} // namespace vboard
