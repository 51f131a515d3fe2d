// One reader's tests.
#include "runner/run.h"

#include "core/apdu.h"
#include "req/test_verdict.h"

#include <algorithm>
#include <cstdio>
#include <ctapi.h>
#include <map>
#include <optional>

namespace qvrun {
namespace {

// T=0: at most this many GET RESPONSE or corrected-Le exchanges after one command, so that a
// card answering 61xx for ever cannot hold the run.
constexpr int kMaxFollowUps = 256;

std::string MillisecondsText(Clock::duration duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms",
                  std::chrono::duration<double, std::milli>(duration).count());
    return text;
}

bool CardStatus(const Exchange& exchange, std::uint8_t sw1) {
    return exchange.result == OK && exchange.source == ICC1 && exchange.received.size() >= 2 &&
           exchange.received[exchange.received.size() - 2] == sw1;
}

// One reader's tests. A test's exchanges are kept until its result is reported; their storage
// is reused by the next test.
class ReaderRun {
  public:
    ReaderRun(CtTerminal& terminal, const Reader& reader, std::span<const std::uint8_t> atr,
              ReaderReport& report, const std::vector<Scenario>& scenarios,
              const RunSettings& settings)
        : terminal_(terminal), reader_(reader), atr_(atr), report_(report), scenarios_(scenarios),
          settings_(settings) {}

    // Every test, then the tests not run, if any, and the time it all took.
    void Run(const std::function<std::optional<std::string>()>& stopAsked) {
        const Clock::time_point start = Clock::now();
        // Reported also when no test is left: the run stops the other readers for --fail-fast.
        if (const std::optional<std::string> ended = RunAll(stopAsked))
            report_.NotRun(position_, *ended);
        report_.Finished(Clock::now() - start);
    }

  private:
    // Every test in turn from position_; why the run ended early, or nothing. position_ is then
    // the first test not run.
    std::optional<std::string>
    RunAll(const std::function<std::optional<std::string>()>& stopAsked) {
        const RunSettings& settings = settings_;
        for (; position_.run <= settings.repeat; ++position_.run, position_.file = 0) {
            for (; position_.file < scenarios_.size(); ++position_.file, position_.test = 0) {
                const Scenario& scenario = scenarios_[position_.file];
                if (position_.test == 0) {
                    captures_.clear(); // each run of each file starts without captures
                    unset_.clear();
                }
                while (position_.test < scenario.tests.size()) {
                    if (std::optional<std::string> why = stopAsked())
                        return why;
                    const Test& test = scenario.tests[position_.test];
                    report_.Started(position_);
                    const TestResult result = RunTest(scenario, test, position_.run, settings);
                    report_.Done(result);
                    ++position_.test;
                    if (std::optional<std::string> lost = ReaderOrCardGone(result))
                        return lost;
                    if (settings.failFast && !result.Passed())
                        return kStoppedAtFirstFailure;
                }
            }
        }
        return std::nullopt;
    }

    // After a failed exchange, whether the card or the reader is gone, and why where the
    // terminal says: the reader's remaining tests would fail alike.
    std::optional<std::string> ReaderOrCardGone(const TestResult& result) {
        if (result.judgement.verdict != Verdict::CtError)
            return std::nullopt;
        const std::string at =
            " at test " + std::to_string(result.test.number) + " of " + result.scenario.path + ": ";
        const std::string answered = "CT_data answered " + CtResultText(result.result);
        // A response that does not fit (ERR_MEMORY) or a command the library refuses
        // (ERR_INVALID) is this test's failure: the reader and the card are still there, and a
        // length sweep must go on past the reader's limit.
        if (result.result == ERR_MEMORY || result.result == ERR_INVALID)
            return std::nullopt;
        if (result.result != ERR_TRANS)
            return "reader lost" + at + answered;
        const std::optional<CardState> state = terminal_.QueryCard();
        if (state == CardState::Present)
            return std::nullopt;
        return "card lost" + at +
               (state ? std::string(CardStateText(*state)) + " (" + answered + ")" : answered);
    }

    TestResult RunTest(const Scenario& scenario, const Test& test, unsigned repetition,
                       const RunSettings& settings) {
        used_ = 0;
        TestResult result{.scenario = scenario, .test = test, .run = repetition};
        result.command = test.command;
        if (test.extended) {
            result.captures = &captures_; // its failure's detail shows the values it read
            const auto missing = qv::MissingCapture(test, captures_);
            if (missing) {
                const auto unset = unset_.find(*missing);
                result.judgement.verdict = Verdict::CaptureMissing;
                result.why = "capture '" + *missing + "' holds no value (" +
                             (unset != unset_.end() ? unset->second
                                                    : "the test that captures it did not pass") +
                             ")";
            }
            if (test.pattern) {
                for (const std::string& name : test.pattern->Defines())
                    unset_.erase(name); // this test is now the one that captures it
            }
            if (missing)
                return result;
            if (std::optional<std::string> fault = qv::CommandFault(test, captures_)) {
                result.judgement.verdict = Verdict::CaptureMissing;
                result.why = std::move(*fault);
                return result;
            }
        }
        if (test.atr != qv::AtrCheck::None)
            return JudgeAtr(std::move(result));
        result.command = qv::CommandToSend(test, captures_, command_);
        if (result.command.size() > qv::kMaxCtLength) {
            result.judgement.verdict = Verdict::NotSent;
            return result;
        }
        const Exchange& last = SendWithFollowUps(result.command, test.destination,
                                                 test.getResponse.value_or(settings.getResponse));
        result.received = last.received;
        if (!joined_.empty() && last.result == OK) {
            joined_.insert(joined_.end(), last.received.begin(), last.received.end());
            result.received = joined_;
        }
        result.result = last.result;
        const qv::ExchangeResult reply{
            .result = last.result, .source = last.source, .received = result.received};
        qv::Captures bound;
        result.judgement = qv::JudgeTest(test, reply, captures_, bound);
        Keep(test, result.judgement, bound);
        result.exchanges = std::span(exchanges_.data(), used_);
        for (const Exchange& exchange : result.exchanges)
            result.duration += exchange.duration;
        if (followUpsExhausted_) {
            result.judgement.verdict = Verdict::Mismatch;
            result.why = "the card still asked for more after " + std::to_string(kMaxFollowUps) +
                         " follow-ups (" + std::to_string(used_) +
                         " exchanges sent in all); the test gave up there";
            return result;
        }
        JudgeTime(result, settings);
        return result;
    }

    // A test of the ATR: nothing is sent, the reset's ATR is judged as a response would be.
    TestResult JudgeAtr(TestResult result) {
        result.command = {};
        result.received = atr_;
        qv::Captures bound;
        result.judgement = qv::JudgeAtr(result.test, atr_, captures_, bound);
        Keep(result.test, result.judgement, bound);
        return result;
    }

    // What a test that passed captured, for the tests after it.
    void Keep(const Test& test, const qv::Judgement& judgement, qv::Captures& bound) {
        if (test.extended && test.pattern && judgement.Passed())
            NoteUnset(test, judgement.alternative, bound);
        for (auto& [name, value] : bound)
            captures_[name] = std::move(value);
    }

    // The names `test` captures that the alternative it matched does not.
    void NoteUnset(const Test& test, std::size_t alternative, const qv::Captures& bound) {
        for (const std::string& name : test.pattern->Defines()) {
            if (!bound.contains(name)) {
                unset_[name] = "test " + std::to_string(test.number) +
                               ", which captures it, matched alternative " +
                               std::to_string(alternative + 1) + ", which does not";
            }
        }
    }

    // A reply that matched fails when it came later than the test's limit, or grew past its
    // time in the baseline.
    void JudgeTime(TestResult& result, const RunSettings& settings) const {
        std::optional<double> then;
        if (settings.baseline != nullptr) {
            then = settings.baseline->Seconds(CaseClass(reader_, result.scenario),
                                              CaseName(result.test, result.run));
            result.inBaseline =
                then ? TestResult::InBaseline::Found : TestResult::InBaseline::Missing;
            result.baseline = then.value_or(0);
        }
        if (!result.Passed())
            return;
        const Test& test = result.test;
        if (test.timeLimit && result.duration > *test.timeLimit) {
            result.judgement.verdict = Verdict::TooSlow;
            result.why = "took " + MillisecondsText(result.duration) +
                         ", longer than its time limit of " + test.timeLimitText;
        } else if (then && GrewPastBaseline(result.duration, *then, settings.baselineFactor)) {
            char factors[96];
            std::snprintf(factors, sizeof factors, "%.1f times its %.3f ms in ",
                          std::chrono::duration<double>(result.duration).count() /
                              std::max(*then, 1e-9),
                          *then * 1000);
            char most[32];
            std::snprintf(most, sizeof most, " (at most %g times)", settings.baselineFactor);
            result.judgement.verdict = Verdict::SlowerThanBaseline;
            result.why = "took " + MillisecondsText(result.duration) + ", " + factors +
                         settings.baseline->Path() + most;
        }
    }

    // The command, then with `getResponse` the T=0 follow-ups: 6Cxx sends what it answered (the
    // command or a GET RESPONSE) again with Le xx, 61xx fetches the rest with GET RESPONSE; the
    // data before each 61xx gathers in joined_. Returns the last exchange.
    const Exchange& SendWithFollowUps(std::span<const std::uint8_t> command,
                                      std::uint8_t destination, bool getResponse) {
        joined_.clear();
        followUpsExhausted_ = false;
        const Exchange* last = &Send(destination, command, kPurposeCommand);
        bool fetching = false; // the last exchange was a GET RESPONSE
        for (int followUp = 0; getResponse; ++followUp) {
            const std::uint8_t sw2 = last->received.empty() ? 0 : last->received.back();
            const bool wrongLe = CardStatus(*last, 0x6C) && last->received.size() == 2;
            if (!wrongLe && !CardStatus(*last, 0x61))
                break;
            if (followUp == kMaxFollowUps) {
                followUpsExhausted_ = true;
                break;
            }
            if (wrongLe) {
                // The command that was answered 6Cxx again, with Le xx: the test's command,
                // or the GET RESPONSE that asked for too much.
                const auto corrected = qv::WithShortLe(last->sent, sw2);
                if (!corrected)
                    break;
                last = &Send(destination, *corrected,
                             fetching ? kPurposeGetResponse : kPurposeLeCorrected);
            } else {
                joined_.insert(joined_.end(), last->received.begin(), last->received.end() - 2);
                last = &Send(destination, Bytes{0x00, 0xC0, 0x00, 0x00, sw2}, kPurposeGetResponse);
                fetching = true;
            }
        }
        return *last;
    }

    // One exchange, reported before it is sent and when it came back; valid until the next one.
    const Exchange& Send(std::uint8_t destination, std::span<const std::uint8_t> command,
                         const char* purpose) {
        if (used_ == exchanges_.size())
            exchanges_.emplace_back();
        Exchange& exchange = exchanges_[used_++];
        exchange.at = std::chrono::system_clock::now();
        exchange.purpose = purpose;
        exchange.sent.assign(command.begin(), command.end());
        report_.Sending(exchange, Clock::now());
        const qv::ExchangeResult reply = terminal_.Send(destination, command);
        exchange.result = reply.result;
        exchange.source = reply.source;
        exchange.duration = reply.duration;
        exchange.received.assign(reply.received.begin(), reply.received.end());
        report_.Exchanged(exchange);
        return exchange;
    }

    CtTerminal& terminal_;
    const Reader& reader_;
    std::span<const std::uint8_t> atr_; // of the reset that opened the reader; empty without one
    ReaderReport& report_;
    const std::vector<Scenario>& scenarios_;
    const RunSettings& settings_;
    Position position_;
    std::vector<Exchange> exchanges_; // the first used_ are the current test's
    std::size_t used_ = 0;
    Bytes joined_;
    bool followUpsExhausted_ = false; // the last command still asked for more at the limit
    Bytes command_;                   // a command with captures put in
    qv::Captures captures_;           // of the file being run
    // Why a capture holds no value when the last test that captures it passed without setting
    // it; a name missing here and in captures_ was left so by a test that did not pass.
    std::map<std::string, std::string, std::less<>> unset_;
};

} // namespace

void RunReaderTests(CtTerminal& terminal, const Reader& reader, std::span<const std::uint8_t> atr,
                    const std::vector<Scenario>& scenarios, const RunSettings& settings,
                    ReaderReport& report,
                    const std::function<std::optional<std::string>()>& stopAsked) {
    ReaderRun(terminal, reader, atr, report, scenarios, settings).Run(stopAsked);
}

} // namespace qvrun
