// The verdict of one test: its expected response against the exchange that answered it.
#pragma once

#include "core/exchange.h"
#include "core/req_reader.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace qv {

enum class Verdict : std::uint8_t {
    Passed,
    Mismatch,      // the card answered something else
    CtError,       // CT_data failed
    TerminalReply, // the terminal answered, not the card
    NotSent,       // longer than the CT-API can carry: a caller's verdict, Judge never gives it
};

struct Judgement {
    Verdict verdict = Verdict::Passed;
    // Whenever a reply came (from the card or the terminal): where it first departs from the
    // expected response (see FirstDifference), or nothing when its bytes match.
    std::optional<std::size_t> differs;

    bool Passed() const { return verdict == Verdict::Passed; }
};

// A failed CT_data is a CtError; a reply from another unit than the card a TerminalReply; a
// card's reply that FirstDifference departs from a Mismatch; anything else passes.
Judgement Judge(const ExpectedResponse& expected, const ExchangeResult& exchange);

} // namespace qv
