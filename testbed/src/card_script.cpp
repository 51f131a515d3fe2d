// The card script file format.
#include "bed/card.h"
#include "bed/fd.h"
#include "detail.h"

#include "core/hex.h"
#include "core/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace bed {
namespace {

// vpcd waits for ever for an answer of no bytes, and pcscd's reader thread with it.
constexpr const char* kEmptyAnswer =
    "an empty answer hangs the reader; a silent card is 'mute', a pulled one 'drop'";
// A delay or a put-back longer than a day is a typing error, and longer ones overflow the clock.
constexpr std::size_t kMaxWaitMs = 24 * 60 * 60 * 1000;

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
            rule.delay = std::chrono::milliseconds(NumberAfter(words, i, 0, kMaxWaitMs));
        } else if (w == "truncate") {
            rule.truncate = NumberAfter(words, i, 1, 65535);
        } else if (w == "chain") {
            rule.chain = NumberAfter(words, i, 1, 256);
        } else if (w == "random") {
            // The random bytes of "random N" come first in the answer; say so rather than
            // reorder ("xx" places a random byte anywhere).
            const std::size_t n = NumberAfter(words, i, 0, kMaxAnswerBytes);
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
                detail::CheckAtr(script.atr);
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
                script.putBack = std::chrono::milliseconds(NumberAfter(words, i, 0, kMaxWaitMs));
            } else {
                throw std::invalid_argument("unknown directive '" + std::string(directive) + "'");
            }
        } catch (const std::invalid_argument& e) {
            throw CardScriptError(lineNo, e.what());
        }
    }
    return script;
}

CardScriptError::CardScriptError(std::size_t line, const std::string& reason)
    : std::invalid_argument("card script line " + std::to_string(line) + ": " + reason),
      line_(line), reason_(reason) {}

namespace {

// The whole text of a card script: a regular file (a device, a folder or a pipe may never end or
// hold no script) of at most kMaxScriptBytes.
std::string ReadScriptFile(const std::string& path) {
    const auto fail = [&path](const std::string& why) {
        return std::invalid_argument("cannot read card script " + path + ": " + why);
    };
    // Non-blocking, so that a FIFO without a writer does not hold the open.
    const Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!file.Valid() || fstat(file.Get(), &st) != 0)
        throw fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw fail(S_ISDIR(st.st_mode) ? "a folder, not a file" : "not a regular file");
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxScriptBytes)
        throw fail("larger than 16 MiB");
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    // The file may change meanwhile: what it holds now, never more than the limit.
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = read(file.Get(), text.data() + got, text.size() - got);
        if (n == 0)
            break;
        if (n < 0 && errno != EINTR)
            throw fail(std::strerror(errno));
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    text.resize(got);
    return text;
}

} // namespace

CardScript LoadCardScript(const std::string& path) {
    const std::string text = ReadScriptFile(path);
    try {
        return ParseCardScript(text);
    } catch (const CardScriptError& e) {
        throw std::invalid_argument(path + ":" + std::to_string(e.Line()) + ": " + e.Reason());
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

// Also the answer's size: checked here and not at each word, so that a script built in code is
// held to it too.
void detail::CheckAnswer(const Rule& rule) {
    if (!rule.drop && !rule.mute && rule.response.empty() && rule.randomBytes == 0)
        throw std::invalid_argument(kEmptyAnswer);
    CheckAnswerSize(rule.randomBytes + rule.response.size());
    const auto outside = [&rule](std::size_t at) { return at >= rule.response.size(); };
    if (std::any_of(rule.randomAt.begin(), rule.randomAt.end(), outside) ||
        rule.counterAt + rule.counterBytes > rule.response.size()) {
        throw std::invalid_argument("a random byte or counter beyond the response");
    }
}

void detail::CheckScript(const CardScript& script) {
    CheckAtr(script.atr);
    for (const Rule& rule : script.rules)
        CheckAnswer(rule);
    CheckFallback(script.fallback);
}

void detail::CheckFallback(const Bytes& fallback) {
    if (fallback.empty())
        throw std::invalid_argument(kEmptyAnswer);
    CheckAnswerSize(fallback.size());
}

void detail::CheckAnswerSize(std::size_t bytes) {
    if (bytes > kMaxAnswerBytes) {
        throw std::invalid_argument("an answer of " + std::to_string(bytes) +
                                    " bytes; a card answers at most 65535, the status word "
                                    "included");
    }
}

void detail::CheckAtr(const Bytes& atr) {
    if (atr.empty())
        throw std::invalid_argument("atr needs bytes");
    if (atr.size() > kMaxAtrBytes) {
        throw std::invalid_argument("an ATR of " + std::to_string(atr.size()) +
                                    " bytes; an ATR has at most 33");
    }
}

} // namespace bed
