#include "kept_files.hpp"

#include "output_files.hpp"
#include "trace.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vboard::command {

namespace {

constexpr const char* file_names[] = {"trace.jsonl", "capture.vcd", "stdout.txt", "stderr.txt"};

// The files go where the scenario's name says and nowhere else: a link
// planted in the way is refused, not followed.
int open_directory(int at, const std::string& name)
{
    if (mkdirat(at, name.c_str(), 0755) != 0 && errno != EEXIST) {
        return -1;
    }
    return openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

KeptFiles::KeptFiles(const std::string& directory, const std::string& name, VcdTimescale tick, std::string& problem)
    : path_(directory + "/" + name)
{
    const int top = open_directory(AT_FDCWD, directory);
    directory_ = top < 0 ? -1 : open_directory(top, name);
    if (top >= 0) {
        close(top);
    }
    if (directory_ < 0) {
        problem = "cannot make " + path_ + ": " + std::strerror(errno);
        return;
    }
    int* fds[] = {&trace_, &vcd_, &stdout_, &stderr_};
    for (std::size_t i = 0; i < 4; ++i) {
        *fds[i] = openat(directory_, file_names[i], O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (*fds[i] < 0) {
            problem = "cannot write " + path_ + "/" + file_names[i] + ": " + std::strerror(errno);
            return;
        }
    }
    write(trace_, trace_header() + "\n", "trace.jsonl");
    capture_.emplace([this](std::string_view bytes) { return write_all(vcd_, bytes); }, tick);
}

KeptFiles::~KeptFiles()
{
    for (const int fd : {trace_, vcd_, stdout_, stderr_, directory_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void KeptFiles::event(const Event& event)
{
    write(trace_, to_json(event) + "\n", "trace.jsonl");
    if (capture_ && failure_.empty()) {
        if (const int error = capture_->draw(event); error != 0) {
            failure_ = path_ + "/capture.vcd: " + std::strerror(error);
        }
    }
}

void KeptFiles::write(int fd, std::string_view bytes, const char* file)
{
    if (fd < 0 || !failure_.empty()) {
        return;
    }
    if (const int error = write_all(fd, bytes); error != 0) {
        failure_ = path_ + "/" + file + ": " + std::strerror(error);
    }
}

void KeptFiles::remove()
{
    if (directory_ < 0) {
        return;
    }
    for (const char* name : file_names) {
        unlinkat(directory_, name, 0);
    }
    rmdir(path_.c_str());
}

} // namespace vboard::command
