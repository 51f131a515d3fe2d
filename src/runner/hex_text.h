// Bytes as the runner prints them: the core's hex writer, spaced.
#pragma once

#include "core/hex.h"

#include <cstdint>
#include <span>
#include <string>

namespace qvrun {

// "00 A4 04 00"; "xx" for the bytes that `wildcard` marks (a mark k for byte k, where present).
inline std::string HexText(std::span<const std::uint8_t> bytes,
                           std::span<const std::uint8_t> wildcard = {}) {
    return qv::ToHex(bytes, qv::kHexSpaced, wildcard);
}

} // namespace qvrun
