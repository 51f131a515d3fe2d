// Patterns, command templates and their captures.
#include "req/req_pattern.h"

#include "core/hex.h"
#include "core/text.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace qv {

namespace {

// A response or a command never holds more bytes than the CT-API's 16-bit length.
constexpr std::size_t kMaxCount = 65535;

struct Token {
    enum class Kind { Hex, Bar, Brace };
    Kind kind;
    std::string_view text; // the digits, or what stands between the braces
};

std::string Quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

bool IsDigitOrMask(char c) {
    return HexDigitValue(c) >= 0 || c == 'x' || c == 'X';
}

// Blanks separate tokens; hex digits, "|" and braces make them.
std::vector<Token> Tokens(std::string_view text) {
    std::vector<Token> tokens;
    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == ' ') {
            ++at;
        } else if (c == '|') {
            tokens.push_back({Token::Kind::Bar, text.substr(at, 1)});
            ++at;
        } else if (c == '{') {
            const std::size_t close = text.find('}', at);
            if (close == std::string_view::npos)
                throw PatternError("'{' without its '}'");
            tokens.push_back({Token::Kind::Brace, text.substr(at + 1, close - at - 1)});
            at = close + 1;
        } else if (IsDigitOrMask(c)) {
            const std::size_t from = at;
            while (at < text.size() && IsDigitOrMask(text[at]))
                ++at;
            tokens.push_back({Token::Kind::Hex, text.substr(from, at - from)});
        } else if (c == '\t') {
            throw PatternError("a tab (only blanks separate bytes)");
        } else {
            throw PatternError(Quoted(std::string(1, c)) + " is no hex digit");
        }
    }
    return tokens;
}

// Digits in pairs: values and care masks ("x" cares for nothing in its nibble); a command's
// digits take no "x".
void HexBytes(std::string_view digits, bool masks, Bytes& value, Bytes& care) {
    const std::size_t before = value.size();
    switch (ReadHexDigits(digits, value, masks ? &care : nullptr)) {
    case HexFault::None:
        if (!masks)
            care.insert(care.end(), value.size() - before, 0xFF);
        break;
    case HexFault::OddDigits:
        throw PatternError(Quoted(digits) + " has an odd number of hex digits");
    case HexFault::NotADigit: // the tokens hold only digits and x
        throw PatternError(Quoted(digits) + ": a command has no 'x' digits");
    }
}

bool IsName(std::string_view text) {
    if (text.empty() || !(std::isalpha(static_cast<unsigned char>(text[0])) || text[0] == '_'))
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

// A decimal count up to kMaxCount; nothing when `text` is not one.
std::optional<std::size_t> Count(std::string_view text) {
    const std::optional<std::size_t> n = WholeNumber<std::size_t>(text);
    if (n && *n > kMaxCount)
        throw PatternError(Quoted(text) + " is more than 65535 bytes");
    return n;
}

// "*", "N", "N+" or "N..M" into an Any item; nothing when `text` is none of them.
std::optional<PatternItem> Length(std::string_view text) {
    PatternItem item;
    item.kind = PatternItem::Kind::Any;
    if (text == "*") {
        item.max = kUnboundedLength;
        return item;
    }
    if (text.ends_with('+')) {
        const auto n = Count(text.substr(0, text.size() - 1));
        if (!n)
            return std::nullopt;
        item.min = *n;
        item.max = kUnboundedLength;
        return item;
    }
    if (const std::size_t dots = text.find(".."); dots != std::string_view::npos) {
        const auto low = Count(text.substr(0, dots));
        const auto high = Count(text.substr(dots + 2));
        if (!low || !high)
            return std::nullopt;
        if (*low > *high)
            throw PatternError("{" + std::string(text) + "}: the lower bound is above the upper");
        item.min = *low;
        item.max = *high;
        return item;
    }
    const auto n = Count(text);
    if (!n)
        return std::nullopt;
    item.min = item.max = *n;
    return item;
}

// "N*HH": N copies of the byte HH, as one Run item; nothing when `text` has no "*" after a count.
std::optional<PatternItem> Fill(std::string_view text, bool masks) {
    const std::size_t star = text.find('*');
    if (star == std::string_view::npos || star == 0)
        return std::nullopt;
    const auto n = Count(Trim(text.substr(0, star), kBlanks));
    if (!n)
        return std::nullopt;
    if (*n == 0)
        throw PatternError("{" + std::string(text) + "} repeats a byte no times");
    const std::string_view digits = Trim(text.substr(star + 1), kBlanks);
    if (digits.size() != 2 || !IsDigitOrMask(digits[0]) || !IsDigitOrMask(digits[1]))
        throw PatternError("{" + std::string(text) + "}: one byte of two hex digits after '*'");
    PatternItem item;
    item.kind = PatternItem::Kind::Run;
    item.min = item.max = *n;
    HexBytes(digits, masks, item.value, item.care);
    return item;
}

// What stands between braces; `inResponse` allows lengths and captures, a command only fills and
// uses.
PatternItem BraceItem(std::string_view inside, bool inResponse) {
    const std::string_view text = Trim(inside, kBlanks);
    const std::string shown = "{" + std::string(inside) + "}";
    if (auto fill = Fill(text, inResponse))
        return *fill;
    if (IsName(text)) {
        PatternItem use;
        use.kind = PatternItem::Kind::Use;
        use.name = text;
        return use;
    }
    if (!inResponse)
        throw PatternError(shown + " in a command: only {name} and {N*HH} are put into one");
    if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        const std::string_view name = Trim(text.substr(0, colon), kBlanks);
        if (!IsName(name))
            throw PatternError(shown + ": " + Quoted(name) + " is no capture name");
        auto item = Length(Trim(text.substr(colon + 1), kBlanks));
        if (!item)
            throw PatternError(shown + ": a length after ':' is N, *, N+ or N..M");
        item->name = name;
        return *item;
    }
    if (auto item = Length(text))
        return *item;
    throw PatternError(shown + " is no length (N, *, N+, N..M), byte run (N*HH) or capture name");
}

void AddFixed(std::vector<PatternItem>& items, Bytes value, Bytes care) {
    if (!items.empty() && items.back().kind == PatternItem::Kind::Fixed) {
        items.back().value.insert(items.back().value.end(), value.begin(), value.end());
        items.back().care.insert(items.back().care.end(), care.begin(), care.end());
        return;
    }
    PatternItem item;
    item.value = std::move(value);
    item.care = std::move(care);
    items.push_back(std::move(item));
}

void CheckAlternative(const Alternative& alternative) {
    if (alternative.items.empty())
        throw PatternError("an empty alternative beside '|'");
    if (std::count_if(alternative.items.begin(), alternative.items.end(),
                      [](const PatternItem& item) { return item.Open(); }) > 1) {
        throw PatternError("two items of open length in one alternative (at most one of *, N+, "
                           "N..M)");
    }
    std::set<std::string, std::less<>> names;
    for (const PatternItem& item : alternative.items) {
        if (item.kind == PatternItem::Kind::Any && !item.name.empty() &&
            !names.insert(item.name).second) {
            throw PatternError("{" + item.name + ":...} captured twice in one alternative");
        }
    }
}

// The length of each item for a response of `size` bytes; the open item, if any, takes the
// rest, held within its bounds (so a response of the wrong length still lines up for the
// report). Nothing when a capture used holds no value (its name in `missing`).
std::optional<std::vector<std::size_t>> Lengths(const Alternative& alternative, std::size_t size,
                                                const Captures& captures, std::string& missing) {
    std::vector<std::size_t> lengths;
    std::size_t fixed = 0;
    std::optional<std::size_t> open;
    for (const PatternItem& item : alternative.items) {
        std::size_t length = 0;
        switch (item.kind) {
        case PatternItem::Kind::Fixed:
            length = item.value.size();
            break;
        case PatternItem::Kind::Run:
        case PatternItem::Kind::Any:
            length = item.min;
            if (item.Open())
                open = lengths.size();
            break;
        case PatternItem::Kind::Use: {
            const auto held = captures.find(item.name);
            if (held == captures.end()) {
                missing = item.name;
                return std::nullopt;
            }
            length = held->second.size();
            break;
        }
        }
        fixed += length;
        lengths.push_back(length);
    }
    if (open) {
        const PatternItem& item = alternative.items[*open];
        const std::size_t rest = size > fixed ? size - fixed + item.min : item.min;
        lengths[*open] = std::clamp(rest, item.min, item.max);
    }
    return lengths;
}

// "10", "at least 10", "from 10 to 12": the lengths the alternative takes.
std::string ExpectedLength(const Alternative& alternative,
                           const std::vector<std::size_t>& lengths) {
    std::size_t fixed = 0;
    const PatternItem* open = nullptr;
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        if (alternative.items[k].Open())
            open = &alternative.items[k];
        else
            fixed += lengths[k];
    }
    if (open == nullptr)
        return std::to_string(fixed);
    if (open->max == kUnboundedLength)
        return "at least " + std::to_string(fixed + open->min);
    return "from " + std::to_string(fixed + open->min) + " to " + std::to_string(fixed + open->max);
}

struct AlternativeMatch {
    bool matched = false;
    std::optional<std::size_t> differs;
    std::string why;
    Captures bound;
};

AlternativeMatch MatchAlternative(const Alternative& alternative,
                                  std::span<const std::uint8_t> received,
                                  const Captures& captures) {
    AlternativeMatch out;
    std::string missing;
    const auto lengths = Lengths(alternative, received.size(), captures, missing);
    if (!lengths) {
        out.why = "capture '" + missing + "' holds no value";
        return out;
    }
    std::size_t at = 0;
    const std::size_t n = received.size();
    std::size_t total = 0;
    for (const std::size_t length : *lengths)
        total += length;
    for (std::size_t k = 0; k < lengths->size() && !out.differs; ++k) {
        const PatternItem& item = alternative.items[k];
        const std::size_t length = (*lengths)[k];
        for (std::size_t j = 0; j < length && !out.differs; ++j) {
            const std::size_t pos = at + j;
            if (pos >= n) {
                out.differs = n;
            } else if (item.kind == PatternItem::Kind::Fixed ||
                       item.kind == PatternItem::Kind::Run) {
                const std::size_t k = item.kind == PatternItem::Kind::Run ? 0 : j;
                if ((received[pos] & item.care[k]) != item.value[k])
                    out.differs = pos;
            } else if (item.kind == PatternItem::Kind::Use) {
                if (received[pos] != captures.find(item.name)->second[j])
                    out.differs = pos;
            }
        }
        if (!out.differs && item.kind == PatternItem::Kind::Any && !item.name.empty() &&
            at + length <= n) {
            out.bound[item.name].assign(received.begin() + static_cast<std::ptrdiff_t>(at),
                                        received.begin() +
                                            static_cast<std::ptrdiff_t>(at + length));
        }
        at += length;
    }
    if (!out.differs && total != n)
        out.differs = std::min(total, n);
    if (!out.differs) {
        out.matched = true;
        return out;
    }
    out.bound.clear();
    out.why = "response differs at byte " + std::to_string(*out.differs + 1);
    if (total != n) {
        out.why += " (" + std::to_string(n) + " bytes received, " +
                   ExpectedLength(alternative, *lengths) + " expected)";
    }
    return out;
}

template <typename Items> std::vector<std::string> NamesOf(const Items& items, bool uses) {
    std::vector<std::string> names;
    for (const auto& item : items) {
        const bool wanted = uses ? item.kind == PatternItem::Kind::Use
                                 : item.kind == PatternItem::Kind::Any && !item.name.empty();
        if (wanted && std::find(names.begin(), names.end(), item.name) == names.end())
            names.push_back(item.name);
    }
    return names;
}

std::vector<std::string> PatternNames(const Pattern& pattern, bool uses) {
    std::vector<std::string> names;
    for (const Alternative& alternative : pattern.alternatives) {
        for (std::string& name : NamesOf(alternative.items, uses)) {
            if (std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(std::move(name));
        }
    }
    return names;
}

} // namespace

std::vector<std::string> Pattern::Uses() const {
    return PatternNames(*this, true);
}

std::vector<std::string> Pattern::Defines() const {
    return PatternNames(*this, false);
}

bool Pattern::Plain() const {
    if (alternatives.size() != 1 || alternatives[0].items.size() != 1)
        return false;
    const PatternItem& item = alternatives[0].items[0];
    return item.kind == PatternItem::Kind::Fixed &&
           std::all_of(item.care.begin(), item.care.end(),
                       [](std::uint8_t care) { return care == 0x00 || care == 0xFF; });
}

Pattern ParsePattern(std::string_view text) {
    Pattern pattern;
    pattern.text = Trim(text, kBlanks);
    pattern.alternatives.emplace_back();
    for (const Token& token : Tokens(text)) {
        auto& items = pattern.alternatives.back().items;
        switch (token.kind) {
        case Token::Kind::Bar:
            CheckAlternative(pattern.alternatives.back());
            pattern.alternatives.emplace_back();
            break;
        case Token::Kind::Hex: {
            Bytes value, care;
            HexBytes(token.text, true, value, care);
            AddFixed(items, std::move(value), std::move(care));
            break;
        }
        case Token::Kind::Brace:
            items.push_back(BraceItem(token.text, true));
            break;
        }
    }
    CheckAlternative(pattern.alternatives.back());
    return pattern;
}

PatternMatch MatchPattern(const Pattern& pattern, std::span<const std::uint8_t> received,
                          const Captures& captures) {
    PatternMatch out;
    for (std::size_t k = 0; k < pattern.alternatives.size(); ++k) {
        AlternativeMatch one = MatchAlternative(pattern.alternatives[k], received, captures);
        if (one.matched) {
            out.matched = true;
            out.alternative = k;
            out.bound = std::move(one.bound);
            return out;
        }
        if (pattern.alternatives.size() == 1) {
            out.differs = one.differs;
            out.why = std::move(one.why);
        }
    }
    if (pattern.alternatives.size() > 1) {
        out.why = "response matches none of the " + std::to_string(pattern.alternatives.size()) +
                  " alternatives";
    }
    return out;
}

std::vector<std::string> CommandTemplate::Uses() const {
    std::vector<std::string> names;
    for (const Piece& piece : pieces) {
        if (!piece.name.empty() && std::find(names.begin(), names.end(), piece.name) == names.end())
            names.push_back(piece.name);
    }
    return names;
}

bool CommandTemplate::ReadsCaptures() const {
    return std::any_of(pieces.begin(), pieces.end(),
                       [](const Piece& piece) { return !piece.name.empty(); });
}

std::optional<Bytes> CommandTemplate::Expand(const Captures& captures, std::string* missing) const {
    Bytes bytes;
    for (const Piece& piece : pieces) {
        if (piece.name.empty()) {
            for (std::size_t k = 0; k < piece.times; ++k)
                bytes.insert(bytes.end(), piece.bytes.begin(), piece.bytes.end());
            continue;
        }
        const auto held = captures.find(piece.name);
        if (held == captures.end()) {
            if (missing != nullptr)
                *missing = piece.name;
            return std::nullopt;
        }
        bytes.insert(bytes.end(), held->second.begin(), held->second.end());
    }
    return bytes;
}

CommandTemplate ParseCommand(std::string_view text) {
    CommandTemplate command;
    command.text = Trim(text, kBlanks);
    const auto literal = [&](const Bytes& bytes) {
        if (command.pieces.empty() || !command.pieces.back().name.empty() ||
            command.pieces.back().times != 1)
            command.pieces.emplace_back();
        command.pieces.back().bytes.insert(command.pieces.back().bytes.end(), bytes.begin(),
                                           bytes.end());
    };
    for (const Token& token : Tokens(text)) {
        if (token.kind == Token::Kind::Bar)
            throw PatternError("'|' in a command: alternatives are for expected responses");
        if (token.kind == Token::Kind::Hex) {
            Bytes value, care;
            HexBytes(token.text, false, value, care);
            literal(value);
            continue;
        }
        PatternItem item = BraceItem(token.text, false);
        if (item.kind == PatternItem::Kind::Run)
            command.pieces.push_back({std::move(item.value), item.min, {}});
        else
            command.pieces.push_back({{}, 1, item.name});
    }
    if (command.pieces.empty())
        throw PatternError("a command line with no bytes");
    return command;
}

} // namespace qv
