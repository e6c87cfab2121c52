// vboard: runs one of the board programs (or any program) on the virtual
// board, passes its standard output and error through unchanged, shows what
// the devices saw, and exits with the program's status.

#include "devices_command.hpp"
#include "help.hpp"
#include "run_command.hpp"
#include "test_command.hpp"
#include "usage.hpp"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

using namespace vboard::command;

// Descriptors 0 to 2 held where closed: whatever vboard opens next must
// never take the place of a standard stream. They are held on /dev/null
// opened for reading only, so that a write to a closed standard output or
// error still fails with EBADF, as on the closed descriptor, and output
// that cannot go anywhere is told, not lost.
void hold_standard_streams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) != fd) {
            std::_Exit(125);
        }
    }
}

// Prints what was asked for on standard output; a write that fails is
// vboard's failure (125), as for any of its output.
int print(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::perror("vboard: cannot write standard output");
        return 125;
    }
    return 0;
}

int version()
{
    return print(version_text());
}

// `vboard help [COMMAND]`.
int help(int argc, char** argv)
{
    const std::string_view topic = argc >= 3 ? argv[2] : "";
    if (argc > 3) {
        usage_error("help takes one command at most");
    }
    if (topic.empty() || topic == "run" || topic == "help") {
        return print(main_help);
    }
    if (topic == "devices") {
        return print(devices_help);
    }
    if (topic == "test") {
        return print(test_help);
    }
    usage_error("no command " + std::string(topic) + " to help with (the commands: run, devices, test, help)");
}

} // namespace

int main(int argc, char** argv)
{
    hold_standard_streams();
    const std::string_view command = argc >= 2 ? argv[1] : "";
    if (command.empty() && argc < 2) {
        usage_error("missing command");
    }
    if (command == "run") {
        return run_command(argc - 1, argv + 1);
    }
    if (command == "devices") {
        return devices_command(argc - 1, argv + 1);
    }
    if (command == "test") {
        return test_command(argc - 1, argv + 1);
    }
    if (command == "help") {
        return help(argc, argv);
    }
    if (command == "-h" || command == "--help") {
        return print(main_help);
    }
    if (command == "-V" || command == "--version") {
        return version();
    }
    if (command.rfind("-", 0) == 0) {
        usage_error("unknown option " + std::string(command) + " (run's options come after it: vboard run " +
                    std::string(command) + " ...)");
    }
    usage_error("unknown command '" + std::string(command) + "'");
}
