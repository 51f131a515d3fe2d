// The engine.
#include "runner/run.h"

#include <atomic>
#include <ctapi.h>
#include <optional>
#include <thread>

namespace qvrun {
namespace {

constexpr std::uint8_t kCard = 0; // the reply's source address when the card answered
// T=0: at most this many GET RESPONSE or corrected-Le exchanges after one command, so that a
// card answering 61xx for ever cannot hold the run.
constexpr int kMaxFollowUps = 256;

// The command again with Le set to `le` (case 1 and 3 gain an Le byte); nothing when the
// command is no short APDU whose Le could be told.
std::optional<Bytes> WithLe(const Bytes& command, std::uint8_t le) {
    Bytes corrected = command;
    const std::size_t size = command.size();
    if (size == 4) {
        corrected.push_back(le);
    } else if (size == 5 || (size > 5 && size == 6 + std::size_t{command[4]})) {
        corrected.back() = le;
    } else if (size > 5 && size == 5 + std::size_t{command[4]}) {
        corrected.push_back(le);
    } else {
        return std::nullopt;
    }
    return corrected;
}

bool CardStatus(const Exchange& exchange, std::uint8_t sw1) {
    return exchange.result == OK && exchange.source == kCard && exchange.received.size() >= 2 &&
           exchange.received[exchange.received.size() - 2] == sw1;
}

// One reader's tests, on the reader's thread. A test's exchanges are kept until its result is
// told; their storage is reused by the next test, so a long run allocates nothing per test.
class ReaderRun {
  public:
    ReaderRun(CtTerminal& terminal, const ReaderSlot& slot, RunObserver& observer)
        : terminal_(terminal), slot_(slot), observer_(observer) {}

    ReaderTotals Run(const std::vector<Scenario>& scenarios, const RunSettings& settings,
                     std::atomic<bool>& stop) {
        ReaderTotals totals;
        const auto start = Clock::now();
        for (unsigned repetition = 1; repetition <= settings.repeat; ++repetition) {
            for (const Scenario& scenario : scenarios) {
                for (const Test& test : scenario.tests) {
                    if (stop.load())
                        break;
                    const TestResult result = RunTest(scenario, test, repetition, settings);
                    totals.Count(result);
                    observer_.TestDone(slot_, result);
                    if (settings.failFast && !result.Passed())
                        stop = true;
                }
            }
        }
        totals.wall = Clock::now() - start;
        observer_.ReaderDone(slot_, totals);
        return totals;
    }

  private:
    TestResult RunTest(const Scenario& scenario, const Test& test, unsigned repetition,
                       const RunSettings& settings) {
        used_ = 0;
        TestResult result{scenario, test, repetition, {}, {}, 0, {}, {}};
        if (test.command.size() > qv::kMaxCtLength) {
            result.judgement.verdict = Verdict::NotSent;
            return result;
        }
        const Exchange& last = SendWithFollowUps(test, settings.getResponse);
        result.received = last.received;
        if (!joined_.empty() && last.result == OK) {
            joined_.insert(joined_.end(), last.received.begin(), last.received.end());
            result.received = joined_;
        }
        result.result = last.result;
        result.judgement =
            qv::Judge(test.Expected(),
                      {.result = last.result, .source = last.source, .received = result.received});
        result.exchanges = std::span(exchanges_.data(), used_);
        for (const Exchange& exchange : result.exchanges)
            result.duration += exchange.duration;
        return result;
    }

    // The command, then with `getResponse` the T=0 follow-ups: 6Cxx sends the command again
    // with Le xx, 61xx fetches the rest with GET RESPONSE; the data before each 61xx gathers in
    // joined_. Returns the last exchange.
    const Exchange& SendWithFollowUps(const Test& test, bool getResponse) {
        joined_.clear();
        const Exchange* last = &Send(test.command, "command");
        for (int followUp = 0; getResponse && followUp < kMaxFollowUps; ++followUp) {
            const std::uint8_t sw2 = last->received.empty() ? 0 : last->received.back();
            if (CardStatus(*last, 0x6C) && last->received.size() == 2) {
                const auto corrected = WithLe(test.command, sw2);
                if (!corrected)
                    break;
                joined_.clear();
                last = &Send(*corrected, "Le corrected");
            } else if (CardStatus(*last, 0x61)) {
                joined_.insert(joined_.end(), last->received.begin(), last->received.end() - 2);
                last = &Send(Bytes{0x00, 0xC0, 0x00, 0x00, sw2}, "GET RESPONSE");
            } else {
                break;
            }
        }
        return *last;
    }

    // One exchange, told to the observer at once; valid until the next one.
    const Exchange& Send(std::span<const std::uint8_t> command, const char* purpose) {
        if (used_ == exchanges_.size())
            exchanges_.emplace_back();
        Exchange& exchange = exchanges_[used_++];
        exchange.at = std::chrono::system_clock::now();
        exchange.purpose = purpose;
        exchange.sent.assign(command.begin(), command.end());
        const qv::ExchangeResult reply = terminal_.Send(command);
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
    std::vector<Exchange> exchanges_; // the first used_ are the current test's
    std::size_t used_ = 0;
    Bytes joined_;
};

} // namespace

Engine::Engine(const CtLibrary& library, RunObserver& observer)
    : library_(library), observer_(observer) {}

Engine::~Engine() = default;

void Engine::Open(const std::vector<Reader>& readers, bool reset) {
    for (const Reader& reader : readers) {
        terminals_.push_back(std::make_unique<CtTerminal>(library_, reader));
        slots_.push_back({slots_.size(), reader, reset ? terminals_.back()->Reset() : Bytes{}});
        observer_.ReaderReady(slots_.back());
    }
}

std::vector<ReaderTotals> Engine::Run(const std::vector<Scenario>& scenarios,
                                      const RunSettings& settings) {
    std::vector<ReaderTotals> totals(slots_.size());
    std::atomic<bool> stop{false};
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        threads.emplace_back([&, i] {
            ReaderRun run(*terminals_[i], slots_[i], observer_);
            totals[i] = run.Run(scenarios, settings, stop);
        });
    }
    threads.clear(); // joins them
    return totals;
}

} // namespace qvrun
