// The simulated card's answers: its script (man/quorvane-card.5) and the logic that plays it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/hex.h" // card scripts and their users write and read bytes as hex text

namespace bed {

using qv::Bytes;
using namespace std::chrono_literals;

// A command pattern of a card script, read once when the script is: hex bytes, "xx" for any
// byte, and a trailing "*" for any rest, possibly empty ("00 A4 04 00 xx *"). Rules written in
// code take their pattern as text as a script does.
class CommandPattern {
  public:
    // Throws std::invalid_argument when the pattern is malformed.
    CommandPattern(std::string_view text);
    CommandPattern(const char* text) : CommandPattern(std::string_view(text)) {}

    bool Matches(std::span<const std::uint8_t> apdu) const;

  private:
    Bytes value_;
    Bytes any_; // non-zero where the byte is "xx"
    bool anyRest_ = false;
};

// ---- The simulated card ---------------------------------------------------------------------

// One APDU rule: a command pattern ("xx" matches any byte, a trailing "*" any rest), the
// response, and what the card does besides answering. The card script language is
// man/quorvane-card.5.
struct Rule {
    CommandPattern pattern;              // e.g. "00 A4 04 00 xx *"
    Bytes response;                      // e.g. {0x90, 0x00}
    std::size_t randomBytes = 0;         // random bytes placed before `response` (GET CHALLENGE)
    std::chrono::milliseconds delay{0};  // before answering
    bool drop = false;                   // close the connection instead of answering (card pulled)
    bool mute = false;                   // never answer: the reader waits until the card is gone
    std::vector<std::size_t> randomAt{}; // places in `response` that get a random byte each time
    std::size_t counterAt = 0;           // a counter's place in `response` ...
    std::size_t counterBytes = 0;        // ... and width: big-endian, 1 at the rule's first use
    std::optional<std::size_t> truncate{}; // only the first this many bytes are sent
    std::size_t chain = 0; // > 0: 61xx, then GET RESPONSE hands the data this many at a time
    bool exactLe = false;  // 6Cxx when the command's Le is not the data's length
    std::size_t uses = 0;  // > 0: the rule matches this many commands, then no more
};

struct CardScript {
    Bytes atr{0x3B, 0x02, 0x14, 0x50};
    std::vector<Rule> rules;    // first match wins
    Bytes fallback{0x6D, 0x00}; // answer when no rule matches
    bool echo = false;          // the echo command set answers what no rule matches
    std::size_t pullAfter = 0;  // > 0: the card leaves the reader after answering this command
    std::size_t muteAfter = 0;  // > 0: the card answers nothing after this command
    std::optional<std::chrono::milliseconds> putBack{}; // a pulled card comes back this much later
    std::size_t atrLine = 0; // the line of the script's "atr", 0 for the default ATR
};

// The echo command set (class 80, INS E1 to E5, P1 P2 00 00), or nothing when `apdu` is not
// one of its commands.
std::optional<Bytes> EchoAnswer(std::span<const std::uint8_t> apdu);

// What a card does with one command.
struct Reply {
    Bytes answer;                       // empty only when the card pulls out or stays mute
    std::chrono::milliseconds delay{0}; // before answering
    bool pull = false;                  // leave the reader instead of answering
    bool mute = false;                  // answer nothing, ever
    bool pullAfter = false;             // leave the reader once the answer is sent
};

// A card's answers to its commands, by its script: the rules, then the echo set, then the
// default. Not thread-safe.
class CardLogic {
  public:
    explicit CardLogic(CardScript script);
    Reply Respond(std::span<const std::uint8_t> apdu);
    const CardScript& Script() const { return script_; }

  private:
    std::optional<Reply> FromChain(std::span<const std::uint8_t> apdu);
    Reply FromRule(const Rule& rule, std::size_t use, std::span<const std::uint8_t> apdu);

    CardScript script_;
    std::mt19937 random_;
    std::vector<std::size_t> uses_; // per rule
    std::size_t commands_ = 0;
    Bytes chainRest_;   // the data a 61xx announced, still to be fetched
    Bytes chainStatus_; // the status word after them
    std::size_t chainPiece_ = 0;
};

// The card script file format (man/quorvane-card.5), one directive a line, '#' starts a
// comment:
//   atr 3B 02 14 50
//   apdu 00 A4 04 00 xx * -> 90 00
//   apdu 00 84 00 00 08 -> random 8, 90 00
//   apdu 00 B0 00 00 xx -> 01 02 03 04 90 00 delay 200
//   apdu 00 FF 00 00 -> drop
//   default 6D 00
//   echo
// A card script's fault: its line (1 for the first) and what is wrong there; what() says
// "card script line N: reason".
class CardScriptError : public std::invalid_argument {
  public:
    CardScriptError(std::size_t line, const std::string& reason);
    std::size_t Line() const { return line_; }
    const std::string& Reason() const { return reason_; }

  private:
    std::size_t line_;
    std::string reason_;
};

// The most a card can send in one answer: vpcd's two-byte length, and the CT-API's response
// length, which holds the status word too.
inline constexpr std::size_t kMaxAnswerBytes = 65535;
// ISO 7816-3's longest ATR, and pcscd's.
inline constexpr std::size_t kMaxAtrBytes = 33;
// The longest card script file read: far beyond a hand-written card or a long recording's replay.
inline constexpr std::size_t kMaxScriptBytes = 16 * 1024 * 1024;

CardScript ParseCardScript(std::string_view text); // throws CardScriptError
// The script of a regular file of at most kMaxScriptBytes; throws std::invalid_argument naming
// the file, and FILE:LINE for a fault in it.
CardScript LoadCardScript(const std::string& path);

} // namespace bed
