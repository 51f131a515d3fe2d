// The --record file.
#include "runner/record.h"

#include "runner/hex_text.h"
#include "runner/setup_error.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace qvrun {
namespace {

// A test that uses an extension, as written: a mask stays a mask, a capture a capture.
std::string AsWritten(const Test& test) {
    std::string text;
    if (test.timeLimit)
        text += "@time-limit " + test.timeLimitText + "\n";
    text += test.destination == CT ? "2,1 " : "2,0 ";
    text += (test.commandTemplate ? test.commandTemplate->text : HexText(test.command)) + "\n";
    if (test.pattern)
        text += "> " + test.pattern->text + "\n";
    return text;
}

} // namespace

RecordFile::RecordFile(const std::vector<Scenario>& scenarios, OutputFile& file) : file_(file) {
    bool extended = false;
    for (const Scenario& scenario : scenarios) {
        tests_ += scenario.tests.size();
        for (const Test& test : scenario.tests)
            extended = extended || test.extended;
    }
    // The switch first, so that the extended tests read as written.
    if (extended)
        std::fputs("@quorvane-run 1\n\n", file_.Stream());
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

// The test's name and command, and `expected` as its expected response (where the test expects
// bytes of the same length, its wildcards stay wildcards, so that bytes that differ every time,
// a challenge, do not fail the replay).
void RecordFile::Add(const Test& test, std::span<const std::uint8_t> expected,
                     std::span<const std::uint8_t> wildcard) {
    ++recorded_;
    written_.clear();
    // No comment lines: a line starting with "#" names the test that follows it.
    // "# - " then the name: the reader takes the name from the line's fifth character.
    if (!test.name.empty())
        written_ += "# - " + test.name + "\n";
    if (test.extended) {
        written_ += AsWritten(test) + "\n";
    } else {
        written_ += "2,0 " + HexText(test.command) + "\n";
        if (!expected.empty())
            written_ += "> " + HexText(expected, wildcard) + "\n";
        written_ += "\n";
    }
    std::fwrite(written_.data(), 1, written_.size(), file_.Stream());
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
