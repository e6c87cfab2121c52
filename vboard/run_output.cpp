// The program's output and the record, passed to the observer in the
// order they happened.

#include "run.hpp"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace vboard {

namespace {

// How many bytes of `chunk` to let through so that no more than `limit`
// lines are (all of it without a limit); counts the lines in `lines`.
std::size_t admit(std::string_view chunk, std::optional<int> limit, int& lines)
{
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        if (chunk[i] == '\n') {
            ++lines;
            if (limit && lines >= *limit) {
                return i + 1;
            }
        }
    }
    return chunk.size();
}

} // namespace

void Run::feed_input()
{
    const ssize_t n = write(process_.input, input_.data(), input_.size());
    if (n > 0) {
        input_.erase(0, static_cast<std::size_t>(n));
    }
    if ((n < 0 && errno != EAGAIN && errno != EINTR) || (input_.empty() && !options_.more_input)) {
        close_fd(process_.input);
        input_.clear();
    }
}

// Standard output and error come through two pipes, and nothing tells in
// which order the program wrote what waits in both; standard error is taken
// first, since a program's complaint usually comes before the output it
// concerns.
void Run::drain_output()
{
    // One look at both pipes: most device calls come with nothing waiting.
    pollfd fds[2] = {{process_.errors, POLLIN, 0}, {process_.output, POLLIN, 0}};
    int ready = 0;
    while ((ready = poll(fds, 2, 0)) < 0 && errno == EINTR) {
    }
    if (ready < 0 || fds[0].revents != 0) {
        take_output(process_.errors, false);
    }
    if (ready < 0 || fds[1].revents != 0) {
        take_output(process_.output, true);
    }
}

void Run::take_output(int& fd, bool is_stdout)
{
    char buffer[4096];
    while (fd >= 0) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                close_fd(fd);
            }
            return;
        }
        if (n == 0) {
            close_fd(fd);
            return;
        }
        std::string_view chunk(buffer, static_cast<std::size_t>(n));
        if (!is_stdout) {
            if (options_.keep_record) {
                result_.err.append(chunk);
            }
            pending_output_.push_back({false, std::string(chunk), board_.recorder.count(), board_.recorder.now_ns()});
            continue;
        }
        if (output_closed_) {
            continue;
        }
        chunk = chunk.substr(0, admit(chunk, options_.stop_after_lines, lines_));
        if (options_.keep_record) {
            result_.out.append(chunk);
        }
        pending_output_.push_back({true, std::string(chunk), board_.recorder.count(), board_.recorder.now_ns()});
        if (options_.stop_after_lines && lines_ >= *options_.stop_after_lines) {
            output_closed_ = true;
            stop(board_.recorder.now_ns());
        }
        if (options_.sigint_after_lines && lines_ >= *options_.sigint_after_lines && !sigint_pending_since_) {
            sigint_pending_since_ = monotonic_ns();
        }
    }
}

void Run::deliver()
{
    recorded_since_delivery_ = 0;
    for (const auto& chunk : pending_output_) {
        deliver_events(chunk.after_events);
        if (observer_ == nullptr || result_.observer_failed) {
            continue;
        }
        delivering_at_ = chunk.at_ns;
        if (chunk.is_stdout && passing_stdout_) {
            observer_said(observer_->on_stdout(chunk.bytes), process_.output, passing_stdout_);
        } else if (!chunk.is_stdout && passing_stderr_) {
            observer_said(observer_->on_stderr(chunk.bytes), process_.errors, passing_stderr_);
        }
        delivering_at_.reset();
    }
    pending_output_.clear();
    deliver_events(SIZE_MAX);
}

// Events go to the observer in the order recorded; without an observer, or
// once it has failed, they are only taken (and, unless kept, forgotten).
void Run::deliver_events(std::size_t until)
{
    for (const auto& event : board_.recorder.take_from(delivered_, until)) {
        if (observer_ != nullptr && !result_.observer_failed) {
            int no_stream = -1;
            bool passing = true;
            delivering_at_ = to_ns(time_of(event));
            const Observer::Passed passed = observer_->on_event(event);
            delivering_at_.reset();
            observer_said(passed == Observer::Passed::closed ? Observer::Passed::failed : passed, no_stream, passing);
        }
    }
}

// A reader that has gone (vboard's standard output closed, as by `| head`):
// the program's own stream is closed too, so that the program meets a
// closed pipe at its next write and ends as it would alone (SIGPIPE).
// Anything else (a full disk) stops the run: output would be lost.
void Run::observer_said(Observer::Passed passed, int& stream, bool& passing)
{
    if (passed == Observer::Passed::closed) {
        close_fd(stream);
        passing = false;
    } else if (passed == Observer::Passed::failed && !result_.observer_failed) {
        result_.observer_failed = true;
        kill_program();
    }
}

} // namespace vboard
