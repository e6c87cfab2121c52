// Scenario files: YAML (yaml-cpp), one scenario each. Every key is known or
// refused, so that a misspelt step never passes by being ignored.

#include "scenario.hpp"

#include "program_lookup.hpp"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace vboard::command {

namespace {

// What is wrong in the file, and at which node.
struct Malformed {
    int line;
    std::string message;
};

int line_of(const YAML::Node& node)
{
    return std::max(1, node.Mark().line + 1);
}

[[noreturn]] void malformed(const YAML::Node& node, const std::string& message)
{
    throw Malformed{line_of(node), message};
}

constexpr std::int64_t longest_ns = 30LL * 365 * 24 * 3600 * 1000000000;

// How long a scenario may run in virtual time unless it says.
constexpr std::int64_t default_timeout_ns = 60LL * 1000000000;

std::string scalar(const YAML::Node& node, const std::string& what)
{
    if (!node.IsScalar()) {
        malformed(node, what + " needs a single value");
    }
    return node.Scalar();
}

std::int64_t duration(const YAML::Node& node, const std::string& what)
{
    const std::string text = scalar(node, what);
    const auto ns = parse_duration(text);
    if (!ns) {
        malformed(node, what + " needs a length of virtual time such as 2s, 150ms or 20us, not \"" + text + "\"");
    }
    return *ns;
}

long whole_number(const YAML::Node& node, const std::string& what, long lowest, long highest)
{
    const std::string text = scalar(node, what);
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < lowest || value > highest) {
        malformed(node, what + " needs a whole number from " + std::to_string(lowest) + " to " +
                            std::to_string(highest) + ", not \"" + text + "\"");
    }
    return value;
}

constexpr std::pair<const char*, int> signals[] = {
    {"SIGHUP", SIGHUP},   {"SIGINT", SIGINT},   {"SIGQUIT", SIGQUIT}, {"SIGKILL", SIGKILL},
    {"SIGUSR1", SIGUSR1}, {"SIGUSR2", SIGUSR2}, {"SIGPIPE", SIGPIPE}, {"SIGALRM", SIGALRM},
    {"SIGTERM", SIGTERM}, {"SIGABRT", SIGABRT}, {"SIGSEGV", SIGSEGV},
};

int signal_number(const YAML::Node& node)
{
    const std::string text = scalar(node, "a signal");
    for (const auto& [name, number] : signals) {
        if (text == name || text == std::string(name).substr(3)) {
            return number;
        }
    }
    std::string names;
    for (const auto& [name, number] : signals) {
        names += std::string(names.empty() ? "" : ", ") + name;
    }
    malformed(node, "no signal \"" + text + "\" (one of " + names + ")");
}

// The keys of a step's map, each of which must be one of `known`.
void only_keys(const YAML::Node& map, const std::set<std::string>& known, const std::string& what)
{
    if (!map.IsMap()) {
        malformed(map, what + " takes a map of its settings");
    }
    for (const auto& entry : map) {
        const std::string key = entry.first.Scalar();
        if (known.count(key) == 0) {
            std::string names;
            for (const auto& k : known) {
                names += std::string(names.empty() ? "" : ", ") + k;
            }
            malformed(entry.first, "unknown key \"" + key + "\" in " + what + " (it takes " + names + ")");
        }
    }
}

std::optional<std::int64_t> within(const YAML::Node& map)
{
    if (map.IsMap() && map["within"]) {
        return duration(map["within"], "within");
    }
    return std::nullopt;
}

void read_output_expectation(Step& step, const YAML::Node& value, const std::string& what)
{
    if (value.IsScalar()) {
        step.text = value.Scalar();
    } else {
        only_keys(value, {"match", "line", "within"}, what);
        if (static_cast<bool>(value["match"]) == static_cast<bool>(value["line"])) {
            malformed(value, what + " takes either match (a regular expression) or line (an exact line)");
        }
        step.within_ns = within(value);
        if (value["line"]) {
            step.text = scalar(value["line"], "line");
            return;
        }
        step.text = scalar(value["match"], "match");
    }
    try {
        step.pattern.emplace(step.text, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
        malformed(value, "match: \"" + step.text + "\" is no regular expression: " + e.what());
    }
}

void read_lcd_expectation(Step& step, const YAML::Node& value)
{
    only_keys(value, {"row", "text", "screen", "within"}, "expect-lcd");
    step.within_ns = within(value);
    if (value["screen"]) {
        if (value["row"] || value["text"] || !value["screen"].IsSequence()) {
            malformed(value, "expect-lcd takes either screen: [ROWS] or row: N with text: TEXT");
        }
        for (const auto& row : value["screen"]) {
            step.rows.push_back(scalar(row, "a row of the screen"));
        }
        return;
    }
    if (!value["row"] || !value["text"]) {
        malformed(value, "expect-lcd takes either screen: [ROWS] or row: N with text: TEXT");
    }
    step.row = static_cast<int>(whole_number(value["row"], "row", 0, 3));
    step.rows.push_back(scalar(value["text"], "text"));
}

void read_event_expectation(Step& step, const YAML::Node& value)
{
    if (!value.IsMap() || value.size() == 0) {
        malformed(value, "expect-event takes the trace's fields to match, e.g. { dev: i2c-0, event: write }");
    }
    if (value["at-least"] && value["exactly"]) {
        malformed(value, "expect-event takes at-least or exactly, not both");
    }
    for (const auto& entry : value) {
        const std::string key = entry.first.Scalar();
        if (key == "within") {
            step.within_ns = duration(entry.second, "within");
        } else if (key == "at-least" || key == "exactly") {
            step.count = whole_number(entry.second, key, key == "exactly" ? 0 : 1, 1000000000);
            step.exactly = key == "exactly";
        } else {
            step.fields.emplace_back(key, scalar(entry.second, key));
        }
    }
}

// A duty cycle or a tolerance: a percentage of the period ("25%") or a
// length of time ("50us").
void time_or_percent(const YAML::Node& node, const std::string& what, std::optional<std::int64_t>& ns,
                     std::optional<double>& percent)
{
    const std::string text = scalar(node, what);
    if (!text.empty() && text.back() == '%') {
        double value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size() - 1, value);
        if (ec != std::errc() || end != text.data() + text.size() - 1 || !(value >= 0 && value <= 100)) {
            malformed(node, what + " needs a percentage from 0% to 100%, not \"" + text + "\"");
        }
        percent = value;
        return;
    }
    ns = duration(node, what);
}

void read_pwm_expectation(Step& step, const YAML::Node& value)
{
    only_keys(value, {"channel", "period", "duty", "tolerance", "within", "for"}, "expect-pwm");
    step.within_ns = within(value);
    if (value["channel"]) {
        step.channel = static_cast<int>(whole_number(value["channel"], "channel", 0, 0));
    }
    if (value["period"]) {
        step.period_ns = duration(value["period"], "period");
    }
    if (value["duty"]) {
        time_or_percent(value["duty"], "duty", step.duty_ns, step.duty_percent);
    }
    if (!step.period_ns && !step.duty_ns && !step.duty_percent) {
        malformed(value, "expect-pwm needs a period or a duty cycle to expect");
    }
    if (value["tolerance"]) {
        std::optional<std::int64_t> ns;
        std::optional<double> percent;
        time_or_percent(value["tolerance"], "tolerance", ns, percent);
        step.tolerance_ns = ns.value_or(0);
        step.tolerance_percent = percent.value_or(0);
    }
    if (value["for"]) {
        step.duration_ns = duration(value["for"], "for");
    }
}

void read_exit_expectation(Step& step, const YAML::Node& value)
{
    if (value.IsScalar()) {
        step.status = static_cast<int>(whole_number(value, "expect-exit", 0, 255));
        return;
    }
    only_keys(value, {"status", "signal", "within"}, "expect-exit");
    step.within_ns = within(value);
    if (static_cast<bool>(value["status"]) == static_cast<bool>(value["signal"])) {
        malformed(value, "expect-exit takes a status or a signal");
    }
    if (value["status"]) {
        step.status = static_cast<int>(whole_number(value["status"], "status", 0, 255));
    } else {
        step.signal = signal_number(value["signal"]);
    }
}

constexpr std::pair<const char*, Step::Kind> step_kinds[] = {
    {"wait", Step::Kind::wait},
    {"set", Step::Kind::set},
    {"signal", Step::Kind::signal},
    {"write-stdin", Step::Kind::write_stdin},
    {"expect-stdout", Step::Kind::expect_stdout},
    {"expect-stderr", Step::Kind::expect_stderr},
    {"expect-lcd", Step::Kind::expect_lcd},
    {"expect-event", Step::Kind::expect_event},
    {"expect-pwm", Step::Kind::expect_pwm},
    {"expect-no-violation", Step::Kind::expect_no_violation},
    {"expect-exit", Step::Kind::expect_exit},
};

Step read_step(const YAML::Node& node)
{
    // `- expect-no-violation` alone, or a map of one step.
    const bool bare = node.IsScalar();
    if (!bare && !(node.IsMap() && node.size() == 1)) {
        malformed(node, "a step is one of its kinds and its value, e.g. - wait: 1s");
    }
    const std::string name = bare ? node.Scalar() : node.begin()->first.Scalar();
    const YAML::Node value = bare ? YAML::Node() : node.begin()->second;
    Step step{};
    step.line = line_of(node);
    bool known = false;
    for (const auto& [kind_name, kind] : step_kinds) {
        if (name == kind_name) {
            step.kind = kind;
            known = true;
        }
    }
    if (!known) {
        std::string names;
        for (const auto& [kind_name, kind] : step_kinds) {
            names += std::string(names.empty() ? "" : ", ") + kind_name;
        }
        malformed(node, "unknown step \"" + name + "\" (the steps: " + names + ")");
    }
    if (bare && step.kind != Step::Kind::expect_no_violation) {
        malformed(node, name + " needs a value");
    }
    switch (step.kind) {
    case Step::Kind::wait: step.duration_ns = duration(value, "wait"); break;
    case Step::Kind::set: step.text = scalar(value, "set"); break;
    case Step::Kind::signal: step.signal = signal_number(value); break;
    case Step::Kind::write_stdin: step.text = scalar(value, "write-stdin"); break;
    case Step::Kind::expect_stdout:
    case Step::Kind::expect_stderr: read_output_expectation(step, value, name); break;
    case Step::Kind::expect_lcd: read_lcd_expectation(step, value); break;
    case Step::Kind::expect_event: read_event_expectation(step, value); break;
    case Step::Kind::expect_pwm: read_pwm_expectation(step, value); break;
    case Step::Kind::expect_no_violation:
        if (!bare && !value.IsNull()) {
            malformed(value, "expect-no-violation takes no value");
        }
        break;
    case Step::Kind::expect_exit: read_exit_expectation(step, value); break;
    }
    return step;
}

// `vboard run`'s options that a scenario cannot take: where vboard writes
// (a scenario's files go under --keep), how fast it runs (as fast as it
// can) and what it reads live (the steps do that).
const std::set<std::string> not_for_scenarios = {"control", "view", "trace", "vcd", "quiet", "speed", "timeout"};

void read_board(Scenario& scenario, const YAML::Node& board)
{
    if (board.IsNull()) {
        return;
    }
    if (!board.IsMap()) {
        malformed(board, "board takes vboard run's options by their long names, e.g. { lcd: 20x4 }");
    }
    for (const auto& entry : board) {
        const std::string name = entry.first.Scalar();
        const auto takes_value = run_option_takes_value(name);
        if (!takes_value || name == "help" || name == "version") {
            malformed(entry.first, "no option --" + name + " of vboard run to set the board with");
        }
        if (not_for_scenarios.count(name) != 0) {
            malformed(entry.first, "--" + name + " is not for a scenario");
        }
        const YAML::Node& value = entry.second;
        if (!*takes_value) {
            const std::string flag = scalar(value, name);
            if (flag != "true" && flag != "false") {
                malformed(value, name + " is true or false");
            }
            if (flag == "true") {
                apply_run_option(scenario.board, name, "");
            }
            continue;
        }
        std::vector<YAML::Node> values;
        if (value.IsSequence()) {
            for (const auto& one : value) {
                values.push_back(one);
            }
        } else {
            values.push_back(value);
        }
        for (const auto& one : values) {
            if (const std::string problem = apply_run_option(scenario.board, name, scalar(one, name));
                !problem.empty()) {
                malformed(one, problem);
            }
        }
    }
    if (const std::string problem = problem_with(scenario.board.config); !problem.empty()) {
        malformed(board, problem);
    }
}

void read_run(Scenario& scenario, const YAML::Node& run)
{
    std::vector<std::string>& argv = scenario.board.options.argv;
    if (run.IsSequence()) {
        for (const auto& word : run) {
            argv.push_back(scalar(word, "run"));
        }
    } else {
        argv.push_back(scalar(run, "run"));
    }
    if (argv.empty()) {
        malformed(run, "run needs the program and its arguments, e.g. [ky013]");
    }
    std::string problem;
    const std::string path = locate_program(argv.front(), problem);
    if (path.empty()) {
        malformed(run, problem);
    }
    argv.front() = path;
}

Scenario read_scenario(const YAML::Node& top, const std::string& path)
{
    Scenario scenario;
    scenario.file = path;
    scenario.name = std::filesystem::path(path).stem().string();
    scenario.timeout_ns = default_timeout_ns;
    if (!top.IsMap()) {
        malformed(top, "a scenario is a map of name, run, board, timeout and steps");
    }
    only_keys(top, {"name", "run", "board", "timeout", "steps"}, "a scenario");
    if (top["name"]) {
        scenario.name = scalar(top["name"], "name");
    }
    if (!top["run"]) {
        malformed(top, "a scenario needs run: [PROGRAM, ARG...]");
    }
    if (top["board"]) {
        read_board(scenario, top["board"]);
    }
    read_run(scenario, top["run"]);
    if (top["timeout"]) {
        scenario.timeout_ns = duration(top["timeout"], "timeout");
    }
    if (!top["steps"] || !top["steps"].IsSequence() || top["steps"].size() == 0) {
        malformed(top["steps"] ? top["steps"] : top, "a scenario needs steps: a list of at least one");
    }
    for (const auto& step : top["steps"]) {
        scenario.steps.push_back(read_step(step));
    }
    return scenario;
}

} // namespace

std::optional<std::int64_t> parse_duration(const std::string& text)
{
    constexpr std::pair<const char*, double> units[] = {{"ns", 1}, {"us", 1e3}, {"ms", 1e6}, {"s", 1e9}};
    for (const auto& [unit, scale] : units) {
        const std::size_t length = std::char_traits<char>::length(unit);
        if (text.size() <= length || text.compare(text.size() - length, length, unit) != 0) {
            continue;
        }
        double value = 0;
        const char* last = text.data() + text.size() - length;
        const auto [end, ec] = std::from_chars(text.data(), last, value);
        if (ec != std::errc() || end != last || !std::isfinite(value) || value < 0 ||
            value * scale > static_cast<double>(longest_ns)) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(std::llround(value * scale));
    }
    return std::nullopt;
}

std::string seconds_text(std::int64_t ns)
{
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%09lld", static_cast<long long>(ns / 1000000000),
                  static_cast<long long>(ns % 1000000000));
    std::string s = text;
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.') {
        s.pop_back();
    }
    return s;
}

std::string step_name(Step::Kind kind)
{
    for (const auto& [name, k] : step_kinds) {
        if (k == kind) {
            return name;
        }
    }
    return "?";
}

std::optional<Scenario> load_scenario(const std::string& path, std::string& problem)
{
    std::ifstream file(path);
    std::stringstream text;
    if (!file || !(text << file.rdbuf())) {
        problem = path + ": cannot be read";
        return std::nullopt;
    }
    try {
        return read_scenario(YAML::Load(text.str()), path);
    } catch (const Malformed& m) {
        problem = path + ":" + std::to_string(m.line) + ": " + m.message;
    } catch (const YAML::Exception& e) {
        problem = path + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg;
    }
    return std::nullopt;
}

} // namespace vboard::command
