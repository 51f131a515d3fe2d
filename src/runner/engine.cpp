// The engine.
#include "runner/engine.h"

#include "runner/ct_library.h"
#include "runner/setup_error.h"
#include "runner/signals.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qvrun {
namespace {

std::string SecondsText(Clock::duration duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(duration).count());
    return text;
}

// How a process ended, in the words the run says it with.
struct Ending {
    std::string verb;   // "crashed", "ended the process"
    std::string detail; // "(SIGSEGV)", "(exit status 0)"
};

Ending HowItEnded(int status) {
    if (WIFSIGNALED(status))
        return {"crashed", "(" + SignalName(WTERMSIG(status)) + ")"};
    return {"ended the process", "(exit status " + std::to_string(WEXITSTATUS(status)) + ")"};
}

// How long the run lets records gather in the pipes after it has read some.
constexpr auto kGather = std::chrono::milliseconds(1);
// A pipe that holds what a reader writes while the run lets records gather: a few exchanges of
// the largest size.
constexpr int kPipeSize = 1 << 20;

void CloseFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

struct Engine::Child {
    Child(std::size_t index, const Reader& reader, const std::vector<Scenario>& scenarios,
          unsigned repeat, RunObserver& observer)
        : feed(index, reader, scenarios, repeat, observer) {}

    pid_t pid = -1;
    int report = -1;  // the records' pipe, read end; -1 once it has ended
    int control = -1; // the run's word, write end
    RecordStream stream;
    ReaderFeed feed;
    bool ended = false; // waited for
    Killed killed = Killed::No;
    std::optional<ReaderFeed::Call> lateCall; // the call that did not come back in time
    std::optional<std::string> failure;       // why the reader could not be opened
};

Engine::Engine(std::string library, const std::vector<Scenario>& scenarios,
               const RunSettings& settings, RunObserver& observer,
               std::function<void(const std::string&)> warn)
    : library_(std::move(library)), scenarios_(scenarios), settings_(settings), observer_(observer),
      warn_(std::move(warn)) {}

Engine::~Engine() {
    for (const auto& child : children_) {
        if (!child->ended)
            kill(child->pid, SIGKILL);
    }
    for (const auto& child : children_) {
        int status = 0;
        while (!child->ended && waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
        }
        CloseFd(child->report);
        CloseFd(child->control);
    }
}

void Engine::Start(const ReaderStart& start) {
    auto child = std::make_unique<Child>(children_.size(), start.reader, scenarios_,
                                         settings_.repeat, observer_);
    int report[2] = {-1, -1}, control[2] = {-1, -1};
    if (pipe2(report, O_CLOEXEC) != 0 || pipe2(control, O_CLOEXEC) != 0) {
        const int error = errno;
        for (int* fd : {&report[0], &report[1]})
            CloseFd(*fd);
        throw SetupError("cannot start a process for reader '" + start.reader.name +
                         "': " + std::strerror(error));
    }
    // Nothing buffered is copied into the new process, and no ending signal reaches it before it
    // has set its own way with them.
    std::fflush(nullptr);
    sigset_t endings, before;
    sigemptyset(&endings);
    for (const int signo : {SIGHUP, SIGINT, SIGTERM})
        sigaddset(&endings, signo);
    sigprocmask(SIG_BLOCK, &endings, &before);
    const pid_t run = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto& other : children_) {
            CloseFd(other->report);
            CloseFd(other->control);
        }
        close(report[0]);
        close(control[1]);
        RunReaderProcess(start, scenarios_, settings_, report[1], control[0], run);
    }
    const int error = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    close(report[1]);
    close(control[0]);
    if (pid < 0) {
        close(report[0]);
        close(control[1]);
        throw SetupError("cannot start a process for reader '" + start.reader.name +
                         "': " + std::strerror(error));
    }
    fcntl(report[0], F_SETFL, fcntl(report[0], F_GETFL) | O_NONBLOCK);
    fcntl(report[0], F_SETPIPE_SZ, kPipeSize); // the default one where the system refuses
    child->pid = pid;
    child->report = report[0];
    child->control = control[1];
    children_.push_back(std::move(child));
}

void Engine::Open(const std::vector<Reader>& readers, bool reset, std::chrono::seconds waitInUse) {
    for (const Reader& reader : readers)
        Start({reader, library_, reset, waitInUse});
    const auto failure = [](const Child& child) {
        return child.feed.SetupFailure() ? child.feed.SetupFailure() : child.failure;
    };
    // Opened at once; reported ready, or failed, in the readers' order.
    for (const auto& child : children_) {
        while (!child->feed.IsReady() && !failure(*child))
            Step();
        if (const auto why = failure(*child))
            throw SetupError(*why);
        observer_.ReaderReady(child->feed.Slot());
    }
    for (const auto& child : children_) {
        if (const auto why = failure(*child))
            throw SetupError(*why);
    }
}

std::vector<ReaderTotals> Engine::Run() {
    running_ = true;
    WatchEndingSignals(true);
    start_ = Clock::now();
    for (const auto& child : children_)
        Tell(*child, kGo);
    const auto going = [&] {
        return std::ranges::any_of(children_, [](const auto& child) {
            return !child->ended && !child->feed.IsFinished();
        });
    };
    bool stopping = false;
    while (going()) {
        Step();
        if (!stopping && EndingSignal() != 0) {
            stopping = true;
            for (const auto& child : children_) {
                if (!child->ended && child->killed == Killed::No)
                    Kill(*child, Killed::Stopped);
            }
        }
        if (settings_.failFast && !stopSent_ &&
            std::ranges::any_of(children_, [](const auto& child) {
                return child->feed.EndedFor() == kStoppedAtFirstFailure;
            })) {
            stopSent_ = true;
            for (const auto& child : children_)
                Tell(*child, kStop);
        }
    }
    WatchEndingSignals(false);
    std::vector<ReaderTotals> totals;
    for (const auto& child : children_)
        totals.push_back(child->feed.Totals());
    return totals;
}

bool Engine::Close() {
    for (const auto& child : children_)
        Tell(*child, kClose);
    while (std::ranges::any_of(children_, [](const auto& child) { return !child->ended; }))
        Step();
    return !closeFailed_;
}

void Engine::Tell(const Child& child, char word) {
    if (!child.ended && write(child.control, &word, 1) < 0) {
        // it has ended: its end is taken in Step
    }
}

void Engine::Step() {
    const std::optional<Clock::time_point> until = CheckTimes();
    std::vector<pollfd> fds = {{WakeFd(), POLLIN, 0}};
    std::vector<Child*> polled;
    for (const auto& child : children_) {
        if (child->report >= 0) {
            fds.push_back({child->report, POLLIN, 0});
            polled.push_back(child.get());
        }
    }
    timespec room{};
    if (until) {
        const auto left = std::max(*until - Clock::now(), Clock::duration::zero());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        room.tv_sec = seconds.count();
        room.tv_nsec = std::chrono::nanoseconds(left - seconds).count();
    }
    bool read = false;
    if (ppoll(fds.data(), fds.size(), until ? &room : nullptr, nullptr) > 0) {
        if (fds[0].revents != 0)
            DrainWakes();
        for (std::size_t k = 0; k < polled.size(); ++k) {
            if (fds[k + 1].revents != 0) {
                Read(*polled[k]);
                read = true;
            }
        }
    }
    Reap();
    if (read) {
        // More records gather meanwhile (a signal or a process's end cuts it short): the run
        // reads a batch of exchanges at a time instead of waking for each.
        pollfd wake{WakeFd(), POLLIN, 0};
        timespec gather{0, std::chrono::nanoseconds(kGather).count()};
        ppoll(&wake, 1, &gather, nullptr);
    }
}

RecordStream::Read Engine::Read(Child& child) {
    const RecordStream::Read read = child.stream.ReadFrom(child.report);
    while (const std::optional<RecordStream::Item> item = child.stream.Next()) {
        if (child.killed == Killed::Unreadable)
            break;
        if (!child.feed.Take(item->type, item->payload))
            Kill(child, Killed::Unreadable);
    }
    if (read == RecordStream::Read::End)
        CloseFd(child.report);
    return read;
}

void Engine::Reap() {
    bool look = ChildEnded();
    for (const auto& child : children_)
        look = look || (!child->ended && child->report < 0);
    if (!look)
        return;
    for (const auto& child : children_) {
        int status = 0;
        pid_t got = 0;
        while (!child->ended && (got = waitpid(child->pid, &status, WNOHANG)) < 0 &&
               errno == EINTR) {
        }
        if (child->ended || got != child->pid)
            continue;
        // All it wrote before it ended, unless a process it started holds the pipe open.
        while (child->report >= 0 && Read(*child) == RecordStream::Read::Some) {
        }
        CloseFd(child->report);
        CloseFd(child->control);
        child->ended = true;
        Conclude(*child, status);
    }
}

// What the end of a reader's process means for the run: nothing when it ended as it should;
// otherwise a set-up error while it opened the reader, an error of the test under way and the
// reader's other tests not run while it ran them, or a failed CT_close after them.
void Engine::Conclude(Child& child, int status) {
    ReaderFeed& feed = child.feed;
    const bool opening = !running_;
    if (child.killed == Killed::Stopped) {
        if (!opening && !feed.IsFinished())
            feed.EndEarly("", "stopped by " + SignalName(EndingSignal()), start_);
        return;
    }
    const std::string library = "the CT-API library " + CtLibraryName(library_) + " ";
    const std::string onReader = " on reader '" + feed.Slot().reader.name + "'";
    std::string line;   // said on standard error
    std::string why;    // the error of the test under way
    std::string reason; // why the reader's other tests are not run
    if (child.killed == Killed::TimedOut) {
        const std::string limit = SecondsText(settings_.timeout);
        line = library + "did not come back from " + CtCallName(child.lateCall->call) + " within " +
               limit + " (--timeout)" + onReader;
        why = "no answer within " + limit + " (--timeout)";
        reason = feed.Where() + " had no answer within " + limit;
    } else if (child.killed == Killed::Unreadable) {
        why = "the reader's process sent a record that cannot be read";
        line = why + onReader;
        reason = why + " at " + feed.Where();
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && feed.IsFinished() &&
               !feed.CallUnderWay()) {
        return;
    } else {
        const Ending ending = HowItEnded(status);
        const std::optional<ReaderFeed::Call>& call = feed.CallUnderWay();
        const std::string in = call ? std::string(" in ") + CtCallName(call->call) : "";
        line = library + ending.verb + in + " " + ending.detail + onReader;
        why = "the CT-API library " + ending.verb + in + " " + ending.detail;
        reason = "the CT-API library " + ending.verb + in + " at " + feed.Where();
    }
    if (opening) {
        child.failure = feed.SetupFailure().value_or(line);
    } else if (feed.IsFinished()) {
        warn_(line);
        closeFailed_ = true;
    } else {
        // A test's exchange that timed out is said by its error alone.
        if (child.killed != Killed::TimedOut)
            warn_(line);
        feed.EndEarly(why, reason, start_);
    }
}

// Kills each process whose CT-API call has not come back within the time limit; returns when
// the next call under way runs out of time.
std::optional<Clock::time_point> Engine::CheckTimes() {
    if (settings_.timeout <= Clock::duration::zero())
        return std::nullopt;
    std::optional<Clock::time_point> next;
    const Clock::time_point now = Clock::now();
    for (const auto& child : children_) {
        if (child->ended || child->killed != Killed::No || !child->feed.CallUnderWay())
            continue;
        if (now >= child->feed.CallUnderWay()->since + settings_.timeout && child->report >= 0)
            Read(*child); // it may have come back meanwhile
        const std::optional<ReaderFeed::Call>& call = child->feed.CallUnderWay();
        if (!call || child->killed != Killed::No)
            continue;
        const Clock::time_point deadline = call->since + settings_.timeout;
        if (now >= deadline) {
            child->lateCall = call;
            Kill(*child, Killed::TimedOut);
        } else {
            next = next ? std::min(*next, deadline) : deadline;
        }
    }
    return next;
}

void Engine::Kill(Child& child, Killed why) {
    child.killed = why;
    kill(child.pid, SIGKILL);
}

} // namespace qvrun
