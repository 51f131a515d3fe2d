// What the runner prints: a line per test, the detail of a failure, a summary.
#pragma once

#include "runner/exchange_times.h"
#include "runner/options.h"
#include "runner/result.h"

#include "core/atr.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace qvrun {

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
    // The totals of every reader reported done, and the run's `wall` time.
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
