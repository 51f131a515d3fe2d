// The one hex writer: bytes as two upper-case hexadecimal digits each, in the layout a text
// needs.
#pragma once

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
// "00 A4 04 00 ": the menu program's byte dumps, a blank after every byte, the last one too
// (kept: its transcripts pin it).
inline constexpr HexLayout kHexDump{"", " ", ""};
// "[00][A4]": the menu program's feature list (kept as it is).
inline constexpr HexLayout kHexBracketed{"[", "]", ""};

// `bytes` in `layout`; a byte that `wildcard` marks (a non-zero mark k for byte k, where
// present) is written "xx".
std::string ToHex(std::span<const std::uint8_t> bytes, const HexLayout& layout = kHexSpaced,
                  std::span<const std::uint8_t> wildcard = {});

} // namespace qv
