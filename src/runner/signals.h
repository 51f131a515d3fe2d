// The signals a run takes. SIGHUP, SIGINT and SIGTERM stop a run under way (its reports are
// written) and end one that is not (its unfinished outputs removed, the process ended by the
// signal); SIGCHLD says that a reader's process has ended. Both wake the run's loop.
#pragma once

#include <string>

namespace qvrun {

// Once, at the start. A signal the run was started with ignored stays ignored.
void InstallRunSignals();

// Readable after any of the signals above came; Drain empties it.
int WakeFd();
void DrainWakes();
// Whether SIGCHLD came since the last call.
bool ChildEnded();

// While on, an ending signal stops the run (EndingSignal then returns it); otherwise, and for a
// second one, it removes the outputs not yet in place and ends the process.
void WatchEndingSignals(bool on);
int EndingSignal(); // 0 when none came
// "SIGTERM"
std::string SignalName(int signo);
// Ends the process by `signo` with its default action, as if the run had not caught it.
[[noreturn]] void EndBySignal(int signo);

// In a reader's process, just started: SIGHUP, SIGINT and SIGTERM ignored (a terminal's ^C
// reaches the whole process group, and it is the run that ends its readers), SIGCHLD as by
// default, the faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT) as by default, no signal
// blocked, the wake pipe closed.
void LeaveRunSignals();

} // namespace qvrun
