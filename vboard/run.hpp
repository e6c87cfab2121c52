#pragma once

// One run of a program on the board: vboard-init puts the board in place in
// namespaces of the run's own and starts the program there; the run serves
// the board's filesystem to it, serves the pauses of its processes on the
// board's channel (virtual time), reads its syslog and its output, and
// stops or interrupts it when the run's options say so. When the program
// ends, the namespaces and everything in them end too.
//
// Its work is in one file per job: run.cpp (start, loop, end),
// run_pauses.cpp (virtual time), run_output.cpp (the program's output and
// the record, to the observer), run_terminal.cpp (the terminal and
// signals).

#include "board_impl.hpp"
#include "fs/fuse_server.hpp"
#include "process.hpp"
#include "protocol.hpp"
#include "signal_handlers.hpp"

#include <sched.h>

#include <atomic>
#include <csignal>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vboard {

class Run : public RunControl {
public:
    Run(Board::Impl& board, const RunOptions& options, Observer* observer);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    RunResult execute();

    // From the thread that serves the board's filesystem, around each call
    // a program makes of a file of it (DeviceCalls).
    bool before_device_call(bool opens);
    void after_device_call();

    // RunControl, for the observer.
    std::int64_t now_ns() const override;
    void send_signal(int signal) override;
    void write_input(std::string_view bytes) override;
    void stop() override;

private:
    // A process of the program, connected to the board's channel.
    struct Process {
        int fd = -1;
        pid_t pid = 0;
        int pidfd = -1; // signals reach this process, never one that took its id after it ended
        std::int64_t sleep_start = 0;  // the pause it is in, in virtual ns
        std::int64_t sleep_length = 0;
        std::optional<std::int64_t> planned_interrupt; // when the board cuts that pause short with a signal
        int planned_signal = SIGINT;                     // and which
    };

    // run.cpp
    static std::int64_t monotonic_ns(); // the host's clock
    static void close_fd(int& fd);
    bool start();
    bool plan_program(std::vector<std::string>& exec_argv, bool& emulated, std::string& error) const;
    bool open_sockets(std::string& error);
    // Until the program has started: serves the board's filesystem, maps
    // the clock. False with `error` when the board could not be put in place.
    bool set_up(std::string& error);
    bool map_clock(int fd, std::string& error);
    void keep_to_one_cpu();
    void release_cpus();
    void loop();
    void take_reports();
    void finish();
    void release();
    bool device_call_allowed(bool opens);
    void device_call_done();
    // The program's syslog messages and its signal handlers as they stand.
    void take_log();
    void note_handlers();

    // run_pauses.cpp
    void accept_process();
    // False when the process has gone.
    bool serve(Process& process);
    wire::Reply handle_sleep_begin(Process& process, std::int64_t ns);
    void handle_sleep_end(Process& process, std::int64_t real_ns, bool cut_short);
    void stop(std::int64_t at);
    // True when the run owes the program a SIGINT that may go out now.
    bool sigint_due() const;
    void send_sigint(std::int64_t at);
    void send_signal_at(int signal, std::int64_t at);
    // The times the observer wants from `from` to `until` in a pause:
    // the signal it sent meanwhile, if any, and when.
    std::optional<std::pair<int, std::int64_t>> observe_pause(std::int64_t from, std::int64_t until);
    // A time the observer wants that bus time has passed already.
    void observe_due();

    // run_output.cpp
    void drain_output();
    void take_output(int& fd, bool is_stdout);
    void feed_input();
    void deliver();
    void deliver_events(std::size_t until);
    // What the observer could not pass on: a closed reader closes the
    // program's own stream, any other failure stops the run.
    void observer_said(Observer::Passed passed, int& stream, bool& passing);

    // run_terminal.cpp
    void pass_on_signals();
    void take_terminal();
    void give_terminal_back();
    // The program stopped for the terminal it wants: it gets it.
    void hand_over_terminal();
    // Ends every process of the run at once (the namespaces go with them).
    void kill_program();

    Board::Impl& board_;
    const RunOptions& options_;
    Observer* observer_;

    // Everything below is shared by the run loop and the thread that
    // serves the board's filesystem (after_device_call).
    std::mutex lock_;
    // The CPUs this thread ran on before the run kept it to one.
    std::optional<cpu_set_t> saved_cpus_;
    RunResult result_;
    BoardProcess process_;
    pid_t program_ = -1; // the program's own process (and its process group), as this process sees it
    int program_pidfd_ = -1;
    std::unique_ptr<FuseServer> server_;
    int listener_ = -1; // the board's channel
    int log_ = -1;      // the board's /dev/log
    wire::ClockPage* clock_ = nullptr;
    int wake_ = -1;
    SignalHandlers handlers_;
    std::vector<Process> processes_;
    std::vector<int> watch_; // of options_.watch, those still watched
    std::string input_; // standard input still to be written
    std::optional<std::int64_t> delivering_at_; // the virtual time of what the observer is being given
    bool observing_pause_ = false;               // in Observer::on_time, within a pause of the program's
    std::optional<std::pair<int, std::int64_t>> pause_signal_; // a signal the observer sent there, and when
    std::atomic<std::size_t> recorded_since_delivery_{0};
    std::size_t delivered_ = 0;
    // Output taken in but not yet passed to the observer, each chunk with
    // the number of events recorded when it was taken: the observer gets
    // both in that order.
    struct Chunk {
        bool is_stdout;
        std::string bytes;
        std::size_t after_events;
        std::int64_t at_ns; // the virtual time it was taken at
    };
    std::vector<Chunk> pending_output_;
    int lines_ = 0;
    bool passing_stdout_ = true; // false once the observer's reader of it has gone
    bool passing_stderr_ = true;
    bool output_closed_ = false; // stdout cut after the last line let through
    std::optional<std::int64_t> sigint_pending_since_; // when (real ns) a line count made a SIGINT due
    bool sigint_sent_ = false;
    // When the program's pause was to be cut short by SIGINT, had its
    // channel closed before that pause ended: the signal the preload raised
    // then ended it (no handler), at that virtual time.
    std::optional<std::int64_t> interrupt_at_end_;
    std::int64_t deadline_ = 0;
    std::optional<std::int64_t> grace_ends_; // real ns: when a program sent a signal has to have ended
    int passed_signal_ = 0;                  // the signal passed on last
    bool terminal_taken_ = false;            // the program's group is the terminal's foreground
    bool program_ended_ = false;             // vboard-init reported the program's end
    int program_status_ = 0;                 // its wait status then
    int processes_ended_ = 0;                // and how many other processes of the run ended with it
    bool stopped_for_terminal_ = false;      // vboard-init reported it stopped by SIGTTIN or SIGTTOU
};

} // namespace vboard
