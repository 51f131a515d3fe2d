// The engine: every chosen reader's CT-API terminal opened and reset, then every test of every
// file sent to each card, repeated as asked, a thread per reader. What happens goes to one
// observer as it happens (result.h); the engine keeps no results.
#pragma once

#include "runner/baseline.h"
#include "runner/ct_library.h"
#include "runner/readers.h"
#include "runner/result.h"
#include "runner/suite.h"
#include "runner/terminal.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qvrun {

// Tells the readers to stop sending, and why: the first reason given stays.
class StopFlag {
  public:
    void Stop(const std::string& reason);
    std::optional<std::string> Reason() const {
        if (!stopped_.load(std::memory_order_acquire))
            return std::nullopt;
        const std::lock_guard lock(mutex_);
        return reason_;
    }

  private:
    std::atomic<bool> stopped_{false};
    mutable std::mutex mutex_;
    std::string reason_;
};

struct RunSettings {
    bool getResponse = false;
    bool failFast = false;
    unsigned repeat = 1;
    // --baseline: a test whose time grew past `baselineFactor` times its time there fails.
    const Baseline* baseline = nullptr;
    double baselineFactor = 2;
    // --timeout: the longest wait for one exchange; zero for no limit.
    Clock::duration timeout{};
};

class Engine {
  public:
    // `library` and `observer` must outlive the engine.
    // `timeout` bounds each CT-API call of the opening and the closing too (then a set-up error).
    Engine(const CtLibrary& library, RunObserver& observer, Clock::duration timeout = {});
    ~Engine();

    // CT_init and, with `reset`, RESET CT and RESET ICC on each reader in turn, each told ready
    // to the observer when it is; a card in use by another program is waited for up to
    // `waitInUse`. Every terminal is opened before the first test: a failure is a set-up error
    // of the whole run (SetupError).
    void Open(const std::vector<Reader>& readers, bool reset, std::chrono::seconds waitInUse = {});

    // Runs every file `settings.repeat` times on every open reader at once; returns when all
    // readers are done. With failFast, the first failure on any reader stops them all. A reader
    // whose exchange has not come back within `settings.timeout`, or whose library faulted, is
    // ended here and its call left behind; an ending signal (watch.h) stops every reader, the
    // calls under way left behind.
    // `scenarios` stays unchanged while the run reads it. The totals are in reader order.
    std::vector<ReaderTotals> Run(const std::vector<Scenario>& scenarios,
                                  const RunSettings& settings);

    // Whether a CT-API call was left behind: its thread may come back into the library at any
    // time, so the process must end without running the library's destructors (_exit).
    bool LeftCallsBehind() const { return leftBehind_; }

  private:
    const CtLibrary& library_;
    RunObserver& observer_;
    std::vector<ReaderSlot> slots_;
    StopFlag stop_;
    std::vector<std::unique_ptr<CtTerminal>> terminals_;
    bool leftBehind_ = false;
    Clock::duration timeout_;
};

} // namespace qvrun
