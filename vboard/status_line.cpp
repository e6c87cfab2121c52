#include "status_line.hpp"

#include <cerrno>
#include <sys/ioctl.h>
#include <unistd.h>

namespace vboard {

namespace {

// ECMA-48 and the VT100's own: save and restore the cursor (DECSC, DECRC),
// the scroll region (DECSTBM; set, it homes the cursor, hence the save),
// a cursor position (CUP), erase the line (EL 2).
constexpr const char* save_cursor = "\0337";
constexpr const char* restore_cursor = "\0338";

std::string scroll_region(int last_row)
{
    return "\033[1;" + std::to_string(last_row) + "r";
}

std::string bottom_row(int rows)
{
    return "\033[" + std::to_string(rows) + ";1H\033[2K";
}

} // namespace

bool StatusLine::measure()
{
    winsize size{};
    if (ioctl(fd_, TIOCGWINSZ, &size) != 0 || size.ws_row < 2 || size.ws_col < 1) {
        return false;
    }
    rows_ = size.ws_row;
    columns_ = size.ws_col;
    return true;
}

int StatusLine::put(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR) {
            return errno;
        }
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return 0;
}

bool StatusLine::begin(int& error)
{
    error = 0;
    if (!measure()) {
        rows_ = 0;
        return false;
    }
    // A newline and back up: should the cursor be on the bottom row, the
    // screen scrolls by one first, so nothing is drawn over.
    error = put("\n\033[1A" + std::string(save_cursor) + scroll_region(rows_ - 1) + restore_cursor);
    return true;
}

int StatusLine::relayout()
{
    if (!on()) {
        return 0;
    }
    const int old_rows = rows_;
    if (!measure()) {
        return 0;
    }
    // The old bottom row cleared, the region reset and set anew.
    const std::string bytes = std::string(save_cursor) + bottom_row(old_rows) + "\033[r" + scroll_region(rows_ - 1) +
                              restore_cursor;
    if (const int error = put(bytes); error != 0) {
        return error;
    }
    return draw(text_);
}

int StatusLine::draw(const std::string& text)
{
    if (!on()) {
        return 0;
    }
    text_ = text;
    const std::string shown = text.substr(0, static_cast<std::size_t>(columns_));
    return put(std::string(save_cursor) + bottom_row(rows_) + "\033[7m" + shown + "\033[0m" + restore_cursor);
}

void StatusLine::end()
{
    if (!on()) {
        return;
    }
    put(std::string(save_cursor) + bottom_row(rows_) + "\033[r" + restore_cursor);
    rows_ = 0;
}

} // namespace vboard
