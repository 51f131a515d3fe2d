// The library's CT-BCS interpreter driven through a fake slot: every command's status words in
// every card state, the routing of card APDUs, and the parsing helpers beneath.
#include <ctapi.h>
#include <gtest/gtest.h>

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
        std::optional<std::size_t> le;
    };
    for (const auto& c :
         {Case{{0x00, 0xA4, 0x04, 0x00}, true, 0, std::nullopt},
          Case{{0x00, 0xB0, 0x00, 0x00, 0x00}, true, 0, 256},
          Case{{0x00, 0xB0, 0x00, 0x00, 0x10}, true, 0, 16},
          Case{{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}, true, 2, std::nullopt},
          Case{{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00}, true, 2, 256},
          Case{{0x00, 0xA4, 0x04}, false, 0, std::nullopt},
          Case{{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F}, false, 0, std::nullopt},
          Case{{0x00, 0xA4, 0x04, 0x00, 0x01, 0x3F, 0x00, 0x00}, false, 0, std::nullopt},
          Case{{0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00}, false, 0, std::nullopt}}) {
        const auto apdu = ctapi::ParseShortApdu(c.bytes);
        ASSERT_EQ(apdu.has_value(), c.valid) << testing::PrintToString(c.bytes);
        if (apdu) {
            EXPECT_EQ(apdu->data.size(), c.dataSize);
            EXPECT_EQ(apdu->le, c.le);
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
