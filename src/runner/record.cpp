// The --record file.
#include "runner/record.h"

#include "runner/options.h"
#include "runner/report.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace qvrun {
namespace {

// The response received; where the test expected a response of the same length, its wildcards
// stay wildcards, so that bytes that differ every time (a challenge) do not fail the replay.
std::string RecordedResponse(const Test& test, const Bytes& received) {
    if (test.expected.size() != received.size())
        return HexText(received);
    return HexText(received, test.wildcard);
}

} // namespace

void WriteRecord(const std::string& path, const std::vector<Outcome>& outcomes) {
    std::ofstream req(path, std::ios::binary | std::ios::trunc);
    // No comment lines: a line starting with "#" names the test that follows it.
    for (const Outcome& outcome : outcomes) {
        if (outcome.run != 1)
            continue;
        const Test& test = *outcome.test;
        // "# - " then the name: the reader takes the name from the line's fifth character.
        if (!test.name.empty())
            req << "# - " << test.name << "\n";
        req << "2,0 " << HexText(test.command) << "\n";
        const bool cardAnswered =
            outcome.verdict == Verdict::Passed || outcome.verdict == Verdict::Mismatch;
        if (cardAnswered && !outcome.received.empty())
            req << "> " << RecordedResponse(test, outcome.received) << "\n";
        req << "\n";
    }
    req.close();
    if (!req)
        throw SetupError("cannot write " + path + ": " + std::strerror(errno));
}

} // namespace qvrun
