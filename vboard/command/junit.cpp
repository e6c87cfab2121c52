#include "junit.hpp"

#include "scenario.hpp"

#include <cstdio>

namespace vboard::command {

namespace {

// The length of the well-formed UTF-8 sequence that starts `text` at `i`,
// or 0 (RFC 3629's ranges, checked loosely: lead byte and continuations).
std::size_t utf8_length(const std::string& text, std::size_t i)
{
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    if (c < 0x80) {
        length = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
    }
    if (length == 0 || i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// Text as XML 1.0 takes it, in an attribute or an element: markup
// escaped, and what XML cannot hold (control characters, bytes that are
// no UTF-8) as U+FFFD.
std::string escaped(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\n': out += "&#10;"; break;
        case '\t': out += "&#9;"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out += "\xEF\xBF\xBD";
            } else if (const std::size_t length = utf8_length(text, i); length > 0) {
                out.append(text, i, length);
                i += length;
                continue;
            } else {
                out += "\xEF\xBF\xBD";
            }
        }
        ++i;
    }
    return out;
}

std::string real_time(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

std::string testcase(const ScenarioReport& report)
{
    std::string xml = "    <testcase name=\"" + escaped(report.malformed ? report.file : report.name) +
                      "\" classname=\"" + escaped(report.file) + "\" time=\"" + real_time(report.real_seconds) + "\"";
    if (report.passed) {
        return xml + "/>\n";
    }
    const char* kind = report.malformed ? "error" : "failure";
    std::string body;
    for (const auto& line : report.last_output) {
        body += line + "\n";
    }
    xml += ">\n      <" + std::string(kind) + " message=\"" + escaped(report.message) + "\" type=\"" +
           (report.malformed ? "malformed" : "scenario") + "\">";
    xml += escaped(body) + "</" + kind + ">\n    </testcase>\n";
    return xml;
}

} // namespace

std::string junit_xml(const std::vector<ScenarioReport>& reports)
{
    int failures = 0;
    int errors = 0;
    double real = 0;
    for (const auto& report : reports) {
        failures += !report.passed && !report.malformed ? 1 : 0;
        errors += report.malformed ? 1 : 0;
        real += report.real_seconds;
    }
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"vboard test\" tests=\"" +
                      std::to_string(reports.size()) + "\" failures=\"" + std::to_string(failures) +
                      "\" errors=\"" + std::to_string(errors) + "\" time=\"" + real_time(real) + "\">\n";
    for (const auto& report : reports) {
        xml += "  <testsuite name=\"" + escaped(report.file) + "\" tests=\"1\" failures=\"" +
               (!report.passed && !report.malformed ? "1" : "0") + "\" errors=\"" + (report.malformed ? "1" : "0") +
               "\" time=\"" + real_time(report.real_seconds) + "\">\n";
        xml += "    <properties>\n      <property name=\"virtual_time\" value=\"" +
               seconds_text(report.virtual_ns) + "\"/>\n    </properties>\n";
        xml += testcase(report) + "  </testsuite>\n";
    }
    return xml + "</testsuites>\n";
}

} // namespace vboard::command
