// The matcher: a received response against the expected response of a REQ test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace qv {

// An expected response: its bytes and, for each byte, a flag that is non-zero when the byte is
// a wildcard. Both spans have the same length. An empty expected response matches any response.
struct ExpectedResponse {
    std::span<const std::uint8_t> bytes;
    std::span<const std::uint8_t> wildcard;
};

// Where a received response first departs from the expected one, or nothing when it matches.
// It matches when the expected response is empty (a test without an expected response takes
// any answer), or when both have the same length and every byte is equal or expected as a
// wildcard. Otherwise the result is the index of the first byte that differs; when all the
// bytes both have agree, it is the length of the shorter one (the first byte one of them lacks).
std::optional<std::size_t> FirstDifference(const ExpectedResponse& expected,
                                           std::span<const std::uint8_t> received);

} // namespace qv
