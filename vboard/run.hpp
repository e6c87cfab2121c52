#pragma once

// One run of a program on the board: it starts the program with the board's
// environment, passes its output on, serves the requests of its processes
// on the board's channel (their pauses, which make virtual time; syslog;
// signal handlers; device nodes opened and closed), and stops it or
// interrupts it when the run's options say so.

#include "board_impl.hpp"
#include "process.hpp"
#include "protocol.hpp"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vboard {

class Run {
public:
    Run(Board::Impl& board, const RunOptions& options, Observer* observer);
    RunResult execute();

    // From the threads that serve the devices, around each call a program
    // makes of one (DeviceCalls).
    bool before_device_call();
    void after_device_call();

private:
    // A process of the program, connected to the board's channel.
    struct Process {
        int fd = -1;
        pid_t pid = 0;
        int pidfd = -1; // signals reach this process, never one that took its id after it ended
        std::int64_t sleep_start = 0;  // the pause it is in, in virtual ns
        std::int64_t sleep_length = 0;
        std::optional<std::int64_t> planned_interrupt; // when the board cuts that pause short with SIGINT
        std::vector<std::pair<int, FileEvent>> open_nodes; // its open device nodes, by descriptor
    };

    bool start();
    bool open_channel();
    bool open_clock();
    void loop();
    void finish();
    // What the run holds of the board's (its channel, its clock) back.
    void release();

    void accept_process();
    // False when the process has gone.
    bool serve(Process& process);
    wire::Reply handle(Process& process, const wire::RequestHeader& header, std::string_view payload);
    wire::Reply handle_open(Process& process, const wire::RequestHeader& header, std::string_view path);
    void handle_close(Process& process, int fd);
    wire::Reply handle_sleep_begin(Process& process, std::int64_t ns);
    void handle_sleep_end(Process& process, std::int64_t real_ns, bool cut_short);

    void drain_output();
    void take_output(int& fd, bool is_stdout);
    void feed_input();
    void deliver();
    void deliver_events(std::size_t until);
    // What the observer could not pass on: a closed reader closes the
    // program's own stream, any other failure stops the run.
    void observer_said(Observer::Passed passed, int& stream, bool& passing);
    void pass_on_signals();
    void take_terminal();
    void give_terminal_back();
    // The program stopped by the terminal it wants: it gets it.
    void hand_over_terminal();
    void stop(std::int64_t at);
    // True when the run owes the program a SIGINT that may go out now.
    bool sigint_due() const;
    void send_sigint(std::int64_t at);
    void kill_program(int signal);

    Board::Impl& board_;
    const RunOptions& options_;
    Observer* observer_;

    // Everything below is shared by the run loop and the threads that serve
    // the devices (after_device_call).
    std::mutex lock_;
    RunResult result_;
    ChildProcess child_;
    int exited_ = -1; // pidfd of the program: readable once it has ended
    std::string channel_path_;
    int listener_ = -1;
    std::string clock_path_;
    wire::ClockPage* clock_ = nullptr;
    int wake_ = -1;
    std::vector<Process> processes_;
    std::vector<int> watch_; // of options_.watch, those still watched
    std::size_t input_written_ = 0;
    std::atomic<std::size_t> recorded_since_delivery_{0};
    std::size_t delivered_ = 0;
    // Output taken in but not yet passed to the observer, each chunk with
    // the number of events recorded when it was taken: the observer gets
    // both in that order.
    struct Chunk {
        bool is_stdout;
        std::string bytes;
        std::size_t after_events;
    };
    std::vector<Chunk> pending_output_;
    int lines_ = 0;
    bool passing_stdout_ = true; // false once the observer's reader of it has gone
    bool passing_stderr_ = true;
    bool output_closed_ = false; // stdout cut after the last line let through
    std::optional<std::int64_t> sigint_pending_since_; // when (real ns) a line count made a SIGINT due
    bool sigint_sent_ = false;
    std::int64_t deadline_ = 0;
    std::optional<std::int64_t> grace_ends_; // real ns: when a program sent a signal has to have ended
    int passed_signal_ = 0;                  // the signal passed on last
    bool terminal_taken_ = false;            // the program's group is the terminal's foreground
};

} // namespace vboard
