// The readers a run owns. A lock file per reader keeps a second quorvane-run off a reader in use
// before it sends anything, whatever CT-API library either run uses; our library's exclusive
// terminal keeps every other program off the card as well (terminal.h).
#pragma once

#include "runner/readers.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qvrun {

class ReaderLocks {
  public:
    // Locks every reader of `readers`, in the order of their lock files' names, so that two runs
    // that want the same readers in another order cannot each hold one while waiting for the
    // other. A reader another process holds is waited for up to `wait` (zero: not at all).
    // Throws SetupError naming the first reader still in use, a reader given twice (by two
    // choices of one service), or a lock file that cannot be opened.
    ReaderLocks(const std::vector<Reader>& readers, std::chrono::seconds wait);
    ~ReaderLocks(); // the locks go, and their files with them
    ReaderLocks(const ReaderLocks&) = delete;
    ReaderLocks& operator=(const ReaderLocks&) = delete;

  private:
    void Take(const std::vector<Reader>& readers, std::chrono::seconds wait);
    void Release();

    struct Held {
        int fd; // -1 while not open
        std::string path;
        bool locked;
    };
    std::vector<Held> held_; // lock files, locked or not yet
};

// The lock file of `reader`: in $XDG_RUNTIME_DIR, or /tmp without one, named from the reader's
// name and the PC/SC service that lists it, identified by its socket file (`service`; empty: the
// one PC/SC's client finds by itself): a test bed's private pcscds and the system's list readers of
// the same names. The run that holds it removes it when it lets go.
std::string ReaderLockPath(const std::string& reader, const std::string& service = {});

// Asks `ready` until it says yes, for at most `wait`, every 100 ms. The first time it says no,
// "quorvane-run: IN_USE; waiting up to N s" goes to standard error; when it never says yes,
// throws SetupError with `inUse` and how long it waited (or that --wait-reader waits).
void WaitForReader(const std::function<bool()>& ready, std::chrono::seconds wait,
                   const std::string& inUse);

} // namespace qvrun
