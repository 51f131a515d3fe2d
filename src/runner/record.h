// The --record file: a REQ file whose expected responses are the responses received.
#pragma once

#include "runner/output.h"
#include "runner/result.h"

#include <string>

namespace qvrun {

// Takes the first run of the first reader's tests as they end: each test (name, command) with
// its response as the expected one; a test that got no response from the card is written
// without one (any response passes). A test that uses an extension is kept as written, and the
// file then turns the extensions on.
class RecordFile : public RunObserver {
  public:
    void TestDone(const ReaderSlot& slot, const TestResult& result) override;
    // A test not run keeps its own expected response: the file is never looser than its source.
    void TestsNotRun(const ReaderSlot& slot, const NotRun& notRun) override;

    // Writes the file; throws SetupError when it cannot be written.
    void Write(OutputFile& file) const;

  private:
    void Add(const Test& test, std::span<const std::uint8_t> expected,
             std::span<const std::uint8_t> wildcard);

    std::string text_;
    bool extended_ = false; // a test kept as written needs the extensions on
};

} // namespace qvrun
