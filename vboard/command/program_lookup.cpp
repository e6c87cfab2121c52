#include "program_lookup.hpp"

#include "locations.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace vboard::command {

namespace {

constexpr int cannot_run = 126;
constexpr int not_found = 127;

// Why a program cannot be run, and the status that says so.
struct NotRunnable {
    int status;
    std::string message;
};

[[noreturn]] void give_up(int status, const std::string& message)
{
    throw NotRunnable{status, message};
}

// Why `path` cannot be run, or "" when execve may take it: the kernel's
// own refusals (EACCES for a directory or a file without execute
// permission), told before the board is set up for it.
std::string why_not_runnable(const std::string& path, int& status)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        status = errno == EACCES ? cannot_run : not_found;
        return std::strerror(errno);
    }
    status = cannot_run;
    if (S_ISDIR(st.st_mode)) {
        return "it is a directory";
    }
    if (!S_ISREG(st.st_mode)) {
        return "it is no regular file";
    }
    if (access(path.c_str(), X_OK) != 0) {
        return std::strerror(errno);
    }
    return "";
}

std::string checked(const std::string& path)
{
    int status = 0;
    if (const std::string why = why_not_runnable(path, status); !why.empty()) {
        give_up(status, (status == not_found ? "no program " : "cannot run ") + path + ": " + why);
    }
    return path;
}

// The first file named `name` in PATH that can be run; else the first
// that is there (to be refused with 126), else none (127).
std::string search_path(const std::string& name)
{
    const char* search = std::getenv("PATH");
    std::string_view directories = search != nullptr ? search : "/usr/local/bin:/usr/bin:/bin";
    std::string found_but_not_runnable;
    while (true) {
        const auto colon = directories.find(':');
        const std::string_view directory = directories.substr(0, colon);
        const std::string candidate = (directory.empty() ? std::string(".") : std::string(directory)) + "/" + name;
        int status = 0;
        const std::string why = why_not_runnable(candidate, status);
        if (why.empty()) {
            return candidate;
        }
        if (status == cannot_run && found_but_not_runnable.empty()) {
            found_but_not_runnable = candidate;
        }
        if (colon == std::string_view::npos) {
            break;
        }
        directories.remove_prefix(colon + 1);
    }
    if (!found_but_not_runnable.empty()) {
        return checked(found_but_not_runnable);
    }
    std::string known;
    for (const auto program : program_names) {
        known += std::string(known.empty() ? "" : ", ") + std::string(program);
    }
    give_up(not_found, "no program " + name + " (not in PATH, and not one of the board's: " + known + ")");
}

std::string look_up(const std::string& name)
{
    if (name.empty()) {
        give_up(not_found, "the program's name is empty");
    }
    if (name.find('/') != std::string::npos) {
        return checked(name);
    }
    if (const std::string path = program_path(name); !path.empty()) {
        if (access(path.c_str(), X_OK) != 0) {
            give_up(not_found, name + " has not been built (" + path + ")");
        }
        return path;
    }
    return search_path(name);
}

} // namespace

std::string find_program(const std::string& name)
{
    try {
        return look_up(name);
    } catch (const NotRunnable& refused) {
        std::fprintf(stderr, "vboard: %s\n", refused.message.c_str());
        std::exit(refused.status);
    }
}

std::string locate_program(const std::string& name, std::string& problem)
{
    try {
        return look_up(name);
    } catch (const NotRunnable& refused) {
        problem = refused.message;
        return "";
    }
}

} // namespace vboard::command
