// The library's CT-BCS interpreter driven through a fake slot: every command's status words in
// every card state, the routing of card APDUs, the PIN commands' secure PIN entry structures, and
// the parsing helpers beneath.
#include <ctapi.h>
#include <gtest/gtest.h>

#include <string_view>

#include "core/hex.h"
#include "ctbcs.h"

namespace {

using ctapi::ActivateResult;
using ctapi::Bytes;
using ctapi::CardState;
using namespace std::chrono_literals;

const Bytes kProcessorAtr{0x3B, 0x02, 0x14, 0x50};
const Bytes kStorageAtr{0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00,
                        0x03, 0x06, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x6A};

struct FakeSlot final : ctapi::Slot {
    CardState state = CardState::Absent;
    Bytes atr = kProcessorAtr;
    ActivateResult activateResult = ActivateResult::Ok;
    bool arrives = false; // a card comes while REQUEST ICC waits
    bool leaves = false;  // the card goes while EJECT ICC waits
    ctapi::ReaderIdentity identity;
    Bytes cardAnswer{0x90, 0x00};
    std::optional<std::int8_t> transmitError;
    ctapi::PinPad pad;              // none unless a test gives one
    Bytes keypadAnswer{0x90, 0x00}; // what the reader answers a PIN entry
    std::vector<std::pair<ctapi::PinEntry, Bytes>> pinStructures;

    std::vector<std::chrono::seconds> waits;
    std::vector<Bytes> sent;
    int deactivations = 0, ejections = 0, activations = 0;

    bool Connected() const override { return state == CardState::Active; }
    CardState State() override { return state; }
    ActivateResult Activate(Bytes& out) override {
        ++activations;
        if (activateResult == ActivateResult::Ok) {
            out = atr;
            state = CardState::Active;
        }
        return activateResult;
    }
    void Deactivate() override {
        ++deactivations;
        if (state == CardState::Active)
            state = CardState::Present;
    }
    void Eject() override {
        ++ejections;
        Deactivate();
    }
    bool WaitFor(bool present, std::chrono::seconds timeout) override {
        waits.push_back(timeout);
        if (present && arrives && timeout > 0s)
            state = CardState::Present;
        if (!present && leaves && timeout > 0s)
            state = CardState::Absent;
        return (state != CardState::Absent) == present;
    }
    ctapi::ReaderIdentity Identity() override { return identity; }
    ctapi::ByteView Transmit(ctapi::ByteView apdu) override {
        sent.emplace_back(apdu.begin(), apdu.end());
        if (transmitError)
            throw ctapi::CtError{*transmitError};
        return cardAnswer;
    }
    ctapi::PinPad Keypad() override { return pad; }
    ctapi::ByteView EnterPin(ctapi::PinEntry entry, ctapi::ByteView structure) override {
        pinStructures.emplace_back(entry, Bytes(structure.begin(), structure.end()));
        return keypadAnswer;
    }
};

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Send(FakeSlot& slot, const Bytes& command, std::uint8_t destination = CT,
           std::uint8_t* source = nullptr) {
    ctapi::Terminal terminal(slot);
    const auto reply = terminal.Data(destination, command);
    if (source)
        *source = reply.source;
    return Bytes(reply.bytes.begin(), reply.bytes.end());
}

// The CT-API code a card APDU fails with; nullopt when it is answered.
std::optional<std::int8_t> ErrorOf(FakeSlot& slot, const Bytes& apdu) {
    try {
        Send(slot, apdu, ICC1);
        return std::nullopt;
    } catch (const ctapi::CtError& error) {
        return error.code;
    }
}

// ---- commands to the terminal ---------------------------------------------------------------

struct CommandCase {
    const char* name;
    CardState state;
    Bytes command;
    Bytes expected;
    ActivateResult activate = ActivateResult::Ok;
    Bytes atr = kProcessorAtr;
};

class CtbcsCommand : public testing::TestWithParam<CommandCase> {};

TEST_P(CtbcsCommand, Answers) {
    const auto& c = GetParam();
    FakeSlot slot;
    slot.state = c.state;
    slot.activateResult = c.activate;
    slot.atr = c.atr;
    std::uint8_t source = 0xFF;
    EXPECT_EQ(Send(slot, c.command, CT, &source), c.expected);
    EXPECT_EQ(source, CT);
}

const Bytes kOk{0x90, 0x00}, kAsync{0x90, 0x01};

INSTANTIATE_TEST_SUITE_P(
    Terminal, CtbcsCommand,
    testing::Values(
        CommandCase{"ResetCtOldIns", CardState::Active, {0x20, 0x10, 0x00, 0x00, 0x00}, kOk},
        CommandCase{"ResetCtCase1", CardState::Absent, {0x20, 0x11, 0x00, 0x00}, kOk},
        CommandCase{"ResetCtWithDataWanted",
                    CardState::Absent,
                    {0x20, 0x11, 0x00, 0x01, 0x00},
                    {0x6A, 0x00}},
        CommandCase{"ResetIccAtr",
                    CardState::Present,
                    {0x20, 0x10, 0x01, 0x01, 0x00},
                    Concat(kProcessorAtr, kAsync)},
        CommandCase{"ResetIccNoData", CardState::Active, {0x20, 0x11, 0x01, 0x00, 0x00}, kAsync},
        CommandCase{"ResetIccHistory",
                    CardState::Present,
                    {0x20, 0x11, 0x01, 0x02, 0x00},
                    {0x14, 0x50, 0x90, 0x01}},
        CommandCase{"ResetIccHighNibbleIgnored",
                    CardState::Present,
                    {0x20, 0x11, 0x01, 0xF0, 0x00},
                    kAsync},
        CommandCase{"ResetIccStorageCard",
                    CardState::Present,
                    {0x20, 0x11, 0x01, 0x00, 0x00},
                    kOk,
                    ActivateResult::Ok,
                    kStorageAtr},
        CommandCase{"ResetIccNoCard",
                    CardState::Absent,
                    {0x20, 0x11, 0x01, 0x01, 0x00},
                    {0x64, 0xA1},
                    ActivateResult::NoCard},
        CommandCase{"ResetIccFails",
                    CardState::Present,
                    {0x20, 0x11, 0x01, 0x01, 0x00},
                    {0x64, 0x00},
                    ActivateResult::Failed},
        CommandCase{"ResetIccCardInUse",
                    CardState::Present,
                    {0x20, 0x11, 0x01, 0x01, 0x00},
                    {0x69, 0x85},
                    ActivateResult::InUse},
        CommandCase{
            "ResetIccBadP2", CardState::Present, {0x20, 0x11, 0x01, 0x03, 0x00}, {0x6A, 0x00}},
        CommandCase{"ResetBadP1", CardState::Present, {0x20, 0x11, 0x02, 0x00, 0x00}, {0x6A, 0x00}},
        CommandCase{"ResetWithData",
                    CardState::Present,
                    {0x20, 0x11, 0x01, 0x01, 0x01, 0x00},
                    {0x67, 0x00}},
        CommandCase{"RequestIccActive",
                    CardState::Active,
                    {0x20, 0x12, 0x01, 0x01, 0x03, 0x80, 0x01, 0x00},
                    {0x62, 0x01}},
        CommandCase{"RequestIccPresent",
                    CardState::Present,
                    {0x20, 0x12, 0x01, 0x01, 0x03, 0x80, 0x01, 0x00},
                    Concat(kProcessorAtr, kAsync)},
        CommandCase{"RequestIccStorageCard",
                    CardState::Present,
                    {0x20, 0x12, 0x01, 0x00},
                    kOk,
                    ActivateResult::Ok,
                    kStorageAtr},
        CommandCase{"RequestIccNoCard",
                    CardState::Absent,
                    {0x20, 0x12, 0x01, 0x01, 0x03, 0x80, 0x01, 0x00},
                    {0x62, 0x00}},
        CommandCase{"RequestIccResetFails",
                    CardState::Present,
                    {0x20, 0x12, 0x01, 0x01},
                    {0x64, 0x00},
                    ActivateResult::Failed},
        CommandCase{"RequestIccCardInUse",
                    CardState::Present,
                    {0x20, 0x12, 0x01, 0x01},
                    {0x69, 0x85},
                    ActivateResult::InUse},
        CommandCase{"RequestIccBadTlv",
                    CardState::Present,
                    {0x20, 0x12, 0x01, 0x01, 0x03, 0x80, 0x05, 0x00},
                    {0x67, 0x00}},
        CommandCase{
            "RequestIccAnySlot", CardState::Present, {0x20, 0x12, 0x00, 0x00, 0x01, 0x05}, kAsync},
        CommandCase{"RequestIccShortMemoryAtr",
                    CardState::Present,
                    {0x20, 0x12, 0x01, 0x01, 0x00},
                    {0x3B, 0x04, 0xA2, 0x13, 0x10, 0x91, 0x90, 0x00},
                    ActivateResult::Ok,
                    {0x3B, 0x04, 0xA2, 0x13, 0x10, 0x91}},
        CommandCase{"RequestIccSlot2", CardState::Present, {0x20, 0x12, 0x02, 0x01}, {0x6A, 0x00}},
        CommandCase{"StatusNoCard",
                    CardState::Absent,
                    {0x20, 0x13, 0x00, 0x80, 0x00},
                    {0x80, 0x01, 0x00, 0x90, 0x00}},
        CommandCase{"StatusPresent",
                    CardState::Present,
                    {0x20, 0x13, 0x00, 0x80, 0x00},
                    {0x80, 0x01, 0x03, 0x90, 0x00}},
        CommandCase{"StatusActive",
                    CardState::Active,
                    {0x20, 0x13, 0x00, 0x80, 0x00},
                    {0x80, 0x01, 0x05, 0x90, 0x00}},
        CommandCase{"StatusUnits",
                    CardState::Absent,
                    {0x20, 0x13, 0x00, 0x81, 0x00},
                    {0x81, 0x01, 0x01, 0x90, 0x00}},
        CommandCase{
            "StatusUnknownObject", CardState::Absent, {0x20, 0x13, 0x00, 0x47, 0x00}, {0x6A, 0x00}},
        CommandCase{"StatusBadP1", CardState::Absent, {0x20, 0x13, 0x01, 0x80, 0x00}, {0x6A, 0x00}},
        CommandCase{"StatusWithData",
                    CardState::Absent,
                    {0x20, 0x13, 0x00, 0x80, 0x01, 0x00},
                    {0x67, 0x00}},
        CommandCase{"WrongClass", CardState::Absent, {0x00, 0x13, 0x00, 0x80, 0x00}, {0x6E, 0x00}},
        CommandCase{"UnknownIns", CardState::Absent, {0x20, 0x99, 0x00, 0x00}, {0x6D, 0x00}},
        CommandCase{"TooShort", CardState::Absent, {0x20, 0x13, 0x00}, {0x67, 0x00}},
        CommandCase{
            "LcBeyondData", CardState::Absent, {0x20, 0x12, 0x01, 0x01, 0x05, 0x80}, {0x67, 0x00}},
        CommandCase{"ExtendedLength",
                    CardState::Absent,
                    {0x20, 0x12, 0x01, 0x01, 0x00, 0x00, 0x01},
                    {0x67, 0x00}}),
    [](const testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

TEST(CtbcsTerminal, ResetCtDropsTheCardConnection) {
    FakeSlot slot;
    slot.state = CardState::Active;
    EXPECT_EQ(Send(slot, {0x20, 0x10, 0x00, 0x00, 0x00}), kOk);
    EXPECT_EQ(slot.deactivations, 1);
    EXPECT_EQ(slot.state, CardState::Present);
}

TEST(CtbcsTerminal, RequestIccWaitsTheGivenTime) {
    struct Case {
        Bytes data;
        std::chrono::seconds wait;
    };
    for (const auto& c : {Case{{}, 0s}, Case{{0x07}, 7s}, Case{{0x80, 0x01, 0x03}, 3s},
                          Case{{0x50, 0x02, 'H', 'i', 0x80, 0x01, 0x09}, 9s},
                          Case{{0x99, 0x01, 0xAA, 0x80, 0x01, 0x0A}, 10s}}) {
        FakeSlot slot;
        slot.arrives = true;
        Bytes command{0x20, 0x12, 0x01, 0x01};
        if (!c.data.empty()) {
            command.push_back(static_cast<std::uint8_t>(c.data.size()));
            command.insert(command.end(), c.data.begin(), c.data.end());
        }
        const auto answer = Send(slot, command);
        ASSERT_EQ(slot.waits.size(), 1u);
        EXPECT_EQ(slot.waits[0], c.wait);
        EXPECT_EQ(answer, c.wait > 0s ? Concat(kProcessorAtr, kAsync) : Bytes({0x62, 0x00}));
    }
}

TEST(CtbcsTerminal, EjectIccAnswersByRemoval) {
    struct Case {
        CardState state;
        bool leaves;
        std::uint8_t seconds;
        Bytes expected;
    };
    for (const auto& c : {Case{CardState::Active, false, 0, {0x90, 0x00}},
                          Case{CardState::Active, true, 5, {0x90, 0x01}},
                          Case{CardState::Present, false, 2, {0x62, 0x00}},
                          Case{CardState::Absent, false, 0, {0x90, 0x01}}}) {
        FakeSlot slot;
        slot.state = c.state;
        slot.leaves = c.leaves;
        EXPECT_EQ(Send(slot, {0x20, 0x15, 0x01, 0x00, 0x03, 0x80, 0x01, c.seconds}), c.expected);
        EXPECT_EQ(slot.ejections, 1);
        EXPECT_FALSE(slot.Connected());
    }
}

TEST(CtbcsTerminal, ManufacturerObjectFromTheReader) {
    FakeSlot slot;
    slot.identity = {"ACME Corp", "T1000X", 0x01020003};
    const auto answer = Send(slot, {0x20, 0x13, 0x00, 0x46, 0x00});
    const std::string text(answer.begin() + 2, answer.end() - 2);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 2), Bytes({0x46, 0x0F}));
    EXPECT_EQ(text, "ZZACMT10001.02 ");
    EXPECT_EQ(Bytes(answer.end() - 2, answer.end()), kOk);
}

// ---- PIN entry on the reader's keypad ----------------------------------------------------------

// INS 18 (verify) or 19 (modify) for card slot 1 and the keypad, with these data objects.
Bytes PinCommand(std::uint8_t ins, std::string_view objects) {
    Bytes command{0x20, ins, 0x01, 0x00};
    const Bytes data = qv::FromHex(objects);
    command.push_back(static_cast<std::uint8_t>(data.size()));
    return Concat(command, data);
}
Bytes Verify(std::string_view objects) {
    return PinCommand(0x18, objects);
}
Bytes Modify(std::string_view objects) {
    return PinCommand(0x19, objects);
}

const ctapi::PinPad kKeypad{true, true, true, std::nullopt};
const ctapi::PinPad kKeypadFourToEight{true, true, true, ctapi::PinSizes{4, 8}};
const Bytes kWrongData{0x6A, 0x80};

struct PinCase {
    const char* name;
    Bytes command;
    Bytes answer;            // the terminal's
    std::string_view handed; // the structure the reader gets, in hex; none when empty
    ctapi::PinPad pad = kKeypad;
};

class PinCommands : public testing::TestWithParam<PinCase> {};

// The structures' header fields in order; PIN_VERIFY_STRUCTURE: bTimerOut bTimerOut2
// bmFormatString bmPINBlockString bmPINLengthFormat wPINMaxExtraDigit(2)
// bEntryValidationCondition bNumberMessage wLangId(2) bMsgIndex bTeoPrologue(3) ulDataLength(4);
// PIN_MODIFY_STRUCTURE: the first five, bInsertionOffsetOld bInsertionOffsetNew
// wPINMaxExtraDigit(2) bConfirmPIN bEntryValidationCondition bNumberMessage wLangId(2)
// bMsgIndex1-3 bTeoPrologue(3) ulDataLength(4). Integers in the host's (little-endian) order.
TEST_P(PinCommands, StructureAndAnswer) {
    const auto& c = GetParam();
    FakeSlot slot;
    slot.state = CardState::Active;
    slot.pad = c.pad;
    EXPECT_EQ(Send(slot, c.command), c.answer);
    if (c.handed.empty()) {
        EXPECT_TRUE(slot.pinStructures.empty());
        return;
    }
    ASSERT_EQ(slot.pinStructures.size(), 1u);
    EXPECT_EQ(slot.pinStructures[0].first,
              c.command[1] == 0x19 ? ctapi::PinEntry::Modify : ctapi::PinEntry::Verify);
    EXPECT_EQ(qv::ToHex(slot.pinStructures[0].second), qv::ToHex(qv::FromHex(c.handed)));
}

INSTANTIATE_TEST_SUITE_P(
    Terminal, PinCommands,
    testing::Values(
        // A terminal maker's example: a four-digit BCD PIN, the old one at position 6, the new
        // one at 14, FF fill; offsets counted from the data field (6 -> 0, 14 -> 8).
        PinCase{"ModifyBcdOldAt6NewAt14",
                Modify("52 18 40 06 0E A0 24 00 01 10 FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
                       "FF FF"),
                kOk,
                "00 00 81 02 00 00 08 04 04 03 02 03 09 04 00 01 02 00 00 00 15 00 00 00 "
                "A0 24 00 01 10 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF"},
        PinCase{"VerifyAsciiSixDigitsThirtySeconds",
                Verify("80 01 1E 52 0D 61 06 00 20 00 81 06 FF FF FF FF FF FF"), kOk,
                "1E 00 82 06 00 06 06 02 01 09 04 00 00 00 00 0B 00 00 00 "
                "00 20 00 81 06 FF FF FF FF FF FF"},
        // Any length in a format 2 block: the block framed by the library, the length and the
        // digits left to the reader (length at bit 4, digits from byte 1), sizes narrowed to
        // the keypad's.
        PinCase{"VerifyFormat2AnyLength",
                Verify("52 0F 02 06 00 20 00 81 08 00 00 00 00 00 00 00 00"), kOk,
                "00 00 89 47 04 08 04 02 01 09 04 00 00 00 00 0D 00 00 00 "
                "00 20 00 81 08 20 FF FF FF FF FF FF FF",
                kKeypadFourToEight},
        PinCase{"VerifyBcdFiveDigitsAtThirdDataByte",
                Verify("52 0F 50 08 00 20 00 01 08 AA BB FF FF FF FF FF FF"), kOk,
                "00 00 91 03 00 05 05 02 01 09 04 00 00 00 00 0D 00 00 00 "
                "00 20 00 01 08 AA BB FF FF FF FF FF FF"},
        PinCase{"VerifyBcdAnyLengthFillsItsRoom",
                Verify("50 03 41 42 43 52 0B 00 07 00 20 00 01 04 5A FF FF FF"), kOk,
                "00 00 89 03 00 06 01 02 01 09 04 00 00 00 00 09 00 00 00 "
                "00 20 00 01 04 5A FF FF FF"},
        PinCase{"ModifyAsciiFourDigitsTimeoutAfter",
                Modify("52 18 41 06 0E 00 24 00 01 10 30 30 30 30 FF FF FF FF 30 30 30 30 FF FF "
                       "FF FF 80 01 05"),
                kOk,
                "05 00 82 04 00 00 08 04 04 03 02 03 09 04 00 01 02 00 00 00 15 00 00 00 "
                "00 24 00 01 10 30 30 30 30 FF FF FF FF 30 30 30 30 FF FF FF FF"},
        PinCase{"ModifyFormat2NewBlockFirst",
                Modify("52 18 02 0E 06 00 24 00 81 10 11 11 11 11 11 11 11 11 22 22 22 22 22 22 "
                       "22 22"),
                kOk,
                "00 00 89 47 04 08 00 0C 04 03 02 03 09 04 00 01 02 00 00 00 15 00 00 00 "
                "00 24 00 81 10 20 FF FF FF FF FF FF FF 20 FF FF FF FF FF FF FF"},
        // The reader's answers come back as it gives them.
        PinCase{"NoKeypadVerify",
                Verify("52 09 40 06 00 20 00 01 02 FF FF"),
                {0x6D, 0x00},
                "",
                ctapi::PinPad{}},
        PinCase{"NoModifyOnAVerifyOnlyKeypad",
                Modify("52 0C 40 06 08 00 24 00 01 04 FF FF FF FF"),
                {0x6D, 0x00},
                "",
                ctapi::PinPad{true, false, false, std::nullopt}},
        PinCase{"WrongSlot", {0x20, 0x18, 0x02, 0x00, 0x02, 0x80, 0x00}, {0x6A, 0x00}, ""},
        PinCase{"NotFromTheKeypad", {0x20, 0x18, 0x01, 0x01, 0x02, 0x80, 0x00}, {0x6A, 0x00}, ""},
        // Bad data objects: refused before anything reaches the reader.
        PinCase{"PositionPastTheCommand", Verify("52 09 40 0A 00 20 00 01 02 FF FF"), kWrongData,
                ""},
        PinCase{"PositionInTheHeader", Verify("52 09 40 05 00 20 00 01 02 FF FF"), kWrongData, ""},
        PinCase{"PinRunsPastTheData", Verify("52 09 40 07 00 20 00 01 02 FF FF"), kWrongData, ""},
        PinCase{"AsciiLongerThanTheData",
                Verify("52 0F 91 06 00 20 00 01 08 FF FF FF FF FF FF "
                       "FF FF"),
                kWrongData, ""},
        PinCase{"Format2ThreeDigits", Verify("52 0F 32 06 00 20 00 01 08 FF FF FF FF FF FF FF FF"),
                kWrongData, ""},
        PinCase{"Format2BlockCutShort", Verify("52 0E 02 06 00 20 00 01 07 FF FF FF FF FF FF FF"),
                kWrongData, ""},
        PinCase{"ReservedCoding", Verify("52 09 43 06 00 20 00 01 02 FF FF"), kWrongData, ""},
        PinCase{"ReservedBits", Verify("52 09 44 06 00 20 00 01 02 FF FF"), kWrongData, ""},
        PinCase{"CommandWithoutData", Verify("52 06 40 06 00 20 00 01"), kWrongData, ""},
        PinCase{"CommandLcPastItsEnd", Verify("52 09 40 06 00 20 00 01 03 FF FF"), kWrongData, ""},
        PinCase{"CommandToPerformCutShort", Verify("52 0A 40 06 00 20 00 01 02 FF FF"), kWrongData,
                ""},
        PinCase{"TimeCutShort", Verify("52 09 40 06 00 20 00 01 02 FF FF 80 01"), kWrongData, ""},
        PinCase{"TimeOfTwoBytes", Verify("80 02 00 10 52 09 40 06 00 20 00 01 02 FF FF"),
                kWrongData, ""},
        PinCase{"NoCommandToPerform", Verify("80 01 10"), kWrongData, ""},
        PinCase{"NoData", {0x20, 0x18, 0x01, 0x00}, kWrongData, ""},
        PinCase{"ModifyWithoutSecondPosition", Modify("52 02 40 06"), kWrongData, ""},
        PinCase{"ModifyBothPinsAtOnePlace", Modify("52 0C 40 06 06 00 24 00 01 04 FF FF FF FF"),
                kWrongData, ""},
        PinCase{"ModifyPinsOverlap", Modify("52 0C 40 06 07 00 24 00 01 04 FF FF FF FF"),
                kWrongData, ""},
        // What the reader's structure cannot say: a verified PIN past the fifteenth data byte,
        // a format 2 block past the second, sizes the keypad does not take.
        PinCase{"VerifyPastFifteenBytes",
                Verify("52 1B 40 16 00 20 00 01 14 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                       "FF FF FF FF"),
                kWrongData, ""},
        PinCase{"VerifyFormat2AtThirdByte",
                Verify("52 11 02 08 00 20 00 01 0A 00 00 FF FF FF FF FF FF FF FF"), kWrongData, ""},
        PinCase{"AnyLengthKeypadCannotTake", Verify("52 08 00 06 00 20 00 01 01 FF"), kWrongData,
                "", kKeypadFourToEight}),
    [](const testing::TestParamInfo<PinCase>& info) { return info.param.name; });

TEST(CtbcsPin, TheReadersAnswerIsPassedOn) {
    // The card's own (a wrong PIN, data with its status word) and the keypad's (timeout,
    // cancel, new PINs differ, length out of range) alike, from the terminal.
    for (const Bytes& answer : {Bytes{0x63, 0xC2}, Bytes{0x01, 0x02, 0x90, 0x00}, Bytes{0x64, 0x00},
                                Bytes{0x64, 0x01}, Bytes{0x64, 0x02}, Bytes{0x64, 0x03}}) {
        FakeSlot slot;
        slot.state = CardState::Active;
        slot.pad = kKeypad;
        slot.keypadAnswer = answer;
        std::uint8_t source = 0xFF;
        EXPECT_EQ(Send(slot, Modify("52 0C 40 06 08 00 24 00 01 04 FF FF FF FF"), CT, &source),
                  answer);
        EXPECT_EQ(source, CT);
    }
}

TEST(CtbcsPin, NoActivatedCardNoEntry) {
    for (const CardState state : {CardState::Absent, CardState::Present}) {
        FakeSlot slot;
        slot.state = state;
        slot.pad = kKeypad;
        try {
            Send(slot, Verify("52 09 40 06 00 20 00 01 02 FF FF"));
            ADD_FAILURE() << "answered without a card";
        } catch (const ctapi::CtError& error) {
            EXPECT_EQ(error.code, ERR_TRANS);
        }
        EXPECT_TRUE(slot.pinStructures.empty());
    }
}

TEST(CtbcsPin, StatusListsKeypadAndDisplay) {
    struct Case {
        ctapi::PinPad pad;
        Bytes expected;
    };
    for (const auto& c :
         {Case{{}, {0x81, 0x01, 0x01, 0x90, 0x00}},
          Case{{true, false, false, std::nullopt}, {0x81, 0x02, 0x01, 0x50, 0x90, 0x00}},
          Case{{false, false, true, std::nullopt}, {0x81, 0x02, 0x01, 0x40, 0x90, 0x00}},
          Case{kKeypad, {0x81, 0x03, 0x01, 0x40, 0x50, 0x90, 0x00}}}) {
        FakeSlot slot;
        slot.pad = c.pad;
        EXPECT_EQ(Send(slot, {0x20, 0x13, 0x00, 0x81, 0x00}), c.expected);
    }
}

TEST(CtbcsPin, ToTheCardsAddressForTheTerminal) {
    FakeSlot slot;
    slot.state = CardState::Active;
    slot.pad = kKeypad;
    std::uint8_t source = 0xFF;
    EXPECT_EQ(Send(slot, Verify("52 09 40 06 00 20 00 01 02 FF FF"), ICC1, &source), kOk);
    EXPECT_EQ(source, CT);
    EXPECT_TRUE(slot.sent.empty());
    EXPECT_EQ(slot.pinStructures.size(), 1u);
}

// ---- card APDUs -----------------------------------------------------------------------------

// No answer is made up for a card that is not activated (present or not): a made-up status word
// would pass for the card's own.
TEST(CtbcsRouting, CardApduWithoutActivationIsErrTrans) {
    for (const CardState state : {CardState::Absent, CardState::Present}) {
        FakeSlot slot;
        slot.state = state;
        EXPECT_EQ(ErrorOf(slot, {0x00, 0xA4, 0x04, 0x00, 0x00}), ERR_TRANS);
        EXPECT_TRUE(slot.sent.empty());
    }
}

TEST(CtbcsRouting, CardApduGoesThroughUnchanged) {
    FakeSlot slot;
    slot.state = CardState::Active;
    slot.cardAnswer = {0x61, 0x10};
    std::uint8_t source = 0xFF;
    // Class 20 with an instruction that is no CT-BCS command still belongs to the card.
    for (const Bytes& apdu : {Bytes{0x00, 0xC0, 0x00, 0x00, 0x10}, Bytes{0x20, 0x99, 0x00, 0x00},
                              Bytes{0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00}}) {
        EXPECT_EQ(Send(slot, apdu, ICC1, &source), slot.cardAnswer);
        EXPECT_EQ(slot.sent.back(), apdu);
        EXPECT_EQ(source, ICC1);
    }
}

TEST(CtbcsRouting, CtbcsCommandToTheCardIsForTheTerminal) {
    FakeSlot slot;
    slot.state = CardState::Active;
    std::uint8_t source = 0xFF;
    EXPECT_EQ(Send(slot, {0x20, 0x15, 0x01, 0x00, 0x03, 0x80, 0x01, 0x00}, ICC1, &source), kOk);
    EXPECT_EQ(slot.ejections, 1);
    EXPECT_TRUE(slot.sent.empty());
    EXPECT_EQ(source, CT);
}

TEST(CtbcsRouting, TransmitFailureIsPassedUp) {
    FakeSlot slot;
    slot.state = CardState::Active;
    slot.transmitError = ERR_TRANS;
    EXPECT_EQ(ErrorOf(slot, {0x00, 0x84, 0x00, 0x00, 0x08}), ERR_TRANS);
}

// ---- parsing helpers ------------------------------------------------------------------------

TEST(CtbcsParsing, ShortApduCases) {
    struct Case {
        Bytes bytes;
        bool valid;
        std::size_t dataSize;
        std::size_t ne; // 0: no Le
    };
    for (const auto& c : {Case{{0x00, 0xA4, 0x04, 0x00}, true, 0, 0},
                          Case{{0x00, 0xB0, 0x00, 0x00, 0x00}, true, 0, 256},
                          Case{{0x00, 0xB0, 0x00, 0x00, 0x10}, true, 0, 16},
                          Case{{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}, true, 2, 0},
                          Case{{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00}, true, 2, 256},
                          Case{{0x00, 0xA4, 0x04}, false, 0, 0},
                          Case{{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F}, false, 0, 0},
                          Case{{0x00, 0xA4, 0x04, 0x00, 0x01, 0x3F, 0x00, 0x00}, false, 0, 0},
                          Case{{0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00}, false, 0, 0}}) {
        const auto apdu = ctapi::ParseShortApdu(c.bytes);
        ASSERT_EQ(apdu.has_value(), c.valid) << testing::PrintToString(c.bytes);
        if (apdu) {
            EXPECT_EQ(apdu->data.size(), c.dataSize);
            EXPECT_EQ(apdu->ne, c.ne);
        }
    }
}

TEST(CtbcsParsing, WaitTime) {
    struct Case {
        Bytes data;
        std::optional<std::chrono::seconds> wait;
    };
    for (const auto& c :
         {Case{{}, 0s}, Case{{0xFF}, 255s}, Case{{0x80, 0x01, 0x1E}, 30s}, Case{{0x50, 0x00}, 0s},
          Case{{0x80, 0x01}, std::nullopt}, Case{{0x80, 0x02, 0x00, 0x01}, std::nullopt},
          Case{{0x50, 0x09, 0x41}, std::nullopt}, Case{{0x80, 0x01, 0x02, 0x80, 0x01, 0x03}, 2s}}) {
        EXPECT_EQ(ctapi::ParseWaitTime(c.data), c.wait) << testing::PrintToString(c.data);
    }
}

TEST(CtbcsParsing, HistoricalBytesAndCardKind) {
    const Bytes jcop{0x3B, 0xF8, 0x13, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45,
                     0x4A, 0x43, 0x4F, 0x50, 0x76, 0x32, 0x34, 0x31, 0xB7};
    struct Case {
        Bytes atr;
        Bytes history;
        bool synchronous;
    };
    for (const auto& c :
         {Case{kProcessorAtr, {0x14, 0x50}, false},
          Case{jcop, {0x4A, 0x43, 0x4F, 0x50, 0x76, 0x32, 0x34, 0x31}, false},
          Case{kStorageAtr, Bytes(kStorageAtr.begin() + 4, kStorageAtr.end() - 1), true},
          Case{{0xA2, 0x13, 0x10, 0x91}, {0x91}, true},
          Case{{0x3B, 0x8F}, {}, false},                       // cut off before TD1
          Case{{0x3B, 0x05, 0x01, 0x02}, {0x01, 0x02}, false}, // fewer than announced
          Case{{0x3B, 0x04, 0xA2, 0x13, 0x10, 0x91}, {0xA2, 0x13, 0x10, 0x91}, true},
          Case{{0x3B, 0x04, 0xA2, 0x13, 0x10}, {0xA2, 0x13, 0x10}, false}, // cut short
          Case{{0x3B, 0x14, 0x11, 0xA2, 0x13, 0x10, 0x91}, {0xA2, 0x13, 0x10, 0x91}, false},
          Case{{}, {}, true}}) {
        const auto history = ctapi::HistoricalBytes(c.atr);
        EXPECT_EQ(Bytes(history.begin(), history.end()), c.history)
            << testing::PrintToString(c.atr);
        EXPECT_EQ(ctapi::IsSynchronous(c.atr), c.synchronous) << testing::PrintToString(c.atr);
    }
}

TEST(CtbcsParsing, ManufacturerObjectFallsBackAndStaysPrintable) {
    struct Case {
        ctapi::ReaderIdentity identity;
        std::string text;
    };
    for (const auto& c :
         {Case{{}, "ZZQRVPC/SC1.0.0"}, Case{{"A\x01\xFF", "  ", 0x0A0B0000}, "ZZA  PC/SC10.11"},
          Case{{"Virtual\n", "vpcd reader", 0x7F000000}, "ZZVirvpcd 127.0"}}) {
        const auto object = ctapi::ManufacturerDataObject(c.identity);
        ASSERT_EQ(object.size(), 17u);
        EXPECT_EQ(std::string(object.begin() + 2, object.end()), c.text);
    }
}

} // namespace
