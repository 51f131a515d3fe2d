// The parts of a REQ test that quorvane-run's extended lines can say: an expected response
// written as a pattern, a command with captured values put into it, and the captures a run
// keeps between tests. quorvane-req(5) describes the spelling; this is its meaning.
//
// A pattern is one or more alternatives separated by "|"; a response matches when one of them
// matches it whole. An alternative is a row of items:
//   hex bytes   "90 00", "9000": two digits a byte; "x" (either case) is a digit that matches
//               any nibble ("63 Cx", "6x xx"); "xx" is any byte
//   {N*HH}      N copies of the byte HH (HH may hold "x" digits)
//   {N}         any N bytes
//   {*}, {N+}, {N..M}  any number of bytes: any, at least N, from N to M
//   {name:LEN}  any bytes as LEN above (N, *, N+, N..M), kept under `name` when the alternative
//               matches
//   {name:REF}  as many bytes as the capture REF (1 to 4 bytes) reads as a big-endian number,
//               kept under `name`
//   {REF}       exactly the bytes REF holds
//   {!REF}      as many bytes as REF holds, any but those
//   {tlv TAG: CHILD, ...}  a BER-TLV data object TAG whose value holds data objects: each CHILD
//               ("TAG = ROW" or "TAG" alone) is found by its tag wherever it stands among
//               them, its value matching ROW (a row of items); a last "..." allows others
//   {tlv: CHILD, ...}  such data objects without a tag and length of their own: an item of
//               open length (a template's value as a CHILD's ROW, say)
// A REF is a capture's name, "name[K]" (its byte K, from 0) or "name[K..L]" (bytes K to L). A
// capture serves the items after it in its alternative and the tests after it.
// A row holds at most one item whose length is open (*, N+, N..M, {tlv: ...}), and an item after
// it has a length known before the response is read there (no {tlv TAG: ...}, no capture made
// from the open item on), so the length of every item follows from the response's length and a
// match is never ambiguous.
#pragma once

#include "core/bytes.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The values captured so far in one run of one file, by name.
using Captures = std::map<std::string, Bytes, std::less<>>;

// What the lines before a pattern or command capture, by name: the length of every value the
// name is captured with, or nothing where that length varies.
using KnownCaptures = std::map<std::string, std::optional<std::size_t>, std::less<>>;

// Spelling that the pattern or command parser cannot take: the text says what and where in the
// line (the caller adds FILE:LINE).
class PatternError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kUnboundedLength = static_cast<std::size_t>(-1);
// The most bytes a capture read as a length has.
inline constexpr std::size_t kMostLengthBytes = 4;

// A capture's bytes, or some of them: "name", "name[K]", "name[K..L]".
struct CaptureRef {
    std::string name;
    std::optional<std::size_t> first, last; // bytes first to last, from 0; nothing: all

    std::string Text() const;
    // Its bytes within `value`, the capture's; nothing when the slice reaches past them.
    std::optional<ByteView> Of(ByteView value) const;
};

struct TlvTemplate;

struct PatternItem {
    enum class Kind {
        Fixed, // `value` and `care` bytes: received byte b matches when (b & care) == value
        Run,   // `min` (== `max`) bytes, each matched by value[0] and care[0]: kept as one item,
               // so that a run costs what its text costs
        Any,   // from `min` to `max` bytes of any value, kept under `name` when it is not empty
        Use,   // the bytes `ref` gives
        Other, // as many bytes as `ref` gives, any but those
        Sized, // as many bytes as `ref` reads as a big-endian number, kept under `name`
        Tlv,   // data objects as `tlv` says; without a tag of its own, from `min` to `max` bytes
    };
    Kind kind = Kind::Fixed;
    Bytes value;
    Bytes care;
    std::size_t min = 0;
    std::size_t max = 0;
    std::string name;
    CaptureRef ref;
    std::shared_ptr<const TlvTemplate> tlv; // shared by the copies of a test, never changed

    bool Open() const { return (kind == Kind::Any || kind == Kind::Tlv) && min != max; }
};

struct Alternative {
    std::vector<PatternItem> items;
};

// The data objects a {tlv ...} item asks for.
struct TlvTemplate {
    struct Child {
        Bytes tag;
        std::optional<Alternative> value; // nothing: any value
    };
    Bytes tag; // the template's own tag; empty for {tlv: ...}
    std::vector<Child> children;
    bool others = false; // "...": data objects the children do not name may stand among them
};

struct Pattern {
    std::vector<Alternative> alternatives;
    std::string text; // as written, continuation lines joined by a blank; empty when built

    // The names this pattern reads that an earlier test must have captured (those captured
    // before in the same alternative not among them), and the names it captures.
    const std::vector<std::string>& Uses() const { return uses_; }
    const std::vector<std::string>& Defines() const { return defines_; }
    // Adds the names it captures to `known`, each with the length of its value where every
    // capture of the name has the same one.
    void Define(KnownCaptures& known) const;
    // True when it is one row of fixed bytes whose care is all or nothing: what the base REQ
    // rules can say.
    bool Plain() const;

  private:
    friend Pattern ParsePattern(std::string_view text, const KnownCaptures* known);
    // Worked out once by ParsePattern: a test asks for them each time it runs.
    std::vector<std::string> uses_, defines_;
};

// Parses the text after ">" (without the line end). Throws PatternError. An empty text is an
// error here: the caller decides what a ">" line without bytes means. With `known`, a name that
// neither it nor an earlier item of the alternative captures is an error, and so is a slice or a
// length that the captured lengths cannot give.
Pattern ParsePattern(std::string_view text, const KnownCaptures* known = nullptr);

struct PatternMatch {
    bool matched = false;
    std::size_t alternative = 0; // the one that matched
    Captures bound;              // what the matching alternative captured
    // Where the response first departs from the pattern when it has one alternative: the index
    // of the first byte that differs, or the length of the shorter of the two when all the
    // bytes both have agree (a response of the wrong length).
    std::optional<std::size_t> differs;
    std::string why; // one line: "response differs at byte 3", "4 bytes received, 10 expected"
};

// Matches `received` against `pattern`; `captures` gives the values {name} items read (a name
// it does not hold matches nothing).
PatternMatch MatchPattern(const Pattern& pattern, std::span<const std::uint8_t> received,
                          const Captures& captures);

// A command line's bytes: hex bytes (no "x"), {N*HH} runs and captures {REF}. Runs stay runs
// until the command is sent.
struct CommandTemplate {
    struct Piece {
        Bytes bytes;           // literal bytes, when `ref` names no capture
        std::size_t times = 1; // how often `bytes` stand in a row: N of a run {N*HH}
        CaptureRef ref;        // a capture to put in
    };
    std::vector<Piece> pieces;
    std::string text; // as written

    const std::vector<std::string>& Uses() const { return uses_; }
    // True when a capture is put in: the bytes are known only when the command is sent.
    bool ReadsCaptures() const;
    // The bytes with every run spelled out and every capture put in; nothing when a capture it
    // uses holds no value or not the bytes its slice names (why in `missing`: "capture 'size'
    // holds no value").
    std::optional<Bytes> Expand(const Captures& captures, std::string* missing = nullptr) const;

  private:
    friend CommandTemplate ParseCommand(std::string_view text, const KnownCaptures* known);
    std::vector<std::string> uses_; // worked out once by ParseCommand
};

// Parses the hex text of a command line. Throws PatternError; with `known`, as ParsePattern.
CommandTemplate ParseCommand(std::string_view text, const KnownCaptures* known = nullptr);

} // namespace qv
