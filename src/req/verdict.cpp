// The verdict of one test.
#include "req/verdict.h"

namespace qv {

Judgement Judge(const ExpectedResponse& expected, const ExchangeResult& exchange) {
    Judgement judgement;
    if (exchange.result != OK) {
        judgement.verdict = Verdict::CtError;
        return judgement;
    }
    judgement.differs = FirstDifference(expected, exchange.received);
    if (exchange.source != ICC1) {
        judgement.verdict = Verdict::TerminalReply;
    } else if (judgement.differs) {
        judgement.verdict = Verdict::Mismatch;
    }
    return judgement;
}

bool IsFailure(Verdict verdict) {
    return verdict == Verdict::Mismatch || verdict == Verdict::TooSlow ||
           verdict == Verdict::SlowerThanBaseline;
}

} // namespace qv
