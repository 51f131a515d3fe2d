// Bytes as the runner prints them.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qvrun {

// "00 A4 04 00"; "xx" for the bytes that `wildcard` marks (a mark k for byte k, where present).
std::string HexText(std::span<const std::uint8_t> bytes,
                    std::span<const std::uint8_t> wildcard = {});

} // namespace qvrun
