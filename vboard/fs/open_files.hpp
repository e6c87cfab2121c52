#pragma once

// The program's open files of the board's filesystem, each with the rules of
// the kernel code behind it:
//  - an attribute (kernfs): opening it for reading needs the driver to show
//    it and for writing to store it (EACCES otherwise, root included); a
//    read at offset 0 shows the driver's value afresh and keeps the text,
//    reads further on pick up the rest of it; each write() is one store of
//    the bytes written (at most a page), whatever the file offset, and an
//    empty one stores nothing; a driver's refusal is the write's errno;
//  - a fixed file of the driver core (dev, uevent): read-only text;
//  - a node: its driver's open(), read(), write(), ioctl(), poll() and,
//    once the last descriptor of the open file has gone, release().
// Every call here is one request of a program, in the program's order, and
// the accesses are recorded as the devices saw them.

#include "../devices/node.hpp"
#include "tree.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

namespace vboard {

class Recorder;
class FaultPlan;

class OpenFiles {
public:
    OpenFiles(Recorder& recorder, FaultPlan& faults);

    // Opens what `place` is with the open() flags; returns 0 and sets `file`
    // (a number of this table's choosing), or the errno.
    int open(const FsTree::Place& place, int flags, std::uint64_t& file);
    // Whether the open file is a stream (no seeking, no pread()).
    bool stream(std::uint64_t file) const;

    // Bytes read into `data`, or written; or -1 with `error` set.
    // `nonblocking` is the open file's O_NONBLOCK now.
    long read(std::uint64_t file, std::uint64_t offset, std::size_t count, bool nonblocking, const UserMemory& memory,
              std::string& data, int& error);
    long write(std::uint64_t file, std::string_view bytes, bool nonblocking, const UserMemory& memory, int& error);
    // An ioctl on a node: the driver's result, or -1 with `error` set.
    long ioctl(std::uint64_t file, unsigned long request, std::uint64_t argument, std::span<const std::uint8_t> copied_in,
               bool compat, const UserMemory& memory, int& error);
    // The events the file is ready for; `waits`: the caller is about to wait.
    unsigned poll(std::uint64_t file, bool waits);

    // A descriptor of the file closed: by the program's close() (recorded),
    // or by the kernel as the process ends. release() when the open file's
    // last descriptor has gone.
    void flush(std::uint64_t file, bool by_program);
    void release(std::uint64_t file);
    // Releases every file still open (the run's filesystem has gone).
    void release_all();

private:
    struct OpenFile {
        const FsTree::Device* device = nullptr; // an attribute's
        std::string attr;
        std::string canonical_path;
        const std::string* text = nullptr;  // a fixed file's
        const FsTree::Node* node = nullptr; // a node's
        std::optional<std::string> shown;   // the text of the last show()
    };

    int open_node(const FsTree::Node& node, std::uint64_t file);
    long read_attribute(OpenFile& open_file, std::uint64_t offset, std::size_t count, std::string& data, int& error);
    long call_node(OpenFile& open_file, NodeCall& call, bool is_write, int& error);
    // The record's name and path of an open file.
    std::string device_name(const OpenFile& open_file) const;
    std::string shown_path(const OpenFile& open_file) const;

    Recorder& recorder_;
    FaultPlan& faults_;
    std::map<std::uint64_t, OpenFile> files_;
    std::uint64_t next_file_ = 1;
};

} // namespace vboard
