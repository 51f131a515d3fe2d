// The --record file.
#include "runner/record.h"

#include "runner/setup_error.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace qvrun {

RecordFile::RecordFile(const std::vector<Scenario>& scenarios, OutputFile& file) : file_(file) {
    bool extended = false;
    for (const Scenario& scenario : scenarios) {
        tests_ += scenario.tests.size();
        for (const Test& test : scenario.tests)
            extended = extended || test.extended;
    }
    // The switch first, so that the extended tests read as written.
    if (extended)
        file_.Put(std::string(qv::kSwitchLine) + "\n");
}

void RecordFile::TestDone(const ReaderSlot& slot, const TestResult& result) {
    if (slot.index != 0 || result.run != 1)
        return;
    const Test& test = result.test;
    const bool cardAnswered =
        result.judgement.verdict == Verdict::Passed || qv::IsFailure(result.judgement.verdict);
    if (!cardAnswered || result.received.empty())
        Add(test, test.expected, test.wildcard);
    else if (test.expected.size() == result.received.size())
        Add(test, result.received, test.wildcard);
    else
        Add(test, result.received, {});
}

void RecordFile::TestsNotRun(const ReaderSlot& slot, const NotRun& notRun) {
    if (slot.index != 0)
        return;
    notRun.ForEach([&](const Scenario&, const Test& test, unsigned first, unsigned) {
        if (first == 1)
            Add(test, test.expected, test.wildcard);
    });
}

// The test with `expected` as its expected response (where the test expects bytes of the same
// length, its wildcards stay wildcards, so that bytes that differ every time, a challenge, do not
// fail the replay). A test that uses an extension is written as it stands.
void RecordFile::Add(const Test& test, std::span<const std::uint8_t> expected,
                     std::span<const std::uint8_t> wildcard) {
    ++recorded_;
    test_ = test;
    if (!test.extended) {
        test_.expected.assign(expected.begin(), expected.end());
        test_.wildcard.assign(wildcard.begin(), wildcard.end());
        test_.wildcard.resize(expected.size());
        for (std::size_t k = 0; k < test_.expected.size(); ++k) {
            if (test_.wildcard[k] != 0)
                test_.expected[k] = qv::kWildcardValue; // as the reader stores a wildcard
        }
    }
    written_ = qv::TestLines(test_);
    file_.Put(written_);
}

void RecordFile::Write() {
    if (recorded_ != tests_) {
        throw SetupError("--record " + file_.Path() + " not written: " + std::to_string(recorded_) +
                         " of the " + std::to_string(tests_) +
                         " tests were recorded; the file there stays as it was");
    }
    file_.Commit();
}

} // namespace qvrun
