// The --record file: a REQ file whose expected responses are the responses received.
#pragma once

#include "req/req_script.h"
#include "runner/output.h"
#include "runner/result.h"

#include <string>

namespace qvrun {

// Takes the first run of the first reader's tests as they end, into the record's temporary
// file: each test (name, command) with the card's response as the expected one, written by the
// REQ language's own writer (qv::TestLines), so that the record reads back as these tests. A test
// that uses an extension is kept as written, and the file then turns the extensions on. The file is
// never looser than its source: a test the card gave no response (an error, a test not run)
// keeps its own expected response, and a record that misses a test, or holds one that would read
// back otherwise, is not put in place.
class RecordFile : public RunObserver {
  public:
    // `scenarios` and `file` must outlive the record.
    RecordFile(const std::vector<Scenario>& scenarios, OutputFile& file);

    // The card's ATR, written after the last test in a line both REQ rules skip.
    void ReaderReady(const ReaderSlot& slot) override;
    void TestDone(const ReaderSlot& slot, const TestResult& result) override;
    void TestsNotRun(const ReaderSlot& slot, const NotRun& notRun) override;

    // Puts the file in place; throws SetupError when it cannot be written, or when it misses
    // a test (then the file that stood there before stays).
    void Write();

  private:
    void Add(const Test& test, std::span<const std::uint8_t> expected,
             std::span<const std::uint8_t> wildcard);

    OutputFile& file_;
    std::size_t tests_ = 0;    // in one run of the files
    std::size_t recorded_ = 0; // written so far
    Test test_;                // the test being written, its room kept for the next
    std::string written_;      // its lines
    qv::ReadBack readBack_;    // the file read back test by test as it is written
    std::string fault_;        // the first test it would read back otherwise, and why
    Bytes atr_;                // the card's; empty with --no-reset
};

} // namespace qvrun
