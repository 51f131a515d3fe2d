// What quorvane-run asks of a REQ test with the extensions.
#include "req/test_verdict.h"

#include "core/atr.h"

#include <algorithm>

namespace qv {

std::vector<std::string> CaptureUses(const ReqTest& test) {
    std::vector<std::string> names;
    if (test.commandTemplate)
        names = test.commandTemplate->Uses();
    if (test.pattern) {
        for (const std::string& name : test.pattern->Uses()) {
            if (std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
        }
    }
    return names;
}

std::optional<std::string> MissingCapture(const ReqTest& test, const Captures& captures) {
    // The command's names first, then the pattern's, as CaptureUses lists them, without
    // building that list: a test asks this every time it runs.
    const auto missing = [&captures](const std::vector<std::string>& names) -> const std::string* {
        const auto name = std::ranges::find_if(
            names, [&captures](const std::string& n) { return !captures.contains(n); });
        return name == names.end() ? nullptr : &*name;
    };
    const std::string* name =
        test.commandTemplate ? missing(test.commandTemplate->Uses()) : nullptr;
    if (name == nullptr && test.pattern)
        name = missing(test.pattern->Uses());
    return name != nullptr ? std::optional<std::string>(*name) : std::nullopt;
}

std::optional<std::string> CommandFault(const ReqTest& test, const Captures& captures) {
    if (!test.commandTemplate)
        return std::nullopt;
    for (const CommandTemplate::Piece& piece : test.commandTemplate->pieces) {
        const auto held = captures.find(piece.ref.name);
        if (held != captures.end() && !piece.ref.Of(held->second)) {
            return "capture '" + piece.ref.name + "' holds " + std::to_string(held->second.size()) +
                   " bytes: {" + piece.ref.Text() + "} reaches past them";
        }
    }
    return std::nullopt;
}

std::span<const std::uint8_t> CommandToSend(const ReqTest& test, const Captures& captures,
                                            Bytes& room) {
    if (!test.commandTemplate)
        return test.command;
    room = test.commandTemplate->Expand(captures).value_or(Bytes{});
    return room;
}

namespace {

// A pattern's verdict on `received`; what a match captures goes into `bound`.
Judgement JudgeByPattern(const Pattern& pattern, std::span<const std::uint8_t> received,
                         const Captures& captures, Captures& bound) {
    Judgement judgement;
    PatternMatch match = MatchPattern(pattern, received, captures);
    if (!match.matched) {
        judgement.verdict = Verdict::Mismatch;
        judgement.differs = match.differs;
        judgement.why = std::move(match.why);
        return judgement;
    }
    bound = std::move(match.bound);
    judgement.alternative = match.alternative;
    return judgement;
}

} // namespace

Judgement JudgeTest(const ReqTest& test, const ExchangeResult& exchange, const Captures& captures,
                    Captures& bound) {
    if (!test.extended)
        return Judge(test.Expected(), exchange);
    Judgement judgement;
    if (exchange.result != OK) {
        judgement.verdict = Verdict::CtError;
        return judgement;
    }
    if (exchange.source != test.destination) {
        judgement.verdict = test.destination == ICC1 ? Verdict::TerminalReply : Verdict::CardReply;
        return judgement;
    }
    if (!test.pattern)
        return judgement;
    return JudgeByPattern(*test.pattern, exchange.received, captures, bound);
}

Judgement JudgeAtr(const ReqTest& test, std::span<const std::uint8_t> atr, const Captures& captures,
                   Captures& bound) {
    Judgement judgement;
    if (atr.empty()) {
        judgement.verdict = Verdict::Mismatch;
        judgement.why = "no ATR: the reader was not reset (--no-reset)";
        return judgement;
    }
    if (test.atr == AtrCheck::WellFormed) {
        const AtrVerdict verdict = DecodeAtr(atr).verdict;
        if (!verdict.WellFormed()) {
            judgement.verdict = Verdict::Mismatch;
            judgement.differs = std::min(verdict.at, atr.size());
            judgement.why = "the ATR is not well formed: " + verdict.text;
        }
        return judgement;
    }
    judgement = JudgeByPattern(*test.pattern, atr, captures, bound);
    // The pattern's words are a response's; here the ATR is what differs.
    constexpr std::string_view kResponse = "response ";
    if (judgement.why.starts_with(kResponse))
        judgement.why.replace(0, kResponse.size(), "ATR ");
    return judgement;
}

} // namespace qv
