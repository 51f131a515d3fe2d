// The matcher.
#include "req/match.h"

#include <algorithm>

namespace qv {

namespace {

// A byte without a flag (a wildcard span shorter than the bytes) is literal.
bool IsWildcard(const ExpectedResponse& expected, std::size_t k) {
    return k < expected.wildcard.size() && expected.wildcard[k] != 0;
}

} // namespace

std::optional<std::size_t> FirstDifference(const ExpectedResponse& expected,
                                           std::span<const std::uint8_t> received) {
    if (expected.bytes.empty()) {
        return std::nullopt;
    }
    const std::size_t common = std::min(expected.bytes.size(), received.size());
    for (std::size_t k = 0; k < common; ++k) {
        if (expected.bytes[k] != received[k] && !IsWildcard(expected, k)) {
            return k;
        }
    }
    if (expected.bytes.size() != received.size()) {
        return common;
    }
    return std::nullopt;
}

} // namespace qv
