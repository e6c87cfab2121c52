#pragma once

// The bench's knobs while a program runs on the board: lines on a control
// FIFO ("adc 6 1.2V", "ntc 0 40C") for scripts, and the arrow keys at the
// terminal the live view is drawn on (left and right pick an ADC channel,
// up and down turn it by 1 % of the converter's range, by 10 % with shift).
// Every change goes to the board, which records it as an input event.

#include "board.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <termios.h>

namespace vboard {

class Knobs {
public:
    // `control`: the FIFO's descriptor, or -1. `keys`: the terminal's, or -1;
    // it is switched to reading key by key (no echo) until the knobs go.
    // The arrow keys start on `first_channel` where given, else on the
    // first channel the program reads.
    Knobs(int control, int keys, std::optional<int> first_channel);
    ~Knobs();
    Knobs(const Knobs&) = delete;
    Knobs& operator=(const Knobs&) = delete;

    void attach(Board& board) { board_ = &board; }
    int selected() const { return selected_; }
    // The program read `channel` of the ADC.
    void program_reads(int channel);
    std::array<std::optional<int>, 8> counts() const { return board_->adc_counts(); }

    // What is readable on `fd`, taken in; false once `fd` is no longer ours
    // to watch. `complaint` gets a line for vboard's standard error, if any.
    bool take(int fd, std::string& complaint, bool& selection_moved);
    // The program wants the terminal: the keys are off from now on, and
    // the terminal is as it was.
    void give_up_keys();

    bool keys_on() const { return keys_ >= 0; }

    // One control line ("adc 6 1.2V"): what is wrong with it, or "".
    std::string apply_line(const std::string& line);

private:
    // Complete lines applied, one too long complained of once and dropped.
    void take_lines(std::string_view bytes, std::string& complaint);
    void apply_keys(bool& selection_moved);

    Board* board_ = nullptr;
    int control_;
    int keys_;
    int selected_;
    bool chosen_; // the channel the keys turn was given, or picked with them
    std::string pending_line_;
    bool discarding_ = false; // dropping the rest of a line too long
    std::string pending_keys_;
    std::optional<termios> saved_;
};

} // namespace vboard
