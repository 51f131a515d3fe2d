// The verdict of one test.
#include "core/verdict.h"

#include "core/match.h"

namespace qv {

namespace {

constexpr std::uint8_t kCardAddress = 0; // ICC1, the card in the first slot

} // namespace

Judgement Judge(const ExpectedResponse& expected, const ExchangeResult& exchange) {
    Judgement judgement;
    if (exchange.result != OK) {
        judgement.verdict = Verdict::CtError;
        return judgement;
    }
    judgement.differs = FirstDifference(expected, exchange.received);
    if (exchange.source != kCardAddress) {
        judgement.verdict = Verdict::TerminalReply;
    } else if (judgement.differs) {
        judgement.verdict = Verdict::Mismatch;
    }
    return judgement;
}

} // namespace qv
