// What keeps a run from hanging or dying with its reports unwritten: each CT-API call is marked
// while it runs, so that the run's main thread can leave behind a call that has not come back in
// time and a fault inside the library ends only the reader it hit; SIGHUP, SIGINT and SIGTERM
// stop the run instead of killing it. A call left behind cannot be cancelled: its thread stays
// where it is until the process ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qvrun {

enum class CtCall : std::uint8_t { Init, Data, Close };
const char* CtCallName(CtCall call); // "CT_data"

// Thrown by CallWatch::Begin when an ending signal came before the call: nothing is sent.
struct RunStopped {};

// A reader's CT-API calls as the run's main thread sees them.
class CallWatch {
  public:
    using Clock = std::chrono::steady_clock;

    // `library` and `reader` name them in the line a fault writes.
    CallWatch(const std::string& library, const std::string& reader);
    ~CallWatch();
    CallWatch(const CallWatch&) = delete;
    CallWatch& operator=(const CallWatch&) = delete;

    // While supervised a fault in a call ends only this reader (the main thread finishes it);
    // otherwise it ends the run as a set-up error, status 2.
    void Supervise(bool on) { supervised_.store(on); }
    // The longest wait for a call while not supervised (CT_init, the reset, CT_close): past it
    // the run ends as a set-up error, status 2. Zero: no limit.
    void Limit(Clock::duration limit) { limit_ = limit; }

    // On the calling thread, around one call. Begin throws RunStopped for a CT_data when a
    // supervised run got an ending signal;
    // End does not return when the call was left behind meanwhile.
    void Begin(CtCall call);
    void End();

    // On the main thread. What the watched thread is doing: nothing, a call begun `since`, or
    // a call begun `since` that it faulted in (`signal`).
    struct State {
        enum Kind { Idle, Calling, Faulted, Left } kind = Idle;
        Clock::time_point since{};
        int signal = 0;
        CtCall call = CtCall::Data;
    };
    State Look() const;
    // Leaves the call `state` shows behind; false when it came back meanwhile.
    bool Leave(const State& state);

    // For the fault handler: the line it writes, prepared beforehand.
    void Fault(int signo);

  private:
    static constexpr std::int64_t kIdle = 0, kFaulted = -1, kLeft = -2;
    // kIdle, kFaulted, kLeft, or the steady clock's count (plus one) at the call's start.
    std::atomic<std::int64_t> state_{kIdle};
    std::atomic<std::int64_t> since_{0}; // the last call's start
    std::atomic<int> signal_{0};
    std::atomic<CtCall> call_{CtCall::Data};
    std::atomic<bool> supervised_{false};
    Clock::duration limit_{};
    class Deadline;
    std::unique_ptr<Deadline> deadline_; // of the call under way, while not supervised
    std::string library_, reader_;
    std::string lineStart_; // "quorvane-run: the CT-API library L crashed in "
    std::string lineEnd_;   // " on reader 'R'"
};

// Installs the handlers for faults and for the signals that end a run, and gives this thread a
// stack to handle a fault on. Once, before any CT-API call.
void InstallRunHandlers();

// Gives the calling thread a stack of its own for the fault handler, for its lifetime.
class FaultStack {
  public:
    FaultStack();
    ~FaultStack();
    FaultStack(const FaultStack&) = delete;
    FaultStack& operator=(const FaultStack&) = delete;

  private:
    void* memory_ = nullptr;
};

// The run's main thread waits here for a reader to end, a fault, an ending signal, or `until`.
void WaitForEvent(std::optional<std::chrono::steady_clock::time_point> until);
// Wakes WaitForEvent (async-signal-safe).
void Wake();

// While the main thread watches, an ending signal stops the run (EndingSignal then tells it);
// otherwise, and for a second one, it removes the outputs not yet in place and ends the process.
void WatchEndingSignals(bool on);
int EndingSignal(); // 0 when none came
// "SIGTERM"
const char* SignalName(int signo);
// Ends the process by `signo` with its default action, as if the run had not caught it.
[[noreturn]] void EndBySignal(int signo);

} // namespace qvrun
