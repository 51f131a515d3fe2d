// Hex text and the card script file format.
#include "bed/bed.h"
#include "detail.h"

#include <cctype>
#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bed {
namespace {

// vpcd waits for ever for an answer of no bytes, and pcscd's reader thread with it.
constexpr const char* kEmptyAnswer = "an empty answer hangs the reader; a silent card is 'drop'";

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        std::size_t end = at;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])))
            ++end;
        if (end > at)
            words.push_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

// Appends the bytes of one word of hex digits (an even number of them).
void AppendHexWord(std::string_view word, Bytes& out) {
    if (word.size() % 2 != 0) {
        throw std::invalid_argument("odd number of hex digits in '" + std::string(word) + "'");
    }
    for (std::size_t i = 0; i < word.size(); i += 2) {
        const int high = HexDigit(word[i]);
        const int low = HexDigit(word[i + 1]);
        if (high < 0 || low < 0) {
            throw std::invalid_argument("not a hex byte: '" + std::string(word) + "'");
        }
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
}

std::size_t Number(std::string_view word, std::string_view what) {
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (ec != std::errc{} || end != word.data() + word.size()) {
        throw std::invalid_argument(std::string(what) + " needs a number, not '" +
                                    std::string(word) + "'");
    }
    return value;
}

// The answer part of an "apdu" line: hex bytes, "random N", "delay MS", "drop"; commas separate.
void ParseAnswer(std::string_view text, Rule& rule) {
    std::string spaced(text);
    for (char& c : spaced) {
        if (c == ',')
            c = ' ';
    }
    const auto words = Words(spaced);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string_view w = words[i];
        if (w == "drop") {
            rule.drop = true;
        } else if (w == "random" || w == "delay") {
            if (i + 1 >= words.size())
                throw std::invalid_argument(std::string(w) + " needs a number");
            const std::size_t n = Number(words[++i], w);
            if (w == "delay") {
                rule.delay = std::chrono::milliseconds(n);
            } else {
                // The random bytes always come first in the answer; say so rather than reorder.
                if (!rule.response.empty()) {
                    throw std::invalid_argument("random must come before the response bytes");
                }
                rule.randomBytes += n;
            }
        } else {
            AppendHexWord(w, rule.response);
        }
    }
    if (rule.drop && (!rule.response.empty() || rule.randomBytes > 0)) {
        throw std::invalid_argument("drop answers nothing: no response bytes with it");
    }
    detail::CheckAnswer(rule);
}

struct PatternByte {
    std::uint8_t value;
    bool any;
};

std::vector<PatternByte> CompilePattern(std::string_view pattern, bool* anyRest) {
    std::vector<PatternByte> out;
    bool rest = false;
    for (const std::string_view w : Words(pattern)) {
        if (rest)
            throw std::invalid_argument("'*' must be the last word of a pattern");
        if (w == "*") {
            rest = true;
        } else if (w == "xx" || w == "XX") {
            out.push_back(PatternByte{0, true});
        } else {
            Bytes b;
            AppendHexWord(w, b);
            for (std::uint8_t v : b)
                out.push_back(PatternByte{v, false});
        }
    }
    if (out.empty() && !rest)
        throw std::invalid_argument("empty pattern");
    if (anyRest != nullptr)
        *anyRest = rest;
    return out;
}

void ValidatePattern(std::string_view pattern) {
    CompilePattern(pattern, nullptr);
}

} // namespace

Bytes Hex(std::string_view text) {
    Bytes out;
    for (const std::string_view word : Words(text))
        AppendHexWord(word, out);
    return out;
}

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
        const auto words = Words(line);
        if (words.empty())
            continue;
        const std::string_view directive = words[0];
        const std::string_view rest =
            line.substr(directive.data() + directive.size() - line.data());
        try {
            if (directive == "atr") {
                script.atr = Hex(rest);
                if (script.atr.empty())
                    throw std::invalid_argument("atr needs bytes");
            } else if (directive == "echo") {
                if (!Words(rest).empty())
                    throw std::invalid_argument("echo takes nothing after it");
                script.echo = true;
            } else if (directive == "default") {
                script.fallback = Hex(rest);
                detail::CheckFallback(script.fallback);
            } else if (directive == "apdu") {
                const auto arrow = rest.find("->");
                if (arrow == std::string_view::npos)
                    throw std::invalid_argument("apdu needs '->'");
                Rule rule;
                const auto patternWords = Words(rest.substr(0, arrow));
                for (const std::string_view w : patternWords) {
                    if (!rule.pattern.empty())
                        rule.pattern += ' ';
                    rule.pattern += w;
                }
                ValidatePattern(rule.pattern);
                ParseAnswer(rest.substr(arrow + 2), rule);
                script.rules.push_back(std::move(rule));
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

bool Matches(std::string_view pattern, std::span<const std::uint8_t> apdu) {
    bool anyRest = false;
    const auto bytes = CompilePattern(pattern, &anyRest);
    if (anyRest ? apdu.size() < bytes.size() : apdu.size() != bytes.size())
        return false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (!bytes[i].any && bytes[i].value != apdu[i])
            return false;
    }
    return true;
}

void detail::CheckAnswer(const Rule& rule) {
    if (!rule.drop && rule.response.empty() && rule.randomBytes == 0)
        throw std::invalid_argument(kEmptyAnswer);
}

void detail::CheckFallback(const Bytes& fallback) {
    if (fallback.empty())
        throw std::invalid_argument(kEmptyAnswer);
}

} // namespace bed
