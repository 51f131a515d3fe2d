// The JUnit XML report.
#include "runner/junit.h"

#include "runner/options.h"
#include "runner/report.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace qvrun {
namespace {

// The length of the valid UTF-8 sequence at the start of `text`, or 0.
std::size_t Utf8Length(std::string_view text) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    if (length == 0 || text.size() < length)
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80)
            return 0;
    }
    // Overlong forms, surrogates and code points above U+10FFFF.
    if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) > 0x9F) ||
        (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) > 0x8F)) {
        return 0;
    }
    return length;
}

std::string Seconds(Clock::duration duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", Milliseconds(duration) / 1000);
    return text;
}

std::string Iso8601(std::chrono::system_clock::time_point at) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    return text;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    return name;
}

// The file's name without folder and ".req": the test case's class.
std::string ClassName(const std::string& path) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    if (name.size() > 4 && name.ends_with(".req"))
        name.resize(name.size() - 4);
    return name;
}

void WriteCase(std::ostream& xml, const Outcome& outcome, const std::string& suiteName) {
    std::string name = std::to_string(outcome.test->number) + " " +
                       (outcome.test->name.empty() ? "(no name)" : outcome.test->name);
    if (outcome.run > 1)
        name += " (run " + std::to_string(outcome.run) + ")";
    xml << "    <testcase name=\"" << XmlText(name) << "\" classname=\""
        << XmlText(suiteName + "." + ClassName(outcome.scenario->path)) << "\" file=\""
        << XmlText(outcome.scenario->path) << "\" line=\"" << outcome.test->line << "\" time=\""
        << Seconds(outcome.duration) << "\"";
    if (outcome.Passed()) {
        xml << "/>\n";
        return;
    }
    // A mismatch is the card's failure; the others are the exchange's errors.
    const char* element = outcome.verdict == Verdict::Mismatch ? "failure" : "error";
    std::string detail;
    for (const std::string& line : FailureDetail(outcome))
        detail += line + "\n";
    xml << ">\n      <" << element << " message=\"" << XmlText(FailureMessage(outcome))
        << "\" type=\"" << (outcome.verdict == Verdict::Mismatch ? "mismatch" : "exchange") << "\">"
        << XmlText(detail) << "</" << element << ">\n    </testcase>\n";
}

} // namespace

std::string XmlText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const char c = text.front();
        std::size_t taken = 1;
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\n':
            out += "&#10;";
            break;
        case '\t':
            out += "&#9;";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                out += '?';
            } else if (static_cast<unsigned char>(c) < 0x80) {
                out += c;
            } else if ((taken = Utf8Length(text)) > 0) {
                out.append(text.substr(0, taken));
            } else {
                out += '?';
                taken = 1;
            }
        }
        text.remove_prefix(taken);
    }
    return out;
}

void WriteJUnit(const std::string& path, const std::vector<SuiteInput>& suites,
                std::chrono::system_clock::time_point started) {
    std::ostringstream body;
    std::size_t tests = 0, failures = 0, errors = 0;
    Clock::duration time{};
    const std::string host = HostName();
    for (const SuiteInput& suite : suites) {
        const auto& outcomes = suite.run->outcomes;
        const std::size_t suiteFailures =
            std::count_if(outcomes.begin(), outcomes.end(),
                          [](const Outcome& o) { return o.verdict == Verdict::Mismatch; });
        const std::size_t suiteErrors =
            std::count_if(outcomes.begin(), outcomes.end(), [](const Outcome& o) {
                return !o.Passed() && o.verdict != Verdict::Mismatch;
            });
        body << "  <testsuite name=\"" << XmlText(suite.reader.name) << "\" tests=\""
             << outcomes.size() << "\" failures=\"" << suiteFailures << "\" errors=\""
             << suiteErrors << "\" skipped=\"0\" time=\"" << Seconds(suite.run->wall)
             << "\" timestamp=\"" << Iso8601(started) << "\" hostname=\"" << XmlText(host)
             << "\">\n    <properties>\n      <property name=\"atr\" value=\"" << HexText(suite.atr)
             << "\"/>\n    </properties>\n";
        const std::string suiteName = "reader" + std::to_string(suite.reader.position + 1);
        for (const Outcome& outcome : outcomes)
            WriteCase(body, outcome, suiteName);
        body << "  </testsuite>\n";
        tests += outcomes.size();
        failures += suiteFailures;
        errors += suiteErrors;
        time = std::max(time, suite.run->wall);
    }
    std::ofstream xml(path, std::ios::binary | std::ios::trunc);
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<testsuites name=\"quorvane-run\" tests=\"" << tests << "\" failures=\"" << failures
        << "\" errors=\"" << errors << "\" time=\"" << Seconds(time) << "\">\n"
        << body.str() << "</testsuites>\n";
    xml.close();
    if (!xml)
        throw SetupError("cannot write " + path + ": " + std::strerror(errno));
}

} // namespace qvrun
