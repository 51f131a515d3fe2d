// The card-terminal session: the PC/SC reader list, CT_init, RESET CT, RESET ICC and CT_close.
#include "ct/card_terminal.h"

#include "app/session.h"
#include "app/user_entry.h"
#include "core/exchange.h"
#include "scenario/time_stamps.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctapi.h>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

std::uint16_t gnCtn = 0;
std::uint8_t gucSad = 2;
std::uint8_t gucDad = 1;
SCARDCONTEXT ContextHandle = -1;

// CLA 20, INS 10 (RESET); P1 00 = the terminal itself, P2 00 = no data in the reply.
const std::uint8_t ucReset_CT[5] = {0x20, 0x10, 0x00, 0x00, 0x00};
// P1 01 = card slot 1, P2 01 = return the complete ATR.
const std::uint8_t ucReset_ICC[5] = {0x20, 0x10, 0x01, 0x01, 0x00};

namespace {

constexpr int kContextAttempts = 5;
constexpr useconds_t kContextRetryWait = 300000;
constexpr std::size_t kResetCtRoom = 5;
// The longest ATR (33 bytes) and the status word SW1 SW2.
constexpr std::size_t kResetIccRoom = 35;

// Set by a successful CT_init, cleared by a successful CT_close: gnCtn then names an open
// terminal, which a later failed CT_init must not make unreachable.
bool gbTerminalOpen = false;

// Failure values of the reader list besides -1 (no context) and -2 (no memory).
constexpr std::int8_t kListSizeFailed = -3;
constexpr std::int8_t kListFailed = -4;

// Prints "  n. name" for each reader name; returns how many were printed.
std::int8_t PrintReaderNames(std::string_view list) {
    std::int8_t count = 0;
    for (const std::string& name : SplitReaderNames(list)) {
        if (count == INT8_MAX) {
            break;
        }
        ++count;
        std::printf("  %d. %s\n", count, name.c_str());
    }
    return count;
}

// One command to the terminal (destination gucDad) with a response room of `room` bytes, taken
// for this call only. Fills `received` with the bytes received when CT_data answers 0.
// Returns -1 without calling CT_data when the room cannot be had.
std::int8_t SendToTerminal(std::span<const std::uint8_t> command, std::size_t room,
                           std::vector<std::uint8_t>& received) {
    std::vector<std::uint8_t> response;
    try {
        response.assign(room, 0);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    const qv::ExchangeResult reply =
        qv::SendCommand(TerminalNumber(), gucDad, gucSad, command, response);
    if (reply.result == OK) {
        received.assign(reply.received.begin(), reply.received.end());
    }
    return reply.result;
}

void PrintReceived(const char* label, std::span<const std::uint8_t> bytes) {
    std::printf("%s", label);
    for (const std::uint8_t b : bytes) {
        std::printf("%02X ", b);
    }
    std::printf("\n");
}

} // namespace

std::uint16_t TerminalNumber() {
    return static_cast<std::uint8_t>(gnCtn);
}

ContextRelease::~ContextRelease() {
    // A failed release leaves nothing to undo: the handle is given up either way.
    (void)SCardReleaseContext(ContextHandle);
    ContextHandle = -1;
}

void PrintListFailure() {
    std::printf("Could not get list of readers\n");
}

int SelectReader(std::size_t count) {
    for (;;) {
        std::printf(" Select Reader :");
        std::fflush(stdout);
        const int choice = GetUserEntry();
        if (choice >= 1 && static_cast<std::size_t>(choice) <= count) {
            return choice;
        }
    }
}

bool EstablishContextWithRetry() {
    for (int attempt = 0; attempt < kContextAttempts; ++attempt) {
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ContextHandle) ==
            SCARD_S_SUCCESS) {
            return true;
        }
        usleep(kContextRetryWait);
    }
    PrintListFailure();
    std::fflush(stdout);
    return false;
}

std::int8_t DisplayReaderList() {
    const FlushOnReturn flush;

    if (!EstablishContextWithRetry()) {
        return -1;
    }
    const ContextRelease release;

    DWORD size = 0;
    if (SCardListReaders(ContextHandle, nullptr, nullptr, &size) != SCARD_S_SUCCESS) {
        PrintListFailure();
        return kListSizeFailed;
    }
    std::vector<char> names;
    try {
        names.resize(size);
    } catch (const std::bad_alloc&) {
        std::printf("Memory allocated failed.\n");
        return -2;
    }
    if (size == 0) {
        return 0;
    }
    if (SCardListReaders(ContextHandle, nullptr, names.data(), &size) != SCARD_S_SUCCESS) {
        PrintListFailure();
        return kListFailed;
    }
    return PrintReaderNames({names.data(), std::min<std::size_t>(size, names.size())});
}

std::int8_t CT_CallInit() {
    const std::int8_t count = DisplayReaderList();
    if (count <= 0) {
        std::printf("  No readers found\n");
        std::fflush(stdout);
        return ERR_INVALID;
    }
    const int choice = SelectReader(static_cast<std::size_t>(count));
    const auto terminal = static_cast<std::uint16_t>(static_cast<std::uint8_t>(choice - 1));
    const std::int8_t result = CT_init(terminal, 0);
    std::printf("value of CT_init is %d\n", result);
    std::fflush(stdout);
    // A library answers OK on success: the terminal is then the number it was opened as. A
    // refusal (the terminal asked for may be the one already open) leaves an open terminal
    // addressed, so that it can still be used and closed.
    if (result == OK) {
        gnCtn = terminal;
        gbTerminalOpen = true;
    } else if (!gbTerminalOpen) {
        gnCtn = static_cast<std::uint16_t>(result);
    }
    gbKeyVal = 1;
    return result;
}

void Reset_CT() {
    std::printf("dad is %d, sad is %d, ctn is %d\n", gucDad, gucSad, TerminalNumber());
    std::vector<std::uint8_t> received;
    if (SendToTerminal(ucReset_CT, kResetCtRoom, received) == OK) {
        PrintReceived("ATR Received :", received);
        gbKeyVal = 2;
    }
    std::fflush(stdout);
}

int Reset_Icc() {
    if (gbKeyVal <= 1) {
        std::printf("CT Not reset.\n");
        std::fflush(stdout);
        return -1;
    }
    std::vector<std::uint8_t> received;
    const std::int8_t result = SendToTerminal(ucReset_ICC, kResetIccRoom, received);
    if (result == OK) {
        PrintReceived("ATR Received : ", received);
        std::fflush(stdout);
        gbKeyVal = 3;
    }
    return result;
}

std::int8_t CT_CallClose() {
    const std::int8_t result = CT_close(TerminalNumber());
    std::printf("value of CT_close is %d\n", result);
    std::fflush(stdout);
    if (result == OK) {
        gbKeyVal = 0;
        gbTerminalOpen = false;
    }
    FreeMemory();
    return result;
}
