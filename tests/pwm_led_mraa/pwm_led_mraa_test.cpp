// pwm_led_mraa on the virtual board, with the real libmraa: what reaches the
// PWM controller's sysfs files, what the program prints, and how it stops.

#include "board.hpp"
#include "program_build.hpp"
#include "board_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace vboard;

constexpr double pass_seconds = 0.05;
constexpr int period_ns = 200000;
const std::string duty_attr = "pwm0/duty_cycle";

RunResult run_fader(BoardConfig config, RunOptions options)
{
    options.argv = {program(PWM_LED_MRAA_PATH, "pwm_led_mraa")};
    Board board(std::move(config));
    return board.run(options);
}

std::vector<SysfsAccess> writes(const RunResult& r)
{
    std::vector<SysfsAccess> found;
    for (const auto& access : all_of<SysfsAccess>(r.events)) {
        if (access.op == SysfsAccess::Op::write) {
            found.push_back(access);
        }
    }
    return found;
}

std::vector<std::string> duty_writes(const RunResult& r)
{
    std::vector<std::string> found;
    for (const auto& w : writes(r)) {
        if (w.attr == duty_attr) {
            found.push_back(w.bytes);
        }
    }
    return found;
}

// (attribute, bytes) of each write, for comparing sequences.
std::vector<std::pair<std::string, std::string>> written(const std::vector<SysfsAccess>& accesses)
{
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& a : accesses) {
        found.emplace_back(a.attr, a.bytes);
    }
    return found;
}

// The duty cycles in nanoseconds of the first `passes` writes: the ramp in
// single precision from 0.5 in steps of 0.01, wrapping once it has written
// a value of 1.0 or more; libmraa writes fraction * period truncated, or the
// whole period for a fraction above 1.
std::vector<std::string> expected_duty_writes(int passes)
{
    std::vector<std::string> expected;
    float duty = 0.5f;
    for (int pass = 0; pass < passes; ++pass) {
        duty = duty + 0.01f;
        const int ns = duty > 1.0f ? period_ns : static_cast<int>(duty * static_cast<float>(period_ns));
        expected.push_back(std::to_string(ns));
        if (duty >= 1.0f) {
            duty = 0.0f;
        }
    }
    return expected;
}

// The report line for what a read of duty_cycle returned: libmraa divides
// it by the period in single precision.
std::string report_line(const std::string& duty_shown)
{
    const float fraction = static_cast<float>(std::stoi(duty_shown)) / static_cast<float>(period_ns);
    char line[64];
    std::snprintf(line, sizeof line, "PWM value is %f\n", static_cast<double>(fraction));
    return line;
}

std::vector<ProgramEvent> pauses(const RunResult& r)
{
    std::vector<ProgramEvent> found;
    for (const auto& e : all_of<ProgramEvent>(r.events)) {
        if (e.kind == ProgramEvent::Kind::sleep) {
            found.push_back(e);
        }
    }
    return found;
}

const std::pair<std::string, std::string> disable{"pwm0/enable", "0"};
const std::pair<std::string, std::string> unexport{"unexport", "0"};

// The last two writes: the output disabled, then the channel given back.
void expect_closed(const RunResult& r)
{
    const auto all = written(writes(r));
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[all.size() - 2], disable);
    EXPECT_EQ(all.back(), unexport);
}

TEST(PwmLedMraa, ConfiguresThePeriodAndEnablesTheOutputBeforeTheFirstDutyCycle)
{
    RunOptions options;
    options.stop_at = 0.5 * pass_seconds;
    const auto r = run_fader({}, options);
    const auto all = written(writes(r));
    // libmraa's export sets its own default period before the program's.
    const std::vector<std::pair<std::string, std::string>> expected{
        {"export", "0"}, {"pwm0/period", "5000000"}, {"pwm0/period", "200000"}, {"pwm0/enable", "1"},
        {duty_attr, "102000"}};
    EXPECT_EQ(all, expected);
}

TEST(PwmLedMraa, RampsInSinglePrecisionAndReportsWhatIsReadBack)
{
    RunOptions options;
    options.stop_at = 60.5 * pass_seconds; // in the 61st pause
    const auto r = run_fader({}, options);

    const auto duties = duty_writes(r);
    EXPECT_EQ(duties, expected_duty_writes(61));
    ASSERT_EQ(duties.size(), 61u);
    EXPECT_EQ(duties[0], "102000"); // 0.51: the starting 0.5 is never written
    EXPECT_EQ(duties[49], "199999"); // 0.99999952, just under 1.0: no wrap yet
    EXPECT_EQ(duties[50], "200000"); // 1.0099995, clamped by libmraa to the period
    EXPECT_EQ(duties[51], "2000");   // then 0.01

    std::string expected_out;
    for (const auto& read : all_of<SysfsAccess>(r.events)) {
        if (read.op == SysfsAccess::Op::read && read.attr == duty_attr) {
            expected_out += report_line(read.bytes);
        }
    }
    EXPECT_EQ(r.out, expected_out);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 60);
    EXPECT_EQ(r.out.substr(0, 44), "PWM value is 0.510000\nPWM value is 0.520000\n");

    ASSERT_EQ(pauses(r).size(), 61u);
    for (const auto& pause : pauses(r)) {
        EXPECT_EQ(pause.seconds, pass_seconds);
    }
}

TEST(PwmLedMraa, SigintDuringAPauseFinishesThatPassThenClosesTheOutput)
{
    RunOptions options;
    options.sigint_at = 2.5 * pass_seconds; // in the third pause
    const auto r = run_fader({}, options);
    EXPECT_EQ(r.out, "PWM value is 0.510000\n"
                     "PWM value is 0.520000\n"
                     "Exiting...\n"
                     "PWM value is 0.529995\n"); // 0.53 went out truncated, as 105999 ns
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(duty_writes(r).size(), 3u);
    expect_closed(r);
    // The pause cut short is not resumed: the pass ends at the signal.
    const auto events = all_of<ProgramEvent>(r.events);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, ProgramEvent::Kind::exit);
    EXPECT_EQ(events.back().t, 2.5 * pass_seconds);
}

// A SIGINT due exactly when a pause ends cuts that pause at its end, so the
// pass it belongs to is the last. Virtual time is kept in whole nanoseconds:
// N pauses of 50 ms end at exactly N * 0.05 s, however many came before.
TEST(PwmLedMraa, SigintAtTheEndOfAPauseMakesThatPassTheLast)
{
    for (const auto& [at, passes] : {std::pair{0.35, 7}, std::pair{0.4, 8}, std::pair{2.5, 50}}) {
        RunOptions options;
        options.sigint_at = at;
        const auto r = run_fader({}, options);
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n') - 1, passes) << "SIGINT at " << at << " s";
        EXPECT_NE(r.out.find("Exiting...\n"), std::string::npos);
        EXPECT_EQ(r.exit_code, 0);
    }
}

TEST(PwmLedMraa, SigintBeforeTheFirstPassWritesNoDutyCycle)
{
    RunOptions options;
    options.sigint_when = [](const std::vector<Event>& events) {
        bool handler = false;
        bool enabled = false;
        for (const auto& e : events) {
            if (const auto* p = std::get_if<ProgramEvent>(&e)) {
                handler = handler || (p->kind == ProgramEvent::Kind::handler && p->signal == SIGINT);
            }
            if (const auto* s = std::get_if<SysfsAccess>(&e)) {
                enabled = enabled || (s->attr == "pwm0/enable" && s->bytes == "1");
            }
        }
        return handler && enabled;
    };
    const auto r = run_fader({}, options);
    EXPECT_EQ(r.out, "Exiting...\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(duty_writes(r).empty());
    EXPECT_TRUE(pauses(r).empty());
    expect_closed(r);
}

TEST(PwmLedMraa, WithoutThePwmChipItSaysSoOnStandardError)
{
    const auto r = run_fader(with_fault("absent=/sys/class/pwm/pwmchip0"), {});
    EXPECT_EQ(r.err, "Failed to initialize PWM\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(writes(r).empty());
}

struct RefusedSetting {
    const char* what;
    const char* fault;
    const char* libmraa_text; // mraa_result_print's, on standard output
};

void PrintTo(const RefusedSetting& setting, std::ostream* os)
{
    *os << setting.fault;
}

class PwmLedMraaRefusedSetting : public testing::TestWithParam<RefusedSetting> {};

TEST_P(PwmLedMraaRefusedSetting, EndsWithLibmraasTextAndClosesTheOutput)
{
    const auto r = run_fader(with_fault(GetParam().fault), {});
    EXPECT_EQ(r.out, GetParam().libmraa_text);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(duty_writes(r).empty());
    EXPECT_EQ(written(writes(r)).back(), unexport);
}

INSTANTIATE_TEST_SUITE_P(
    Configuration, PwmLedMraaRefusedSetting,
    testing::Values(
        RefusedSetting{"Period", "write=/sys/class/pwm/pwmchip0/pwm0/period", "MRAA: Invalid resource.\n"},
        RefusedSetting{"Enable", "write=/sys/class/pwm/pwmchip0/pwm0/enable", "MRAA: Unspecified Error.\n"}),
    [](const testing::TestParamInfo<RefusedSetting>& param_info) { return param_info.param.what; });

TEST(PwmLedMraa, ADutyCycleRefusedMidFadeEndsThatPassAtOnce)
{
    const auto r = run_fader(with_fault("write=/sys/class/pwm/pwmchip0/pwm0/duty_cycle:5"), {});
    EXPECT_EQ(r.out, "PWM value is 0.510000\n"
                     "PWM value is 0.520000\n"
                     "PWM value is 0.529995\n"
                     "PWM value is 0.539995\n"
                     "MRAA: Invalid resource.\n");
    EXPECT_EQ(r.exit_code, 1);
    const auto attempts = writes(r);
    ASSERT_EQ(duty_writes(r).size(), 5u);
    EXPECT_EQ(pauses(r).size(), 4u); // no pause after the refused write
    const auto fifth = std::find_if(attempts.begin(), attempts.end(),
                                    [](const SysfsAccess& w) { return w.attr == duty_attr && w.error != 0; });
    ASSERT_NE(fifth, attempts.end());
    EXPECT_EQ(fifth->bytes, "109999"); // 0.55
    expect_closed(r);
}

// Output that cannot be written stops the fade at its first report line:
// one duty cycle written, then the output disabled and released, and the
// failure said with its reason.
TEST(PwmLedMraa, OutputThatCannotBeWrittenStopsTheFade)
{
    for (const auto& lost : lost_outputs(true)) { // libmraa opens its syslog first
        RunOptions options;
        options.output = lost.output;
        const auto r = run_fader({}, options);
        EXPECT_EQ(r.err, lost_output_message("pwm_led_mraa", lost.error)) << lost.name;
        EXPECT_EQ(r.exit_code, 1) << lost.name;
        EXPECT_EQ(duty_writes(r), expected_duty_writes(1)) << lost.name;
        expect_closed(r);
    }
}

} // namespace
