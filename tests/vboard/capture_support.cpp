#include "capture_support.hpp"

#include <cmath>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace capture_support {

using test_support::run_child;

namespace {

std::vector<std::string> lines_of(std::istream& in)
{
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace

fs::path scratch_directory(const std::string& name)
{
    const fs::path dir = fs::temp_directory_path() / ("vboard-vcd-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::vector<std::string> lines_of(const fs::path& file)
{
    std::ifstream in(file);
    return lines_of(in);
}

Capture capture(const std::string& name, std::vector<std::string> options, const std::vector<std::string>& program,
                const Timescale& timescale)
{
    Capture c{scratch_directory(name), {}, timescale, {}, {}};
    c.vcd = c.dir / "wires.vcd";
    const fs::path trace = c.dir / "trace.jsonl";
    std::vector<std::string> argv{VBOARD_COMMAND_PATH, "run", "--quiet", "--trace", trace.string(), "--vcd", c.vcd.string()};
    argv.insert(argv.end(), timescale.options.begin(), timescale.options.end());
    argv.insert(argv.end(), options.begin(), options.end());
    argv.emplace_back("--");
    argv.insert(argv.end(), program.begin(), program.end());
    c.run = run_child(argv, "", std::chrono::seconds(60));
    c.trace = lines_of(trace);
    return c;
}

test_support::ChildResult run_sigrok(const Capture& run, const std::string& decoders, const std::string& annotations,
                                     bool samples)
{
    // Python must not litter the source tree with its byte code.
    std::vector<std::string> argv{"/usr/bin/env",
                                  "SIGROKDECODE_DIR=" VBOARD_SIGROK_DECODERS,
                                  "PYTHONDONTWRITEBYTECODE=1",
                                  "/usr/bin/sigrok-cli",
                                  "-I",
                                  run.timescale.input,
                                  "-i",
                                  run.vcd.string(),
                                  "-P",
                                  decoders,
                                  "-A",
                                  annotations};
    if (samples) {
        argv.emplace_back("--protocol-decoder-samplenum");
    }
    return run_child(argv, "", std::chrono::seconds(120));
}

std::vector<std::string> decode(const Capture& run, const std::string& decoders, const std::string& annotations,
                                bool samples)
{
    const auto r = run_sigrok(run, decoders, annotations, samples);
    EXPECT_EQ(r.exit_code, 0) << decoders << ": " << r.err;
    EXPECT_EQ(r.err, "") << decoders;
    std::istringstream in(r.out);
    std::vector<std::string> found;
    for (const std::string& line : lines_of(in)) {
        const auto tag = line.find("-1: ");
        if (tag == std::string::npos) {
            found.push_back(line);
            continue;
        }
        const auto name = line.rfind(' ', tag); // after the sample numbers, if any
        found.push_back(line.substr(0, name == std::string::npos ? 0 : name + 1) + line.substr(tag + 4));
    }
    return found;
}

std::string field(const std::string& line, const std::string& key)
{
    const std::string tag = "\"" + key + "\":";
    const auto at = line.find(tag);
    if (at == std::string::npos) {
        return "";
    }
    auto begin = at + tag.size();
    if (line[begin] == '"') {
        ++begin;
        return line.substr(begin, line.find('"', begin) - begin);
    }
    return line.substr(begin, line.find_first_of(",}", begin) - begin);
}

bool is(const std::string& line, const std::string& dev, const std::string& event)
{
    return line.find("\"dev\":\"" + dev + "\",\"event\":\"" + event + "\"") != std::string::npos;
}

std::int64_t ns_of(const std::string& line)
{
    return std::llround(std::stod(field(line, "t")) * 1e9);
}

std::vector<std::string> hex_bytes(const std::string& hex)
{
    std::vector<std::string> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        std::string byte = hex.substr(i, 2);
        for (char& c : byte) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        bytes.push_back(byte);
    }
    return bytes;
}

} // namespace capture_support
