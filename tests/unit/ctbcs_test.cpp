// The CT-BCS menu and its four commands against the CT-API double: the bytes sent, every row of
// the answer interpretations, short answers, the wait entry and the menu's gate.
#include "menu/app/session.h"
#include "menu/ct/card_terminal.h"
#include "menu/ct/ctbcs.h"
#include "ctapi_double.h"
#include "std_streams.h"
#include "transcripts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctapi.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void Feed(const char* text) {
    std::fflush(stdin);
    teststd::FeedStdin(text);
}

class CtbcsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctdouble::Reset();
        gnCtn = 0;
        gbKeyVal = 0;
        nCtbcsVal = 0;
    }

    static void Answer(Bytes response) {
        ctdouble::state().answers.push_back({0, std::move(response)});
    }
    static const std::vector<ctdouble::DataCall>& Calls() { return ctdouble::state().dataCalls; }
};

// ---- the commands as sent ----------------------------------------------------------------

struct SentCase {
    const char* name;
    void (*command)();
    const char* input; // the wait entry, where the command asks for one
    Bytes bytes;
    std::uint16_t room;
    std::uint8_t dad;
};

class CommandSent : public CtbcsTest, public ::testing::WithParamInterface<SentCase> {};

TEST_P(CommandSent, CarriesItsBytesRoomAndAddresses) {
    const SentCase& c = GetParam();
    gnCtn = 0x0103; // only the low byte is the terminal number
    gbKeyVal = 3;
    Feed(c.input);
    teststd::CaptureStdout(c.command);
    ASSERT_EQ(Calls().size(), 1u);
    const auto& call = Calls()[0];
    EXPECT_EQ(call.command, c.bytes);
    EXPECT_EQ(call.room, c.room);
    EXPECT_EQ(call.dad, c.dad);
    EXPECT_EQ(call.sad, 2);
    EXPECT_EQ(call.ctn, 3);
    EXPECT_EQ(gbKeyVal, 3u) << "the CT-BCS commands leave the session state alone";
    EXPECT_EQ(gucDad, 1) << "the library's address write-back must not reach the globals";
    EXPECT_EQ(gucSad, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandSent,
    ::testing::Values(
        SentCase{"CtInfo", Ct_Info, "", {0x20, 0x13, 0x00, 0x46, 0x00}, 50, 1},
        SentCase{"IccStatus", Icc_Status, "", {0x20, 0x13, 0x00, 0x80, 0x00}, 5, 1},
        SentCase{"RequestIcc",
                 Request_Icc,
                 "0\n",
                 {0x20, 0x12, 0x01, 0x01, 0x03, 0x80, 0x01, 0x00},
                 50,
                 1},
        SentCase{
            "EjectIcc", Eject_Icc, "0\n", {0x20, 0x15, 0x01, 0x00, 0x03, 0x80, 0x01, 0x00}, 8, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- answers put into words ----------------------------------------------------------------

struct AnswerCase {
    const char* name;
    Bytes response;
    std::string expected;
};

class IccStatusAnswer : public CtbcsTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(IccStatusAnswer, PrintsTheLineOfItsStatusByte) {
    Answer(GetParam().response);
    EXPECT_EQ(teststd::CaptureStdout(Icc_Status), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, IccStatusAnswer,
    ::testing::Values(
        AnswerCase{"Tagged00", {0x80, 0x01, 0x00, 0x90, 0x00}, "No ICC inserted.\n"},
        AnswerCase{"Tagged01", {0x80, 0x01, 0x01, 0x90, 0x00}, "No ICC information.\n"},
        AnswerCase{"Tagged03", {0x80, 0x01, 0x03, 0x90, 0x00}, "ICC electrically not connected.\n"},
        AnswerCase{"Tagged05", {0x80, 0x01, 0x05, 0x90, 0x00}, "ICC electrically connected.\n"},
        AnswerCase{"TaggedOther", {0x80, 0x01, 0x02, 0x90, 0x00}, "Invalid ICC Status.\n"},
        AnswerCase{"Bare00", {0x00, 0x90, 0x00}, "No ICC inserted.\n"},
        AnswerCase{"Bare01", {0x01, 0x90, 0x00}, "No ICC information.\n"},
        AnswerCase{"Bare03", {0x03, 0x90, 0x00}, "ICC electrically not connected.\n"},
        AnswerCase{"Bare05", {0x05, 0x90, 0x00}, "ICC electrically connected.\n"},
        AnswerCase{"StatusWordOnly", {0x90, 0x00}, "Invalid ICC Status.\n"},
        // Too short to hold the byte it is read from: no guessing from what lies beyond.
        AnswerCase{"TagWithoutStatus", {0x80, 0x01}, "Invalid ICC Status.\n"},
        AnswerCase{"TagAlone", {0x80}, "Invalid ICC Status.\n"},
        AnswerCase{"Empty", {}, "Invalid ICC Status.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

class RequestIccAnswer : public CtbcsTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(RequestIccAnswer, PrintsAtMostOneLineThenAnEmptyOne) {
    Answer(GetParam().response);
    Feed("0\n");
    EXPECT_EQ(teststd::CaptureStdout(Request_Icc),
              "Enter Wait time in seconds : " + GetParam().expected + "\n");
}

const Bytes kAtr{0x3B, 0x02, 0x14, 0x50};

Bytes WithAtr(std::uint8_t sw1, std::uint8_t sw2) {
    Bytes r = kAtr;
    r.push_back(sw1);
    r.push_back(sw2);
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RequestIccAnswer,
    ::testing::Values(
        AnswerCase{"Sync", WithAtr(0x90, 0x00), "Synchronous ICC presented, Reset Successful\n"},
        AnswerCase{
            "NoCardInTime", {0x62, 0x00}, "Warning: No card presented within specified time!\n"},
        AnswerCase{"ResetFailed", {0x64, 0x00}, "Reset ICC not successful!\n"},
        AnswerCase{"NoTimer", {0x69, 0x00}, "Command with timer not supported!\n"},
        AnswerCase{"Async", WithAtr(0x90, 0x01), "Asynchronous ICC presented, Reset Successful.\n"},
        AnswerCase{"AlreadyIn", {0x62, 0x01}, "Warning: ICC already present and activated!\n"},
        AnswerCase{
            "NoSmartCard", {0x64, 0xA1}, "Reset ICC not successful, no SmartCard detected!\n"},
        AnswerCase{"OtherSw1With00", {0x6D, 0x00}, ""},
        AnswerCase{"OtherSw1With01", {0x64, 0x01}, ""},
        AnswerCase{"OtherSw1WithA1", {0x90, 0xA1}, ""},
        AnswerCase{"OtherSw2", {0x6A, 0x82}, "Request ICC not successful.\n"},
        AnswerCase{"OtherSw2After90", WithAtr(0x90, 0x02), "Request ICC not successful.\n"},
        // The status word is the last two bytes, not the first two.
        AnswerCase{"AtrLooksLikeStatus",
                   {0x62, 0x00, 0x90, 0x01},
                   "Asynchronous ICC presented, Reset Successful.\n"},
        AnswerCase{"OneByte", {0x90}, "Request ICC not successful.\n"},
        AnswerCase{"Empty", {}, "Request ICC not successful.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

class EjectIccAnswer : public CtbcsTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(EjectIccAnswer, PrintsTheBytesThenTheStatusLine) {
    Answer(GetParam().response);
    Feed("0\n");
    EXPECT_EQ(teststd::CaptureStdout(Eject_Icc),
              "Enter Wait time in seconds : " + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EjectIccAnswer,
    ::testing::Values(
        AnswerCase{"Done", {0x90, 0x00}, "90 00 \nCommand successful\n"},
        AnswerCase{"Removed", {0x90, 0x01}, "90 01 \nCommand successful, Card removed\n"},
        AnswerCase{"Other90", {0x90, 0x02}, "90 02 \n"},
        AnswerCase{"NotRemoved", {0x62, 0x00}, "62 00 \n"},
        AnswerCase{"Other62", {0x62, 0x55}, "62 55 \n"},
        AnswerCase{"Failed", {0x6F, 0x00}, "6F 00 \nEject ICC not successful\n"},
        AnswerCase{
            "LastTwoCount", {0x90, 0x01, 0x6F, 0x00}, "90 01 6F 00 \nEject ICC not successful\n"},
        AnswerCase{"OneByte", {0x90}, "90 \nEject ICC not successful\n"},
        AnswerCase{"Empty", {}, "\nEject ICC not successful\n"}),
    [](const auto& info) { return std::string(info.param.name); });

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

const std::string kFourLines = "\tCountry Code : DE\n"
                               "\tManufacturer : ABC\n"
                               "\tCT Type : T1000\n"
                               "\tSW Version   : V1.00\n";

class CtInfoAnswer : public CtbcsTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(CtInfoAnswer, PrintsTheFourFieldsOfWhatArrived) {
    Answer(GetParam().response);
    EXPECT_EQ(teststd::CaptureStdout(Ct_Info), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CtInfoAnswer,
    ::testing::Values(
        AnswerCase{"Tagged", Concat({{0x46, 0x0F}, Text("DEABCT1000V1.00"), {0x90, 0x00}}),
                   kFourLines},
        AnswerCase{"Untagged", Concat({Text("DEABCT1000V1.00"), {0x90, 0x00}}), kFourLines},
        // All 15 characters and no status word: every character is printed.
        AnswerCase{"FifteenTaggedNoStatusWord", Concat({{0x46, 0x0F}, Text("DEABCT1000V1.00")}),
                   kFourLines},
        AnswerCase{"FifteenUntaggedNoStatusWord", Text("DEABCT1000V1.00"), kFourLines},
        AnswerCase{"LongerObject", Concat({{0x46, 0x12}, Text("DEABCT1000V1.00xyz"), {0x90, 0x00}}),
                   kFourLines},
        // Fewer than 15 data bytes: what is there, the status word never shown as characters.
        AnswerCase{
            "ShortTagged", Concat({{0x46, 0x07}, Text("DEABCT1"), {0x90, 0x00}}),
            "\tCountry Code : DE\n\tManufacturer : ABC\n\tCT Type : T1\n\tSW Version   : \n"},
        AnswerCase{"ShortUntagged", Concat({Text("DEA"), {0x90, 0x00}}),
                   "\tCountry Code : DE\n\tManufacturer : A\n\tCT Type : \n\tSW Version   : \n"},
        AnswerCase{"StatusWordOnly",
                   {0x90, 0x00},
                   "\tCountry Code : \n\tManufacturer : \n\tCT Type : \n\tSW Version   : \n"},
        AnswerCase{"TagOnly",
                   {0x46},
                   "\tCountry Code : \n\tManufacturer : \n\tCT Type : \n\tSW Version   : \n"},
        AnswerCase{"Empty",
                   {},
                   "\tCountry Code : \n\tManufacturer : \n\tCT Type : \n\tSW Version   : \n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- failures of CT_data ----------------------------------------------------------------------

struct FailureCase {
    const char* name;
    void (*command)();
    const char* input;
    std::string expected;
};

class CommandFailure : public CtbcsTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CommandFailure, PrintsItsMessageAndNoBytes) {
    ctdouble::state().answers.push_back({ERR_CT, {}});
    Feed(GetParam().input);
    EXPECT_EQ(teststd::CaptureStdout(GetParam().command), GetParam().expected);
    EXPECT_EQ(Calls().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandFailure,
    ::testing::Values(FailureCase{"CtInfo", Ct_Info, "", "CT_Info Failed \n"},
                      FailureCase{"IccStatus", Icc_Status, "", "CT_Info Failed \n"},
                      FailureCase{"RequestIcc", Request_Icc, "0\n",
                                  "Enter Wait time in seconds : Request_Icc Failed \n\n"},
                      FailureCase{"EjectIcc", Eject_Icc, "0\n",
                                  "Enter Wait time in seconds : Request_Icc Failed \n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A library that answers more than the room it was given (the double refuses it with its own
// error): nothing is read from the buffer then.
TEST_F(CtbcsTest, AnswerBeyondTheRoomIsAFailure) {
    Answer(Bytes(9, 0x90));
    EXPECT_EQ(teststd::CaptureStdout(Icc_Status), "CT_Info Failed \n");
}

// ---- the wait ----------------------------------------------------------------------------------

double SecondsTaken(void (*command)()) {
    const auto start = std::chrono::steady_clock::now();
    teststd::CaptureStdout(command);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct WaitCase {
    const char* name;
    const char* input;
};

class WaitWithoutNumber : public CtbcsTest, public ::testing::WithParamInterface<WaitCase> {};

// Taken as seconds these entries would stall the program for minutes or for ever (343 s at the
// least): only that crosses a bound of one minute, however loaded the machine.
TEST_P(WaitWithoutNumber, SendsAtOnce) {
    for (auto* command : {Request_Icc, Eject_Icc}) {
        Feed(GetParam().input);
        EXPECT_LT(SecondsTaken(command), 60.0);
    }
    ASSERT_EQ(Calls().size(), 2u);
    EXPECT_EQ(Calls()[0].command.back(), 0x00);
}

INSTANTIATE_TEST_SUITE_P(Entries, WaitWithoutNumber,
                         ::testing::Values(WaitCase{"Negative", "-5\n"},
                                           WaitCase{"NoNumber", "ab\n"}, WaitCase{"Empty", "\n"},
                                           WaitCase{"Quit", "q\n"}, WaitCase{"X", "x\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CtbcsTest, TypedWaitDelaysTheCommandButNotItsTimeObject) {
    Feed("1\n");
    EXPECT_GE(SecondsTaken(Request_Icc), 1.0);
    ASSERT_EQ(Calls().size(), 1u);
    EXPECT_EQ(Calls()[0].command, (Bytes{0x20, 0x12, 0x01, 0x01, 0x03, 0x80, 0x01, 0x00}));
}

// ---- the menu
// ------------------------------------------------------------------------------------

const std::string& kMenu = transcript::kCtbcsMenu;

using transcript::Repeat;

std::string Menus(int n) {
    return Repeat(kMenu, n);
}

TEST_F(CtbcsTest, MenuBoxIsExact) {
    EXPECT_EQ(teststd::CaptureStdout(DisplayCtbcsMenu), kMenu);
}

struct MenuCase {
    const char* name;
    const char* input;
    std::string expected;
    std::size_t dataCalls;
    std::size_t closeCalls;
};

class MenuRun : public CtbcsTest, public ::testing::WithParamInterface<MenuCase> {};

TEST_P(MenuRun, GatesAndLeavesAsChosen) {
    Feed(GetParam().input);
    EXPECT_EQ(teststd::CaptureStdout(CtbcsHandler), GetParam().expected);
    EXPECT_EQ(Calls().size(), GetParam().dataCalls);
    EXPECT_EQ(ctdouble::state().closeCalls.size(), GetParam().closeCalls);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, MenuRun,
    ::testing::Values(
        MenuCase{"QuitLeavesWithoutClose", "q\n", Menus(1), 0, 0},
        MenuCase{"ExitClosesInStateZero", "9\n", Menus(1) + "value of CT_close is 0\n", 0, 1},
        MenuCase{"ResetWithoutInit", "2\nq\n", Menus(1) + "Ct_init not called!!\n" + Menus(1), 0,
                 0},
        MenuCase{"CardCommandsGated", "3\n4\n5\n6\n7\nx\n",
                 kMenu + Repeat("CT not reset\n" + kMenu, 5), 0, 0},
        MenuCase{"OtherEntriesDoNothing", "\n0\n10\nab\n-3\nq\n", Menus(6), 0, 0},
        // State 8 passes the gate: the command goes to the closed terminal (the double answers 90
        // 00).
        MenuCase{"CloseThenStatus", "8\n5\n9\n",
                 Menus(1) + "value of CT_close is 0\n" + kMenu + "Invalid ICC Status.\n" + kMenu, 1,
                 1},
        MenuCase{"CloseThenResetIccRefusedByItsOwnTest", "8\n3\nq\n",
                 Menus(1) + "value of CT_close is 0\n" + kMenu + "CT Not reset.\n" + kMenu, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CtbcsTest, EveryEntryStartsFromStateZero) {
    Feed("8\nq\n");
    teststd::CaptureStdout(CtbcsHandler);
    EXPECT_EQ(nCtbcsVal, 8) << "x/q keeps the state";
    Feed("4\n9\n");
    const std::string out = teststd::CaptureStdout(CtbcsHandler);
    EXPECT_NE(out.find("CT not reset\n"), std::string::npos);
    EXPECT_EQ(ctdouble::state().closeCalls.size(), 2u) << "entry 9 closes again from state 0";
    EXPECT_EQ(nCtbcsVal, 0);
}

TEST_F(CtbcsTest, FailedCloseKeepsSessionStateAndStillMovesTheMenuOn) {
    ctdouble::state().closeResult = -8;
    gbKeyVal = 2;
    Feed("8\n9\n");
    const std::string out = teststd::CaptureStdout(CtbcsHandler);
    EXPECT_NE(out.find("value of CT_close is -8\n"), std::string::npos);
    EXPECT_EQ(ctdouble::state().closeCalls.size(), 1u) << "no second close after entry 8";
    EXPECT_EQ(gbKeyVal, 2u);
}

} // namespace
