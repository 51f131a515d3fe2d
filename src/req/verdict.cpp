// The verdict of one test.
#include "req/verdict.h"

#include "req/match.h"

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

Judgement JudgePattern(const std::optional<Pattern>& expected, std::uint8_t destination,
                       const ExchangeResult& exchange, const Captures& captures, Captures& bound) {
    Judgement judgement;
    if (exchange.result != OK) {
        judgement.verdict = Verdict::CtError;
        return judgement;
    }
    if (exchange.source != destination) {
        judgement.verdict = destination == ICC1 ? Verdict::TerminalReply : Verdict::CardReply;
        return judgement;
    }
    if (!expected)
        return judgement;
    PatternMatch match = MatchPattern(*expected, exchange.received, captures);
    if (!match.matched) {
        judgement.verdict = Verdict::Mismatch;
        judgement.differs = match.differs;
        judgement.why = std::move(match.why);
        return judgement;
    }
    bound = std::move(match.bound);
    return judgement;
}

} // namespace qv
