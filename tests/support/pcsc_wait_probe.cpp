#include "pcsc_wait_probe.h"

#include <PCSC/winscard.h>
#include <dlfcn.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex gLock;
std::condition_variable gBegun;
std::size_t gWaits = 0;

using StatusChangeFn = LONG (*)(SCARDCONTEXT, DWORD, SCARD_READERSTATE*, DWORD);

StatusChangeFn Next() {
    static const auto next =
        reinterpret_cast<StatusChangeFn>(dlsym(RTLD_NEXT, "SCardGetStatusChange"));
    if (next == nullptr)
        std::abort(); // pcsc-lite is not loaded: nothing to pass the call on to
    return next;
}

} // namespace

// The signal is given before pcscd holds the wait; that is enough, because the caller passes the
// state it knows and pcscd answers at once when the reader has already moved on.
extern "C" LONG SCardGetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                                     DWORD count) {
    if (timeout != 0) {
        {
            const std::lock_guard guard(gLock);
            ++gWaits;
        }
        gBegun.notify_all();
    }
    return Next()(context, timeout, states, count);
}

namespace pcscprobe {

std::size_t WaitsBegun() {
    const std::lock_guard guard(gLock);
    return gWaits;
}

bool AwaitWaitBeyond(std::size_t seen, std::chrono::milliseconds patience) {
    std::unique_lock guard(gLock);
    return gBegun.wait_for(guard, patience, [seen] { return gWaits > seen; });
}

} // namespace pcscprobe
