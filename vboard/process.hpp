#pragma once

// Child processes of the board: the program under test, and the janitor that
// cleans up after the board even when vboard itself is killed.

#include <string>
#include <sys/types.h>
#include <vector>

namespace vboard {

struct ChildProcess {
    pid_t pid = -1;
    int input = -1;  // the write end of its standard input (-1 when it has the caller's)
    int output = -1; // the read end of its standard output
    int errors = -1; // the read end of its standard error
};

// Starts argv[0] with exactly the environment `env`; its standard output
// and error are pipes, its standard input a pipe too or, with
// `inherit_input`, the caller's own. The child is killed if the thread that
// started it ends (so a killed vboard leaves no program behind). On failure
// returns a child with pid -1 and says why in `error`.
ChildProcess spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool inherit_input,
                   std::string& error);

// Removes a directory once its owner is done with it: when the owner
// destroys the janitor, or dies. A filesystem its owner mounted inside
// (`mount_point`) is unmounted first: a killed owner cannot do it, and the
// directory cannot go while it is mounted. It runs as a separate process in
// a session of its own, so that neither SIGKILL to the owner nor a signal to
// the owner's process group stops it.
class Janitor {
public:
    Janitor(const std::string& directory, const std::string& mount_point);
    ~Janitor();
    Janitor(const Janitor&) = delete;
    Janitor& operator=(const Janitor&) = delete;

    // The owner has removed the directory itself: the janitor ends at once,
    // without waking to find nothing to do.
    void dismiss();

private:
    pid_t pid_ = -1;
    int lifeline_ = -1; // the janitor waits for this pipe to close
};

} // namespace vboard
