#pragma once

// The first process of the run's PID namespace, which vboard-init becomes:
// it starts the program, reaps every process of the run that ends (orphans
// are its), tells the run when the program is stopped for the terminal and
// when it ends, and then ends itself, and with it every process left in the
// namespace (daemons, background jobs), as a container's do.
//
// The program must not be this process: the kernel gives a namespace's
// first process no default action for a signal it does not catch, so a
// SIGINT would no longer end it.

#include <csignal>

namespace vboard::init {

// The signals of a terminal and of job control, which vboard-init and the
// namespace's first process ignore for themselves (they stay in vboard's
// process group: neither may stop or end for them).
inline constexpr int terminal_signals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU};

// argv: the program and its arguments, as execve() takes them. The program
// starts with the terminal signals at their default action but those in
// `ignored`, which vboard-init found ignored when it started (nohup's
// SIGHUP, say), and every other signal as vboard-init was given it.
[[noreturn]] void run_as_pid1(char** argv, const sigset_t& ignored);

} // namespace vboard::init
