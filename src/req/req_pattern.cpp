// Patterns, command templates and their captures.
#include "req/req_pattern.h"

#include "core/ber_tlv.h"
#include "core/hex.h"
#include "core/text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <set>
#include <variant>

namespace qv {

namespace {

// A response or a command never holds more bytes than the CT-API's 16-bit length.
constexpr std::size_t kMaxCount = 65535;
constexpr std::string_view kTlvWord = "tlv";
constexpr std::string_view kOthers = "...";

struct Token {
    enum class Kind { Hex, Bar, Brace };
    Kind kind;
    std::string_view text; // the digits, or what stands between the braces
};

std::string Quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

// A hex digit or "x", by table: the tokenizer asks it of every character of a 64 MiB file.
constexpr std::array<bool, 256> kDigitOrMask = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = HexDigitValue(static_cast<char>(c)) >= 0 || c == 'x' || c == 'X';
    return table;
}();

bool IsDigitOrMask(char c) {
    return kDigitOrMask[static_cast<unsigned char>(c)];
}

// The index of the '}' that closes the '{' at `open` (braces nest in a {tlv ...} item).
std::size_t ClosingBrace(std::string_view text, std::size_t open) {
    std::size_t depth = 0;
    for (std::size_t k = open; k < text.size(); ++k) {
        if (text[k] == '{')
            ++depth;
        else if (text[k] == '}' && --depth == 0)
            return k;
    }
    throw PatternError("'{' without its '}'");
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
            const std::size_t close = ClosingBrace(text, at);
            tokens.push_back({Token::Kind::Brace, text.substr(at + 1, close - at - 1)});
            at = close + 1;
        } else if (IsDigitOrMask(c)) {
            // Runs of digits with single blanks between them make one token: a 65535-byte line
            // is read in one go.
            const std::size_t from = at;
            while (at < text.size() &&
                   (IsDigitOrMask(text[at]) ||
                    (text[at] == ' ' && at + 1 < text.size() && IsDigitOrMask(text[at + 1]))))
                ++at;
            tokens.push_back({Token::Kind::Hex, text.substr(from, at - from)});
        } else if (c == '\t') {
            throw PatternError("a tab (only blanks separate bytes)");
        } else if (c == '=' || c == ',' || c == '.') {
            throw PatternError(Quoted(std::string(1, c)) +
                               " outside a template: a data object's 'TAG = ...' and '...' stand "
                               "in {tlv TAG: ...}");
        } else {
            throw PatternError(Quoted(std::string(1, c)) + " is no hex digit");
        }
    }
    return tokens;
}

// Runs of digits in pairs, blanks between the runs, appended to `value` and, with `care`, their
// care masks ("x" cares for nothing in its nibble); without `care` (a command's) no "x".
void HexBytes(std::string_view digits, Bytes& value, Bytes* care) {
    // Room for the whole token at once (a 65535-byte line is one), growing as a vector grows.
    const auto room = [&digits](Bytes& bytes) {
        const std::size_t needed = bytes.size() + (digits.size() + 1) / 3 + 1;
        if (bytes.capacity() < needed)
            bytes.reserve(std::max(needed, 2 * bytes.capacity()));
    };
    room(value);
    if (care != nullptr)
        room(*care);
    for (std::size_t from = 0; from <= digits.size();) {
        const std::size_t blank = std::min(digits.find(' ', from), digits.size());
        const std::string_view run = digits.substr(from, blank - from);
        from = blank + 1;
        switch (ReadHexDigits(run, value, care)) {
        case HexFault::None:
            break;
        case HexFault::OddDigits:
            throw PatternError(Quoted(run) + " has an odd number of hex digits");
        case HexFault::NotADigit: // the tokens hold only digits and x
            throw PatternError(Quoted(run) + ": a command has no 'x' digits");
        }
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

// "name", "name[K]" or "name[K..L]"; nothing when `text` is none of them.
std::optional<CaptureRef> Ref(std::string_view text) {
    CaptureRef ref;
    const std::size_t bracket = text.find('[');
    ref.name = Trim(text.substr(0, bracket), kBlanks);
    if (!IsName(ref.name))
        return std::nullopt;
    if (bracket == std::string_view::npos)
        return ref;
    if (!text.ends_with(']'))
        return std::nullopt;
    const std::string_view inside = text.substr(bracket + 1, text.size() - bracket - 2);
    const std::size_t dots = inside.find("..");
    ref.first = Count(Trim(inside.substr(0, dots), kBlanks));
    ref.last =
        dots == std::string_view::npos ? ref.first : Count(Trim(inside.substr(dots + 2), kBlanks));
    if (!ref.first || !ref.last)
        throw PatternError("{" + std::string(text) + "}: a part of a capture is [K] or [K..L]");
    if (*ref.first > *ref.last)
        throw PatternError("{" + std::string(text) + "}: the first byte is after the last");
    return ref;
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
    HexBytes(digits, item.value, masks ? &item.care : nullptr);
    return item;
}

std::vector<PatternItem> ParseRow(std::string_view text);

// A tag written in hex digits, blanks allowed between them ("62", "9F 38").
Bytes TagOf(std::string_view text, const std::string& shown) {
    Bytes tag;
    try {
        tag = FromHex(text);
    } catch (const std::invalid_argument&) {
        throw PatternError(shown + ": " + Quoted(Trim(text, kBlanks)) + " is no tag in hex");
    }
    if (!IsBerTag(tag))
        throw PatternError(shown + ": " + Quoted(Trim(text, kBlanks)) + " is no BER-TLV tag");
    return tag;
}

// The parts of a template's text between its commas, braces kept whole.
std::vector<std::string_view> Children(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t depth = 0, from = 0;
    for (std::size_t k = 0; k <= text.size(); ++k) {
        if (k == text.size() || (text[k] == ',' && depth == 0)) {
            parts.push_back(Trim(text.substr(from, k - from), kBlanks));
            from = k + 1;
        } else if (text[k] == '{') {
            ++depth;
        } else if (text[k] == '}') {
            --depth;
        }
    }
    return parts;
}

// "tlv TAG: CHILD, ..." or "tlv: CHILD, ...".
PatternItem TlvItem(std::string_view text, const std::string& shown) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        throw PatternError(shown + ": a template is {tlv TAG: CHILD, ...}");
    auto tlv = std::make_shared<TlvTemplate>();
    const std::string_view tag =
        Trim(text.substr(kTlvWord.size(), colon - kTlvWord.size()), kBlanks);
    if (!tag.empty())
        tlv->tag = TagOf(tag, shown);
    const std::string_view body = Trim(text.substr(colon + 1), kBlanks);
    const std::vector<std::string_view> parts =
        body.empty() ? std::vector<std::string_view>{} : Children(body);
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const std::string_view part = parts[k];
        if (part == kOthers) {
            if (k + 1 != parts.size())
                throw PatternError(shown + ": '...' stands last among the children");
            tlv->others = true;
            continue;
        }
        if (part.empty())
            throw PatternError(shown + ": an empty child between commas");
        TlvTemplate::Child child;
        const std::size_t equals = part.find('=');
        child.tag = TagOf(part.substr(0, equals), shown);
        if (equals != std::string_view::npos) {
            const std::string_view row = Trim(part.substr(equals + 1), kBlanks);
            if (row.empty())
                throw PatternError(shown +
                                   ": nothing after '=' (write the tag alone for any value)");
            child.value = Alternative{ParseRow(row)};
        }
        tlv->children.push_back(std::move(child));
    }
    PatternItem item;
    item.kind = PatternItem::Kind::Tlv;
    if (tlv->tag.empty())
        item.max = kUnboundedLength; // data objects filling what the row leaves
    item.tlv = std::move(tlv);
    return item;
}

bool StartsTlv(std::string_view text) {
    return text.starts_with(kTlvWord) && text.size() > kTlvWord.size() &&
           (text[kTlvWord.size()] == ' ' || text[kTlvWord.size()] == ':');
}

// What stands between braces; `inResponse` allows lengths, captures and templates, a command
// only fills and uses.
PatternItem BraceItem(std::string_view inside, bool inResponse) {
    const std::string_view text = Trim(inside, kBlanks);
    const std::string shown = "{" + std::string(inside) + "}";
    if (auto fill = Fill(text, inResponse))
        return *fill;
    if (auto ref = Ref(text)) {
        PatternItem use;
        use.kind = PatternItem::Kind::Use;
        use.ref = std::move(*ref);
        return use;
    }
    if (!inResponse)
        throw PatternError(shown + " in a command: only {name} and {N*HH} are put into one (and "
                                   "parts of captures, {name[K..L]})");
    if (StartsTlv(text))
        return TlvItem(text, shown);
    if (text.starts_with('!')) {
        auto ref = Ref(text.substr(1));
        if (!ref)
            throw PatternError(shown + ": '!' stands before a capture's name");
        PatternItem other;
        other.kind = PatternItem::Kind::Other;
        other.ref = std::move(*ref);
        return other;
    }
    if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        const std::string_view name = Trim(text.substr(0, colon), kBlanks);
        if (!IsName(name))
            throw PatternError(shown + ": " + Quoted(name) + " is no capture name");
        const std::string_view length = Trim(text.substr(colon + 1), kBlanks);
        auto item = Length(length);
        if (!item) {
            auto ref = Ref(length);
            if (!ref)
                throw PatternError(shown + ": a length after ':' is N, *, N+, N..M or a capture");
            item.emplace();
            item->kind = PatternItem::Kind::Sized;
            item->ref = std::move(*ref);
        }
        item->name = name;
        return *item;
    }
    if (auto item = Length(text))
        return *item;
    throw PatternError(shown + " is no length (N, *, N+, N..M), byte run (N*HH) or capture name");
}

// Hex bytes join the fixed bytes before them.
void AddToken(std::vector<PatternItem>& items, const Token& token) {
    if (token.kind != Token::Kind::Hex) {
        items.push_back(BraceItem(token.text, true));
        return;
    }
    if (items.empty() || items.back().kind != PatternItem::Kind::Fixed)
        items.emplace_back();
    HexBytes(token.text, items.back().value, &items.back().care);
}

// A template child's value: items without alternatives.
std::vector<PatternItem> ParseRow(std::string_view text) {
    std::vector<PatternItem> items;
    for (const Token& token : Tokens(text)) {
        if (token.kind == Token::Kind::Bar)
            throw PatternError(
                "'|' in a data object's value: alternatives are for whole responses");
        AddToken(items, token);
    }
    return items;
}

bool IsCapture(const PatternItem& item) {
    return (item.kind == PatternItem::Kind::Any || item.kind == PatternItem::Kind::Sized) &&
           !item.name.empty();
}

// Walks an alternative's items in the order they are matched (a template's children in the
// order written), each with the captures made before it.
template <typename Visit> void Walk(const std::vector<PatternItem>& items, const Visit& visit) {
    for (const PatternItem& item : items) {
        visit(item);
        if (item.kind == PatternItem::Kind::Tlv) {
            for (const TlvTemplate::Child& child : item.tlv->children) {
                if (child.value)
                    Walk(child.value->items, visit);
            }
        }
    }
}

bool ReadsCapture(const PatternItem& item) {
    return item.kind == PatternItem::Kind::Use || item.kind == PatternItem::Kind::Other ||
           item.kind == PatternItem::Kind::Sized;
}

// The checks of one alternative before anything is sent: one open item per row, nothing after it
// whose length the response gives, each name captured once, and with `known` the names read,
// their slices and their lengths.
class AlternativeCheck {
  public:
    explicit AlternativeCheck(const KnownCaptures* known) : known_(known) {}

    void Row(const std::vector<PatternItem>& items) {
        if (items.empty())
            throw PatternError("an empty alternative beside '|'");
        bool open = false;
        std::set<std::string, std::less<>> beforeOpen;
        for (const PatternItem& item : items) {
            if (open && item.kind == PatternItem::Kind::Tlv && !item.Open())
                throw PatternError("a data object {tlv " + ToHex(item.tlv->tag, kHexTight) +
                                   ": ...} after an item of open length: its length is not known "
                                   "there");
            if (open && ReadsCapture(item) && local_.contains(item.ref.name) &&
                !beforeOpen.contains(item.ref.name))
                throw PatternError("{" + item.ref.Text() +
                                   "} after an item of open length reads "
                                   "a capture made from that item on: its length is not known "
                                   "there");
            if (item.Open()) {
                if (open)
                    throw PatternError("two items of open length in one alternative (at most one "
                                       "of *, N+, N..M, {tlv: ...})");
                open = true;
                for (const auto& [name, length] : local_)
                    beforeOpen.insert(name);
            }
            Item(item);
        }
    }

  private:
    void Item(const PatternItem& item) {
        if (ReadsCapture(item))
            Read(item);
        if (IsCapture(item)) {
            const std::optional<std::size_t> length =
                item.kind == PatternItem::Kind::Any && item.min == item.max
                    ? std::optional<std::size_t>(item.min)
                    : std::nullopt;
            if (!local_.emplace(item.name, length).second)
                throw PatternError("{" + item.name + ":...} captured twice in one alternative");
        }
        if (item.kind == PatternItem::Kind::Tlv) {
            for (const TlvTemplate::Child& child : item.tlv->children) {
                if (child.value)
                    Row(child.value->items);
            }
        }
    }

    // A capture read: known, its slice within it, and as a length 1 to 4 bytes.
    void Read(const PatternItem& item) {
        const CaptureRef& ref = item.ref;
        const bool asLength = item.kind == PatternItem::Kind::Sized;
        std::optional<std::size_t> length;
        if (const auto here = local_.find(ref.name); here != local_.end()) {
            length = here->second;
        } else if (known_ == nullptr) {
            return;
        } else if (const auto before = known_->find(ref.name); before != known_->end()) {
            length = before->second;
        } else {
            throw PatternError(asLength ? "capture '" + ref.name +
                                              "' is used as a length before "
                                              "it is set (no earlier test or item captures it)"
                                        : "unknown capture name '" + ref.name +
                                              "' (no earlier test captures it)");
        }
        CheckSlice(ref, length);
        const std::optional<std::size_t> width =
            ref.first ? std::optional<std::size_t>(*ref.last - *ref.first + 1) : length;
        if (asLength && width && (*width == 0 || *width > kMostLengthBytes)) {
            throw PatternError("{" + item.name + ":" + ref.Text() +
                               "}: a length is read from 1 "
                               "to 4 bytes, and " +
                               ref.Text() + " holds " + std::to_string(*width));
        }
    }

    static void CheckSlice(const CaptureRef& ref, std::optional<std::size_t> length) {
        if (ref.first && length && *ref.last >= *length) {
            throw PatternError("{" + ref.Text() + "}: capture '" + ref.name + "' holds " +
                               std::to_string(*length) + " bytes (bytes 0 to " +
                               std::to_string(*length - 1) + ")");
        }
    }

    const KnownCaptures* known_;
    KnownCaptures local_; // captured before in this alternative
};

std::string Plural(std::size_t count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// One alternative against the response, item after item: each item's length is known when the
// response is read there (its own, a capture's, the data object's, or for the open item what the
// row leaves).
class Matcher {
  public:
    Matcher(ByteView received, const Captures& captures)
        : received_(received), captures_(captures) {}

    // The items against received[from, to); false at the first difference.
    bool Row(const std::vector<PatternItem>& items, std::size_t from, std::size_t to,
             std::vector<std::size_t>* lengths = nullptr) {
        std::size_t at = from;
        for (std::size_t k = 0; k < items.size(); ++k) {
            const PatternItem& item = items[k];
            std::optional<std::size_t> length;
            if (item.Open())
                length = OpenLength(items, k, at, from, to);
            else if (item.kind == PatternItem::Kind::Tlv)
                length = ObjectLength(item, at, to);
            else
                length = KnownLength(item, at, to);
            if (!length)
                return false; // why_ says why
            if (lengths != nullptr)
                lengths->push_back(*length);
            if (!Item(item, at, *length, to))
                return false;
            at += *length;
        }
        if (at != to)
            return Differs(std::min(at, to));
        return true;
    }

    Captures bound;
    std::optional<std::size_t> differs;
    std::string why;

  private:
    bool Differs(std::size_t at, std::string reason = {}) {
        differs = at;
        why = std::move(reason);
        return false;
    }

    // The bytes `ref` gives: captured before in this alternative, or by an earlier test.
    std::optional<ByteView> Held(const CaptureRef& ref, std::size_t at) {
        const Bytes* value = nullptr;
        if (const auto here = bound.find(ref.name); here != bound.end())
            value = &here->second;
        else if (const auto before = captures_.find(ref.name); before != captures_.end())
            value = &before->second;
        if (value == nullptr) {
            Differs(at, "capture '" + ref.name + "' holds no value");
            return std::nullopt;
        }
        const std::optional<ByteView> part = ref.Of(*value);
        if (!part) {
            Differs(at, "capture '" + ref.name + "' holds " + Plural(value->size(), "byte") +
                            ": {" + ref.Text() + "} reaches past them");
        }
        return part;
    }

    // The length of an item that is neither open nor a data object: fixed, or a capture's.
    std::optional<std::size_t> KnownLength(const PatternItem& item, std::size_t at,
                                           std::size_t to) {
        switch (item.kind) {
        case PatternItem::Kind::Fixed:
            return item.value.size();
        case PatternItem::Kind::Use:
        case PatternItem::Kind::Other: {
            const auto held = Held(item.ref, at);
            return held ? std::optional<std::size_t>(held->size()) : std::nullopt;
        }
        case PatternItem::Kind::Sized:
            return SizedLength(item, at, to);
        default:
            return item.min;
        }
    }

    std::optional<std::size_t> SizedLength(const PatternItem& item, std::size_t at,
                                           std::size_t to) {
        const auto held = Held(item.ref, at);
        if (!held)
            return std::nullopt;
        if (held->empty() || held->size() > kMostLengthBytes) {
            Differs(at, "capture '" + item.ref.Text() + "' holds " + Plural(held->size(), "byte") +
                            ": a length is read from 1 to 4");
            return std::nullopt;
        }
        std::size_t length = 0;
        for (const std::uint8_t byte : *held)
            length = (length << 8) | byte;
        const std::size_t left = to > at ? to - at : 0;
        if (length > left) {
            Differs(at, "length capture '" + item.ref.Text() + "' holds " + std::to_string(length) +
                            " (" + ToHex(*held) + "), more than the " + Plural(left, "byte") +
                            " left at byte " + std::to_string(at + 1));
            return std::nullopt;
        }
        return length;
    }

    // The open item takes what the row leaves, held within its bounds; the items after it have
    // lengths known now (AlternativeCheck).
    std::optional<std::size_t> OpenLength(const std::vector<PatternItem>& items, std::size_t k,
                                          std::size_t at, std::size_t from, std::size_t to) {
        std::size_t after = 0;
        for (std::size_t j = k + 1; j < items.size(); ++j) {
            const auto length = KnownLength(items[j], at, kUnboundedLength);
            if (!length)
                return std::nullopt;
            after += *length;
        }
        const std::size_t before = at - from, size = to - from;
        const PatternItem& item = items[k];
        const std::size_t fixed = before + after + item.min;
        const std::size_t rest = size > fixed ? size - fixed + item.min : item.min;
        return std::clamp(rest, item.min, item.max);
    }

    // A data object's whole length, as its tag and length say.
    std::optional<std::size_t> ObjectLength(const PatternItem& item, std::size_t at,
                                            std::size_t to) {
        if (at >= to) {
            Differs(to);
            return std::nullopt;
        }
        const auto read = ReadBerObject(received_, at, to);
        if (const auto* fault = std::get_if<BerFault>(&read)) {
            Differs(fault->at, NotTlv(*fault));
            return std::nullopt;
        }
        const BerObject& object = std::get<BerObject>(read);
        const ByteView tag = object.Tag(received_);
        if (!std::ranges::equal(tag, item.tlv->tag)) {
            const auto first = std::ranges::mismatch(tag, item.tlv->tag).in1 - tag.begin();
            Differs(at + static_cast<std::size_t>(first));
            return std::nullopt;
        }
        return object.end - at;
    }

    static std::string NotTlv(const BerFault& fault) {
        return "response is no well-formed BER-TLV at byte " + std::to_string(fault.at + 1) + ": " +
               fault.text;
    }

    // The bytes of one item at [at, at + length), within `to`.
    bool Item(const PatternItem& item, std::size_t at, std::size_t length, std::size_t to) {
        const std::size_t end = std::min(at + length, to);
        switch (item.kind) {
        case PatternItem::Kind::Fixed:
        case PatternItem::Kind::Run:
            for (std::size_t pos = at; pos < end; ++pos) {
                const std::size_t k = item.kind == PatternItem::Kind::Run ? 0 : pos - at;
                if ((received_[pos] & item.care[k]) != item.value[k])
                    return Differs(pos);
            }
            break;
        case PatternItem::Kind::Use: {
            const ByteView held = *Held(item.ref, at);
            for (std::size_t pos = at; pos < end; ++pos) {
                if (received_[pos] != held[pos - at])
                    return Differs(pos);
            }
            break;
        }
        case PatternItem::Kind::Other:
            if (end - at == length &&
                std::ranges::equal(received_.subspan(at, length), *Held(item.ref, at))) {
                return Differs(at, "response repeats the " + Plural(length, "byte") + " of '" +
                                       item.ref.Text() + "' at byte " + std::to_string(at + 1) +
                                       " ({!" + item.ref.Text() + "} wants others)");
            }
            break;
        case PatternItem::Kind::Any:
        case PatternItem::Kind::Sized:
            break;
        case PatternItem::Kind::Tlv:
            if (end - at == length && !Template(*item.tlv, at, end))
                return false;
            break;
        }
        if (end - at < length)
            return Differs(to);
        if (IsCapture(item))
            bound[item.name].assign(received_.begin() + static_cast<std::ptrdiff_t>(at),
                                    received_.begin() + static_cast<std::ptrdiff_t>(end));
        return true;
    }

    // A template's children at [at, end): its own tag and length first where it has them.
    bool Template(const TlvTemplate& tlv, std::size_t at, std::size_t end) {
        std::size_t from = at;
        std::string where = "among the data objects at byte " + std::to_string(at + 1);
        if (!tlv.tag.empty()) {
            const BerObject object = std::get<BerObject>(ReadBerObject(received_, at, end));
            from = object.valueStart;
            where = "in " + ToHex(tlv.tag, kHexTight) + " at byte " + std::to_string(at + 1);
        }
        std::vector<BerObject> objects;
        for (std::size_t k = from; k < end;) {
            const auto read = ReadBerObject(received_, k, end);
            if (const auto* fault = std::get_if<BerFault>(&read))
                return Differs(fault->at, NotTlv(*fault) + " (" + where + ")");
            objects.push_back(std::get<BerObject>(read));
            k = objects.back().end;
        }
        std::vector<bool> named(objects.size(), false);
        for (const TlvTemplate::Child& child : tlv.children) {
            const auto found = std::ranges::find_if(objects, [&](const BerObject& object) {
                return !named[static_cast<std::size_t>(&object - objects.data())] &&
                       std::ranges::equal(object.Tag(received_), child.tag);
            });
            const std::string name = ToHex(child.tag, kHexTight);
            if (found == objects.end())
                return Differs(at, "response has no data object " + name + " " + where);
            named[static_cast<std::size_t>(found - objects.begin())] = true;
            if (child.value && !Row(child.value->items, found->valueStart, found->end)) {
                if (why.empty())
                    why = "response differs at byte " + std::to_string(*differs + 1) +
                          ", in the value of data object " + name + " " + where + " (" +
                          Plural(found->end - found->valueStart, "byte") + ")";
                return false;
            }
        }
        for (std::size_t k = 0; k < objects.size() && !tlv.others; ++k) {
            if (!named[k])
                return Differs(objects[k].start,
                               "response has data object " +
                                   ToHex(objects[k].Tag(received_), kHexTight) + " at byte " +
                                   std::to_string(objects[k].start + 1) + " " + where +
                                   ", which the template does not name (a last '...' allows "
                                   "others)");
        }
        return true;
    }

    ByteView received_;
    const Captures& captures_;
};

// "10", "at least 10", "from 10 to 12": the lengths a row takes, given the lengths of its items
// as far as they are known.
std::string ExpectedLength(const std::vector<PatternItem>& items,
                           const std::vector<std::size_t>& lengths) {
    std::size_t fixed = 0;
    const PatternItem* open = nullptr;
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        if (items[k].Open())
            open = &items[k];
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

// The lengths of the items a match did not reach, where a capture or the pattern gives them.
bool RestLengths(const std::vector<PatternItem>& items, std::vector<std::size_t>& lengths,
                 const Captures& captures, const Captures& bound) {
    for (std::size_t k = lengths.size(); k < items.size(); ++k) {
        const PatternItem& item = items[k];
        if (item.kind == PatternItem::Kind::Fixed) {
            lengths.push_back(item.value.size());
        } else if (item.kind == PatternItem::Kind::Run || item.kind == PatternItem::Kind::Any) {
            lengths.push_back(item.min);
        } else if (item.kind == PatternItem::Kind::Use || item.kind == PatternItem::Kind::Other) {
            const auto here = bound.find(item.ref.name);
            const auto before = captures.find(item.ref.name);
            const Bytes* value = here != bound.end()        ? &here->second
                                 : before != captures.end() ? &before->second
                                                            : nullptr;
            const auto part = value ? item.ref.Of(*value) : std::nullopt;
            if (!part)
                return false;
            lengths.push_back(part->size());
        } else {
            return false; // a length the response gives
        }
    }
    return true;
}

AlternativeMatch MatchAlternative(const Alternative& alternative,
                                  std::span<const std::uint8_t> received,
                                  const Captures& captures) {
    AlternativeMatch out;
    Matcher matcher(received, captures);
    std::vector<std::size_t> lengths;
    if (matcher.Row(alternative.items, 0, received.size(), &lengths)) {
        out.matched = true;
        out.bound = std::move(matcher.bound);
        return out;
    }
    out.differs = matcher.differs;
    out.why = std::move(matcher.why);
    if (!out.why.empty())
        return out;
    out.why = "response differs at byte " + std::to_string(*out.differs + 1);
    // The bytes of the item that differed were read; its length stands.
    if (!lengths.empty() && RestLengths(alternative.items, lengths, captures, matcher.bound)) {
        std::size_t total = 0;
        for (const std::size_t length : lengths)
            total += length;
        if (total != received.size()) {
            out.why += " (" + std::to_string(received.size()) + " bytes received, " +
                       ExpectedLength(alternative.items, lengths) + " expected)";
        }
    }
    return out;
}

void AddName(std::vector<std::string>& names, const std::string& name) {
    if (std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
}

} // namespace

std::string CaptureRef::Text() const {
    if (!first)
        return name;
    return name + "[" + std::to_string(*first) +
           (*last != *first ? ".." + std::to_string(*last) : std::string()) + "]";
}

std::optional<ByteView> CaptureRef::Of(ByteView value) const {
    if (!first)
        return value;
    if (*last >= value.size())
        return std::nullopt;
    return value.subspan(*first, *last - *first + 1);
}

namespace {

std::vector<std::string> ReadNames(const std::vector<Alternative>& alternatives) {
    std::vector<std::string> names;
    for (const Alternative& alternative : alternatives) {
        std::set<std::string, std::less<>> captured;
        Walk(alternative.items, [&](const PatternItem& item) {
            if (ReadsCapture(item) && !captured.contains(item.ref.name))
                AddName(names, item.ref.name);
            if (IsCapture(item))
                captured.insert(item.name);
        });
    }
    return names;
}

std::vector<std::string> CapturedNames(const std::vector<Alternative>& alternatives) {
    std::vector<std::string> names;
    for (const Alternative& alternative : alternatives) {
        Walk(alternative.items, [&](const PatternItem& item) {
            if (IsCapture(item))
                AddName(names, item.name);
        });
    }
    return names;
}

} // namespace

void Pattern::Define(KnownCaptures& known) const {
    for (const Alternative& alternative : alternatives) {
        Walk(alternative.items, [&](const PatternItem& item) {
            if (!IsCapture(item))
                return;
            const std::optional<std::size_t> length =
                item.kind == PatternItem::Kind::Any && item.min == item.max
                    ? std::optional<std::size_t>(item.min)
                    : std::nullopt;
            const auto [at, fresh] = known.emplace(item.name, length);
            if (!fresh && at->second != length)
                at->second.reset();
        });
    }
}

bool Pattern::Plain() const {
    if (alternatives.size() != 1 || alternatives[0].items.size() != 1)
        return false;
    const PatternItem& item = alternatives[0].items[0];
    return item.kind == PatternItem::Kind::Fixed &&
           std::all_of(item.care.begin(), item.care.end(),
                       [](std::uint8_t care) { return care == 0x00 || care == 0xFF; });
}

Pattern ParsePattern(std::string_view text, const KnownCaptures* known) {
    Pattern pattern;
    pattern.text = Trim(text, kBlanks);
    pattern.alternatives.emplace_back();
    for (const Token& token : Tokens(text)) {
        if (token.kind == Token::Kind::Bar)
            pattern.alternatives.emplace_back();
        else
            AddToken(pattern.alternatives.back().items, token);
    }
    for (const Alternative& alternative : pattern.alternatives)
        AlternativeCheck(known).Row(alternative.items);
    pattern.uses_ = ReadNames(pattern.alternatives);
    pattern.defines_ = CapturedNames(pattern.alternatives);
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

bool CommandTemplate::ReadsCaptures() const {
    return std::any_of(pieces.begin(), pieces.end(),
                       [](const Piece& piece) { return !piece.ref.name.empty(); });
}

std::optional<Bytes> CommandTemplate::Expand(const Captures& captures, std::string* missing) const {
    Bytes bytes;
    for (const Piece& piece : pieces) {
        if (piece.ref.name.empty()) {
            for (std::size_t k = 0; k < piece.times; ++k)
                bytes.insert(bytes.end(), piece.bytes.begin(), piece.bytes.end());
            continue;
        }
        const auto held = captures.find(piece.ref.name);
        const auto part = held == captures.end() ? std::nullopt : piece.ref.Of(held->second);
        if (!part) {
            if (missing != nullptr)
                *missing = piece.ref.name;
            return std::nullopt;
        }
        bytes.insert(bytes.end(), part->begin(), part->end());
    }
    return bytes;
}

CommandTemplate ParseCommand(std::string_view text, const KnownCaptures* known) {
    CommandTemplate command;
    command.text = Trim(text, kBlanks);
    // Hex bytes join the literal bytes before them.
    const auto literal = [&](std::string_view digits) {
        if (command.pieces.empty() || !command.pieces.back().ref.name.empty() ||
            command.pieces.back().times != 1)
            command.pieces.emplace_back();
        HexBytes(digits, command.pieces.back().bytes, nullptr);
    };
    std::vector<PatternItem> uses; // checked as a row of a pattern is
    for (const Token& token : Tokens(text)) {
        if (token.kind == Token::Kind::Bar)
            throw PatternError("'|' in a command: alternatives are for expected responses");
        if (token.kind == Token::Kind::Hex) {
            literal(token.text);
            continue;
        }
        PatternItem item = BraceItem(token.text, false);
        if (item.kind == PatternItem::Kind::Run) {
            command.pieces.push_back({std::move(item.value), item.min, {}});
        } else {
            command.pieces.push_back({{}, 1, item.ref});
            uses.push_back(std::move(item));
        }
    }
    if (command.pieces.empty())
        throw PatternError("a command line with no bytes");
    if (!uses.empty())
        AlternativeCheck(known).Row(uses);
    for (const CommandTemplate::Piece& piece : command.pieces) {
        if (!piece.ref.name.empty())
            AddName(command.uses_, piece.ref.name);
    }
    return command;
}

} // namespace qv
