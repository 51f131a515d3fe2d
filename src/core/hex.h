// The one hex writer and the one hex reader: bytes as two upper-case hexadecimal digits each, in
// the layout a text needs, and hex text back into bytes.
#pragma once

#include "core/bytes.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qv {

// Each byte as its two digits between `before` and `after`; bytes joined by `between`.
struct HexLayout {
    std::string_view before;
    std::string_view after;
    std::string_view between;
};

// "00 A4 04 00": quorvane-run's reports, traces and REQ lines.
inline constexpr HexLayout kHexSpaced{"", "", " "};
// "9F38": a BER-TLV tag as REQ patterns and their messages write it.
inline constexpr HexLayout kHexTight{"", "", ""};
// "00 A4 04 00 ": the menu program's byte dumps, a blank after every byte, the last one too
// (kept: its transcripts pin it).
inline constexpr HexLayout kHexDump{"", " ", ""};
// "[00][A4]": the menu program's feature list (kept as it is).
inline constexpr HexLayout kHexBracketed{"[", "]", ""};

// `bytes` in `layout`; a byte that `wildcard` marks (a non-zero mark k for byte k, where
// present) is written "xx".
std::string ToHex(std::span<const std::uint8_t> bytes, const HexLayout& layout = kHexSpaced,
                  std::span<const std::uint8_t> wildcard = {});

// The value of the hexadecimal digit `c` (0-9, A-F, a-f), or -1.
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// What stopped ReadHexDigits.
enum class HexFault : std::uint8_t {
    None,
    OddDigits, // the run is not whole bytes
    NotADigit, // a character that is no hex digit (nor, with masks, an x)
};

// Appends the bytes of `digits`, a run of hex digits without blanks, two to a byte, to `value`.
// With `care`, an "x" or "X" digit stands for any nibble: its bits are 0 in the value and in the
// byte's mask appended to `care` (F for every other digit). On a fault nothing is appended.
HexFault ReadHexDigits(std::string_view digits, Bytes& value, Bytes* care = nullptr);

// Hex text as ToHex writes it, or without the blanks: runs of digits between white space
// ("00 A4 04 00", "00A40400"). Throws std::invalid_argument naming the run that is not whole
// bytes of digits.
Bytes FromHex(std::string_view text);

} // namespace qv
