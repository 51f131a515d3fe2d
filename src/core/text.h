// Small text chores that the REQ reader, quorvane-run and the test bed share: a text cut at a
// separator, and a whole number read from a text.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

namespace qv {

// The pieces of `text` between its `separator`s, empty ones too; a separator at the very end
// starts no piece, so "" has none and "a,b," has two.
std::vector<std::string_view> SplitAt(std::string_view text, char separator);

// `text` as one number of type T and nothing else (no blanks, no "+"), or nothing.
template <class T> std::optional<T> WholeNumber(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace qv
