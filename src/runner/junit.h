// The JUnit XML report: a test suite per reader, a test case per test and run.
#pragma once

#include "runner/output.h"
#include "runner/result.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvrun {

// Writes the report as the run goes: each reader's test cases as its tests end, by the reader's
// own thread, into the reader's spool file beside `target`, so that a run of any length keeps
// none of them in memory; Write puts the counts in front of them.
class JUnitReport : public RunObserver {
  public:
    // Throws SetupError when the spool files cannot be made. `warnings`, what the files hold
    // that the run reported, go into each suite's system-err.
    JUnitReport(std::size_t readers, const std::string& target,
                std::vector<std::string> warnings = {});

    void ReaderReady(const ReaderSlot& slot) override;
    void TestDone(const ReaderSlot& slot, const TestResult& result) override;
    void TestsNotRun(const ReaderSlot& slot, const NotRun& notRun) override;
    void ReaderDone(const ReaderSlot& slot, const ReaderTotals& totals) override;

    // Writes the report of a run `started` then, once every reader is done; throws SetupError
    // when the file cannot be written.
    void Write(OutputFile& file, std::chrono::system_clock::time_point started);

  private:
    struct Suite {
        Reader reader;
        Bytes atr;
        std::optional<SpoolFile> cases; // the <testcase> elements
        ReaderTotals totals;
        std::string written; // the test case being written, its room kept for the next
    };
    std::vector<Suite> suites_;
    std::string systemErr_; // the warnings, a line each
};

// Text fit for an XML attribute or element: markup characters escaped, characters XML 1.0
// cannot hold (control characters, broken UTF-8) replaced by '?'.
std::string XmlText(std::string_view text);

} // namespace qvrun
