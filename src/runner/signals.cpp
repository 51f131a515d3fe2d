// The signals a run takes.
#include "runner/signals.h"

#include "runner/output.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace qvrun {
namespace {

constexpr int kEndings[] = {SIGHUP, SIGINT, SIGTERM};

int gWake[2] = {-1, -1}; // a pipe: a byte in it wakes the run's loop
std::atomic<bool> gWatching{false};
std::atomic<int> gEnding{0};
std::atomic<bool> gChildEnded{false};

void Wake() {
    if (gWake[1] >= 0 && write(gWake[1], "", 1) < 0) {
        // full: it wakes the loop anyway
    }
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

void OnChild(int /*signo*/) {
    const int saved = errno;
    gChildEnded.store(true);
    Wake();
    errno = saved;
}

void Handle(int signo, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART | (signo == SIGCHLD ? SA_NOCLDSTOP : 0);
    sigemptyset(&action.sa_mask);
    for (const int other : kEndings)
        sigaddset(&action.sa_mask, other);
    sigaction(signo, &action, nullptr);
}

} // namespace

void InstallRunSignals() {
    if (pipe2(gWake, O_NONBLOCK | O_CLOEXEC) != 0)
        gWake[0] = gWake[1] = -1;
    for (const int signo : kEndings) {
        struct sigaction old {};
        if (sigaction(signo, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
            continue;
        Handle(signo, OnEnding);
    }
    Handle(SIGCHLD, OnChild);
}

int WakeFd() {
    return gWake[0];
}

void DrainWakes() {
    char drained[64];
    while (read(gWake[0], drained, sizeof drained) > 0) {
    }
}

bool ChildEnded() {
    return gChildEnded.exchange(false);
}

void WatchEndingSignals(bool on) {
    gWatching.store(on);
}

int EndingSignal() {
    return gEnding.load();
}

std::string SignalName(int signo) {
    const char* abbreviation = sigabbrev_np(signo);
    return abbreviation != nullptr ? std::string("SIG") + abbreviation
                                   : "signal " + std::to_string(signo);
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

void LeaveRunSignals() {
    for (const int signo : kEndings)
        std::signal(signo, SIG_IGN);
    std::signal(SIGCHLD, SIG_DFL);
    // A fault in the CT-API library must end this process by its own signal, for the run to
    // name it: no handler inherited from the run (a sanitizer's runtime installs one) may turn
    // it into an exit status.
    for (const int signo : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
        std::signal(signo, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int& fd : gWake) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

} // namespace qvrun
