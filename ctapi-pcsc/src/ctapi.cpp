// The three exported CT-API functions: argument checks, the table of open terminals and the
// locking. Everything else lives in the CT-BCS interpreter and the PC/SC slot.
#pragma GCC visibility push(default)
#include <ctapi.h>
#pragma GCC visibility pop

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "ctbcs.h"
#include "pcsc_slot.h"

namespace {

using namespace ctapi;

struct OpenTerminal {
    OpenTerminal(Context context, std::string reader, Sharing sharing)
        : slot(std::move(context), std::move(reader), sharing), terminal(slot) {}
    std::mutex lock; // serialises the calls on this terminal
    bool closed = false;
    PcscSlot slot;
    Terminal terminal;
};

// The table lock is held only to look a terminal up; a long wait on one terminal (REQUEST ICC)
// does not hold up the others.
std::mutex gTableLock;

// CT_init's port numbers: how the terminal holds the card it activates.
constexpr std::uint16_t kPortShared = 0, kPortExclusive = 1;

// How often CT_close repeats its cancel while another call holds the terminal.
constexpr std::chrono::milliseconds kCancelRepeat{5};
std::map<std::uint16_t, std::shared_ptr<OpenTerminal>> gTerminals;

std::shared_ptr<OpenTerminal> Find(std::uint16_t ctn) {
    const std::lock_guard guard(gTableLock);
    const auto it = gTerminals.find(ctn);
    return it == gTerminals.end() ? nullptr : it->second;
}

bool IsOpen(std::uint16_t ctn) {
    return Find(ctn) != nullptr;
}

// Runs one CT-API call and turns whatever it throws into its return code: no exception may
// leave the library into a caller written in C.
template <typename Call> std::int8_t Guarded(Call&& call) {
    try {
        return call();
    } catch (const CtError& error) {
        return error.code;
    } catch (const std::bad_alloc&) {
        return ERR_MEMORY;
    } catch (...) {
        return ERR_HOST;
    }
}

} // namespace

extern "C" std::int8_t CT_init(std::uint16_t ctn, std::uint16_t pn) {
    if ((pn != kPortShared && pn != kPortExclusive) || IsOpen(ctn))
        return ERR_INVALID;
    const Sharing sharing = pn == kPortExclusive ? Sharing::Exclusive : Sharing::Shared;
    return Guarded([&]() -> std::int8_t {
        Context context = EstablishContext();
        const auto readers = ReaderNames(context);
        if (ctn >= readers.size())
            return ERR_INVALID;
        auto terminal = std::make_shared<OpenTerminal>(std::move(context), readers[ctn], sharing);
        const std::lock_guard guard(gTableLock);
        // Another thread may have opened the same number meanwhile.
        return gTerminals.emplace(ctn, std::move(terminal)).second ? OK : ERR_INVALID;
    });
}

extern "C" std::int8_t CT_data(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad,
                               std::uint16_t lenc, std::uint8_t* command, std::uint16_t* lenr,
                               std::uint8_t* response) {
    if (!dad || !sad || !command || !lenr || !response || lenc == 0 || *lenr < 2)
        return ERR_INVALID;
    const std::uint8_t destination = *dad;
    if ((destination != ICC1 && destination != CT) || (*sad != HOST && *sad != REMOTE_HOST))
        return ERR_INVALID;
    const auto open = Find(ctn);
    if (!open)
        return ERR_INVALID;
    *sad = destination; // until a unit answers, the one addressed
    *dad = HOST;
    return Guarded([&]() -> std::int8_t {
        const std::lock_guard guard(open->lock);
        if (open->closed)
            return ERR_INVALID;
        const Reply reply = open->terminal.Data(destination, ByteView(command, lenc));
        *sad = reply.source;
        if (reply.bytes.size() > *lenr)
            return ERR_MEMORY;
        std::ranges::copy(reply.bytes, response);
        *lenr = static_cast<std::uint16_t>(reply.bytes.size());
        return OK;
    });
}

extern "C" std::int8_t CT_close(std::uint16_t ctn) {
    std::shared_ptr<OpenTerminal> open;
    {
        const std::lock_guard guard(gTableLock);
        const auto it = gTerminals.find(ctn);
        if (it == gTerminals.end())
            return ERR_INVALID;
        open = std::move(it->second);
        gTerminals.erase(it);
    }
    // A REQUEST ICC or EJECT ICC waiting on this terminal ends now. SCardCancel reaches only a
    // wait already in progress, and the waiting call may be just about to begin one: cancel
    // again until that call has given the terminal up.
    std::unique_lock guard(open->lock, std::defer_lock);
    while (true) {
        open->slot.Cancel();
        if (guard.try_lock())
            break;
        std::this_thread::sleep_for(kCancelRepeat);
    }
    open->closed = true;
    open->slot.Close();
    return OK;
}
