// What keeps a run from hanging or dying with its reports unwritten.
#include "runner/watch.h"

#include "runner/output.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace qvrun {
namespace {

constexpr int kSetupError = 2;
constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
constexpr int kEndings[] = {SIGHUP, SIGINT, SIGTERM};

// The watch of the CT-API call this thread is in, if any; read by the fault handler (static TLS
// of the program itself, safe to read there).
thread_local CallWatch* tWatch = nullptr;

std::array<struct sigaction, std::size(kFaults)> gFormerFault{};
int gWake[2] = {-1, -1}; // a pipe: a byte in it wakes WaitForEvent
std::atomic<bool> gWatching{false};
std::atomic<int> gEnding{0};

// This thread stays where it is until the process ends, taking no signal.
[[noreturn]] void Park() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;)
        sigsuspend(&all);
}

void OnFault(int signo, siginfo_t* info, void* /*context*/) {
    CallWatch* const watch = tWatch;
    if (watch != nullptr)
        watch->Fault(signo); // does not return
    // A fault of the run's own: handled as it would have been without this handler. A fault
    // of an instruction comes again on return; a sent one is sent again.
    for (std::size_t k = 0; k < std::size(kFaults); ++k) {
        if (kFaults[k] == signo)
            sigaction(signo, &gFormerFault[k], nullptr);
    }
    if (info->si_code <= 0)
        raise(signo);
}

void OnEnding(int signo) {
    const int saved = errno;
    int none = 0;
    if (gWatching.load() && gEnding.compare_exchange_strong(none, signo)) {
        Wake();
        errno = saved;
        return;
    }
    // Before the run, while its reports are written, or a second signal: nothing half-written
    // stays behind, and the process ends as the signal ends it.
    RemovePendingOutputs();
    EndBySignal(signo);
}

// Appends `text` to `line` within its room; async-signal-safe.
void Append(std::array<char, 512>& line, std::size_t& used, const char* text) {
    const std::size_t size = std::min(std::strlen(text), line.size() - used);
    std::memcpy(line.data() + used, text, size);
    used += size;
}

} // namespace

const char* CtCallName(CtCall call) {
    switch (call) {
    case CtCall::Init:
        return "CT_init";
    case CtCall::Data:
        return "CT_data";
    case CtCall::Close:
        return "CT_close";
    }
    return "a CT-API call";
}

const char* SignalName(int signo) {
    switch (signo) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    case SIGFPE:
        return "SIGFPE";
    case SIGHUP:
        return "SIGHUP";
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    default:
        return "a signal";
    }
}

// A call without the main thread to leave it behind: past its limit the run ends, status 2.
class CallWatch::Deadline {
  public:
    Deadline(Clock::duration limit, std::string line)
        : line_(std::move(line)), thread_([this, limit] {
              std::unique_lock lock(mutex_);
              if (done_.wait_for(lock, limit, [this] { return returned_; }))
                  return;
              std::fflush(stdout);
              std::fputs(line_.c_str(), stderr);
              std::fflush(stderr);
              RemovePendingOutputs();
              _exit(kSetupError);
          }) {}
    ~Deadline() {
        {
            const std::lock_guard lock(mutex_);
            returned_ = true;
        }
        done_.notify_one();
        thread_.join();
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool returned_ = false;
    std::string line_;
    std::thread thread_; // last: it starts once the rest is made
};

CallWatch::~CallWatch() = default;

CallWatch::CallWatch(const std::string& library, const std::string& reader)
    : library_(library), reader_(reader),
      lineStart_("quorvane-run: the CT-API library " + library + " crashed in "),
      lineEnd_(" on reader '" + reader + "'\n") {}

void CallWatch::Begin(CtCall call) {
    call_.store(call, std::memory_order_relaxed);
    tWatch = this;
    const std::int64_t start = Clock::now().time_since_epoch().count() + 1;
    since_.store(start, std::memory_order_relaxed);
    // Sequentially consistent with the signal's mark: either this call sees the signal, or the
    // main thread, which looks at the mark before the calls, sees this call and leaves it.
    state_.store(start);
    if (!supervised_.load() && limit_ > Clock::duration::zero()) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g s",
                      std::chrono::duration<double>(limit_).count());
        deadline_ = std::make_unique<Deadline>(
            limit_, "quorvane-run: the CT-API library " + library_ + " did not come back from " +
                        CtCallName(call) + " within " + seconds + " (--timeout) on reader '" +
                        reader_ + "'\n");
    }
    if (call == CtCall::Data && supervised_.load() && EndingSignal() != 0) {
        tWatch = nullptr;
        std::int64_t expected = start;
        if (state_.compare_exchange_strong(expected, kIdle))
            throw RunStopped{};
        Park(); // the main thread has taken the reader over
    }
}

void CallWatch::End() {
    tWatch = nullptr;
    deadline_.reset();
    std::int64_t current = state_.load();
    if (current > 0 && state_.compare_exchange_strong(current, kIdle))
        return;
    Park(); // came back too late: the main thread has ended the reader
}

CallWatch::State CallWatch::Look() const {
    const std::int64_t state = state_.load();
    State look;
    look.call = call_.load(std::memory_order_relaxed);
    look.since = Clock::time_point(Clock::duration(since_.load(std::memory_order_relaxed) - 1));
    if (state == kIdle)
        return look;
    if (state == kLeft) {
        look.kind = State::Left;
    } else if (state == kFaulted) {
        look.kind = State::Faulted;
        look.signal = signal_.load();
    } else {
        look.kind = State::Calling;
        look.since = Clock::time_point(Clock::duration(state - 1));
    }
    return look;
}

bool CallWatch::Leave(const State& state) {
    std::int64_t expected = state.since.time_since_epoch().count() + 1;
    return state.kind == State::Calling && state_.compare_exchange_strong(expected, kLeft);
}

void CallWatch::Fault(int signo) {
    std::array<char, 512> line{};
    std::size_t used = 0;
    Append(line, used, lineStart_.c_str());
    Append(line, used, CtCallName(call_.load(std::memory_order_relaxed)));
    Append(line, used, " (");
    Append(line, used, SignalName(signo));
    Append(line, used, ")");
    Append(line, used, lineEnd_.c_str());
    if (write(STDERR_FILENO, line.data(), used) < 0) {
        // nothing more to say it with
    }
    if (!supervised_.load()) {
        // No main thread to finish the run: a set-up error, nothing half-written left.
        RemovePendingOutputs();
        _exit(kSetupError);
    }
    signal_.store(signo);
    std::int64_t current = state_.load();
    if (current > 0 && state_.compare_exchange_strong(current, kFaulted))
        Wake();
    Park();
}

FaultStack::FaultStack() {
    const std::size_t size = std::max<std::size_t>(SIGSTKSZ, 64 * 1024);
    memory_ = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory_ == MAP_FAILED) {
        memory_ = nullptr;
        return; // a fault in a call then ends the run as without the handler
    }
    stack_t stack{};
    stack.ss_sp = memory_;
    stack.ss_size = size;
    sigaltstack(&stack, nullptr);
}

FaultStack::~FaultStack() {
    if (memory_ == nullptr)
        return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    stack_t old{};
    sigaltstack(&off, &old);
    munmap(memory_, old.ss_size);
}

void InstallRunHandlers() {
    static FaultStack mainStack;
    if (pipe2(gWake, O_NONBLOCK | O_CLOEXEC) != 0)
        gWake[0] = gWake[1] = -1;
    struct sigaction fault {};
    fault.sa_sigaction = OnFault;
    fault.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigfillset(&fault.sa_mask);
    for (std::size_t k = 0; k < std::size(kFaults); ++k)
        sigaction(kFaults[k], &fault, &gFormerFault[k]);
    // A signal the run was started with ignored stays ignored.
    for (const int signo : kEndings) {
        struct sigaction old {};
        if (sigaction(signo, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
            continue;
        struct sigaction ending {};
        ending.sa_handler = OnEnding;
        ending.sa_flags = SA_RESTART;
        sigemptyset(&ending.sa_mask);
        for (const int other : kEndings)
            sigaddset(&ending.sa_mask, other);
        sigaction(signo, &ending, nullptr);
    }
}

void Wake() {
    if (gWake[1] >= 0 && write(gWake[1], "", 1) < 0) {
        // full: it wakes the waiter anyway
    }
}

void WaitForEvent(std::optional<std::chrono::steady_clock::time_point> until) {
    pollfd wake{.fd = gWake[0], .events = POLLIN, .revents = 0};
    timespec room{};
    if (until) {
        const auto left = std::max(*until - std::chrono::steady_clock::now(),
                                   std::chrono::steady_clock::duration::zero());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        room.tv_sec = seconds.count();
        room.tv_nsec = std::chrono::nanoseconds(left - seconds).count();
    }
    if (ppoll(&wake, 1, until ? &room : nullptr, nullptr) > 0) {
        char drained[64];
        while (read(gWake[0], drained, sizeof drained) > 0) {
        }
    }
}

void WatchEndingSignals(bool on) {
    gWatching.store(on);
}

int EndingSignal() {
    return gEnding.load();
}

void EndBySignal(int signo) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signo);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signo);
    _exit(128 + signo); // not reached: the default action ends the process
}

} // namespace qvrun
