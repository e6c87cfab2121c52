#include "scenario_check.hpp"

#include "trace.hpp"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vboard::command {

namespace {

// How many of the program's last lines a failure shows.
constexpr std::size_t tail_lines = 10;
// Output not yet searched by any expectation is kept for the next one on
// its stream, up to this much: past it the scenario fails rather than
// lose output or grow without bound.
constexpr std::size_t unsearched_limit = 4 << 20;

std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

// A value of the trace's and one a scenario gives are the same: the same
// text, or the same number however written (39 and 0x27).
bool same_value(const std::string& trace, const std::string& wanted)
{
    if (trace == wanted) {
        return true;
    }
    char* end_a = nullptr;
    char* end_b = nullptr;
    const double a = std::strtod(trace.c_str(), &end_a);
    const double b = std::strtod(wanted.c_str(), &end_b);
    return !trace.empty() && !wanted.empty() && *end_a == '\0' && *end_b == '\0' && a == b;
}

// A row as the display shows it: `text`, or `text` padded with spaces.
bool row_shows(const std::string& row, const std::string& text)
{
    return row.size() >= text.size() && row.compare(0, text.size(), text) == 0 &&
           row.find_first_not_of(' ', text.size()) == std::string::npos;
}

std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::optional<std::int64_t> integer(const std::string& text)
{
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

} // namespace

ScenarioCheck::ScenarioCheck(const Scenario& scenario, Knobs& knobs, KeptFiles* kept)
    : scenario_(scenario), knobs_(knobs), kept_(kept), event_counts_(scenario.steps.size(), 0),
      counts_events_(std::any_of(scenario.steps.begin(), scenario.steps.end(),
                                 [](const Step& step) { return step.kind == Step::Kind::expect_event; }))
{
}

const Step* ScenarioCheck::current() const
{
    return done_ || step_ >= scenario_.steps.size() ? nullptr : &scenario_.steps[step_];
}

void ScenarioCheck::on_start(RunControl& control)
{
    control_ = &control;
    advance(0);
}

Observer::Passed ScenarioCheck::on_stdout(std::string_view bytes)
{
    if (kept_ != nullptr) {
        kept_->out(bytes);
    }
    reach(control_->now_ns());
    take_output(stdout_, bytes, false);
    advance(control_->now_ns());
    return Passed::ok;
}

Observer::Passed ScenarioCheck::on_stderr(std::string_view bytes)
{
    if (kept_ != nullptr) {
        kept_->err(bytes);
    }
    if (control_ == nullptr) {
        take_output(stderr_, bytes, true); // the board's own complaint before the program started
        return Passed::ok;
    }
    reach(control_->now_ns());
    take_output(stderr_, bytes, true);
    advance(control_->now_ns());
    return Passed::ok;
}

Observer::Passed ScenarioCheck::on_event(const Event& event)
{
    if (kept_ != nullptr) {
        kept_->event(event);
    }
    const std::int64_t t = to_ns(time_of(event));
    reach(t);
    count_event(event);
    if (const auto* screen = std::get_if<LcdScreen>(&event)) {
        screen_ = screen->rows;
        display_on_ = screen->display_on;
    } else if (const auto* violation = std::get_if<LcdViolation>(&event)) {
        if (violations_++ == 0) {
            first_violation_ = violation->lost + " at " + seconds_text(t) + " s";
        }
    } else if (const auto* access = std::get_if<SysfsAccess>(&event)) {
        // The PWM controller's attributes as sysfs took them: a write that
        // succeeded is the channel's setting from then on.
        const std::string prefix = "pwm" + std::to_string(0) + "/";
        if (access->dev.rfind("pwmchip", 0) == 0 && access->op == SysfsAccess::Op::write && access->result >= 0 &&
            access->attr.rfind(prefix, 0) == 0) {
            const std::string attr = access->attr.substr(prefix.size());
            const auto value = integer(trimmed(access->bytes));
            if (value && attr == "period") {
                pwm_[0].period = *value;
            } else if (value && attr == "duty_cycle") {
                pwm_[0].duty = *value;
            } else if (value && attr == "enable") {
                pwm_[0].enabled = *value == 1;
            }
        } else if (access->dev.rfind("pwmchip", 0) == 0 && access->attr == "unexport" && access->result >= 0) {
            pwm_[0] = PwmChannel{};
        }
    } else if (const auto* program = std::get_if<ProgramEvent>(&event)) {
        if (program->kind == ProgramEvent::Kind::exit) {
            step_at_end_ = step_;
            ended_ = true;
            exit_status_ = program->status;
            exit_signal_ = program->signal;
            end_ns_ = t;
        } else if (program->kind == ProgramEvent::Kind::stopped) {
            stopped_ = true;
            end_ns_ = t;
        }
    }
    advance(t);
    return Passed::ok;
}

std::optional<std::int64_t> ScenarioCheck::wanted_time() const
{
    const Step* step = current();
    if (step == nullptr || control_ == nullptr) {
        return std::nullopt;
    }
    std::int64_t wanted = scenario_.timeout_ns;
    if (started_) {
        wanted = std::min(wanted, window_ends_ ? *window_ends_ : deadline_);
    }
    return wanted;
}

void ScenarioCheck::on_time(std::int64_t at_ns)
{
    const Step* step = current();
    if (step == nullptr) {
        return;
    }
    last_ns_ = std::max(last_ns_, at_ns);
    const bool window_over = window_ends_ && *window_ends_ <= at_ns;
    if (window_over || (started_ && step->kind == Step::Kind::wait && deadline_ <= at_ns)) {
        window_ends_.reset();
        ++step_;
        started_ = false;
        advance(at_ns);
        return;
    }
    if (at_ns >= scenario_.timeout_ns) {
        fail(at_ns, "still waiting at the scenario's timeout of " + seconds_text(scenario_.timeout_ns) + " s");
        return;
    }
    fail(at_ns, "not seen within " + seconds_text(step->within_ns.value_or(deadline_)) + " s");
}

void ScenarioCheck::reach(std::int64_t t)
{
    for (auto wanted = wanted_time(); wanted && *wanted < t; wanted = wanted_time()) {
        on_time(*wanted);
    }
}

void ScenarioCheck::advance(std::int64_t now)
{
    last_ns_ = std::max(last_ns_, now);
    while (const Step* step = current()) {
        if (!started_) {
            started_ = true;
            const std::int64_t wait = step->kind == Step::Kind::wait ? step->duration_ns
                                                                     : step->within_ns.value_or(scenario_.timeout_ns);
            deadline_ = now + wait > scenario_.timeout_ns && step->kind != Step::Kind::wait ? scenario_.timeout_ns
                                                                                           : now + wait;
        }
        if (!attempt(*step, now)) {
            return;
        }
        ++step_;
        started_ = false;
    }
    if (!done_ && control_ != nullptr) {
        finish(now);
    }
}

bool ScenarioCheck::attempt(const Step& step, std::int64_t now)
{
    const bool over = ended_ || stopped_;
    const auto refuse_when_over = [&] {
        if (over) {
            fail(now, "the program had ended");
        }
        return !over;
    };
    switch (step.kind) {
    case Step::Kind::wait: return over;
    case Step::Kind::set:
        if (!refuse_when_over()) {
            return false;
        }
        if (const std::string problem = knobs_.apply_line(step.text); !problem.empty()) {
            fail(now, problem);
            return false;
        }
        return true;
    case Step::Kind::signal:
        if (!refuse_when_over()) {
            return false;
        }
        control_->send_signal(step.signal);
        return true;
    case Step::Kind::write_stdin:
        if (!refuse_when_over()) {
            return false;
        }
        control_->write_input(step.text);
        return true;
    case Step::Kind::expect_stdout:
    case Step::Kind::expect_stderr:
        if (search(step.kind == Step::Kind::expect_stdout ? stdout_ : stderr_, step)) {
            return true;
        }
        break;
    case Step::Kind::expect_lcd:
        if (screen_matches(step)) {
            return true;
        }
        break;
    case Step::Kind::expect_event: {
        const long count = event_counts_[step_];
        if (step.exactly && count > step.count) {
            fail(now, "seen more than " + std::to_string(step.count));
            return false;
        }
        if (step.exactly ? count == step.count : count >= step.count) {
            return true;
        }
        break;
    }
    case Step::Kind::expect_pwm: {
        std::string seen_now;
        const bool holds = pwm_holds(step, seen_now);
        if (window_ends_ && !holds) {
            fail(now, "left it before the window's end at " + seconds_text(*window_ends_) + " s");
            return false;
        }
        if (!window_ends_ && holds) {
            if (step.duration_ns == 0) {
                return true;
            }
            window_ends_ = now + step.duration_ns;
        }
        if (window_ends_ && over) {
            fail(now, "the program ended before the window's end at " + seconds_text(*window_ends_) + " s");
            return false;
        }
        return false;
    }
    case Step::Kind::expect_no_violation:
        if (violations_ == 0) {
            return true;
        }
        fail(now, "the display controller lost " + std::to_string(violations_) + " transfer" +
                      (violations_ == 1 ? "" : "s") + " while busy");
        return false;
    case Step::Kind::expect_exit:
        if (ended_) {
            // A status as a shell reports it: a death by a signal is 128 + the signal.
            const int status = exit_signal_ != 0 ? 128 + exit_signal_ : exit_status_;
            if (step.signal == 0 ? status == step.status : exit_signal_ == step.signal) {
                return true;
            }
            fail(now, "it ended otherwise");
            return false;
        }
        break;
    }
    if (over) {
        fail(now, std::string(ended_ ? "the program ended" : "the program was stopped") + " at " +
                      seconds_text(end_ns_) + " s before it was seen");
    }
    return false;
}

void ScenarioCheck::take_output(Stream& stream, std::string_view bytes, bool is_stderr)
{
    std::string& partial = partial_[is_stderr ? 1 : 0];
    for (const char c : bytes) {
        if (c != '\n') {
            partial += c;
            continue;
        }
        if (!partial.empty() && partial.back() == '\r') {
            partial.pop_back();
        }
        tail_.push_back((is_stderr ? "stderr: " : "") + partial);
        partial.clear();
        if (tail_.size() > tail_lines) {
            tail_.pop_front();
        }
    }
    if (partial.size() > unsearched_limit) {
        partial.erase(0, partial.size() - 4096);
    }
    // Kept only for an expectation still to come on this stream.
    const Step::Kind kind = is_stderr ? Step::Kind::expect_stderr : Step::Kind::expect_stdout;
    if (done_ || std::none_of(scenario_.steps.begin() + static_cast<std::ptrdiff_t>(step_), scenario_.steps.end(),
                              [kind](const Step& step) { return step.kind == kind; })) {
        return;
    }
    stream.unsearched.append(bytes);
    if (stream.unsearched.size() > unsearched_limit) {
        fail(control_ != nullptr ? control_->now_ns() : 0,
             "more than 4 MiB of the program's output waited for an expectation on its stream");
    }
}

// Line by line from where the last expectation on the stream matched; a
// line no expectation matched is not searched again. An unfinished line
// (a prompt) is searched as it stands, for a match, and kept.
bool ScenarioCheck::search(Stream& stream, const Step& step)
{
    std::string& text = stream.unsearched;
    for (;;) {
        const auto newline = text.find('\n');
        const bool complete = newline != std::string::npos;
        std::string line = text.substr(0, complete ? newline : std::string::npos);
        // A line ends at \n; the \r of a \r\n (as a terminal shows it) is no part of it.
        const bool carriage_return = complete && !line.empty() && line.back() == '\r';
        if (carriage_return) {
            line.pop_back();
        }
        if (!line.empty() || complete) {
            stream.last_seen = line;
        }
        std::smatch match;
        if (step.pattern && std::regex_search(line, match, *step.pattern)) {
            const auto end = static_cast<std::size_t>(match.position(0) + match.length(0));
            text.erase(0, complete && end == line.size() ? newline + 1 : end);
            return true;
        }
        if (!step.pattern && complete && line == step.text) {
            text.erase(0, newline + 1);
            return true;
        }
        if (!complete) {
            return false;
        }
        text.erase(0, newline + 1);
    }
}

bool ScenarioCheck::screen_matches(const Step& step) const
{
    if (screen_.empty()) {
        return false;
    }
    const auto shown = [&](std::size_t row) { return display_on_ ? screen_[row] : std::string(); };
    if (step.row) {
        const auto row = static_cast<std::size_t>(*step.row);
        return row < screen_.size() && row_shows(display_on_ ? shown(row) : std::string(screen_[row].size(), ' '),
                                                 step.rows.front());
    }
    if (step.rows.size() != screen_.size()) {
        return false;
    }
    for (std::size_t row = 0; row < screen_.size(); ++row) {
        if (!row_shows(display_on_ ? shown(row) : std::string(screen_[row].size(), ' '), step.rows[row])) {
            return false;
        }
    }
    return true;
}

// A disabled output stays low: its duty cycle is 0 whatever was written.
bool ScenarioCheck::pwm_holds(const Step& step, std::string& seen) const
{
    const PwmChannel& pwm = pwm_[static_cast<std::size_t>(step.channel)];
    const std::int64_t duty = pwm.enabled ? pwm.duty : 0;
    seen = "period " + std::to_string(pwm.period) + " ns, duty cycle " + std::to_string(duty) + " ns" +
           (pwm.enabled ? "" : " (disabled)");
    const double tolerance_ns =
        static_cast<double>(step.tolerance_ns) + step.tolerance_percent / 100 * static_cast<double>(pwm.period);
    if (step.period_ns &&
        std::fabs(static_cast<double>(pwm.period - *step.period_ns)) > static_cast<double>(step.tolerance_ns)) {
        return false;
    }
    if (step.duty_ns) {
        return std::fabs(static_cast<double>(duty - *step.duty_ns)) <= tolerance_ns;
    }
    if (step.duty_percent) {
        if (pwm.period <= 0) {
            return false;
        }
        const double percent = 100.0 * static_cast<double>(duty) / static_cast<double>(pwm.period);
        return std::fabs(percent - *step.duty_percent) <= step.tolerance_percent +
                                                                100.0 * static_cast<double>(step.tolerance_ns) /
                                                                    static_cast<double>(pwm.period);
    }
    return true;
}

void ScenarioCheck::count_event(const Event& event)
{
    if (!counts_events_) {
        return;
    }
    const std::string json = to_json(event);
    YAML::Node fields;
    try {
        fields = YAML::Load(json); // a JSON line is YAML too
    } catch (const YAML::Exception&) {
        return;
    }
    bool matched_any = false;
    for (std::size_t i = 0; i < scenario_.steps.size(); ++i) {
        const Step& step = scenario_.steps[i];
        if (step.kind != Step::Kind::expect_event) {
            continue;
        }
        const bool matches = std::all_of(step.fields.begin(), step.fields.end(), [&](const auto& field) {
            const YAML::Node value = fields[field.first];
            return value && value.IsScalar() && same_value(value.Scalar(), field.second);
        });
        if (matches) {
            ++event_counts_[i];
            matched_any = true;
        }
    }
    if (matched_any) {
        last_event_ = json;
    }
}

void ScenarioCheck::fail(std::int64_t at, const std::string& what)
{
    const Step& step = scenario_.steps[step_];
    Verdict verdict;
    verdict.virtual_ns = at;
    verdict.failure = "step " + std::to_string(step_ + 1) + " (" + step_name(step.kind) + ", line " +
                      std::to_string(step.line) + ") at " + seconds_text(at) + " s: " + expected(step) + ": " + what;
    if (const std::string last = seen(step); !last.empty()) {
        verdict.failure += "; last seen: " + last;
    }
    verdict_ = verdict;
    done_ = true;
    if (control_ != nullptr && !ended_ && !stopped_) {
        control_->stop();
    }
}

void ScenarioCheck::finish(std::int64_t at)
{
    Verdict verdict;
    verdict.passed = true;
    verdict.virtual_ns = at;
    verdict_ = verdict;
    done_ = true;
    if (!ended_ && !stopped_) {
        control_->stop();
    }
}

std::string ScenarioCheck::expected(const Step& step) const
{
    switch (step.kind) {
    case Step::Kind::wait: return "waiting " + seconds_text(step.duration_ns) + " s";
    case Step::Kind::set: return "set " + quoted(step.text);
    case Step::Kind::signal: return "sending " + signal_name(step.signal);
    case Step::Kind::write_stdin: return "writing to standard input";
    case Step::Kind::expect_stdout:
    case Step::Kind::expect_stderr:
        return std::string("expected ") + (step.pattern ? "a line matching " : "the line ") + quoted(step.text) +
               " on " + (step.kind == Step::Kind::expect_stdout ? "standard output" : "standard error");
    case Step::Kind::expect_lcd: {
        std::string rows;
        for (const auto& row : step.rows) {
            rows += (rows.empty() ? "" : " | ") + row;
        }
        return "expected the display to show " + (step.row ? "row " + std::to_string(*step.row) + " " : "") +
               quoted(rows);
    }
    case Step::Kind::expect_event: {
        std::string fields;
        for (const auto& [key, value] : step.fields) {
            fields += (fields.empty() ? "" : ", ") + key + ": " + value;
        }
        return "expected " + std::string(step.exactly ? "exactly " : "at least ") + std::to_string(step.count) +
               " event" + (step.count == 1 ? "" : "s") + " { " + fields + " }";
    }
    case Step::Kind::expect_pwm: {
        std::string what = "expected PWM channel " + std::to_string(step.channel);
        if (step.period_ns) {
            what += " period " + std::to_string(*step.period_ns) + " ns";
        }
        if (step.duty_ns) {
            what += " duty cycle " + std::to_string(*step.duty_ns) + " ns";
        }
        if (step.duty_percent) {
            char text[32];
            std::snprintf(text, sizeof text, "%g%%", *step.duty_percent);
            what += std::string(" duty cycle ") + text;
        }
        if (step.tolerance_ns != 0 || step.tolerance_percent != 0) {
            char text[64];
            std::snprintf(text, sizeof text, " (within %g%% and %lld ns)", step.tolerance_percent,
                          static_cast<long long>(step.tolerance_ns));
            what += text;
        }
        if (step.duration_ns != 0) {
            what += " for " + seconds_text(step.duration_ns) + " s";
        }
        return what;
    }
    case Step::Kind::expect_no_violation: return "expected no transfer lost by the display controller";
    case Step::Kind::expect_exit:
        return "expected the program to end " +
               (step.signal != 0 ? "by " + signal_name(step.signal) : "with status " + std::to_string(step.status));
    }
    return "";
}

std::string ScenarioCheck::seen(const Step& step) const
{
    switch (step.kind) {
    case Step::Kind::expect_stdout: return stdout_.last_seen.empty() ? "" : quoted(stdout_.last_seen);
    case Step::Kind::expect_stderr: return stderr_.last_seen.empty() ? "" : quoted(stderr_.last_seen);
    case Step::Kind::expect_lcd: {
        std::string rows;
        for (const auto& row : screen_) {
            rows += (rows.empty() ? "" : " | ") + row;
        }
        return screen_.empty() ? "nothing on the display" : quoted(rows) + (display_on_ ? "" : " (display off)");
    }
    case Step::Kind::expect_event:
        return std::to_string(event_counts_[step_]) + " so far" + (last_event_.empty() ? "" : ", the last " + last_event_);
    case Step::Kind::expect_pwm: {
        std::string now;
        pwm_holds(step, now);
        return now;
    }
    case Step::Kind::expect_no_violation: return "the first: " + first_violation_;
    case Step::Kind::expect_exit:
        if (!ended_) {
            return stopped_ ? "stopped" : "still running";
        }
        return exit_signal_ != 0 ? "ended by " + signal_name(exit_signal_) : "status " + std::to_string(exit_status_);
    default: return "";
    }
}

Verdict ScenarioCheck::verdict(const RunResult& result, std::chrono::milliseconds real_limit)
{
    if (!done_ && result.board_failed) {
        done_ = true;
        verdict_ = Verdict{false, 0, "the board could not be set up: " + trimmed(result.err), {}};
    } else if (result.timed_out) {
        // Whatever the steps made of the program's end, it was the kill.
        step_ = std::min({step_at_end_, step_, scenario_.steps.size() - 1});
        done_ = false;
        fail(last_ns_, "the program was killed after " + seconds_text(real_limit.count() * 1000000) +
                           " s of real time (one blocked outside a pause, reading its input, moves no virtual time)");
    } else if (!done_ && current() != nullptr) {
        fail(last_ns_, result.err.empty() ? "the run ended without the program's end" : trimmed(result.err));
    }
    if (!verdict_) {
        verdict_ = Verdict{true, last_ns_, "", {}};
    }
    Verdict verdict = *verdict_;
    verdict.last_output.assign(tail_.begin(), tail_.end());
    for (std::size_t i = 0; i < 2; ++i) {
        if (!partial_[i].empty()) {
            verdict.last_output.push_back((i == 1 ? "stderr: " : "") + partial_[i]);
        }
    }
    if (kept_ != nullptr && !kept_->failure().empty() && verdict.passed) {
        verdict.passed = false;
        verdict.failure = "cannot keep its files: " + kept_->failure();
    }
    return verdict;
}

} // namespace vboard::command
