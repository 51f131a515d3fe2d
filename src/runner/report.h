// What the runner prints: a line per test, the detail of a failure, a summary.
#pragma once

#include "core/atr.h"
#include "runner/options.h"
#include "runner/result.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace qvrun {

// The lines that explain a failed test: command sent, expected response (wildcards as xx),
// response received, the first differing byte marked; or the CT-API result.
std::vector<std::string> FailureDetail(const TestResult& result);

// One line for the failure's kind, as JUnit's failure message.
std::string FailureMessage(const TestResult& result);

struct Percentiles {
    double p50 = 0, p95 = 0, max = 0; // milliseconds
};

// The exchange times of a run of any length in a fixed few hundred kilobytes: a bucket per
// nanosecond below 1024 ns, above that 512 buckets per power of two (each spanning less than
// 0.2 % of its times), each bucket with its count and its longest time. A percentile by nearest
// rank is then a time that was measured: exact where no other time shares its bucket, and never
// more than its bucket's span above the exact one.
class ExchangeTimes {
  public:
    ExchangeTimes();
    void Add(Clock::duration time);
    // Nothing when no exchange was timed.
    std::optional<Percentiles> Ranked() const;

  private:
    std::vector<std::uint64_t> counts_;
    std::vector<Clock::rep> longest_;
    std::uint64_t total_ = 0;
};

double Milliseconds(Clock::duration duration);

struct ConsoleSettings {
    Verbosity verbosity = Verbosity::Normal;
    std::size_t readers = 1;    // how many readers run: with several, lines carry "[N] "
    bool progress = false;      // a progress line below the output (a terminal)
    bool showAtr = true;        // the readers were reset
    std::size_t testsInAll = 0; // for the progress line
    std::string baselinePath;   // --baseline: the summary says how many tests it held
    // A test that has the person at the reader's keypad type a PIN says so on standard error
    // when it starts (standard error is a terminal).
    bool pinPrompts = false;
    std::vector<std::string> keypads; // -v: what each reader's PIN pad offers, by reader index
};

// The runner's standard output, shared by the readers' threads.
class Console : public RunObserver {
  public:
    Console(std::FILE* out, const ConsoleSettings& settings);
    // A run that ends early (a set-up error on a later reader) leaves no progress line for the
    // error to be glued to.
    ~Console() override;
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void Warning(const std::string& line);
    void ReaderReady(const ReaderSlot& slot) override;
    void TestStarted(const ReaderSlot& slot, const Scenario& scenario, const Test& test) override;
    void TestDone(const ReaderSlot& slot, const TestResult& result) override;
    void TestsNotRun(const ReaderSlot& slot, const NotRun& notRun) override;
    void ReaderDone(const ReaderSlot& slot, const ReaderTotals& totals) override;
    // The totals of every reader told done, and the run's `wall` time.
    void Summary(Clock::duration wall);
    // The first write error of the console's stream (errno), or 0.
    int WriteError();

  private:
    struct ReaderState;
    // A test's verdict line, below the "== FILE" line of its file and run where that changed.
    // The reader's line (its ATR, with -v its PIN pad and the ATR decoded).
    void ReaderLine(const ReaderSlot& slot, const qv::Atr& atr);
    void VerdictLine(ReaderState& state, const Scenario& scenario, unsigned run, const Test& test,
                     const char* verdict, bool passed, Clock::duration duration);
    void NoteWriteError();
    void ClearProgress();
    void ShowProgress();
    std::string Prefix(const Reader& reader) const;

    // What the console keeps of a reader: the block of tests it printed last, its totals.
    struct ReaderState {
        const Scenario* scenario = nullptr;
        unsigned run = 0;
        std::string prefix;
        std::optional<ReaderTotals> totals;
        // The test being sent, for the progress line: "[2] 4 Select MF", and since when.
        std::string running;
        Clock::time_point since{};
    };

    std::mutex mutex_;
    std::FILE* out_;
    ConsoleSettings settings_;
    bool progressShown_ = false;
    std::size_t testsDone_ = 0;
    std::size_t testsFailed_ = 0;
    std::vector<ReaderState> readers_;
    int writeError_ = 0;
    ExchangeTimes exchangeTimes_;
};

} // namespace qvrun
