// The CT-BCS command menu: the session commands plus GET STATUS (terminal data and card status),
// REQUEST ICC and EJECT ICC, each answer put into words.
#include "menu/ct/ctbcs.h"

#include "core/bytes.h"
#include "core/ctbcs_commands.h"
#include "core/exchange.h"
#include "menu/app/user_entry.h"
#include "menu/ct/card_terminal.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <ctapi.h>
#include <new>
#include <span>
#include <unistd.h>
#include <vector>

std::int32_t nCtbcsVal = 0;

namespace {

using qv::ByteView;

// Menu states besides 0 (nothing chosen yet).
constexpr std::int32_t kStateInit = 1;
constexpr std::int32_t kStateReset = 2;
constexpr std::int32_t kStateClosed = 8;

constexpr std::size_t kCtInfoRoom = 50;
constexpr std::size_t kIccStatusRoom = 5;
constexpr std::size_t kRequestIccRoom = 50;
constexpr std::size_t kEjectIccRoom = 8;

constexpr std::uint8_t kTagManufacturer = 0x46;
constexpr std::size_t kCtInfoChars = 15; // country 2, manufacturer 3, type 5, version 5
constexpr std::uint8_t kTagIccStatus = 0x80;

constexpr const char* kGetStatusFailed = "CT_Info Failed ";
constexpr const char* kRequestFailed = "Request_Icc Failed ";

// One CT-BCS command: what is sent, where, and what is made of a successful answer.
struct CtbcsCommand {
    ByteView bytes;
    std::size_t room;
    std::uint8_t dad;
    bool askWait; // the tester's wait before sending (REQUEST ICC, EJECT ICC)
    const char* failure;
    void (*interpret)(ByteView response);
};

// The wait typed at the prompt in whole seconds; anything that is not a number of 0 or more
// (no number, a negative one, an empty line, x or q) sends at once.
unsigned WaitSeconds(int entry) {
    if (entry < 0 || entry == kEmptyLine || entry == kQuit) {
        return 0;
    }
    return static_cast<unsigned>(entry);
}

void AskAndWait() {
    std::printf("Enter Wait time in seconds : ");
    std::fflush(stdout);
    const unsigned seconds = WaitSeconds(GetUserEntry());
    if (seconds > 0) {
        sleep(seconds);
    }
}

// The status word, the last two bytes returned; none in a response shorter than that.
struct StatusWord {
    std::uint8_t sw1;
    std::uint8_t sw2;
};

bool HasStatusWord(ByteView response) {
    return response.size() >= 2;
}

StatusWord StatusOf(ByteView response) {
    return {response[response.size() - 2], response[response.size() - 1]};
}

// Sends `command` once with a response room of its own, then prints the failure or the
// interpretation.
void SendCtbcs(const CtbcsCommand& command) {
    std::vector<std::uint8_t> response;
    try {
        response.assign(command.room, 0);
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        return;
    }
    if (command.askWait) {
        AskAndWait();
    }
    const qv::ExchangeResult reply =
        qv::SendCommand(TerminalNumber(), command.dad, gucSad, command.bytes, response);
    if (reply.result != OK) {
        std::printf("%s\n", command.failure);
    } else {
        command.interpret(reply.received);
    }
    std::fflush(stdout);
}

void PrintField(const char* label, ByteView data, std::size_t first, std::size_t count) {
    std::printf("%s", label);
    const ByteView field = first < data.size() ? data.subspan(first) : ByteView{};
    for (const std::uint8_t c : field.first(std::min(count, field.size()))) {
        std::putchar(c);
    }
    std::putchar('\n');
}

// Terminal manufacturer data: country code 2, manufacturer 3, terminal type 5, version 5.
// When all 15 characters arrived they are printed, whatever follows them; a shorter answer ends
// with its status word, which is not printed as characters. Bytes never received are left out.
void InterpretCtInfo(ByteView response) {
    const std::size_t start = !response.empty() && response[0] == kTagManufacturer ? 2 : 0;
    const bool allArrived = response.size() >= start + kCtInfoChars;
    const std::size_t end =
        allArrived || !HasStatusWord(response) ? response.size() : response.size() - 2;
    const ByteView data = response.first(end).subspan(std::min(start, end));
    PrintField("\tCountry Code : ", data, 0, 2);
    PrintField("\tManufacturer : ", data, 2, 3);
    PrintField("\tCT Type : ", data, 5, 5);
    PrintField("\tSW Version   : ", data, 10, 5);
}

struct IccStatusText {
    std::uint8_t status;
    const char* text;
};

constexpr std::array<IccStatusText, 4> kIccStatusTexts{{
    {0x00, "No ICC inserted."},
    {0x01, "No ICC information."},
    {0x03, "ICC electrically not connected."},
    {0x05, "ICC electrically connected."},
}};

void InterpretIccStatus(ByteView response) {
    // With its tag (80 01 xx) the status is the third byte, bare it is the first.
    const std::size_t at = !response.empty() && response[0] == kTagIccStatus ? 2 : 0;
    const char* text = "Invalid ICC Status.";
    if (at < response.size()) {
        for (const auto& row : kIccStatusTexts) {
            if (row.status == response[at]) {
                text = row.text;
            }
        }
    }
    std::printf("%s\n", text);
}

struct StatusText {
    std::uint8_t sw1;
    std::uint8_t sw2;
    const char* text;
};

constexpr std::array<StatusText, 7> kRequestIccTexts{{
    {0x90, 0x00, "Synchronous ICC presented, Reset Successful"},
    {0x62, 0x00, "Warning: No card presented within specified time!"},
    {0x64, 0x00, "Reset ICC not successful!"},
    {0x69, 0x00, "Command with timer not supported!"},
    {0x90, 0x01, "Asynchronous ICC presented, Reset Successful."},
    {0x62, 0x01, "Warning: ICC already present and activated!"},
    {0x64, 0xA1, "Reset ICC not successful, no SmartCard detected!"},
}};

// SW2 decides first: 00, 01 and A1 are the known ones, and within them SW1 picks the line (an
// unknown SW1 prints nothing). The ATR before the status word is not shown.
void InterpretRequestIcc(ByteView response) {
    if (!HasStatusWord(response)) {
        std::printf("Request ICC not successful.\n");
        return;
    }
    const StatusWord sw = StatusOf(response);
    if (sw.sw2 != 0x00 && sw.sw2 != 0x01 && sw.sw2 != 0xA1) {
        std::printf("Request ICC not successful.\n");
        return;
    }
    for (const auto& row : kRequestIccTexts) {
        if (row.sw1 == sw.sw1 && row.sw2 == sw.sw2) {
            std::printf("%s\n", row.text);
        }
    }
}

void InterpretEjectIcc(ByteView response) {
    PrintReceived("", response);
    if (!HasStatusWord(response)) {
        std::printf("Eject ICC not successful\n");
        return;
    }
    const StatusWord sw = StatusOf(response);
    if (sw.sw1 == 0x90) {
        if (sw.sw2 == 0x00) {
            std::printf("Command successful\n");
        } else if (sw.sw2 == 0x01) {
            std::printf("Command successful, Card removed\n");
        }
    } else if (sw.sw1 != 0x62) {
        std::printf("Eject ICC not successful\n");
    }
}

// Entries 3 to 7 need a RESET CT chosen (state 2) or a close chosen (state 8) before.
bool PassesResetGate() {
    if (nCtbcsVal > kStateInit) {
        return true;
    }
    std::printf("CT not reset\n");
    return false;
}

// Entries 3 to 7 in their order: the commands behind the reset gate.
constexpr int kFirstGatedEntry = 3;
constexpr std::array<void (*)(), 5> kGatedEntries{[] { Reset_Icc(); }, Ct_Info, Icc_Status,
                                                  Request_Icc, Eject_Icc};

// Runs one menu entry; false when the menu is to be left.
bool RunCtbcsChoice(int choice) {
    switch (choice) {
    case 1:
        CT_CallInit();
        nCtbcsVal = kStateInit;
        break;
    case 2:
        if (nCtbcsVal == kStateInit) {
            Reset_CT();
            nCtbcsVal = kStateReset;
        } else {
            std::printf("Ct_init not called!!\n");
        }
        break;
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
        if (PassesResetGate()) {
            kGatedEntries[static_cast<std::size_t>(choice - kFirstGatedEntry)]();
        }
        break;
    case 8:
        CT_CallClose();
        nCtbcsVal = kStateClosed;
        break;
    case 9:
        if (nCtbcsVal != kStateClosed) {
            CT_CallClose();
        }
        nCtbcsVal = 0;
        return false;
    case kQuit:
        return false;
    default:
        break;
    }
    return true;
}

} // namespace

void DisplayCtbcsMenu() {
    std::printf("   __________________________________\n"
                "  |              Ctbcs               |\n"
                "  |__________________________________|\n"
                "  |  1. Ct_init                      |\n"
                "  |  2. Reset CT                     |\n"
                "  |  3. Reset ICC                    |\n"
                "  |  4. CT Info                      |\n"
                "  |  5. ICC Status                   |\n"
                "  |  6. Request ICC                  |\n"
                "  |  7. Eject ICC                    |\n"
                "  |  8. Ct_close                     |\n"
                "  |  9. Exit                         |\n"
                "  |__________________________________|\n"
                "  | Enter your Choice : ");
    std::fflush(stdout);
}

void CtbcsHandler() {
    nCtbcsVal = 0;
    bool stay = true;
    while (stay) {
        DisplayCtbcsMenu();
        stay = RunCtbcsChoice(GetUserEntry());
        std::fflush(stdout);
    }
}

void Ct_Info() {
    SendCtbcs(
        {qv::ctbcs::kGetStatusCt, kCtInfoRoom, gucDad, false, kGetStatusFailed, InterpretCtInfo});
}

void Icc_Status() {
    SendCtbcs({qv::ctbcs::kGetStatusIcc, kIccStatusRoom, gucDad, false, kGetStatusFailed,
               InterpretIccStatus});
}

void Request_Icc() {
    SendCtbcs({qv::ctbcs::kRequestIcc, kRequestIccRoom, gucDad, true, kRequestFailed,
               InterpretRequestIcc});
    // REQUEST ICC ends with an empty line, whether it succeeded or failed.
    std::printf("\n");
    std::fflush(stdout);
}

void Eject_Icc() {
    SendCtbcs({qv::ctbcs::kEjectIcc, kEjectIccRoom, ICC1, true, kRequestFailed, InterpretEjectIcc});
}
