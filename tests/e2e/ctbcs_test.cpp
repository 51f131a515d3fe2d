// Transcripts of the CT-BCS menu (main-menu choice 7) with the real CT-API library on the test
// bed: the menu's gate, the four CT-BCS commands with and without a card, and the ways out.
#include "transcripts.h"
#include "bed/sim_card.h"
#include "bed/pcscd.h"
#include "bed_run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctapi.h>
#include <functional>
#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;

const std::string& kMain = transcript::kMainMenu;

const std::string& kCtbcs = transcript::kCtbcsMenu;

const std::string kWait = "Enter Wait time in seconds : ";
const std::string kAtr = "3B 02 14 50";

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// `whileRunning` acts once the output first shows `when` (at the start when it is empty).
std::string RunProgram(const std::string& input, std::function<void()> whileRunning = {},
                       const std::string& when = {}) {
    bed::RunOptions options;
    options.input = input;
    options.timeout = 30s;
    options.whileRunning = std::move(whileRunning);
    options.whenOutputHas = when;
    const bed::RunResult r = bed::Run({bed::ProgramPath()}, options);
    EXPECT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.status, 255) << r.out;
    return r.out;
}

// Entries 1 (first reader) and 2 of the CT-BCS menu, as typed and as printed.
const std::string kOpenAndReset = "7\n1\n1\n2\n";

std::string OpenedAndReset() {
    return kMain + kCtbcs + "  1. " + bed::ReaderName(0) + "\n  2. " + bed::ReaderName(1) +
           "\n Select Reader :value of CT_init is 0\n" + kCtbcs +
           "dad is 1, sad is 2, ctn is 0\nATR Received :90 00 \n" + kCtbcs;
}

// One or more CT-BCS entries after 1 and 2, the menu left by "q" and the program by "q".
std::string Session(const std::string& entries, std::function<void()> whileRunning = {},
                    const std::string& when = {}) {
    return RunProgram(kOpenAndReset + entries + "q\nq\n", std::move(whileRunning), when);
}

class CtbcsOnBed : public ::testing::Test {
  protected:
    void SetUp() override {
        pcscd_ = std::make_unique<bed::Pcscd>();
        card_ = std::make_unique<bed::SimCard>(bed::CardScript{});
    }
    void TearDown() override {
        card_.reset();
        pcscd_.reset();
    }
    void InsertCard() {
        card_->Insert();
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    }

    std::unique_ptr<bed::Pcscd> pcscd_;
    std::unique_ptr<bed::SimCard> card_;
};

TEST_F(CtbcsOnBed, EntriesAreGatedByTheMenusOwnState) {
    EXPECT_EQ(RunProgram("7\n3\n4\n2\n1\n1\n2\n2\nq\nq\n"),
              kMain + kCtbcs + "CT not reset\n" + kCtbcs + "CT not reset\n" + kCtbcs +
                  "Ct_init not called!!\n" + kCtbcs + "  1. " + bed::ReaderName(0) + "\n  2. " +
                  bed::ReaderName(1) + "\n Select Reader :value of CT_init is 0\n" + kCtbcs +
                  "dad is 1, sad is 2, ctn is 0\nATR Received :90 00 \n" + kCtbcs +
                  "Ct_init not called!!\n" + kCtbcs + kMain);
}

// The manufacturer lines are whatever the library reports for the reader: asked here directly.
std::string ManufacturerLinesFromLibrary() {
    EXPECT_EQ(CT_init(0, 0), OK);
    std::uint8_t dad = 1;
    std::uint8_t sad = 2;
    std::uint8_t command[] = {0x20, 0x13, 0x00, 0x46, 0x00};
    std::uint8_t response[50] = {};
    std::uint16_t length = sizeof response;
    EXPECT_EQ(CT_data(0, &dad, &sad, sizeof command, command, &length, response), OK);
    EXPECT_EQ(CT_close(0), OK);
    EXPECT_EQ(length, 19);
    EXPECT_EQ(response[0], 0x46);
    const std::string data(reinterpret_cast<const char*>(response) + 2, 15);
    return "\tCountry Code : " + data.substr(0, 2) + "\n\tManufacturer : " + data.substr(2, 3) +
           "\n\tCT Type : " + data.substr(5, 5) + "\n\tSW Version   : " + data.substr(10, 5) + "\n";
}

// The terminal opened from the main menu stays addressed when entry 1 asks to open it again and
// the library refuses: RESET CT still reaches it and entry 9 closes it.
TEST_F(CtbcsOnBed, RefusedSecondCtInitKeepsTheOpenTerminal) {
    const std::string list = "  1. " + bed::ReaderName(0) + "\n  2. " + bed::ReaderName(1) +
                             "\n Select Reader :value of CT_init is ";
    EXPECT_EQ(RunProgram("1\n1\n7\n1\n1\n2\n9\nq\n"),
              kMain + list + "0\n" + kMain + kCtbcs + list + "-1\n" + kCtbcs +
                  "dad is 1, sad is 2, ctn is 0\nATR Received :90 00 \n" + kCtbcs +
                  "value of CT_close is 0\n" + kMain);
}

TEST_F(CtbcsOnBed, CtInfoPrintsTheManufacturerData) {
    const std::string lines = ManufacturerLinesFromLibrary();
    EXPECT_EQ(Session("4\n"), OpenedAndReset() + lines + kCtbcs + kMain);
}

TEST_F(CtbcsOnBed, IccStatusFollowsTheCard) {
    EXPECT_EQ(Session("5\n"), OpenedAndReset() + "No ICC inserted.\n" + kCtbcs + kMain);
    InsertCard();
    EXPECT_EQ(Session("5\n3\n5\n"), OpenedAndReset() + "ICC electrically not connected.\n" +
                                        kCtbcs + "ATR Received : " + kAtr + " 90 01 \n" + kCtbcs +
                                        "ICC electrically connected.\n" + kCtbcs + kMain);
}

TEST_F(CtbcsOnBed, RequestIccWithoutACard) {
    EXPECT_EQ(Session("6\n0\n"), OpenedAndReset() + kWait +
                                     "Warning: No card presented within specified time!\n\n" +
                                     kCtbcs + kMain);
}

TEST_F(CtbcsOnBed, RequestIccActivatesACardOnceAndThenReportsItActive) {
    InsertCard();
    EXPECT_EQ(Session("6\n0\n6\n0\n"),
              OpenedAndReset() + kWait + "Asynchronous ICC presented, Reset Successful.\n\n" +
                  kCtbcs + kWait + "Warning: ICC already present and activated!\n\n" + kCtbcs +
                  kMain);
}

// The card goes in once the program asks for the wait: it reads the 3 at once and waits then.
TEST_F(CtbcsOnBed, CardInsertedDuringTheWaitIsActivated) {
    const auto start = std::chrono::steady_clock::now();
    const std::string out = Session(
        "6\n3\n", [this] { card_->Insert(); }, kWait);
    EXPECT_EQ(out, OpenedAndReset() + kWait + "Asynchronous ICC presented, Reset Successful.\n\n" +
                       kCtbcs + kMain);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3s) << "the wait passes in the program";
}

TEST_F(CtbcsOnBed, EjectIccWithACardThatStaysIn) {
    InsertCard();
    EXPECT_EQ(Session("7\n0\n"),
              OpenedAndReset() + kWait + "90 00 \nCommand successful\n" + kCtbcs + kMain);
}

TEST_F(CtbcsOnBed, EjectIccWithoutACard) {
    EXPECT_EQ(Session("7\n0\n"), OpenedAndReset() + kWait +
                                     "90 01 \nCommand successful, Card removed\n" + kCtbcs + kMain);
}

TEST_F(CtbcsOnBed, CommandsAfterCloseReachTheClosedTerminal) {
    InsertCard();
    const std::string out = Session("8\n5\n3\n");
    EXPECT_EQ(out, OpenedAndReset() + "value of CT_close is 0\n" + kCtbcs + "CT_Info Failed \n" +
                       kCtbcs + "CT Not reset.\n" + kCtbcs + kMain);
}

struct ExitCase {
    const char* name;
    const char* input;
    std::size_t closes;
};

class CtbcsExit : public CtbcsOnBed, public ::testing::WithParamInterface<ExitCase> {};

// Entry 9 closes in states 0, 1 and 2 and not after entry 8; "q" never closes, and after the
// menu the main menu's Exit leaves the terminal alone.
TEST_P(CtbcsExit, ClosesAsOftenAsTheStateCalls) {
    InsertCard();
    const std::string out = RunProgram(GetParam().input);
    EXPECT_EQ(Count(out, "value of CT_close is"), GetParam().closes) << out;
    EXPECT_EQ(Count(out, kMain), 2u) << "back in the main menu once, then ended" << out;
}

INSTANTIATE_TEST_SUITE_P(States, CtbcsExit,
                         ::testing::Values(ExitCase{"NineInState0", "7\n9\nq\n", 1},
                                           ExitCase{"NineInState1", "7\n1\n1\n9\nq\n", 1},
                                           ExitCase{"NineInState2", "7\n1\n1\n2\n9\nq\n", 1},
                                           ExitCase{"NineInState8", "7\n1\n1\n2\n8\n9\nq\n", 1},
                                           ExitCase{"QuitLeavesOpen", "7\n1\n1\n2\nq\nq\n", 0},
                                           ExitCase{"MainExitAfterMenu", "7\n1\n1\n2\nq\n8\n", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
