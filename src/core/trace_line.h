// The trace file's format: one line for each CT_data call quorvane-run makes, written as the call
// ends, and read back by the test bed to replay a card. Writer and reader are side by side so
// that the format is said once:
//   STAMP reader N PURPOSE > SENT < RECEIVED result R from S D ms
// STAMP the call's start in UTC to the microsecond ("2026-01-02T03:04:05.000006Z"), N the
// reader's position among those chosen (from 1), PURPOSE what the call was for ("command",
// "GET RESPONSE", "Le corrected"), SENT and RECEIVED the bytes in spaced hex (either may be
// empty), R CT_data's result, S the reply's source address (0 the card, 1 the terminal), D the
// call's time in milliseconds with three decimals.
// A line that starts with "#" is a comment; one comment says a reader's ATR as the run found it
// (quorvane-run writes them after the exchanges):
//   # reader N ATR HEX
// A trace written before these comments has none, and reads as it did.
#pragma once

#include "core/bytes.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qv {

struct TraceLine {
    std::chrono::system_clock::time_point at; // when the call began
    unsigned reader = 0;                      // from 1
    std::string purpose;
    Bytes sent;
    Bytes received; // empty unless result is OK
    int result = 0; // CT_data's result
    unsigned source = 0;
    std::chrono::nanoseconds duration{}; // the call alone
};

// The line with its line end. The time stamp keeps microseconds and the duration is rounded to
// them, so a line read back and written again is the same text.
std::string WriteTraceLine(const TraceLine& line);

// One line as WriteTraceLine writes it, without its line end. Throws std::invalid_argument
// saying what does not fit.
TraceLine ReadTraceLine(std::string_view text);

// The ATR comment of reader `reader` (from 1), with its line end.
std::string WriteAtrComment(unsigned reader, std::span<const std::uint8_t> atr);

// A line that starts with "#": a trace's comment, which ReadTraceLine does not take.
inline bool IsTraceComment(std::string_view text) {
    return text.starts_with('#');
}

struct AtrComment {
    unsigned reader = 0;
    Bytes atr;
};

// The reader and ATR of an ATR comment (without its line end); nothing for any other line.
std::optional<AtrComment> ReadAtrComment(std::string_view text);

} // namespace qv
