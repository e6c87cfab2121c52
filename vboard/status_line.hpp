#pragma once

// A line pinned at the bottom of the terminal the view is drawn on: the
// rows above it are made the terminal's scroll region (DECSTBM), so that
// what scrolls past, the view's and the program's output alike, leaves it
// in place. Each text is cut to the terminal's width, never wrapping onto
// another row.

#include <string>

namespace vboard {

class StatusLine {
public:
    explicit StatusLine(int fd) : fd_(fd) {}
    ~StatusLine() { end(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // Takes the bottom row; false (nothing written) on a terminal too small
    // or whose size is unknown. Returns the errno of a failed write in `error`.
    bool begin(int& error);
    // The terminal was resized: the region laid out again, the line redrawn.
    int relayout();
    // Draws `text` (ASCII) on the bottom row; 0, or the errno of the write.
    int draw(const std::string& text);
    // Gives the bottom row back, cleared, and the whole screen to scrolling.
    void end();

    bool on() const { return rows_ > 0; }
    int columns() const { return columns_; }

private:
    bool measure();
    int put(const std::string& bytes);

    int fd_;
    int rows_ = 0;
    int columns_ = 0;
    std::string text_;
};

} // namespace vboard
