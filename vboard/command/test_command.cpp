#include "test_command.hpp"

#include "help.hpp"
#include "junit.hpp"
#include "kept_files.hpp"
#include "output_files.hpp"
#include "scenario.hpp"
#include "scenario_check.hpp"
#include "usage.hpp"

#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <getopt.h>
#include <mutex>
#include <sched.h>
#include <set>
#include <thread>
#include <unistd.h>

namespace vboard::command {

namespace {

struct TestRequest {
    std::vector<std::string> files;
    int jobs = 0; // 0: one per CPU
    std::string junit_path;
    std::string keep_directory; // "" where nothing is kept
    bool keep_passed = false;
    std::chrono::milliseconds real_limit{60000};
};

constexpr const char* default_keep_directory = "vboard-test-failures";

enum Code : int { junit = 256, keep, keep_all, timeout };

const option test_options[] = {
    {"jobs", required_argument, nullptr, 'j'},   {"junit", required_argument, nullptr, junit},
    {"keep", optional_argument, nullptr, keep},  {"keep-all", optional_argument, nullptr, keep_all},
    {"timeout", required_argument, nullptr, timeout}, {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

TestRequest read_test_options(int argc, char** argv)
{
    TestRequest request;
    opterr = 0;
    optind = 1;
    for (;;) {
        const int code = getopt_long(argc, argv, ":j:h", test_options, nullptr);
        if (code == -1) {
            break;
        }
        const std::string_view value = optarg != nullptr ? optarg : "";
        switch (code) {
        case 'h':
            std::fputs(test_help.data(), stdout);
            std::exit(std::fflush(stdout) == 0 ? 0 : 125);
        case 'j': {
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), request.jobs);
            if (ec != std::errc() || end != value.data() + value.size() || request.jobs < 1 || request.jobs > 1024) {
                fail("--jobs needs a count from 1 to 1024, not \"" + std::string(value) + "\"");
            }
            break;
        }
        case junit: request.junit_path = value; break;
        case keep:
        case keep_all:
            request.keep_directory = value.empty() ? default_keep_directory : std::string(value);
            request.keep_passed = code == keep_all;
            break;
        case timeout: {
            double seconds = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (ec != std::errc() || end != value.data() + value.size() || !(seconds > 0 && seconds <= 86400)) {
                fail("--timeout needs real seconds, more than 0 and at most a day, not \"" + std::string(value) +
                     "\"");
            }
            request.real_limit = std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
            break;
        }
        case ':': usage_error("option " + std::string(argv[optind - 1]) + " needs a value");
        default: usage_error("unknown option " + std::string(argv[optind - 1]));
        }
    }
    for (int i = optind; i < argc; ++i) {
        request.files.emplace_back(argv[i]);
    }
    if (request.files.empty()) {
        usage_error("no scenario file to run");
    }
    return request;
}

// The CPUs this process may run on, in order: each run keeps to one.
std::vector<int> allowed_cpus()
{
    cpu_set_t set;
    std::vector<int> cpus;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(static_cast<std::size_t>(cpu), &set)) {
                cpus.push_back(cpu);
            }
        }
    }
    return cpus;
}

void keep_to(int cpu)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(static_cast<std::size_t>(cpu), &one);
    sched_setaffinity(0, sizeof one, &one);
}

// The kept files' directory for each scenario: its file's name without
// the extension, made unique, and only of characters safe in a path.
std::vector<std::string> kept_names(const std::vector<std::string>& files)
{
    std::vector<std::string> names;
    std::set<std::string> taken;
    for (const auto& file : files) {
        std::string base = std::filesystem::path(file).stem().string();
        for (char& c : base) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                               c == '-' || c == '_' || c == '.';
            c = plain ? c : '_';
        }
        if (base.empty() || base == "." || base == "..") {
            base = "scenario";
        }
        std::string name = base;
        for (int n = 2; taken.count(name) != 0; ++n) {
            name = base + "-" + std::to_string(n);
        }
        taken.insert(name);
        names.push_back(name);
    }
    return names;
}

ScenarioReport run_scenario(const Scenario& scenario, const TestRequest& request, const std::string& kept_name)
{
    ScenarioReport report;
    report.file = scenario.file;
    report.name = scenario.name;
    const auto started = std::chrono::steady_clock::now();
    std::optional<KeptFiles> kept;
    if (!request.keep_directory.empty()) {
        std::string problem;
        kept.emplace(request.keep_directory, kept_name, scenario.board.vcd_tick, problem);
        if (!problem.empty()) {
            report.message = problem;
            return report;
        }
    }
    try {
        Board board(scenario.board.config);
        Knobs knobs(-1, -1, 0);
        knobs.attach(board);
        ScenarioCheck check(scenario, knobs, kept ? &*kept : nullptr);
        RunOptions options = scenario.board.options;
        options.speed = std::numeric_limits<double>::infinity();
        options.keep_record = false;
        options.more_input = true;
        options.timeout = request.real_limit;
        const RunResult result = board.run(options, &check);
        Verdict verdict = check.verdict(result, request.real_limit);
        if (verdict.passed && scenario.board.strict_timing && check.violations() > 0) {
            verdict.passed = false;
            verdict.failure = "the display controller lost " + std::to_string(check.violations()) +
                              " transfer(s) while busy (strict-timing)";
        }
        report.passed = verdict.passed;
        report.message = verdict.failure;
        report.last_output = verdict.last_output;
        report.virtual_ns = verdict.virtual_ns;
    } catch (const BoardError& error) {
        report.message = std::string("the board could not be set up: ") + error.what();
    }
    if (kept && report.passed && !request.keep_passed) {
        kept->remove();
    }
    report.real_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return report;
}

std::string result_line(const ScenarioReport& report)
{
    if (report.malformed) {
        return "FAIL " + report.file + "\n     " + report.message + "\n";
    }
    char times[96];
    std::snprintf(times, sizeof times, "  (%s s virtual, %.2f s real)", seconds_text(report.virtual_ns).c_str(),
                  report.real_seconds);
    std::string line = (report.passed ? "ok   " : "FAIL ") + report.name + times + "\n";
    if (!report.passed) {
        line += "     " + report.message + "\n";
        for (const auto& output : report.last_output) {
            line += "     | " + output + "\n";
        }
    }
    return line;
}

// The scenarios run `jobs` at a time, each on its own board and CPU; the
// results come out in the files' order as soon as each and those before
// it are done.
std::vector<ScenarioReport> run_all(const std::vector<std::optional<Scenario>>& scenarios,
                                    std::vector<ScenarioReport> reports, const TestRequest& request, int jobs)
{
    const std::vector<std::string> names = kept_names(request.files);
    const std::vector<int> cpus = allowed_cpus();
    std::mutex lock;
    std::condition_variable finished;
    std::vector<bool> done(scenarios.size(), false);
    std::size_t next = 0;
    std::vector<std::thread> workers;
    for (int w = 0; w < jobs; ++w) {
        workers.emplace_back([&, w] {
            if (!cpus.empty()) {
                keep_to(cpus[static_cast<std::size_t>(w) % cpus.size()]);
            }
            for (;;) {
                std::size_t i = 0;
                {
                    std::lock_guard guard(lock);
                    while (next < scenarios.size() && !scenarios[next]) {
                        done[next++] = true;
                    }
                    if (next == scenarios.size()) {
                        finished.notify_all();
                        return;
                    }
                    i = next++;
                }
                ScenarioReport report = run_scenario(*scenarios[i], request, names[i]);
                std::lock_guard guard(lock);
                reports[i] = std::move(report);
                done[i] = true;
                finished.notify_all();
            }
        });
    }
    std::size_t printed = 0;
    while (printed < scenarios.size()) {
        std::unique_lock guard(lock);
        finished.wait(guard, [&] { return done[printed] || (!scenarios[printed]); });
        const std::string line = result_line(reports[printed]);
        guard.unlock();
        if (write_all(STDOUT_FILENO, line) != 0) {
            std::perror("vboard: cannot write standard output");
        }
        ++printed;
    }
    for (auto& worker : workers) {
        worker.join();
    }
    return reports;
}

} // namespace

int test_command(int argc, char** argv)
{
    const TestRequest request = read_test_options(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::optional<Scenario>> scenarios;
    std::vector<ScenarioReport> reports;
    bool malformed = false;
    for (const auto& file : request.files) {
        std::string problem;
        scenarios.push_back(load_scenario(file, problem));
        ScenarioReport report;
        report.file = file;
        if (!scenarios.back()) {
            report.malformed = true;
            report.message = problem;
            malformed = true;
        }
        reports.push_back(report);
    }
    const int cpus = static_cast<int>(std::max<std::size_t>(1, allowed_cpus().size()));
    const int jobs = std::min<int>(request.jobs > 0 ? request.jobs : cpus, static_cast<int>(scenarios.size()));
    const auto started = std::chrono::steady_clock::now();
    reports = run_all(scenarios, std::move(reports), request, jobs);
    const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    int passed = 0;
    std::int64_t virtual_ns = 0;
    for (const auto& report : reports) {
        passed += report.passed ? 1 : 0;
        virtual_ns += report.virtual_ns;
    }
    char summary[160];
    std::snprintf(summary, sizeof summary, "%s s of virtual time in %.2f s of real time, %d at a time\n%d passed, %zu failed\n",
                  seconds_text(virtual_ns).c_str(), real, jobs, passed, reports.size() - static_cast<std::size_t>(passed));
    int status = passed == static_cast<int>(reports.size()) ? 0 : 1;
    if (write_all(STDOUT_FILENO, summary) != 0) {
        status = 125;
    }
    if (!request.junit_path.empty()) {
        const OutputRequest junit_file{"--junit", request.junit_path};
        const int fd = open_output(junit_file);
        if (write_all(fd, junit_xml(reports)) != 0 || (fd > STDERR_FILENO && close(fd) != 0)) {
            std::fprintf(stderr, "vboard: cannot write %s\n", request.junit_path.c_str());
            status = 125;
        }
    }
    if (!request.keep_directory.empty() && status == 1) {
        std::fprintf(stderr, "vboard: the failed scenarios' trace, capture and output are in %s/\n",
                     request.keep_directory.c_str());
    }
    return malformed && status != 125 ? 2 : status;
}

} // namespace vboard::command
