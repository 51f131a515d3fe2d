// Bytes as the programs hold and pass them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qv {

using Bytes = std::vector<std::uint8_t>;        // bytes held: a command, a response, an ATR
using ByteView = std::span<const std::uint8_t>; // bytes looked at, held by someone else

} // namespace qv
