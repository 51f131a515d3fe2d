// The --record file.
#include "runner/record.h"

#include "runner/setup_error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace qvrun {

namespace {

bool AnyExtended(const std::vector<Scenario>& scenarios) {
    return std::ranges::any_of(scenarios, [](const Scenario& scenario) {
        return std::ranges::any_of(scenario.tests, [](const Test& test) { return test.extended; });
    });
}

} // namespace

RecordFile::RecordFile(const std::vector<Scenario>& scenarios, OutputFile& file)
    : file_(file), readBack_(file.Path(), AnyExtended(scenarios)) {
    for (const Scenario& scenario : scenarios)
        tests_ += scenario.tests.size();
    // The switch first, so that the extended tests read as written.
    file_.Put(readBack_.Header());
}

void RecordFile::ReaderReady(const ReaderSlot& slot) {
    if (slot.index == 0)
        atr_ = slot.atr;
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
    // A test the file would read back otherwise (a name line the extensions read as a command,
    // a command without bytes) is no record of it.
    if (auto fault = readBack_.Next(test_, written_); fault && fault_.empty()) {
        fault_ = "test " + std::to_string(test.number) + " (" + test.Where().Text() +
                 ") would read back otherwise: " + *fault;
    }
    file_.Put(written_);
}

void RecordFile::Write() {
    if (!fault_.empty())
        throw SetupError("--record " + file_.Path() + " not written: " + fault_ +
                         "; the file there stays as it was");
    if (recorded_ != tests_) {
        throw SetupError("--record " + file_.Path() + " not written: " + std::to_string(recorded_) +
                         " of the " + std::to_string(tests_) +
                         " tests were recorded; the file there stays as it was");
    }
    // Last, so that the tests keep the lines they were checked at.
    if (!atr_.empty())
        file_.Put(qv::AtrLine(atr_));
    file_.Commit();
}

} // namespace qvrun
