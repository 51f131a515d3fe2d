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
    text += test.destination == qv::kToTerminal ? "2,1 " : "2,0 ";
    text += (test.commandTemplate ? test.commandTemplate->text : HexText(test.command)) + "\n";
    if (test.pattern)
        text += "> " + test.pattern->text + "\n";
    return text;
}

} // namespace

void RecordFile::TestDone(const ReaderSlot& slot, const TestResult& result) {
    if (slot.index != 0 || result.run != 1)
        return;
    const Test& test = result.test;
    const bool cardAnswered =
        result.judgement.verdict == Verdict::Passed || qv::IsFailure(result.judgement.verdict);
    if (!cardAnswered || result.received.empty())
        Add(test, {}, {});
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
    // No comment lines: a line starting with "#" names the test that follows it.
    // "# - " then the name: the reader takes the name from the line's fifth character.
    if (!test.name.empty())
        text_ += "# - " + test.name + "\n";
    if (test.extended) {
        extended_ = true;
        text_ += AsWritten(test) + "\n";
        return;
    }
    text_ += "2,0 " + HexText(test.command) + "\n";
    if (!expected.empty())
        text_ += "> " + HexText(expected, wildcard) + "\n";
    text_ += "\n";
}

void RecordFile::Write(OutputFile& file) const {
    // The switch first, so that the extended tests read as written.
    if (extended_)
        std::fputs("@quorvane-run 1\n\n", file.Stream());
    std::fwrite(text_.data(), 1, text_.size(), file.Stream());
    file.Commit();
}

} // namespace qvrun
