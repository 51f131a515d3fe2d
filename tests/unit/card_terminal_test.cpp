// The card-terminal session against the CT-API double: addresses, lengths, rooms, printed texts
// and session states of RESET CT, RESET ICC and CT_close.
#include "menu/app/session.h"
#include "menu/ct/card_terminal.h"
#include "ctapi_double.h"
#include "menu/scenario/time_stamps.h"
#include "std_streams.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctapi.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

class CardTerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        ctdouble::Reset();
        gbKeyVal = 0;
        gnCtn = 0;
    }
    void TearDown() override { FreeMemory(); }
    static void Answer(std::int8_t result, Bytes response = {}) {
        ctdouble::state().answers.push_back({result, std::move(response)});
    }
    static const std::vector<ctdouble::DataCall>& Calls() { return ctdouble::state().dataCalls; }
};

TEST_F(CardTerminal, ResetCtIsAllowedInEveryStateAndMovesToState2) {
    for (const std::uint32_t before : {0u, 1u, 3u, 4u}) {
        SCOPED_TRACE(before);
        ctdouble::Reset();
        gbKeyVal = before;
        Answer(OK, {0x90, 0x00});
        EXPECT_EQ(teststd::CaptureStdout([] { Reset_CT(); }),
                  "dad is 1, sad is 2, ctn is 0\nATR Received :90 00 \n");
        EXPECT_EQ(gbKeyVal, 2u);
        ASSERT_EQ(Calls().size(), 1u);
        EXPECT_EQ(Calls()[0].command, (Bytes{0x20, 0x10, 0x00, 0x00, 0x00}));
        EXPECT_EQ(Calls()[0].room, 5);
    }
}

TEST_F(CardTerminal, ResetIccPrintsWhatWasReceivedAndMovesToState3) {
    Bytes full(35, 0xA5); // the longest ATR and its status word fill the whole room
    std::string fullText = "ATR Received : ";
    for (int i = 0; i < 35; ++i) {
        fullText += "A5 ";
    }
    struct Case {
        std::uint32_t before;
        Bytes response;
        std::string out;
    };
    for (const Case& c :
         {Case{2u, {0x3B, 0x02, 0x14, 0x50, 0x90, 0x01}, "ATR Received : 3B 02 14 50 90 01 \n"},
          Case{4u, full, fullText + "\n"}, Case{3u, {}, "ATR Received : \n"}}) {
        SCOPED_TRACE(c.out);
        ctdouble::Reset();
        gbKeyVal = c.before;
        Answer(OK, c.response);
        int result = -5;
        EXPECT_EQ(teststd::CaptureStdout([&] { result = Reset_Icc(); }), c.out);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(gbKeyVal, 3u);
        ASSERT_EQ(Calls().size(), 1u);
        EXPECT_EQ(Calls()[0].command, (Bytes{0x20, 0x10, 0x01, 0x01, 0x00}));
        EXPECT_EQ(Calls()[0].room, 35);
    }
}

// Both resets address the terminal from the host through local copies (the library may write the
// reply's addresses back), with the low byte of gnCtn as terminal number.
TEST_F(CardTerminal, AddressingOfResetsAndClose) {
    gnCtn = 0x0103;
    gbKeyVal = 2;
    const std::string out = teststd::CaptureStdout([] {
        Reset_CT(); // the double swaps destination and source in the caller's bytes
        Reset_CT();
        Reset_Icc();
        CT_CallClose();
    });
    EXPECT_EQ(out.find("dad is 1, sad is 2, ctn is 3\n"), 0u) << out;
    ASSERT_EQ(Calls().size(), 3u);
    for (const auto& call : Calls()) {
        EXPECT_EQ(call.ctn, 3);
        EXPECT_EQ(call.dad, 1);
        EXPECT_EQ(call.sad, 2);
    }
    EXPECT_EQ(gucDad, 1);
    EXPECT_EQ(gucSad, 2);
    EXPECT_EQ(ctdouble::state().closeCalls, std::vector<std::uint16_t>{3});
}

TEST_F(CardTerminal, FailedOrRefusedResetsPrintNoAtrAndKeepTheState) {
    gbKeyVal = 3;
    Answer(ERR_TRANS);
    EXPECT_EQ(teststd::CaptureStdout([] { Reset_CT(); }), "dad is 1, sad is 2, ctn is 0\n");
    EXPECT_EQ(gbKeyVal, 3u);

    gbKeyVal = 2;
    Answer(ERR_MEMORY);
    int result = 0;
    EXPECT_EQ(teststd::CaptureStdout([&] { result = Reset_Icc(); }), "");
    EXPECT_EQ(result, ERR_MEMORY);
    EXPECT_EQ(gbKeyVal, 2u);

    for (const std::uint32_t state : {0u, 1u}) {
        gbKeyVal = state;
        EXPECT_EQ(teststd::CaptureStdout([&] { result = Reset_Icc(); }), "CT Not reset.\n");
        EXPECT_EQ(result, -1);
        EXPECT_EQ(gbKeyVal, state);
    }
    EXPECT_EQ(Calls().size(), 2u); // the refused ones never reached the library
}

TEST_F(CardTerminal, CloseReturnsToState0OnlyOnSuccessAndAlwaysReleasesTheStamps) {
    struct Case {
        std::int8_t closeResult;
        std::uint32_t stateAfter;
        const char* out;
    };
    for (const Case& c : {Case{OK, 0u, "value of CT_close is 0\n"},
                          Case{ERR_INVALID, 4u, "value of CT_close is -1\n"},
                          Case{ERR_HTSI, 4u, "value of CT_close is -128\n"}}) {
        SCOPED_TRACE(c.out);
        ctdouble::Reset();
        ctdouble::state().closeResult = c.closeResult;
        gbKeyVal = 4;
        gpstStartTime = std::make_unique<TimeStamp>();
        gpstEndTime = std::make_unique<TimeStamp>();
        std::int8_t result = 1;
        EXPECT_EQ(teststd::CaptureStdout([&] { result = CT_CallClose(); }), c.out);
        EXPECT_EQ(result, c.closeResult);
        EXPECT_EQ(gbKeyVal, c.stateAfter);
        EXPECT_EQ(gpstStartTime, nullptr);
        EXPECT_EQ(gpstEndTime, nullptr);
    }
}

// Without a PC/SC service the reader list gives up after five attempts 0.3 s apart and nothing
// is opened. Only meaningful where no pcscd answers this process.
TEST_F(CardTerminal, InitWithoutPcscService) {
    SCARDCONTEXT probe = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &probe) == SCARD_S_SUCCESS) {
        SCardReleaseContext(probe);
        GTEST_SKIP() << "a PC/SC service is running here";
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(teststd::CaptureStdout([] { CT_CallInit(); }),
              "Could not get list of readers\n  No readers found\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
    EXPECT_TRUE(ctdouble::state().initCalls.empty());
    EXPECT_EQ(gbKeyVal, 0u);
}

} // namespace
