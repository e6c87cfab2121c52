#pragma once

// What `vboard test --keep` keeps of a scenario's run, so that a failure
// can be looked at afterwards: DIR/NAME/ with trace.jsonl (the same lines
// as vboard run --trace), capture.vcd (as --vcd), stdout.txt and
// stderr.txt (the program's output, byte for byte).

#include "events.hpp"
#include "vcd.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace vboard::command {

class KeptFiles {
public:
    // Makes `directory`/`name` (and `directory` itself); `problem` says
    // what could not be made or opened, and the files are then not kept.
    KeptFiles(const std::string& directory, const std::string& name, VcdTimescale tick, std::string& problem);
    ~KeptFiles();
    KeptFiles(const KeptFiles&) = delete;
    KeptFiles& operator=(const KeptFiles&) = delete;

    void out(std::string_view bytes) { write(stdout_, bytes, "stdout.txt"); }
    void err(std::string_view bytes) { write(stderr_, bytes, "stderr.txt"); }
    void event(const Event& event);

    // The first write that failed, or "".
    const std::string& failure() const { return failure_; }
    const std::string& path() const { return path_; }
    // Removes the files and their directory (a scenario that passed).
    void remove();

private:
    void write(int fd, std::string_view bytes, const char* file);

    std::string path_;
    int directory_ = -1;
    int trace_ = -1;
    int vcd_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::optional<VcdWriter> capture_;
    std::string failure_;
};

} // namespace vboard::command
