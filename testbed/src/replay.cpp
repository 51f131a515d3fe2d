// Record once, replay for ever: a card script from what quorvane-run wrote on a real card.
#include "bed/replay.h"

#include "core/hex.h"
#include "core/trace_line.h"
#include "req/req_script.h"

#include <algorithm>
#include <ctapi.h>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace bed {

Recording ReadRecordedReq(const std::string& path, std::vector<std::string>& warnings) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::invalid_argument("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf(); // an empty file sets failbit: a record of no tests
    // A record keeps a test that used an extension as written: its expected response may be a
    // pattern, not the bytes the card sent, so it cannot be replayed from here.
    const auto read = [](const std::string& included) {
        std::ifstream file(included, std::ios::binary);
        if (!file)
            throw std::runtime_error("cannot read it");
        std::ostringstream whole;
        whole << file.rdbuf();
        return whole.str();
    };
    qv::Script script;
    try {
        script = qv::ParseScript(path, text.str(), read);
    } catch (const std::runtime_error& e) {
        throw std::invalid_argument(e.what());
    }
    if (script.extended) {
        throw std::invalid_argument(path + " turns on quorvane-run's REQ extensions, so its "
                                           "responses may be patterns: replay the --trace of the "
                                           "same run instead (--from-trace)");
    }
    // What the base rules made of lines written for quorvane-run's extensions ("{16}", "63 Cx")
    // is replayed as read, so it is said, as quorvane-run says it.
    for (const qv::FileWarning& line : script.warnings)
        warnings.push_back(line.where.Text() + ": " + line.what);
    std::erase_if(script.tests, [](const qv::ReqTest& test) { return test.command.empty(); });
    Recording recording{std::move(script.tests), {}, {}};
    std::istringstream lines(text.str());
    for (std::string line; std::getline(lines, line);) {
        if (const auto atr = qv::ReadAtrLine(line)) {
            recording.atr = *atr;
            break;
        }
    }
    return recording;
}

Recording ReadTrace(const std::string& path, unsigned reader) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::invalid_argument("cannot read " + path);
    Recording out;
    const auto seen = [&out](unsigned number) {
        if (std::find(out.readers.begin(), out.readers.end(), number) == out.readers.end())
            out.readers.push_back(number);
    };
    std::string text;
    for (std::size_t lineNo = 1; std::getline(in, text); ++lineNo) {
        if (qv::IsTraceComment(text)) {
            if (const auto comment = qv::ReadAtrComment(text)) {
                seen(comment->reader);
                if (comment->reader == reader)
                    out.atr = comment->atr;
            }
            continue;
        }
        qv::TraceLine line;
        try {
            line = qv::ReadTraceLine(text);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(path + " line " + std::to_string(lineNo) + ": " + e.what());
        }
        seen(line.reader);
        // Only the card's answers of one reader: the terminal's answers and failed transfers are
        // no card's behaviour.
        if (line.reader != reader || line.result != OK || line.source != ICC1 || line.sent.empty())
            continue;
        qv::ReqTest& test = out.exchanges.emplace_back();
        test.command = std::move(line.sent);
        test.expected = std::move(line.received);
        test.wildcard.resize(test.expected.size()); // a trace knows no wildcards
    }
    std::sort(out.readers.begin(), out.readers.end());
    if (std::find(out.readers.begin(), out.readers.end(), reader) == out.readers.end() &&
        !out.readers.empty()) {
        std::string held;
        for (const unsigned number : out.readers)
            held += (held.empty() ? "" : ", ") + std::to_string(number);
        throw std::invalid_argument(path + " holds nothing of reader " + std::to_string(reader) +
                                    " (its readers: " + held + ")");
    }
    return out;
}

std::string ReplayScript(const std::vector<qv::ReqTest>& exchanges, const Bytes& atr,
                         const std::string& origin) {
    // Each command once, in the order first seen, with its answers in the order given.
    std::vector<Bytes> order;
    std::map<Bytes, std::vector<std::string>> answers;
    std::vector<std::string> unanswered;
    for (const qv::ReqTest& r : exchanges) {
        auto [it, fresh] = answers.try_emplace(r.command);
        if (fresh)
            order.push_back(r.command);
        if (r.expected.empty())
            continue;
        // A wildcard byte of the recording is a random byte of the replay: "xx" in the script.
        it->second.push_back(qv::ToHex(r.expected, qv::kHexSpaced, r.wildcard));
    }
    std::ostringstream script;
    script << "# A replay of " << origin << ": each command as recorded, its answers in turn.\n"
           << "atr " << qv::ToHex(atr) << "\n";
    for (const Bytes& command : order) {
        std::vector<std::string>& list = answers[command];
        if (list.empty()) {
            script << "# no answer recorded for " << qv::ToHex(command) << "\n";
            continue;
        }
        // Answers that repeat the one before add nothing: the last answer is kept anyway.
        std::vector<std::string> kept;
        for (std::string& a : list) {
            if (kept.empty() || kept.back() != a)
                kept.push_back(std::move(a));
        }
        script << "apdu " << qv::ToHex(command) << " ->";
        for (std::size_t i = 0; i < kept.size(); ++i)
            script << (i == 0 ? " " : " | ") << kept[i];
        script << "\n";
    }
    script << "default 6D 00\n";
    return script.str();
}

} // namespace bed
