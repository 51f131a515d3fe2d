// The verdict of one test: its expected response against the exchange that answered it, by the
// base rules. The extensions' verdict (a pattern, captures, the terminal) is in test_verdict.h,
// so that the interactive program links no pattern code.
#pragma once

#include "core/exchange.h"
#include "req/match.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qv {

enum class Verdict : std::uint8_t {
    Passed,
    Mismatch,      // the card answered something else
    CtError,       // CT_data failed
    TerminalReply, // the terminal answered, not the card
    NotSent,       // longer than the CT-API can carry: a caller's verdict, Judge never gives it
    CardReply,     // a command to the terminal that the card answered
    // The caller's verdicts on a reply that matched: its time.
    TooSlow,            // longer than the test's time limit
    SlowerThanBaseline, // grown past the baseline's time by more than the factor asked for
    CaptureMissing,     // a capture the test reads holds no value: not sent
};

// True for the verdicts that fault the answer or its time (a failure, as a wrong response is);
// false for a pass and for the exchange's errors.
bool IsFailure(Verdict verdict);

struct Judgement {
    Verdict verdict = Verdict::Passed;
    // Whenever a reply came (from the card or the terminal): where it first departs from the
    // expected response (see FirstDifference), or nothing when its bytes match.
    std::optional<std::size_t> differs;
    // A pattern's reason for a Mismatch ("response matches none of the 2 alternatives"); empty
    // for a base-rules expected response.
    std::string why;
    // A pattern that matched: the alternative that did, counted from 0.
    std::size_t alternative = 0;

    bool Passed() const { return verdict == Verdict::Passed; }
};

// A failed CT_data is a CtError; a reply from another unit than the card a TerminalReply; a
// card's reply that FirstDifference departs from a Mismatch; anything else passes.
Judgement Judge(const ExpectedResponse& expected, const ExchangeResult& exchange);

} // namespace qv
