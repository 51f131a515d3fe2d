// The engine.
#include "runner/run.h"

#include "core/apdu.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctapi.h>
#include <memory>
#include <optional>
#include <thread>

namespace qvrun {
namespace {

// T=0: at most this many GET RESPONSE or corrected-Le exchanges after one command, so that a
// card answering 61xx for ever cannot hold the run.
constexpr int kMaxFollowUps = 256;
constexpr const char* kGetResponse = "GET RESPONSE";

// The first capture that `test` reads and `captures` does not hold, or nothing.
std::optional<std::string> MissingCapture(const Test& test, const qv::Captures& captures) {
    std::vector<std::string> names;
    if (test.commandTemplate)
        names = test.commandTemplate->Uses();
    if (test.pattern) {
        const std::vector<std::string> more = test.pattern->Uses();
        names.insert(names.end(), more.begin(), more.end());
    }
    for (const std::string& name : names) {
        if (!captures.contains(name))
            return name;
    }
    return std::nullopt;
}

std::string Times(Clock::duration duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms",
                  std::chrono::duration<double, std::milli>(duration).count());
    return text;
}

bool CardStatus(const Exchange& exchange, std::uint8_t sw1) {
    return exchange.result == OK && exchange.source == ICC1 && exchange.received.size() >= 2 &&
           exchange.received[exchange.received.size() - 2] == sw1;
}

std::string StoppedBy(int signo) {
    return std::string("stopped by ") + SignalName(signo);
}

std::string SecondsText(Clock::duration duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(duration).count());
    return text;
}

// One reader's tests, on the reader's thread, or, once that thread is left behind in a CT-API
// call, ended by the run's main thread (Abandon). A test's exchanges are kept until its result
// is told; their storage is reused by the next test, so a long run allocates nothing per test.
class ReaderRun {
  public:
    ReaderRun(CtTerminal& terminal, const ReaderSlot& slot, RunObserver& observer,
              const std::vector<Scenario>& scenarios, const RunSettings& settings)
        : terminal_(terminal), slot_(slot), observer_(observer), scenarios_(scenarios),
          settings_(settings) {}

    ReaderTotals Run(StopFlag& stop) {
        start_ = Clock::now();
        std::optional<std::string> ended;
        try {
            ended = RunAll(stop);
        } catch (const RunStopped&) {
            ended = StoppedBy(EndingSignal()); // position_ is the test that was not sent
        }
        return Finish(ended);
    }

    // Ends the run of a reader whose thread is left behind in `call`: the test it was sending
    // is an error `why` (nothing with `why` empty: the run was stopped, and it is not run), the
    // rest are not run for `reason`.
    ReaderTotals Abandon(const std::string& why, const std::string& reason,
                         Clock::time_point since) {
        if (sending_ != nullptr && !why.empty()) {
            TestResult result{
                .scenario = scenarios_[position_.file], .test = *sending_, .run = position_.run};
            result.judgement.verdict = Verdict::CtError;
            result.command = sent_;
            result.why = why;
            // Those that came back; the last one did not.
            result.exchanges = std::span(exchanges_.data(), used_ > 0 ? used_ - 1 : 0);
            result.duration = Clock::now() - since;
            totals_.Count(result);
            observer_.TestDone(slot_, result);
            ++position_.test;
        }
        return Finish(reason);
    }

    // Where the reader stands, for the reason of an abandoned run: "test 3 of a.req".
    std::string Where() const {
        const Scenario& scenario = scenarios_[std::min(position_.file, scenarios_.size() - 1)];
        const std::size_t number = sending_ != nullptr ? sending_->number : position_.test;
        return "test " + std::to_string(number) + " of " + scenario.path;
    }

  private:
    // Tells the tests not run, if any, and the reader done.
    ReaderTotals Finish(const std::optional<std::string>& ended) {
        totals_.wall = Clock::now() - start_;
        if (ended) {
            const NotRun notRun{scenarios_, settings_.repeat, position_, *ended};
            if (notRun.Count() > 0) {
                totals_.Count(notRun);
                observer_.TestsNotRun(slot_, notRun);
            }
        }
        observer_.ReaderDone(slot_, totals_);
        return totals_;
    }

    // Every test in turn from position_; why the run ended early, or nothing. position_ is then
    // the first test not run.
    std::optional<std::string> RunAll(StopFlag& stop) {
        const RunSettings& settings = settings_;
        for (; position_.run <= settings.repeat; ++position_.run, position_.file = 0) {
            for (; position_.file < scenarios_.size(); ++position_.file, position_.test = 0) {
                const Scenario& scenario = scenarios_[position_.file];
                if (position_.test == 0)
                    captures_.clear(); // each run of each file starts without captures
                while (position_.test < scenario.tests.size()) {
                    if (const std::optional<std::string> why = stop.Reason())
                        return why;
                    const Test& test = scenario.tests[position_.test];
                    sending_ = &test;
                    observer_.TestStarted(slot_, scenario, test);
                    const TestResult result = RunTest(scenario, test, position_.run, settings);
                    totals_.Count(result);
                    observer_.TestDone(slot_, result);
                    sending_ = nullptr;
                    ++position_.test;
                    if (std::optional<std::string> lost = Lost(result))
                        return lost;
                    if (settings.failFast && !result.Passed()) {
                        stop.Stop("stopped at the first failure (--fail-fast)");
                        return stop.Reason();
                    }
                }
            }
        }
        return std::nullopt;
    }

    // After a failed exchange, whether the card or the reader is gone, and why where the
    // terminal says: the reader's remaining tests would fail alike.
    std::optional<std::string> Lost(const TestResult& result) {
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
        const std::optional<std::string> state = terminal_.CardState();
        if (state && *state == "the card is still there")
            return std::nullopt;
        return "card lost" + at + (state ? *state + " (" + answered + ")" : answered);
    }

    TestResult RunTest(const Scenario& scenario, const Test& test, unsigned repetition,
                       const RunSettings& settings) {
        used_ = 0;
        TestResult result{.scenario = scenario, .test = test, .run = repetition};
        result.command = test.command;
        if (test.extended) {
            result.captures = &captures_;
            if (const auto missing = MissingCapture(test, captures_)) {
                result.judgement.verdict = Verdict::CaptureMissing;
                result.why = "capture '" + *missing +
                             "' holds no value (the test that captures it did not pass)";
                return result;
            }
            if (test.commandTemplate) {
                command_ = *test.commandTemplate->Expand(captures_);
                result.command = command_;
            }
        }
        if (result.command.size() > qv::kMaxCtLength) {
            result.judgement.verdict = Verdict::NotSent;
            return result;
        }
        sent_ = result.command;
        const Exchange& last =
            SendWithFollowUps(result.command, test.destination, settings.getResponse);
        result.received = last.received;
        if (!joined_.empty() && last.result == OK) {
            joined_.insert(joined_.end(), last.received.begin(), last.received.end());
            result.received = joined_;
        }
        result.result = last.result;
        const qv::ExchangeResult reply{
            .result = last.result, .source = last.source, .received = result.received};
        if (test.extended) {
            qv::Captures bound;
            result.judgement =
                qv::JudgePattern(test.pattern, test.destination, reply, captures_, bound);
            for (auto& [name, value] : bound)
                captures_[name] = std::move(value);
        } else {
            result.judgement = qv::Judge(test.Expected(), reply);
        }
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

    // A reply that matched fails when it came later than the test's limit, or grew past its
    // time in the baseline.
    void JudgeTime(TestResult& result, const RunSettings& settings) const {
        std::optional<double> then;
        if (settings.baseline != nullptr) {
            then = settings.baseline->Seconds(CaseClass(slot_.reader, result.scenario),
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
            result.why = "took " + Times(result.duration) + ", longer than its time limit of " +
                         test.timeLimitText;
        } else if (then && GrewPastBaseline(result.duration, *then, settings.baselineFactor)) {
            char factors[96];
            std::snprintf(factors, sizeof factors, "%.1f times its %.3f ms in ",
                          std::chrono::duration<double>(result.duration).count() /
                              std::max(*then, 1e-9),
                          *then * 1000);
            char most[32];
            std::snprintf(most, sizeof most, " (at most %g times)", settings.baselineFactor);
            result.judgement.verdict = Verdict::SlowerThanBaseline;
            result.why = "took " + Times(result.duration) + ", " + factors +
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
        const Exchange* last = &Send(destination, command, "command");
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
                last = &Send(destination, *corrected, fetching ? kGetResponse : "Le corrected");
            } else {
                joined_.insert(joined_.end(), last->received.begin(), last->received.end() - 2);
                last = &Send(destination, Bytes{0x00, 0xC0, 0x00, 0x00, sw2}, kGetResponse);
                fetching = true;
            }
        }
        return *last;
    }

    // One exchange, told to the observer at once; valid until the next one.
    const Exchange& Send(std::uint8_t destination, std::span<const std::uint8_t> command,
                         const char* purpose) {
        if (used_ == exchanges_.size())
            exchanges_.emplace_back();
        Exchange& exchange = exchanges_[used_++];
        exchange.at = std::chrono::system_clock::now();
        exchange.purpose = purpose;
        exchange.sent.assign(command.begin(), command.end());
        const qv::ExchangeResult reply = terminal_.Send(destination, command);
        exchange.result = reply.result;
        exchange.source = reply.source;
        exchange.duration = reply.duration;
        exchange.received.assign(reply.received.begin(), reply.received.end());
        observer_.Exchanged(slot_, exchange);
        return exchange;
    }

    CtTerminal& terminal_;
    const ReaderSlot& slot_;
    RunObserver& observer_;
    const std::vector<Scenario>& scenarios_;
    const RunSettings& settings_;
    Clock::time_point start_;
    ReaderTotals totals_;
    Position position_;
    const Test* sending_ = nullptr;      // the test being sent, until its result is told
    std::span<const std::uint8_t> sent_; // its command
    std::vector<Exchange> exchanges_;    // the first used_ are the current test's
    std::size_t used_ = 0;
    Bytes joined_;
    bool followUpsExhausted_ = false; // the last command still asked for more at the limit
    Bytes command_;                   // a command with captures put in
    qv::Captures captures_;           // of the file being run
};

} // namespace

void StopFlag::Stop(const std::string& reason) {
    const std::lock_guard lock(mutex_);
    if (stopped_.load(std::memory_order_relaxed))
        return;
    reason_ = reason;
    stopped_.store(true, std::memory_order_release);
}

Engine::Engine(const CtLibrary& library, RunObserver& observer, Clock::duration timeout)
    : library_(library), observer_(observer), timeout_(timeout) {}

Engine::~Engine() = default;

void Engine::Open(const std::vector<Reader>& readers, bool reset, std::chrono::seconds waitInUse) {
    for (const Reader& reader : readers) {
        terminals_.push_back(std::make_unique<CtTerminal>(library_, reader, timeout_));
        slots_.push_back(
            {slots_.size(), reader, reset ? terminals_.back()->Reset(waitInUse) : Bytes{}});
        observer_.ReaderReady(slots_.back());
    }
}

std::vector<ReaderTotals> Engine::Run(const std::vector<Scenario>& scenarios,
                                      const RunSettings& settings) {
    const std::size_t count = slots_.size();
    std::vector<ReaderTotals> totals(count);
    std::vector<std::unique_ptr<ReaderRun>> runs;
    std::unique_ptr<std::atomic<bool>[]> finished(new std::atomic<bool>[count]);
    std::vector<bool> ended(count, false); // finished, or ended here
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < count; ++i) {
        runs.push_back(
            std::make_unique<ReaderRun>(*terminals_[i], slots_[i], observer_, scenarios, settings));
        finished[i] = false;
        terminals_[i]->Watch().Supervise(true);
    }
    WatchEndingSignals(true);
    for (std::size_t i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            const FaultStack stack;
            totals[i] = runs[i]->Run(stop_);
            finished[i] = true;
            Wake();
        });
    }
    // Ends reader `i`, whose thread stays behind in its call.
    const auto leave = [&](std::size_t i, const CallWatch::State& state, const std::string& why,
                           const std::string& reason) {
        totals[i] = runs[i]->Abandon(why, reason, state.since);
        ended[i] = true;
        leftBehind_ = true;
        threads[i].detach();
        // The thread may come back into them at any time: they stay for the process's life.
        (void)runs[i].release();
        (void)terminals_[i].release();
    };
    for (std::size_t left = count; left > 0;) {
        std::optional<Clock::time_point> until;
        const auto now = Clock::now();
        // Looked at before the calls (CallWatch::Begin).
        const int signo = EndingSignal();
        if (signo != 0)
            stop_.Stop(StoppedBy(signo));
        const bool stopped = signo != 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (ended[i])
                continue;
            if (finished[i]) {
                threads[i].join();
                ended[i] = true;
                --left;
                continue;
            }
            CallWatch& watch = terminals_[i]->Watch();
            const CallWatch::State state = watch.Look();
            if (state.kind == CallWatch::State::Faulted) {
                const std::string call = CtCallName(state.call);
                const std::string where = runs[i]->Where();
                leave(i, state,
                      "the CT-API library crashed in " + call + " (" + SignalName(state.signal) +
                          ")",
                      "the CT-API library crashed in " + call + " at " + where);
                --left;
            } else if (state.kind == CallWatch::State::Calling) {
                const bool late = settings.timeout > Clock::duration::zero() &&
                                  now - state.since >= settings.timeout;
                if ((stopped || late) && watch.Leave(state)) {
                    const std::string limit = SecondsText(settings.timeout);
                    const std::string where = runs[i]->Where();
                    if (stopped && !late)
                        leave(i, state, "", *stop_.Reason());
                    else
                        leave(i, state, "no answer within " + limit + " (--timeout)",
                              where + " had no answer within " + limit);
                    --left;
                } else if (settings.timeout > Clock::duration::zero()) {
                    const auto deadline = state.since + settings.timeout;
                    until = until ? std::min(*until, deadline) : deadline;
                }
            }
        }
        if (left == 0)
            break;
        // A call begun after now ends after now + timeout: looking again then finds it in time.
        if (settings.timeout > Clock::duration::zero()) {
            const auto next = now + settings.timeout;
            until = until ? std::min(*until, next) : next;
        }
        WaitForEvent(until);
    }
    WatchEndingSignals(false);
    for (const auto& terminal : terminals_) {
        if (terminal)
            terminal->Watch().Supervise(false);
    }
    return totals;
}

} // namespace qvrun
