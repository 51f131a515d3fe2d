// The JUnit XML report.
#include "runner/junit.h"

#include "core/atr.h"
#include "runner/exchange_times.h"
#include "runner/failure.h"
#include "runner/hex_text.h"
#include "runner/setup_error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
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
    // Overlong forms, surrogates, code points above U+10FFFF, and U+FFFE and U+FFFF, which
    // XML 1.0 cannot hold either.
    if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) > 0x9F) ||
        (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) > 0x8F) ||
        (lead == 0xEF && byte(1) == 0xBF && byte(2) >= 0xBE)) {
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

// The count attributes of a <testsuites> or <testsuite>.
std::string Counts(std::size_t tests, std::size_t failures, std::size_t errors,
                   std::size_t skipped) {
    return " tests=\"" + std::to_string(tests) + "\" failures=\"" + std::to_string(failures) +
           "\" errors=\"" + std::to_string(errors) + "\" skipped=\"" + std::to_string(skipped) +
           "\"";
}

// Appends the start of a <testcase>, up to its time, to `xml`.
void StartCase(std::string& xml, const ReaderSlot& slot, const Scenario& scenario, const Test& test,
               const std::string& name) {
    xml += "    <testcase name=\"";
    xml += XmlText(name);
    xml += "\" classname=\"";
    xml += XmlText(CaseClass(slot.reader, scenario));
    xml += "\" file=\"";
    xml += XmlText(test.file);
    xml += "\" line=\"";
    xml += std::to_string(test.line);
    xml += "\" time=\"";
}

// Appends one <testcase> to `xml`.
void WriteCase(std::string& xml, const ReaderSlot& slot, const TestResult& result) {
    StartCase(xml, slot, result.scenario, result.test, CaseName(result.test, result.run));
    xml += Seconds(result.duration);
    xml += '"';
    if (result.Passed()) {
        xml += "/>\n";
        return;
    }
    // A wrong answer, or one too slow, is the card's failure; the others are the exchange's
    // errors.
    const Verdict verdict = result.judgement.verdict;
    const bool mismatch = qv::IsFailure(verdict);
    const std::string element = mismatch ? "failure" : "error";
    const char* type = verdict == Verdict::Mismatch ? "mismatch" : mismatch ? "time" : "exchange";
    std::string detail;
    for (const std::string& line : FailureDetail(result))
        detail += line + "\n";
    xml += ">\n      <" + element + " message=\"" + XmlText(FailureMessage(result)) + "\" type=\"" +
           type + "\">" + XmlText(detail) + "</" + element + ">\n    </testcase>\n";
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

JUnitReport::JUnitReport(std::size_t readers, const std::string& target,
                         std::vector<std::string> warnings)
    : suites_(readers) {
    for (Suite& suite : suites_)
        suite.cases.emplace(target);
    for (const std::string& warning : warnings)
        systemErr_ += warning + "\n";
}

void JUnitReport::ReaderReady(const ReaderSlot& slot) {
    suites_[slot.index].reader = slot.reader;
    suites_[slot.index].atr = slot.atr;
}

void JUnitReport::TestDone(const ReaderSlot& slot, const TestResult& result) {
    Suite& suite = suites_[slot.index];
    suite.written.clear();
    WriteCase(suite.written, slot, result);
    suite.cases->Append(suite.written);
}

void JUnitReport::ReaderDone(const ReaderSlot& slot, const ReaderTotals& totals) {
    suites_[slot.index].totals = totals;
}

void JUnitReport::TestsNotRun(const ReaderSlot& slot, const NotRun& notRun) {
    Suite& suite = suites_[slot.index];
    const std::string message = XmlText(notRun.reason);
    bool first = true;
    notRun.ForEach([&](const Scenario& scenario, const Test& test, unsigned firstRun,
                       unsigned lastRun) {
        suite.written.clear();
        StartCase(suite.written, slot, scenario, test,
                  firstRun == lastRun ? CaseName(test, firstRun)
                                      : CaseName(test, 1) + " (runs " + std::to_string(firstRun) +
                                            " to " + std::to_string(lastRun) + ")");
        // The test a signal's stop fell on is the run's error; those after it are skipped.
        if (first && notRun.FirstIsError()) {
            suite.written +=
                "0.000000\">\n      <error message=\"" + message + "\" type=\"stopped\">" +
                message +
                " at this test; the tests after it were not run</error>\n    </testcase>\n";
        } else {
            suite.written +=
                "0.000000\">\n      <skipped message=\"" + message + "\"/>\n    </testcase>\n";
        }
        first = false;
        suite.cases->Append(suite.written);
    });
}

void JUnitReport::Write(OutputFile& file, std::chrono::system_clock::time_point started) {
    // A test case per test and run; the runs not begun share one per test (NotRun), so the
    // totals count the test cases.
    std::size_t tests = 0, failures = 0, errors = 0, skipped = 0;
    Clock::duration time{};
    for (const Suite& suite : suites_) {
        tests += suite.totals.tests;
        failures += suite.totals.failures;
        errors += suite.totals.errors;
        skipped += suite.totals.notRun;
        time = std::max(time, suite.totals.wall);
    }
    file.Put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"quorvane-run\"" +
             Counts(tests, failures, errors, skipped) + " time=\"" + Seconds(time) + "\">\n");
    const std::string host = XmlText(HostName());
    const std::string timestamp = Iso8601(started);
    for (Suite& suite : suites_) {
        const ReaderTotals& t = suite.totals;
        file.Put("  <testsuite name=\"" + XmlText(suite.reader.name) + "\"" +
                 Counts(t.tests, t.failures, t.errors, t.notRun) + " time=\"" + Seconds(t.wall) +
                 "\" timestamp=\"" + timestamp + "\" hostname=\"" + host +
                 "\">\n    <properties>\n      <property name=\"atr\" value=\"" +
                 HexText(suite.atr) + "\"/>\n");
        // Without a reset (--no-reset) there is no ATR to judge.
        if (!suite.atr.empty()) {
            file.Put("      <property name=\"atr-verdict\" value=\"" +
                     XmlText(qv::AtrVerdictText(qv::DecodeAtr(suite.atr).verdict)) + "\"/>\n");
        }
        file.Put("    </properties>\n");
        suite.cases->CopyTo(file);
        if (!systemErr_.empty())
            file.Put("    <system-err>" + XmlText(systemErr_) + "</system-err>\n");
        file.Put("  </testsuite>\n");
    }
    file.Put("</testsuites>\n");
    file.Commit();
}

} // namespace qvrun
