// The card-terminal session: the PC/SC reader list, CT_init, RESET CT, RESET ICC and CT_close.
#include "menu/ct/card_terminal.h"

#include "core/exchange.h"
#include "core/hex.h"
#include "menu/app/session.h"
#include "menu/app/user_entry.h"
#include "menu/scenario/time_stamps.h"

#include <cstdint>
#include <cstdio>
#include <ctapi.h>
#include <new>
#include <span>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

std::uint16_t gnCtn = 0;
std::uint8_t gucSad = HOST;
std::uint8_t gucDad = CT;
SCARDCONTEXT ContextHandle = -1;

namespace {

constexpr int kContextAttempts = 5;
constexpr useconds_t kContextRetryWait = 300000;
constexpr std::size_t kResetCtRoom = 5;
// The longest ATR (33 bytes) and the status word SW1 SW2.
constexpr std::size_t kResetIccRoom = 35;

// Set by a successful CT_init, cleared by a successful CT_close: gnCtn then names an open
// terminal, which a later failed CT_init must not make unreachable.
bool gbTerminalOpen = false;

// Failure values of the reader list: no context, no memory, listing failed.
constexpr std::int8_t kNoContext = -1;
constexpr std::int8_t kNoMemory = -2;
constexpr std::int8_t kListFailed = -3;

void PrintListFailure() {
    std::printf("Could not get list of readers\n");
}

// Prints "  n. name" for each reader name; returns how many were printed.
std::int8_t PrintReaderNames(const std::vector<std::string>& names) {
    std::int8_t count = 0;
    for (const std::string& name : names) {
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

} // namespace

void PrintReceived(const char* label, std::span<const std::uint8_t> bytes) {
    std::printf("%s%s\n", label, qv::ToHex(bytes, qv::kHexDump).c_str());
}

std::uint16_t TerminalNumber() {
    return static_cast<std::uint8_t>(gnCtn);
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

bool CommandContext::Establish() {
    for (int attempt = 0; attempt < kContextAttempts; ++attempt) {
        if (owner_.Establish() == SCARD_S_SUCCESS) {
            ContextHandle = owner_.Handle();
            return true;
        }
        usleep(kContextRetryWait);
    }
    PrintListFailure();
    std::fflush(stdout);
    return false;
}

std::int8_t ReadReaderList(std::vector<std::string>& names) {
    qv::pcsc::ReaderList list = qv::pcsc::ListReaders(ContextHandle);
    if (list.result == SCARD_E_NO_MEMORY) {
        std::printf("Memory allocated failed.\n");
        return kNoMemory;
    }
    if (list.result != SCARD_S_SUCCESS) {
        PrintListFailure();
        return kListFailed;
    }
    names = std::move(list.names);
    return 0;
}

std::int8_t DisplayReaderList() {
    const FlushOnReturn flush;

    CommandContext context;
    if (!context.Establish()) {
        return kNoContext;
    }
    std::vector<std::string> names;
    if (const std::int8_t failed = ReadReaderList(names); failed != 0) {
        return failed;
    }
    return PrintReaderNames(names);
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
