// The card script file format.
#include "bed/card.h"
#include "detail.h"

#include "core/hex.h"
#include "core/text.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bed {
namespace {

// vpcd waits for ever for an answer of no bytes, and pcscd's reader thread with it.
constexpr const char* kEmptyAnswer =
    "an empty answer hangs the reader; a silent card is 'mute', a pulled one 'drop'";

std::size_t Number(std::string_view word, std::string_view what) {
    const std::optional<std::size_t> value = qv::WholeNumber<std::size_t>(word);
    if (!value) {
        throw std::invalid_argument(std::string(what) + " needs a number, not '" +
                                    std::string(word) + "'");
    }
    return *value;
}

// The number after word i (a count, milliseconds) within [least, most].
std::size_t NumberAfter(const std::vector<std::string_view>& words, std::size_t& i,
                        std::size_t least, std::size_t most = SIZE_MAX) {
    const std::string_view w = words[i];
    if (i + 1 >= words.size())
        throw std::invalid_argument(std::string(w) + " needs a number");
    const std::size_t n = Number(words[++i], w);
    if (n < least || n > most) {
        throw std::invalid_argument(std::string(w) + " " + std::to_string(n) + " is out of range " +
                                    std::to_string(least) + " to " + std::to_string(most));
    }
    return n;
}

// One answer of an "apdu" line: hex bytes, "xx", "random N", "counter N", "delay MS", "drop"
// (or "pull"), "mute", "truncate N", "chain N", "exact-le"; commas separate like blanks.
void ParseAnswer(std::string_view text, Rule& rule) {
    std::string spaced(text);
    for (char& c : spaced) {
        if (c == ',')
            c = ' ';
    }
    const auto words = qv::Words(spaced);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string_view w = words[i];
        if (w == "drop" || w == "pull") {
            rule.drop = true;
        } else if (w == "mute") {
            rule.mute = true;
        } else if (w == "exact-le") {
            rule.exactLe = true;
        } else if (w == "delay") {
            rule.delay = std::chrono::milliseconds(NumberAfter(words, i, 0));
        } else if (w == "truncate") {
            rule.truncate = NumberAfter(words, i, 1, 65535);
        } else if (w == "chain") {
            rule.chain = NumberAfter(words, i, 1, 256);
        } else if (w == "random") {
            // The random bytes of "random N" come first in the answer; say so rather than
            // reorder ("xx" places a random byte anywhere).
            const std::size_t n = NumberAfter(words, i, 0);
            if (!rule.response.empty())
                throw std::invalid_argument("random must come before the response bytes");
            rule.randomBytes += n;
        } else if (w == "xx" || w == "XX") {
            rule.randomAt.push_back(rule.response.size());
            rule.response.push_back(0);
        } else if (w == "counter") {
            if (rule.counterBytes > 0)
                throw std::invalid_argument("one counter an answer");
            rule.counterBytes = NumberAfter(words, i, 1, 8);
            rule.counterAt = rule.response.size();
            rule.response.resize(rule.response.size() + rule.counterBytes);
        } else {
            const Bytes bytes = qv::FromHex(w);
            rule.response.insert(rule.response.end(), bytes.begin(), bytes.end());
        }
    }
    if ((rule.drop || rule.mute) && (!rule.response.empty() || rule.randomBytes > 0)) {
        throw std::invalid_argument(std::string(rule.drop ? "drop" : "mute") +
                                    " answers nothing: no response bytes with it");
    }
    if (rule.drop && rule.mute)
        throw std::invalid_argument("a card is either pulled or mute");
    detail::CheckAnswer(rule);
}

// The answers of an "apdu" line, separated by "|": one rule each, used once in turn, the last
// for every call after.
std::vector<Rule> ParseAnswers(const CommandPattern& pattern, std::string_view text) {
    std::vector<Rule> rules;
    for (std::size_t at = 0;;) {
        const std::size_t bar = std::min(text.find('|', at), text.size());
        Rule rule{pattern, {}};
        ParseAnswer(text.substr(at, bar - at), rule);
        rules.push_back(std::move(rule));
        if (bar == text.size())
            break;
        rules.back().uses = 1;
        at = bar + 1;
    }
    return rules;
}

// "pull after N", "mute after N": the command count.
std::size_t AfterCount(std::string_view rest, std::string_view directive) {
    const auto words = qv::Words(rest);
    if (words.size() != 2 || words[0] != "after")
        throw std::invalid_argument(std::string(directive) + " needs 'after N'");
    std::size_t i = 0;
    return NumberAfter(words, i, 1);
}

} // namespace

CardScript ParseCardScript(std::string_view text) {
    CardScript script;
    std::size_t lineNo = 0;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++lineNo;
        if (const auto hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        const auto words = qv::Words(line);
        if (words.empty())
            continue;
        const std::string_view directive = words[0];
        const std::string_view rest =
            line.substr(directive.data() + directive.size() - line.data());
        try {
            if (directive == "atr") {
                script.atr = qv::FromHex(rest);
                if (script.atr.empty())
                    throw std::invalid_argument("atr needs bytes");
                script.atrLine = lineNo;
            } else if (directive == "echo") {
                if (!qv::Words(rest).empty())
                    throw std::invalid_argument("echo takes nothing after it");
                script.echo = true;
            } else if (directive == "default") {
                script.fallback = qv::FromHex(rest);
                detail::CheckFallback(script.fallback);
            } else if (directive == "apdu") {
                const auto arrow = rest.find("->");
                if (arrow == std::string_view::npos)
                    throw std::invalid_argument("apdu needs '->'");
                const CommandPattern pattern(rest.substr(0, arrow));
                for (Rule& rule : ParseAnswers(pattern, rest.substr(arrow + 2)))
                    script.rules.push_back(std::move(rule));
            } else if (directive == "pull") {
                script.pullAfter = AfterCount(rest, directive);
            } else if (directive == "mute") {
                script.muteAfter = AfterCount(rest, directive);
            } else if (directive == "putback") {
                const auto words = qv::Words(rest);
                std::size_t i = 0;
                if (words.size() != 2 || words[0] != "after")
                    throw std::invalid_argument("putback needs 'after MS'");
                script.putBack = std::chrono::milliseconds(NumberAfter(words, i, 0));
            } else {
                throw std::invalid_argument("unknown directive '" + std::string(directive) + "'");
            }
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument("card script line " + std::to_string(lineNo) + ": " +
                                        e.what());
        }
    }
    return script;
}

CardScript LoadCardScript(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::invalid_argument("cannot read card script " + path);
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return ParseCardScript(text.str());
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(path + ": " + e.what());
    }
}

CommandPattern::CommandPattern(std::string_view text) {
    for (const std::string_view w : qv::Words(text)) {
        if (anyRest_)
            throw std::invalid_argument("'*' must be the last word of a pattern");
        if (w == "*") {
            anyRest_ = true;
        } else if (w == "xx" || w == "XX") {
            value_.push_back(0);
            any_.push_back(1);
        } else {
            const Bytes bytes = qv::FromHex(w);
            value_.insert(value_.end(), bytes.begin(), bytes.end());
            any_.resize(value_.size(), 0);
        }
    }
    if (value_.empty() && !anyRest_)
        throw std::invalid_argument("empty pattern");
}

bool CommandPattern::Matches(std::span<const std::uint8_t> apdu) const {
    if (anyRest_ ? apdu.size() < value_.size() : apdu.size() != value_.size())
        return false;
    for (std::size_t i = 0; i < value_.size(); ++i) {
        if (any_[i] == 0 && value_[i] != apdu[i])
            return false;
    }
    return true;
}

void detail::CheckAnswer(const Rule& rule) {
    if (!rule.drop && !rule.mute && rule.response.empty() && rule.randomBytes == 0)
        throw std::invalid_argument(kEmptyAnswer);
    const auto outside = [&rule](std::size_t at) { return at >= rule.response.size(); };
    if (std::any_of(rule.randomAt.begin(), rule.randomAt.end(), outside) ||
        rule.counterAt + rule.counterBytes > rule.response.size()) {
        throw std::invalid_argument("a random byte or counter beyond the response");
    }
}

void detail::CheckScript(const CardScript& script) {
    for (const Rule& rule : script.rules)
        CheckAnswer(rule);
    CheckFallback(script.fallback);
}

void detail::CheckFallback(const Bytes& fallback) {
    if (fallback.empty())
        throw std::invalid_argument(kEmptyAnswer);
}

} // namespace bed
