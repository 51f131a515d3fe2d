// The Answer-to-Reset decoded as ISO/IEC 7816-3 builds it (TS, T0, the interface bytes, TCK) and
// ISO/IEC 7816-4 fills its historical bytes: every byte with its position, value and meaning, the
// protocols the card offers, and whether the ATR is well formed or where it first goes wrong.
//
// One decoder for every printer: the text printer below, quorvane-atr's JSON and whoever shows
// an ATR next read the same result. The decoder reads only the bytes it is given, whatever they
// announce, and takes any bytes: a fuzzer's, a mute card's empty answer, a 100-byte answer.
#pragma once

#include "core/bytes.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The most bytes an ATR has: TS and 32 more.
inline constexpr std::size_t kMaxAtrLength = 33;

enum class AtrFault {
    None,
    BadTs,      // TS is neither 3B (direct convention) nor 3F (inverse)
    Truncated,  // the bytes end before one that T0 or a TD announces
    TckMissing, // a protocol other than T=0 is indicated and no check byte follows
    TckWrong,   // T0 to TCK do not XOR to 00
    ExtraBytes, // bytes after the ATR's last one
    TooLong,    // more than kMaxAtrLength bytes
    Reserved,   // a value ISO/IEC 7816-3 or -4 reserves or declares invalid in its place
    Historical, // historical bytes of category 00 or 80 that are no compact-TLV objects
};

// One field: an interface byte, TCK, or one item of the historical bytes.
struct AtrField {
    std::size_t at = 0;  // index of its first byte (TS is 0; printers say "byte at + 1")
    std::string name;    // "TS", "T0", "TA1", "TCK", "category", "country", ...
    Bytes raw;           // its bytes, the compact-TLV header byte included
    std::string meaning; // what it says, as a tester reads it
};

struct AtrVerdict {
    AtrFault fault = AtrFault::None;
    std::size_t at = 0; // index of the faulty byte, or where the missing one was due
    std::string text;   // "TCK missing at byte 4: ..."; empty when well formed

    bool WellFormed() const { return fault == AtrFault::None; }
};

struct Atr {
    Bytes bytes;                    // as received
    std::vector<AtrField> fields;   // in byte order
    std::vector<int> protocols;     // each T a TD names, but 15, once, in order
    bool protocolByDefault = false; // no TD names one: protocols holds T=0
    AtrVerdict verdict;             // the fault with the lowest byte position
};

Atr DecodeAtr(ByteView bytes);

// "well formed", or the first fault with its position ("TCK missing at byte 4: ...").
std::string AtrVerdictText(const AtrVerdict& verdict);

// "truncated", "tck-missing", ...: the fault's name for scripts; "none" when well formed.
std::string_view AtrFaultName(AtrFault fault);

// The decoding for a person, one field a line with its byte position and meaning, then the
// protocols and the verdict; each line ends with "\n".
std::string AtrText(const Atr& atr);

} // namespace qv
