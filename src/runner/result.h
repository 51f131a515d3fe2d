// What a run produces, in the order it happens: a reader made ready, each exchange, each test's
// result, a reader's totals. The engine hands them to observers (the console, JUnit, the trace,
// the record), which write as the run goes; nothing here is kept by the engine after the call.
// Each reader's tests run in a process of their own; their events reach the observers in the
// run's process (wire.h), on its one thread.
#pragma once

#include "req/verdict.h"
#include "runner/readers.h"
#include "runner/suite.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qvrun {

using Clock = std::chrono::steady_clock;

// One chosen reader as the run knows it: its place among the chosen readers, and its ATR (empty
// with --no-reset).
struct ReaderSlot {
    std::size_t index = 0;
    Reader reader;
    Bytes atr;
};

// What an exchange was for (Exchange::purpose): the test's command, or a T=0 follow-up.
inline constexpr const char* kPurposeCommand = "command";
inline constexpr const char* kPurposeGetResponse = "GET RESPONSE";
inline constexpr const char* kPurposeLeCorrected = "Le corrected";
inline constexpr std::array<const char*, 3> kPurposes = {kPurposeCommand, kPurposeGetResponse,
                                                         kPurposeLeCorrected};

// One CT_data call and what came back.
struct Exchange {
    std::chrono::system_clock::time_point at; // when it was sent
    const char* purpose = kPurposeCommand;    // one of kPurposes
    Bytes sent;
    Bytes received; // empty unless result is OK
    std::int8_t result = 0;
    std::uint8_t source = 0; // the reply's source address
    Clock::duration duration{};
};

using Verdict = qv::Verdict;

// One test's result. Its views live until the observer returns.
struct TestResult {
    const Scenario& scenario;
    const Test& test;
    unsigned run = 1; // 1-based repetition
    qv::Judgement judgement{};
    std::span<const std::uint8_t> received{}; // the final response (joined with --get-response)
    std::int8_t result = 0;                   // the last CT_data result
    std::span<const Exchange> exchanges{};    // as sent and received; none when not sent
    Clock::duration duration{};               // all of the test's exchanges
    std::span<const std::uint8_t> command{};  // the command as sent, captures put in
    // An extended test: the captures it could read when it was sent.
    const qv::Captures* captures = nullptr;
    // The reason the engine gave a verdict of its own (a time, a capture without a value).
    std::string why{};
    // Whether --baseline held the test (then `baseline` is its time there, in seconds).
    enum class InBaseline : std::uint8_t { NotAsked, Found, Missing };
    InBaseline inBaseline = InBaseline::NotAsked;
    double baseline = 0;

    bool Passed() const { return judgement.Passed(); }
};

// Where a reader's run stands: a test (0-based) of a file (0-based) in a repetition (1-based).
struct Position {
    unsigned run = 1;
    std::size_t file = 0;
    std::size_t test = 0;
};

// The tests a reader does not run, from `from` to the end of its last repetition, and why.
// They are counted as JUnit reports them: those of the repetition `from` stands in one by one,
// then each test once for all the repetitions not begun.
struct NotRun {
    const std::vector<Scenario>& scenarios;
    unsigned runs = 1; // the repetitions asked for
    Position from;
    std::string_view reason; // one phrase: "card lost at test 3: the card was removed"
    // The signal that stopped the run (SIGTERM), or 0. Then the first of these tests, the one
    // the stop fell on, is an error, so that a report read alone shows the run did not pass.
    int signal = 0;

    // How many ForEach gives.
    std::size_t Count() const;
    // Each test not run: those of the repetition `from` stands in one by one (first and last
    // run the same), then each test once for the repetitions not begun (first to last run).
    void ForEach(const std::function<void(const Scenario& scenario, const Test& test,
                                          unsigned firstRun, unsigned lastRun)>& each) const;
    // Whether the first of them is an error of a stopped run (`signal`) rather than not run.
    bool FirstIsError() const { return signal != 0; }
};

// A reader's run in numbers.
struct ReaderTotals {
    std::size_t tests = 0; // test cases, run or not
    // JUnit's failures: a response other than expected, or one later than its time limit or
    // its baseline time.
    std::size_t failures = 0;
    std::size_t errors = 0; // did not pass otherwise: the exchange failed, nothing was sent
    std::size_t notRun = 0; // test cases of tests not run (NotRun)
    Clock::duration wall{};
    std::size_t inBaseline = 0, notInBaseline = 0; // tests looked up in --baseline

    std::size_t Failed() const { return failures + errors; }
    std::size_t Passed() const { return tests - Failed() - notRun; }
    void Count(const TestResult& result);
    void Count(const NotRun& notRun);
};

// The names a test case has in a JUnit report, and so in a baseline read from one: its class
// ("reader1.suite": the reader's number in the run and the file's name without ".req") and its
// name ("3 Select MF", " (run 2)" after it in later runs).
std::string CaseClass(const Reader& reader, const Scenario& scenario);
std::string CaseName(const Test& test, unsigned run);

// Receives a run's events, each reader's in order, all on the run's one thread.
class RunObserver {
  public:
    virtual ~RunObserver() = default;
    virtual void ReaderReady(const ReaderSlot& /*slot*/) {}
    virtual void TestStarted(const ReaderSlot& /*slot*/, const Scenario& /*scenario*/,
                             const Test& /*test*/) {}
    virtual void Exchanged(const ReaderSlot& /*slot*/, const Exchange& /*exchange*/) {}
    virtual void TestDone(const ReaderSlot& /*slot*/, const TestResult& /*result*/) {}
    // Once at most per reader, after its last result.
    virtual void TestsNotRun(const ReaderSlot& /*slot*/, const NotRun& /*notRun*/) {}
    virtual void ReaderDone(const ReaderSlot& /*slot*/, const ReaderTotals& /*totals*/) {}
};

// Hands every event to each of its observers, in the order they were added.
class Observers : public RunObserver {
  public:
    void Add(RunObserver& observer) { observers_.push_back(&observer); }

    void ReaderReady(const ReaderSlot& slot) override;
    void TestStarted(const ReaderSlot& slot, const Scenario& scenario, const Test& test) override;
    void Exchanged(const ReaderSlot& slot, const Exchange& exchange) override;
    void TestDone(const ReaderSlot& slot, const TestResult& result) override;
    void TestsNotRun(const ReaderSlot& slot, const NotRun& notRun) override;
    void ReaderDone(const ReaderSlot& slot, const ReaderTotals& totals) override;

  private:
    // Calls `event` with `args` on every observer.
    template <typename... Args>
    void Tell(void (RunObserver::*event)(const ReaderSlot&, const Args&...), const ReaderSlot& slot,
              const Args&... args) {
        for (RunObserver* observer : observers_)
            (observer->*event)(slot, args...);
    }

    std::vector<RunObserver*> observers_;
};

} // namespace qvrun
