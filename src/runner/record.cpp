// The --record file.
#include "runner/record.h"

#include "runner/hex_text.h"
#include "runner/setup_error.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace qvrun {
namespace {

// The response received; where the test expected a response of the same length, its wildcards
// stay wildcards, so that bytes that differ every time (a challenge) do not fail the replay.
std::string RecordedResponse(const Test& test, std::span<const std::uint8_t> received) {
    if (test.expected.size() != received.size())
        return HexText(received);
    return HexText(received, test.wildcard);
}

} // namespace

void RecordFile::TestDone(const ReaderSlot& slot, const TestResult& result) {
    if (slot.index != 0 || result.run != 1)
        return;
    const Test& test = result.test;
    // No comment lines: a line starting with "#" names the test that follows it.
    // "# - " then the name: the reader takes the name from the line's fifth character.
    if (!test.name.empty())
        text_ += "# - " + test.name + "\n";
    text_ += "2,0 " + HexText(test.command) + "\n";
    const bool cardAnswered = result.judgement.verdict == Verdict::Passed ||
                              result.judgement.verdict == Verdict::Mismatch;
    if (cardAnswered && !result.received.empty())
        text_ += "> " + RecordedResponse(test, result.received) + "\n";
    text_ += "\n";
}

void RecordFile::Write(const std::string& path) const {
    std::ofstream req(path, std::ios::binary | std::ios::trunc);
    req << text_;
    req.close();
    if (!req)
        throw SetupError("cannot write " + path + ": " + std::strerror(errno));
}

} // namespace qvrun
