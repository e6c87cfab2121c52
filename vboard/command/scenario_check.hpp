#pragma once

// One scenario's steps checked against its program's run, as it happens:
// an observer of the run that takes the steps one after another, each at
// the virtual time it is reached, waiting in virtual time where a step
// waits and failing at its deadline.

#include "board.hpp"
#include "kept_files.hpp"
#include "knobs.hpp"
#include "scenario.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace vboard::command {

struct Verdict {
    bool passed = false;
    std::int64_t virtual_ns = 0; // when it passed or failed
    std::string failure;         // the step, its line, the time, what was expected and what was seen last
    std::vector<std::string> last_output; // the program's last lines, stderr's marked
};

class ScenarioCheck : public Observer {
public:
    // `kept`: where the run's record and output go, or null.
    ScenarioCheck(const Scenario& scenario, Knobs& knobs, KeptFiles* kept);

    Passed on_stdout(std::string_view bytes) override;
    Passed on_stderr(std::string_view bytes) override;
    Passed on_event(const Event& event) override;
    void on_start(RunControl& control) override;
    std::optional<std::int64_t> wanted_time() const override;
    void on_time(std::int64_t at_ns) override;

    // How many transfers the display controller lost while busy.
    std::size_t violations() const { return violations_; }

    // After the run: what the steps came to.
    Verdict verdict(const RunResult& result, std::chrono::milliseconds real_limit);

private:
    // What the program wrote to one stream, from where the last expectation
    // on it matched.
    struct Stream {
        std::string unsearched;
        std::string last_seen; // the last line an expectation looked at
    };
    struct PwmChannel {
        std::int64_t period = 0;
        std::int64_t duty = 0;
        bool enabled = false;
    };

    const Step* current() const;
    // Takes the steps from the current one on, at `now`, until one waits.
    void advance(std::int64_t now);
    // True when the step is done (passed); it may fail instead.
    bool attempt(const Step& step, std::int64_t now);
    // Deadlines and windows that end before `t` are met first.
    void reach(std::int64_t t);
    void fail(std::int64_t at, const std::string& what);
    void finish(std::int64_t at);
    void take_output(Stream& stream, std::string_view bytes, bool is_stderr);
    bool search(Stream& stream, const Step& step);
    bool pwm_holds(const Step& step, std::string& seen) const;
    bool screen_matches(const Step& step) const;
    void count_event(const Event& event);
    std::string expected(const Step& step) const;
    std::string seen(const Step& step) const;

    const Scenario& scenario_;
    Knobs& knobs_;
    KeptFiles* kept_;
    RunControl* control_ = nullptr;

    std::size_t step_ = 0;
    bool started_ = false;      // the current step has begun
    std::int64_t deadline_ = 0; // when the current step fails (or, for wait, ends)
    std::optional<std::int64_t> window_ends_; // expect-pwm: it has held since, and must until then
    bool done_ = false;
    std::optional<Verdict> verdict_;

    Stream stdout_;
    Stream stderr_;
    std::deque<std::string> tail_; // the last lines of output, both streams
    std::array<std::string, 2> partial_; // an unfinished line of each stream, for the tail

    std::vector<std::string> screen_;
    bool display_on_ = true;
    std::vector<long> event_counts_; // per step: the events that matched it so far (expect-event)
    bool counts_events_;              // the scenario has an expect-event step
    std::string last_event_;
    std::size_t violations_ = 0;
    std::string first_violation_;
    std::array<PwmChannel, 1> pwm_{};
    bool ended_ = false;
    bool stopped_ = false;
    int exit_status_ = 0;
    int exit_signal_ = 0;
    std::int64_t end_ns_ = 0;
    std::size_t step_at_end_ = SIZE_MAX; // the step taken when the program ended
    std::int64_t last_ns_ = 0;
};

} // namespace vboard::command
