// Whole transcripts of the program run with piped standard input on the test bed: the main
// menu, the reader list, CT_init, RESET CT, RESET ICC, CT_close and the ways the program ends.
#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"
#include "pcsc_connection.h"
#include "transcripts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;

const std::string& kMenu = transcript::kMainMenu;

using transcript::Repeat;

// The menu `times` times in a row: what a run of ignored choices prints.
std::string Menus(int times) {
    return Repeat(kMenu, times);
}

std::string ReaderList() {
    return "  1. " + bed::ReaderName(0) + "\n  2. " + bed::ReaderName(1) + "\n";
}

const std::string kResetCt = "dad is 1, sad is 2, ctn is 0\nATR Received :90 00 \n";

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

struct Timed {
    bed::RunResult result;
    std::chrono::milliseconds elapsed;
};

Timed RunProgram(const std::string& input) {
    bed::RunOptions options;
    options.input = input;
    options.timeout = 30s;
    const auto start = std::chrono::steady_clock::now();
    bed::RunResult r = bed::Run({bed::ProgramPath()}, options);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_FALSE(r.timedOut) << r.out;
    return {std::move(r), elapsed};
}

// A run that must end through Exit, "q" or end of input: always status 255.
std::string Transcript(const std::string& input) {
    Timed t = RunProgram(input);
    EXPECT_EQ(t.result.status, 255) << t.result.out;
    return t.result.out;
}

bed::CardScript Card(const char* atr) {
    bed::CardScript script;
    script.atr = qv::FromHex(atr);
    return script;
}

// No pcscd at all.
TEST(ProgramWithoutPcscd, IgnoredChoicesRedisplayTheMenuAndQEndsWithoutClosing) {
    // An empty line, 9, 10, -1, other numbers and text match no choice.
    const std::string out = Transcript("\n9\n10\n-1\n0\n12\n360\nabc\nq\n");
    EXPECT_EQ(out, Menus(9));
    EXPECT_EQ(Count(out, "CT_close"), 0u);
}

TEST(ProgramWithoutPcscd, ListGivesUpAfterFiveAttempts) {
    const Timed t = RunProgram("1\nq\n");
    EXPECT_EQ(t.result.status, 255);
    EXPECT_EQ(t.result.out,
              Menus(1) + "Could not get list of readers\n  No readers found\n" + Menus(1));
    EXPECT_GE(t.elapsed, 1400ms); // five waits of 0.3 s
}

TEST(ProgramWithoutPcscd, ChoiceFourAndResetIccAreRefusedInState0) {
    EXPECT_EQ(Transcript("4\n3\nq\n"),
              Menus(1) + "Card not powered/reset\n" + Menus(1) + "CT Not reset.\n" + Menus(1));
}

TEST(ProgramWithoutPcscd, EndOfInputEndsTheWayExitDoes) {
    // No terminal was opened: the library refuses CT_close, and the program still ends.
    EXPECT_EQ(Transcript(""), Menus(1) + "\nvalue of CT_close is -1\n");
    EXPECT_EQ(Transcript("9\n"), Menus(2) + "\nvalue of CT_close is -1\n");
    // After choice 6 the closed mark is set: no second CT_close.
    EXPECT_EQ(Transcript("6\n"), Menus(1) + "value of CT_close is -1\n" + Menus(1) + "\n");
    EXPECT_EQ(Transcript("8\n"), Menus(1) + "value of CT_close is -1\n");
}

// The contexts pcscd was asked for, from its debug log.
std::size_t ContextRequests(const bed::Pcscd& pcscd) {
    return Count(pcscd.Log(), "Received command: ESTABLISH_CONTEXT");
}

TEST(ProgramWithReaderlessPcscd, ListFailsAtOnce) {
    bed::PcscdOptions options;
    options.withVpcd = false;
    options.debugLog = true;
    const bed::Pcscd pcscd(options);
    const std::size_t before = ContextRequests(pcscd);
    const Timed t = RunProgram("1\nq\n");
    EXPECT_EQ(t.result.status, 255);
    EXPECT_EQ(t.result.out,
              Menus(1) + "Could not get list of readers\n  No readers found\n" + Menus(1));
    EXPECT_EQ(ContextRequests(pcscd), before + 1) << "the context was there: no retries expected";
}

// pcscd with the two vpcd readers; cards inserted as each test needs.
class ProgramOnBed : public ::testing::Test {
  protected:
    void SetUp() override { pcscd_ = std::make_unique<bed::Pcscd>(); }
    void TearDown() override {
        cards_[0].reset();
        cards_[1].reset();
        pcscd_.reset();
    }
    void InsertCard(int slot, const char* atr) {
        cards_[slot] = std::make_unique<bed::SimCard>(Card(atr), slot);
        cards_[slot]->Insert();
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(slot), true));
    }

    std::unique_ptr<bed::Pcscd> pcscd_;
    std::unique_ptr<bed::SimCard> cards_[2];
};

TEST_F(ProgramOnBed, OpenResetTerminalResetCardExit) {
    InsertCard(0, "3B 02 14 50");
    EXPECT_EQ(Transcript("1\n1\n2\n3\n8\n"),
              Menus(1) + ReaderList() + " Select Reader :value of CT_init is 0\n" + Menus(1) +
                  kResetCt + Menus(1) + "ATR Received : 3B 02 14 50 90 01 \n" + Menus(1) +
                  "value of CT_close is 0\n");
}

// Every run of the program resets the card, also when pcscd still keeps it powered from the run
// just before; a card that another program holds exclusively is answered 69 85.
TEST_F(ProgramOnBed, EveryRunResetsTheCardAndACardInUseIsSaidSo) {
    InsertCard(0, "3B 02 14 50");
    const std::string reset = Menus(1) + ReaderList() + " Select Reader :value of CT_init is 0\n" +
                              Menus(1) + kResetCt + Menus(1);
    const std::string closed = Menus(1) + "value of CT_close is 0\n";
    for (int run = 1; run <= 2; ++run) {
        const auto before = cards_[0]->PowerOns();
        EXPECT_EQ(Transcript("1\n1\n2\n3\n8\n"),
                  reset + "ATR Received : 3B 02 14 50 90 01 \n" + closed);
        EXPECT_GT(cards_[0]->PowerOns(), before) << "run " << run;
    }
    const pcsctest::Connection holder(bed::ReaderName(0), SCARD_SHARE_EXCLUSIVE);
    ASSERT_EQ(holder.Result(), SCARD_S_SUCCESS);
    EXPECT_EQ(Transcript("1\n1\n2\n3\n8\n"), reset + "ATR Received : 69 85 \n" + closed);
}

// The longest ATR a card may send (33 bytes) still fits RESET ICC's answer with its status word.
TEST_F(ProgramOnBed, ResetIccPrintsTheLongestAtr) {
    const char* atr = "3B FF 13 00 00 81 31 FE 45 00 31 B9 64 04 44 EC C1 73 94 01 80 82 90 "
                      "00 12 34 56 78 9A BC DE F0 1E";
    InsertCard(0, atr);
    std::string dump;
    for (std::uint8_t b : qv::FromHex(atr)) {
        char cell[4];
        std::snprintf(cell, sizeof cell, "%02X ", b);
        dump += cell;
    }
    ASSERT_EQ(qv::FromHex(atr).size(), 33u);
    EXPECT_EQ(Transcript("1\n1\n2\n3\nq\n"),
              Menus(1) + ReaderList() + " Select Reader :value of CT_init is 0\n" + Menus(1) +
                  kResetCt + Menus(1) + "ATR Received : " + dump + "90 01 \n" + Menus(1));
}

TEST_F(ProgramOnBed, SelectReaderAsksAgainUntilTheNumberIsListed) {
    InsertCard(0, "3B 02 14 50");
    const std::string out = Transcript("1\n\n0\nx\nq\n3\n-1\n999\n1\nq\n");
    // Empty line, 0, x, q, above the count, negative, far above: asked eight times in all.
    EXPECT_EQ(out, Menus(1) + ReaderList() + Repeat(" Select Reader :", 8) +
                       "value of CT_init is 0\n" + Menus(1));
    EXPECT_EQ(Count(out, "CT_close"), 0u);
}

TEST_F(ProgramOnBed, SecondReaderIsTheTerminalOfEveryLaterCommand) {
    InsertCard(0, "3B 02 14 50");
    InsertCard(1, "3B 02 14 51");
    // The library answers OK; the resets must still go to terminal 1, the reader chosen.
    EXPECT_EQ(Transcript("1\n2\n2\n3\n6\n8\n"),
              Menus(1) + ReaderList() + " Select Reader :value of CT_init is 0\n" + Menus(1) +
                  "dad is 1, sad is 2, ctn is 1\nATR Received :90 00 \n" + Menus(1) +
                  "ATR Received : 3B 02 14 51 90 01 \n" + Menus(1) + "value of CT_close is 0\n" +
                  Menus(1));
}

TEST_F(ProgramOnBed, ResetsGateTheChoicesAndMoveTheStateBothWays) {
    InsertCard(0, "3B 02 14 50");
    // RESET CT before any CT_init fails silently; RESET ICC right after CT_init is refused;
    // choice 4 needs a powered card, and a RESET CT after RESET ICC takes that back.
    const std::string atr = "ATR Received : 3B 02 14 50 90 01 \n";
    const std::string refused = "Card not powered/reset\n";
    EXPECT_EQ(Transcript("2\n1\n1\n3\n4\n2\n4\n3\n2\n4\nq\n"),
              Menus(1) + "dad is 1, sad is 2, ctn is 0\n" + Menus(1) + ReaderList() +
                  " Select Reader :value of CT_init is 0\n" + Menus(1) + "CT Not reset.\n" +
                  Menus(1) + refused + Menus(1) + kResetCt + Menus(1) + refused + Menus(1) + atr +
                  Menus(1) + kResetCt + Menus(1) + refused + Menus(1));
}

TEST_F(ProgramOnBed, CloseThenOpenThenExitClosesOnlyOnce) {
    InsertCard(0, "3B 02 14 50");
    const std::string out = Transcript("6\n1\n1\n8\n");
    EXPECT_EQ(out, Menus(1) + "value of CT_close is -1\n" + Menus(1) + ReaderList() +
                       " Select Reader :value of CT_init is 0\n" + Menus(1));
    EXPECT_EQ(Count(out, "CT_close"), 1u);
}

TEST_F(ProgramOnBed, EndOfInputClosesTheOpenTerminal) {
    InsertCard(0, "3B 02 14 50");
    EXPECT_EQ(Transcript("1\n1\n2\n"), Menus(1) + ReaderList() +
                                           " Select Reader :value of CT_init is 0\n" + Menus(1) +
                                           kResetCt + Menus(1) + "\nvalue of CT_close is 0\n");
    // At the reader prompt: nothing was opened yet.
    EXPECT_EQ(Transcript("1\n"),
              Menus(1) + ReaderList() + " Select Reader :\nvalue of CT_close is -1\n");
}

} // namespace
