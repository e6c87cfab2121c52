#pragma once

// One run of a program on the board: it starts the program with the board's
// environment, passes its output on, serves the requests of its processes
// on the board's channel (their pauses, which make virtual time; syslog;
// signal handlers; sysfs paths that are not there), serves the calls of its
// open files of the board's nodes, and stops it or interrupts it when the
// run's options say so.

#include "board_impl.hpp"
#include "process.hpp"
#include "protocol.hpp"

#include <sched.h>

#include <atomic>
#include <mutex>
#include <memory>
#include <optional>
#include <span>
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
    };

    // An open file of one of the board's nodes: a connection on the nodes'
    // socket, which the program holds as the descriptor open() gave it.
    struct NodeFile {
        int fd = -1;
        Testbed::Node* node = nullptr; // set once its open has been served
        bool refused = false;          // the open failed: the connection is about to go
        pid_t opener = 0;              // the process that opened it and its descriptor,
        int opener_fd = -1;            // whose close() is the open file's close in the record
        FileEvent opened;
        bool close_recorded = false;
    };

    bool start();
    void keep_to_one_cpu();
    void release_cpus();
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
    wire::Reply handle_open(const wire::RequestHeader& header, std::string_view path);
    wire::Reply handle_sleep_begin(Process& process, std::int64_t ns);
    void handle_sleep_end(Process& process, std::int64_t real_ns, bool cut_short);

    void accept_node_files();
    void serve_node_file(int fd);
    wire::NodeReply answer_node_call(NodeFile& file, const wire::NodeRequest& request, std::span<std::uint8_t> rest);
    void raw_node_write(NodeFile& file, std::span<std::uint8_t> bytes);
    wire::NodeReply open_node_file(NodeFile& file, const wire::NodeRequest& request, const std::string& path);
    // The driver's release(): the last descriptor of the open file has gone.
    void release_node_file(NodeFile& file);
    // Around each call of a device, with the run's lock held: false when the
    // run has stopped the program.
    bool device_call_allowed();
    void device_call_done();

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
    // The CPUs this thread and the sysfs filesystem's ran on before the run
    // kept them to one.
    std::optional<cpu_set_t> saved_cpus_;
    std::optional<cpu_set_t> saved_mount_cpus_;
    RunResult result_;
    ChildProcess child_;
    int exited_ = -1; // pidfd of the program: readable once it has ended
    std::string channel_path_;
    int listener_ = -1;
    std::string nodes_path_;
    int nodes_listener_ = -1;
    std::vector<std::unique_ptr<NodeFile>> node_files_;
    std::vector<std::uint8_t> node_message_; // the request being served, the reply's bytes,
    std::vector<std::uint8_t> node_reply_;   // and what the call only writes
    std::vector<std::uint8_t> node_scratch_;
    std::vector<wire::Segment> node_segments_;         // its segment table
    std::vector<std::span<std::uint8_t>> node_pieces_; // and where each segment's bytes are
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
