#include "output_files.hpp"

#include "usage.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vboard::command {

namespace {

// Which standard stream a path names, or -1.
int standard_stream(const std::string& path)
{
    if (path == "-" || path == "/dev/stdout") {
        return STDOUT_FILENO;
    }
    return path == "/dev/stderr" ? STDERR_FILENO : -1;
}

// What identifies the file a path will write: the file's device and inode
// where it is there; else its directory's and its name, the file that an
// open would create.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    std::string name; // of a file still to be made
    bool operator==(const Identity&) const = default;
};

bool identify(const std::string& path, Identity& identity)
{
    struct stat st {};
    if (const int stream = standard_stream(path); stream >= 0) {
        if (fstat(stream, &st) != 0) {
            return false;
        }
    } else if (lstat(path.c_str(), &st) != 0) {
        const auto slash = path.rfind('/');
        const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        if (stat(directory.c_str(), &st) != 0) {
            return false;
        }
        identity.name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    }
    // Writers of one terminal or device, /dev/null say, have no offset to share.
    if (identity.name.empty() && !S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
        return false;
    }
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    return true;
}

} // namespace

int write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

void refuse_shared_outputs(const std::vector<OutputRequest>& outputs)
{
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        for (std::size_t j = i + 1; j < outputs.size(); ++j) {
            const OutputRequest& a = outputs[i];
            const OutputRequest& b = outputs[j];
            if (a.path.empty() || b.path.empty()) {
                continue;
            }
            Identity first;
            Identity second;
            const bool same_stream =
                standard_stream(a.path) >= 0 && standard_stream(a.path) == standard_stream(b.path);
            if (same_stream || (identify(a.path, first) && identify(b.path, second) && first == second)) {
                fail(std::string(a.option) + " and " + b.option + " name the same file (" + b.path +
                     "): each needs one of its own");
            }
        }
    }
}

int open_output(const OutputRequest& output)
{
    const std::string& path = output.path;
    const int stream = standard_stream(path);
    const int fd = stream >= 0 ? fcntl(stream, F_DUPFD_CLOEXEC, 3)
                               : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail(std::string(output.option) + ": cannot write " + path + ": " +
             (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno)));
    }
    return fd;
}

} // namespace vboard::command
