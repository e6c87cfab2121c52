#include "knobs.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <sstream>
#include <unistd.h>

namespace vboard {

namespace {

// 1 % and 10 % of the converter's 4096 codes.
constexpr int small_turn = 41;
constexpr int large_turn = 410;

constexpr std::size_t longest_line = 4096;

// A line as the complaint shows it: in quotes, what is not printable ASCII
// escaped, and cut after 40 characters.
std::string quoted(const std::string& line)
{
    constexpr std::size_t shown = 40;
    std::string out = "\"";
    for (std::size_t i = 0; i < line.size() && i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        if (byte < 0x20 || byte >= 0x7F || byte == '"' || byte == '\\') {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out + (line.size() > shown ? "\"..." : "\"");
}

std::optional<int> channel_number(const std::string& text)
{
    int channel = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), channel);
    if (ec != std::errc() || end != text.data() + text.size() || channel < 0 || channel >= adc_channels) {
        return std::nullopt;
    }
    return channel;
}

} // namespace

Knobs::Knobs(int control, int keys, std::optional<int> first_channel)
    : control_(control), keys_(keys), selected_(first_channel.value_or(0)), chosen_(first_channel.has_value())
{
    termios mode{};
    if (keys_ >= 0 && tcgetattr(keys_, &mode) == 0) {
        saved_ = mode;
        // Key by key, without echo; Ctrl-C still interrupts (ISIG stays).
        mode.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        tcsetattr(keys_, TCSANOW, &mode);
    }
}

void Knobs::program_reads(int channel)
{
    if (!chosen_) {
        selected_ = channel;
        chosen_ = true;
    }
}

Knobs::~Knobs()
{
    give_up_keys();
}

void Knobs::give_up_keys()
{
    if (saved_) {
        tcsetattr(keys_, TCSANOW, &*saved_);
        saved_.reset();
    }
    keys_ = -1;
}

bool Knobs::take(int fd, std::string& complaint, bool& selection_moved)
{
    if (fd < 0 || (fd != keys_ && fd != control_)) {
        return false; // the keys given up: the terminal's input is the program's
    }
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return true;
    }
    if (n <= 0) {
        return false;
    }
    if (fd == keys_) {
        pending_keys_.append(buffer, static_cast<std::size_t>(n));
        apply_keys(selection_moved);
        return true;
    }
    take_lines(std::string_view(buffer, static_cast<std::size_t>(n)), complaint);
    return true;
}

void Knobs::take_lines(std::string_view bytes, std::string& complaint)
{
    for (;;) {
        const auto end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (!discarding_ && pending_line_.size() + piece.size() > longest_line) {
            // Said once; the rest of it, however long, is dropped as it comes.
            complaint += "vboard: --control: a line longer than " + std::to_string(longest_line) + " bytes (" +
                         quoted(pending_line_ + std::string(piece.substr(0, 64))) + "), dropped\n";
            pending_line_.clear();
            discarding_ = true;
        } else if (!discarding_) {
            pending_line_.append(piece);
        }
        if (end == std::string_view::npos) {
            return;
        }
        bytes.remove_prefix(end + 1);
        if (discarding_) {
            discarding_ = false; // the end of the line that was too long
            continue;
        }
        if (const std::string problem = apply_line(pending_line_); !problem.empty()) {
            complaint += "vboard: --control: " + quoted(pending_line_) + ": " + problem + "\n";
        }
        pending_line_.clear();
    }
}

// "adc CH VALUE" (what --adc takes) or "ntc CH TEMPERATURE".
std::string Knobs::apply_line(const std::string& line)
{
    std::istringstream words(line);
    std::string kind;
    std::string channel_text;
    std::string value;
    std::string more;
    words >> kind >> channel_text >> value;
    if (kind.empty() || (words >> more) || value.empty()) {
        return line.empty() ? "" : "a line is \"adc CH VALUE\" or \"ntc CH TEMPERATURE\"";
    }
    const auto channel = channel_number(channel_text);
    if (!channel) {
        return "the ADC has channels 0 to 7";
    }
    std::string problem;
    std::optional<AdcInput> input;
    if (kind == "adc") {
        input = AdcInput::parse(value, problem);
    } else if (kind == "ntc") {
        input = AdcInput::thermistor(value, problem);
    } else {
        return "a line is \"adc CH VALUE\" or \"ntc CH TEMPERATURE\"";
    }
    if (!input) {
        return problem;
    }
    board_->set_adc_input(*channel, std::move(*input), "control");
    return "";
}

// Arrow keys as terminals send them: ESC [ A..D, and with shift ESC [ 1 ; 2 A..D.
void Knobs::apply_keys(bool& selection_moved)
{
    for (;;) {
        const auto escape = pending_keys_.find('\x1b');
        if (escape == std::string::npos) {
            pending_keys_.clear(); // other keys mean nothing here
            return;
        }
        pending_keys_.erase(0, escape);
        const bool shifted = pending_keys_.rfind("\x1b[1;2", 0) == 0;
        const std::size_t length = shifted ? 6 : 3;
        if (pending_keys_.size() < length) {
            if (pending_keys_.size() > 1 && pending_keys_[1] != '[') {
                pending_keys_.erase(0, 1);
                continue;
            }
            return; // the rest of the sequence is on its way
        }
        const char key = pending_keys_[length - 1];
        const bool arrow = pending_keys_[1] == '[' && key >= 'A' && key <= 'D';
        pending_keys_.erase(0, arrow ? length : 1);
        if (!arrow) {
            continue;
        }
        const int turn = shifted ? large_turn : small_turn;
        switch (key) {
        case 'A':
            board_->turn_adc_input(selected_, turn, "keys");
            break;
        case 'B':
            board_->turn_adc_input(selected_, -turn, "keys");
            break;
        case 'C':
            selected_ = (selected_ + 1) % adc_channels;
            chosen_ = true;
            selection_moved = true;
            break;
        case 'D':
            selected_ = (selected_ + adc_channels - 1) % adc_channels;
            chosen_ = true;
            selection_moved = true;
            break;
        default:
            break;
        }
    }
}

} // namespace vboard
