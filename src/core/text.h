// Small text chores that the REQ reader, quorvane-run and the test bed share: a text cut at a
// separator or into words, a text without its blanks at either end, and a whole number read
// from a text.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qv {

// The pieces of `text` between its `separator`s, empty ones too; a separator at the very end
// starts no piece, so "" has none and "a,b," has two.
std::vector<std::string_view> SplitAt(std::string_view text, char separator);

// The words of `text`: the runs of characters between blanks (spaces, tabs, line ends).
std::vector<std::string_view> Words(std::string_view text);

// What Trim takes away: blanks only, or blanks and tabs. Each caller says which, since where a
// tab is an error (a REQ pattern) it must stay for the parser to find.
inline constexpr std::string_view kBlanks = " ";
inline constexpr std::string_view kBlanksAndTabs = " \t";

// `text` without the characters of `blanks` at either end.
std::string_view Trim(std::string_view text, std::string_view blanks);

// `text` as one number of type T in `base` and nothing else (no blanks, no "+", no "0x"), or
// nothing.
template <class T> std::optional<T> WholeNumber(std::string_view text, int base = 10) {
    T value{};
    std::from_chars_result read{};
    if constexpr (std::is_integral_v<T>) {
        read = std::from_chars(text.data(), text.data() + text.size(), value, base);
    } else {
        read = std::from_chars(text.data(), text.data() + text.size(), value);
    }
    const auto [end, error] = read;
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace qv
