// Faults on the test bed while the program runs: the card pulled or dropping the connection in
// the middle of a scenario, a card that answers late, pcscd killed during a run and before the
// first choice, the reader gone between CT_init and RESET CT. Every run must end (no hang), with
// status 255, each failure reported by its own line and the menu back after it.
#include "pty_screen.h"
#include "temp_tree.h"
#include "transcripts.h"

#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ptyscreen::Screen;

namespace {

using transcript::kPrompt;
const std::string kTransportFailure = "\nFailure in SCardTransmit. Error 0x";

// The third test's command is the one each fault is aimed at.
const char* const kScenario = "2,0 00 A4 04 00 02 3F 00\n> 90 00\n"
                              "2,0 00 B0 00 00 02\n> 12 34 90 00\n"
                              "2,0 00 B0 00 00 04\n> 01 02 03 04 90 00\n"
                              "2,0 00 B0 00 00 02\n> 12 34 90 00\n"
                              "2,0 00 A4 04 00 02 3F 00\n> 90 00\n";
constexpr int kTests = 5;
const bed::Bytes kAimedAt = qv::FromHex("00 B0 00 00 04");

bed::CardScript Card(const bed::Rule& third) {
    bed::CardScript script;
    script.rules = {
        third, {"00 A4 04 00 xx *", {0x90, 0x00}}, {"00 B0 00 00 02", {0x12, 0x34, 0x90, 0x00}}};
    return script;
}

bed::Rule Answering(std::chrono::milliseconds delay = 0ms) {
    return {"00 B0 00 00 04", qv::FromHex("01 02 03 04 90 00"), 0, delay, false};
}

using transcript::Report;

// The program in a pseudo-terminal (the browser needs one) beside a pcscd and a card.
class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bed::InSandbox()) {
            GTEST_SKIP() << "needs testbed/sandbox";
        }
        root_ = temptree::Make("faults");
        std::ofstream(root_ / "five.req") << kScenario;
        pcscd_ = std::make_unique<bed::Pcscd>();
    }

    void TearDown() override {
        program_.reset();
        card_.reset();
        pcscd_.reset();
        temptree::Remove(root_);
    }

    void StartWith(const bed::Rule& third) {
        card_ = std::make_unique<bed::SimCard>(Card(third), 0);
        card_->Insert();
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
        ptyscreen::Options options;
        options.workDir = root_.string();
        program_ = std::make_unique<Screen>(std::vector<std::string>{bed::ProgramPath()}, options);
        ASSERT_TRUE(program_->WaitForOutput(kPrompt)) << program_->Output();
    }

    // True once `expected` follows the echo of the typed line after byte `mark`, with nothing
    // else in between, and then the next menu's prompt (or, at an inner prompt, nothing more).
    ::testing::AssertionResult MenuAfter(std::size_t mark, const std::string& expected,
                                         std::chrono::milliseconds timeout = 10s,
                                         bool menu = true) {
        const std::string whole = expected + (menu ? "   __" : "");
        if (program_->WaitForOutput(whole, mark, timeout) &&
            (!menu || program_->WaitForOutput(kPrompt, mark + expected.size(), timeout))) {
            const std::string after = Since(mark);
            const std::size_t echo = after.find('\n') + 1;
            if (menu ? after.compare(echo, whole.size(), whole) == 0
                     : after.substr(echo) == expected) {
                return ::testing::AssertionSuccess();
            }
        }
        return ::testing::AssertionFailure() << "after the choice:\n" << Since(mark);
    }

    ::testing::AssertionResult Choose(const std::string& choice, const std::string& expected,
                                      std::chrono::milliseconds timeout = 10s) {
        const std::size_t mark = program_->Output().size();
        program_->Type(choice + "\n");
        return MenuAfter(mark, expected, timeout);
    }

    // Choice 1 up to the reader prompt.
    ::testing::AssertionResult ListReaders() {
        const std::size_t mark = program_->Output().size();
        program_->Type("1\n");
        return MenuAfter(mark,
                         "  1. " + bed::ReaderName(0) + "\n  2. " + bed::ReaderName(1) +
                             "\n Select Reader :",
                         10s, false);
    }

    std::string Since(std::size_t mark) const { return program_->Output().substr(mark); }

    void OpenTerminal() {
        ASSERT_TRUE(ListReaders());
        ASSERT_TRUE(Choose("1", "value of CT_init is 0\n"));
        ASSERT_TRUE(Choose("2", "dad is 1, sad is 2, ctn is 0\nATR Received :90 00 \n"));
    }

    // Card reset, five.req chosen in the browser: the scenario is ready to run.
    void LoadScenario() {
        ASSERT_TRUE(Choose("3", "ATR Received : 3B 02 14 50 90 01 \n"));
        const std::size_t mark = program_->Output().size();
        program_->Type("4\n");
        ASSERT_TRUE(ptyscreen::SelectInBrowser(*program_, root_, "five.req")) << program_->Text();
        // The browser's screen comes between the echo and the message.
        const std::string opened =
            "\n" + (root_ / "five.req").string() + " opened (with 5 APDUs)\n";
        ASSERT_TRUE(program_->WaitForOutput(opened + "   __", mark)) << Since(mark);
        ASSERT_TRUE(program_->WaitForOutput(kPrompt, mark)) << Since(mark);
    }

    // Types "5" and waits until the card holds the aimed-at command.
    std::size_t RunUntilTheThirdTest() {
        const std::size_t mark = program_->Output().size();
        const std::size_t before = card_->ReceivedApdus().size();
        program_->Type("5\n");
        EXPECT_TRUE(program_->WaitFor([&] {
            const auto apdus = card_->ReceivedApdus();
            return apdus.size() >= before + 3 && apdus.back() == kAimedAt;
        })) << Since(mark);
        return mark;
    }

    void ExitWith(const std::string& expected) {
        const std::size_t mark = program_->Output().size();
        program_->Type("8\n");
        EXPECT_EQ(program_->Wait(), 255) << Since(mark);
        EXPECT_EQ(Since(mark), "8\n" + expected);
    }

    fs::path root_;
    std::unique_ptr<bed::Pcscd> pcscd_;
    std::unique_ptr<bed::SimCard> card_;
    std::unique_ptr<Screen> program_;
};

// The card gone in the third test: that test fails in transport, and so do the two after it
// (the card is no longer activated: no answer is made up for them), each with its line, and the
// report counts all three.
const std::string kNotActivated = kTransportFailure + "fffffff6";
const std::string kCardLostAtThird = kNotActivated + kNotActivated + kNotActivated;

TEST_F(Faults, CardPulledWhileAnsweringFailsEveryLaterTestAndTheCardComesBack) {
    StartWith(Answering(3s));
    OpenTerminal();
    LoadScenario();
    const std::size_t mark = RunUntilTheThirdTest();
    card_->Remove();
    EXPECT_TRUE(MenuAfter(mark, kCardLostAtThird + Report(kTests, 2)));

    // Put back, reset and loaded again: the same scenario passes whole.
    card_->Insert();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    LoadScenario();
    EXPECT_TRUE(Choose("5", Report(kTests, kTests)));
    ExitWith("value of CT_close is 0\n");
}

TEST_F(Faults, CardDroppingTheConnectionMidApduFailsEveryLaterTest) {
    bed::Rule drop = Answering();
    drop.drop = true;
    StartWith(drop);
    OpenTerminal();
    LoadScenario();
    EXPECT_TRUE(Choose("5", kCardLostAtThird + Report(kTests, 2)));
    EXPECT_FALSE(card_->Inserted());
    // A second run: the card is still out, so every test fails, none of them in silence.
    const std::size_t mark = program_->Output().size();
    program_->Type("5\n");
    ASSERT_TRUE(program_->WaitForOutput(Report(kTests, 0) + "   __", mark)) << Since(mark);
    ASSERT_TRUE(program_->WaitForOutput(kPrompt, mark)) << Since(mark);
    std::string failures = Since(mark + 2);
    failures.resize(failures.find(Report(kTests, 0)));
    std::size_t lines = 0;
    for (std::size_t at = failures.find('\n'); at != std::string::npos;
         at = failures.find('\n', at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, static_cast<std::size_t>(kTests)) << failures;
    ExitWith("value of CT_close is 0\n");
}

TEST_F(Faults, LateAnswerIsWaitedForAndPasses) {
    StartWith(Answering(4s));
    OpenTerminal();
    LoadScenario();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Choose("5", Report(kTests, kTests), 30s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4s);
    ExitWith("value of CT_close is 0\n");
}

TEST_F(Faults, PcscdKilledDuringARun) {
    StartWith(Answering(3s));
    OpenTerminal();
    LoadScenario();
    const std::size_t mark = RunUntilTheThirdTest();
    pcscd_->Kill();
    EXPECT_TRUE(MenuAfter(mark, kTransportFailure + "fffffff8" + kNotActivated + kNotActivated +
                                    Report(kTests, 2)));
    // Nothing to list any more; the menu stays usable and Exit still closes the terminal.
    EXPECT_TRUE(Choose("1", "Could not get list of readers\n  No readers found\n"));
    EXPECT_TRUE(Choose("2", "dad is 1, sad is 2, ctn is 0\n"));
    ExitWith("value of CT_close is 0\n");
}

TEST_F(Faults, ReaderGoneBetweenInitAndResetThenBackAfterARestart) {
    StartWith(Answering());
    ASSERT_TRUE(ListReaders());
    ASSERT_TRUE(Choose("1", "value of CT_init is 0\n"));
    pcscd_->Kill();
    // RESET CT fails silently (no ATR line), so RESET ICC is refused.
    EXPECT_TRUE(Choose("2", "dad is 1, sad is 2, ctn is 0\n"));
    EXPECT_TRUE(Choose("3", "CT Not reset.\n"));

    pcscd_.reset();
    pcscd_ = std::make_unique<bed::Pcscd>();
    card_->Insert();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    // The terminal the library still holds open is closed and opened again on the new pcscd,
    // without restarting the program.
    EXPECT_TRUE(Choose("6", "value of CT_close is 0\n"));
    OpenTerminal();
    LoadScenario();
    EXPECT_TRUE(Choose("5", Report(kTests, kTests)));
    ExitWith("");
}

// pcscd gone before anything was asked of it: every command says so in one line and the run
// ends normally.
TEST(FaultsWithoutTerminal, PcscdKilledBeforeTheFirstChoice) {
    if (!bed::InSandbox()) {
        GTEST_SKIP() << "needs testbed/sandbox";
    }
    bed::Pcscd pcscd;
    pcscd.Kill();
    bed::RunOptions options;
    options.input = "1\n11\n2\n3\n8\n";
    options.timeout = 30s;
    const bed::RunResult r = bed::Run({bed::ProgramPath()}, options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 255);
    const std::size_t first = r.out.find(kPrompt) + kPrompt.size();
    std::string lines;
    for (std::size_t at = first; at < r.out.size();) {
        const std::size_t menu = r.out.find("   ___", at);
        lines += r.out.substr(at, menu - at);
        if (menu == std::string::npos) {
            break;
        }
        at = r.out.find(kPrompt, menu) + kPrompt.size();
    }
    EXPECT_EQ(lines, "Could not get list of readers\n  No readers found\n"
                     "Could not get list of readers\n"
                     "dad is 1, sad is 2, ctn is 0\n"
                     "CT Not reset.\n"
                     "value of CT_close is -1\n");
}

} // namespace
