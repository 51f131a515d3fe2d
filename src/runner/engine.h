// The engine: a process per chosen reader (reader_process.h), started once the files are read,
// and watched from the run's one thread with poll and waitpid. What the readers report goes to
// one observer as it happens (result.h); a process that ends early, or does not come back from a
// CT-API call within --timeout, ends only its own reader's run.
#pragma once

#include "runner/reader_process.h"
#include "runner/result.h"
#include "runner/run.h"
#include "runner/wire.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qvrun {

class Engine {
  public:
    // `library` is --ctapi's path, empty for the linked libctapi-pcsc. `scenarios`, `settings`
    // and `observer` must outlive the engine and stay unchanged; `warn` says a line on standard
    // error (the console's Warning).
    Engine(std::string library, const std::vector<Scenario>& scenarios, const RunSettings& settings,
           RunObserver& observer, std::function<void(const std::string&)> warn);
    // Ends (SIGKILL) the readers' processes still there, and waits for them.
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Starts a process per reader, which opens the reader's terminal: CT_init and, with `reset`,
    // RESET CT and RESET ICC, a card in use by another program waited for up to `waitInUse`.
    // Each reader is reported ready to the observer, in the readers' order. A reader that cannot be
    // opened, or whose library ends its process or does not come back from a call within
    // settings.timeout, is a set-up error of the whole run (SetupError): nothing is sent.
    void Open(const std::vector<Reader>& readers, bool reset, std::chrono::seconds waitInUse);

    // Lets every reader run its tests at once and returns when all are done (their terminals
    // still open); the totals are in reader order. With failFast the first failure on any reader
    // stops them all. A process that ends in a test, or whose call has not come back within
    // settings.timeout (then it is killed), makes that test an error and the reader's other tests
    // not run; an ending signal (signals.h) kills every process and the tests they had not done are
    // not run.
    std::vector<ReaderTotals> Run();

    // Closes every reader's terminal (CT_close) and waits for the readers' processes to end.
    // Returns false when a CT_close failed: the library ended its process in it or did not come
    // back from it, said on standard error.
    bool Close();

  private:
    struct Child;
    // Why the run killed a reader's process.
    enum class Killed : std::uint8_t { No, TimedOut, Stopped, Unreadable };

    void Start(const ReaderStart& start);
    // Waits for what comes next (records, a process's end, a signal, a call's time running out)
    // and takes it.
    void Step();
    // One read of a process's records, each handed to its feed.
    RecordStream::Read Read(Child& child);
    // Waits for the processes that ended.
    void Reap();
    void Conclude(Child& child, int status);
    std::optional<Clock::time_point> CheckTimes();
    void Kill(Child& child, Killed why);
    void Tell(const Child& child, char word);

    std::string library_;
    const std::vector<Scenario>& scenarios_;
    const RunSettings& settings_;
    RunObserver& observer_;
    std::function<void(const std::string&)> warn_;
    std::vector<std::unique_ptr<Child>> children_;
    Clock::time_point start_{};
    bool running_ = false;
    bool stopSent_ = false;
    bool closeFailed_ = false;
};

} // namespace qvrun
