#pragma once

// Child processes of the board: the program under test, and the janitor that
// cleans up after the board even when vboard itself is killed.

#include <string>
#include <sys/types.h>
#include <vector>

namespace vboard {

struct ChildProcess {
    pid_t pid = -1;
    int input = -1;  // the write end of its standard input
    int output = -1; // the read end of its standard output
    int errors = -1; // the read end of its standard error
};

// Starts argv[0] with exactly the environment `env`; its standard streams
// are pipes, and `inherit_fd` stays open in it. The child is killed if the
// thread that started it ends (so a killed vboard leaves no program behind).
// On failure returns a child with pid -1 and says why in `error`.
ChildProcess spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int inherit_fd,
                   std::string& error);

// Removes a directory once its owner is done with it: when the owner
// destroys the janitor, or dies. It runs as a separate process in a session
// of its own, so that neither SIGKILL to the owner nor a signal to the
// owner's process group stops it.
class Janitor {
public:
    explicit Janitor(const std::string& directory);
    ~Janitor();
    Janitor(const Janitor&) = delete;
    Janitor& operator=(const Janitor&) = delete;

private:
    pid_t pid_ = -1;
    int lifeline_ = -1; // the janitor waits for this pipe to close
};

} // namespace vboard
