#pragma once

// The files vboard itself writes: the view, the trace and the capture.

#include <string>
#include <string_view>
#include <vector>

namespace vboard::command {

// 0, or the errno of the write that failed.
int write_all(int fd, std::string_view bytes);

struct OutputRequest {
    const char* option; // "--trace"
    std::string path;   // "" where not asked for
};

// Refuses (status 2) two of vboard's outputs that name one file, whose
// lines would interleave: the same path, another name of it (a link, a
// relative path), or standard output given as "-" and /dev/stdout.
void refuse_shared_outputs(const std::vector<OutputRequest>& outputs);

// Opens an output for writing; a failure ends vboard with status 2.
// Standard output and error ("-", /dev/stdout, /dev/stderr) are shared
// with what the program writes: the output then goes through the same
// open file, so that both keep one file offset when it is a regular file.
// Any other path is written as the file named and nothing else: a symbolic
// link planted there is refused (O_NOFOLLOW), never followed.
int open_output(const OutputRequest& output);

} // namespace vboard::command
