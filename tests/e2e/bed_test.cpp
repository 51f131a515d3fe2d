// The test bed itself: card script parsing, the simulated card seen through plain PC/SC calls,
// insert and remove, and the program runner.
#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"

#include "pcsc_connection.h"
#include "temp_tree.h"

#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using bed::Bytes;
const auto Hex = &qv::FromHex;
using pcsctest::Connection;

// ---- Card scripts (no reader needed)

TEST(CommandPattern, WildcardsAndTrailingRest) {
    struct Case {
        const char* pattern;
        const char* apdu;
        bool match;
    };
    const Case cases[] = {
        {"00 A4 04 00", "00 A4 04 00", true},
        {"00 A4 04 00", "00 A4 04 01", false},
        {"00 A4 04 00", "00 A4 04 00 00", false}, // no rest without '*'
        {"00 A4 04 00", "00 A4 04", false},       // shorter never matches
        {"00 xx 04 XX", "00 B0 04 7F", true},
        {"00 A4 04 00 xx *", "00 A4 04 00 02 3F 00", true},
        {"00 A4 04 00 xx *", "00 A4 04 00 02", true}, // '*' may match nothing
        {"00 A4 04 00 xx *", "00 A4 04 00", false},   // but 'xx' needs its byte
        {"*", "00 11 22 33", true},
        {"00A40400 *", "00 A4 04 00 01 02", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bed::CommandPattern(c.pattern).Matches(Hex(c.apdu)), c.match)
            << c.pattern << " / " << c.apdu;
    }
    for (const char* bad : {"", "00 * 00", "0", "zz"}) {
        EXPECT_THROW(bed::CommandPattern{bad}, std::invalid_argument) << bad;
    }
}

TEST(CardScript, ParsesEveryDirective) {
    const bed::CardScript s =
        bed::ParseCardScript("# a card\n"
                             "atr 3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A\n"
                             "apdu 00 A4 04 00 xx * -> 90 00   # select\n"
                             "apdu 00 84 00 00 08 -> random 8, 90 00\n"
                             "apdu 00 B0 00 00 xx -> 01 02 03 04 90 00 delay 200\n"
                             "\n"
                             "apdu 00 FF 00 00 -> drop\n"
                             "default 6A 82\n");
    EXPECT_EQ(s.atr.size(), 20u);
    EXPECT_EQ(s.atr.front(), 0x3B);
    ASSERT_EQ(s.rules.size(), 4u);
    EXPECT_TRUE(s.rules[0].pattern.Matches(Hex("00 A4 04 00 02 3F 00")));
    EXPECT_FALSE(s.rules[0].pattern.Matches(Hex("00 A4 04 00")));
    EXPECT_EQ(s.rules[0].response, Hex("90 00"));
    EXPECT_EQ(s.rules[1].randomBytes, 8u);
    EXPECT_EQ(s.rules[1].response, Hex("90 00"));
    EXPECT_EQ(s.rules[2].response, Hex("01 02 03 04 90 00"));
    EXPECT_EQ(s.rules[2].delay, 200ms);
    EXPECT_TRUE(s.rules[3].drop);
    EXPECT_TRUE(s.rules[3].response.empty());
    EXPECT_EQ(s.fallback, Hex("6A 82"));
}

TEST(CardScript, DefaultsWhenNotGiven) {
    const bed::CardScript s = bed::ParseCardScript("");
    EXPECT_EQ(s.atr, Hex("3B 02 14 50"));
    EXPECT_EQ(s.fallback, Hex("6D 00"));
    EXPECT_TRUE(s.rules.empty());
}

TEST(CardScript, ErrorsNameTheLine) {
    const char* bad[] = {
        "atr\n",                            // no bytes
        "atr 3B\napdu 00 A4 -> 9\n",        // odd digit count in the answer
        "apdu 00 A4 04 00 90 00\n",         // no arrow
        "apdu -> 90 00\n",                  // empty pattern
        "apdu 00 * 01 -> 90 00\n",          // '*' not last
        "apdu 00 84 -> 90 00 random 8\n",   // random after the bytes
        "apdu 00 84 -> random\n",           // random without a count
        "apdu 00 84 -> 90 00 delay soon\n", // delay without a number
        "apdu 00 FF -> drop 90 00\n",       // drop answers nothing
        "apdu 00 A4 ->\n",                  // an empty answer
        "apdu 00 A4 -> delay 100\n",        // an empty answer, late
        "apdu 00 84 -> random 0\n",         // an empty answer of random bytes
        "default\n",                        // an empty answer to the rest
        "card 3B 00\n",                     // unknown directive
    };
    for (const char* text : bad) {
        try {
            bed::ParseCardScript(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("line "), std::string::npos) << e.what();
        }
    }
}

TEST(CardScript, TheDemoCardLoads) {
    const bed::CardScript s = bed::LoadCardScript(bed::SourcePath("testbed/cards/demo.card"));
    EXPECT_FALSE(s.atr.empty());
    EXPECT_GE(s.rules.size(), 3u);
    EXPECT_THROW(bed::LoadCardScript("/nonexistent/x.card"), std::invalid_argument);
}

// ---- The simulated card through PC/SC

constexpr const char* kCard =
    "atr 3B 02 14 50\n"
    "apdu 00 A4 04 00 xx * -> 90 00\n"
    "apdu 00 A4 xx xx -> 6A 86\n" // only reached when the first rule does not match
    "apdu 00 84 00 00 08 -> random 8, 90 00\n"
    "apdu 00 B0 00 00 02 -> 12 34 90 00 delay 300\n"
    "apdu 00 FF 00 00 -> drop\n";

class OnBed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!bed::InSandbox())
            GTEST_SKIP() << "needs testbed/sandbox";
        pcscd_ = std::make_unique<bed::Pcscd>();
    }
    static void TearDownTestSuite() { pcscd_.reset(); }
    void SetUp() override {
        if (!pcscd_)
            GTEST_SKIP() << "needs testbed/sandbox";
    }

    static inline std::unique_ptr<bed::Pcscd> pcscd_;
};

TEST_F(OnBed, PcscdListsBothVpcdReadersAndNoCard) {
    EXPECT_TRUE(bed::WaitForCard(bed::ReaderName(0), false, 1s));
    EXPECT_TRUE(bed::WaitForCard(bed::ReaderName(1), false, 1s));
    EXPECT_FALSE(bed::WaitForCard(bed::ReaderName(0), true, 300ms)) << "no card was inserted";
    EXPECT_FALSE(bed::WaitForCard("No Such Reader 00 00", true, 100ms));
}

TEST_F(OnBed, RulesFirstMatchWildcardsRandomAndFallback) {
    bed::SimCard card(bed::ParseCardScript(kCard), 0);
    card.Insert();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    EXPECT_GE(card.PowerOns(), 1u);
    Connection c(bed::ReaderName(0));
    ASSERT_EQ(c.Result(), SCARD_S_SUCCESS);
    EXPECT_EQ(c.Atr(), Hex("3B 02 14 50"));

    EXPECT_EQ(c.Transmit(Hex("00 A4 04 00 02 3F 00")), Hex("90 00"));
    EXPECT_EQ(c.Transmit(Hex("00 A4 02 0C")), Hex("6A 86"));
    EXPECT_EQ(c.Transmit(Hex("80 CA 9F 7F 00")), Hex("6D 00"));
    const auto first = c.Transmit(Hex("00 84 00 00 08"));
    const auto second = c.Transmit(Hex("00 84 00 00 08"));
    ASSERT_TRUE(first && second);
    ASSERT_EQ(first->size(), 10u);
    EXPECT_EQ(Bytes(first->end() - 2, first->end()), Hex("90 00"));
    EXPECT_NE(*first, *second) << "a challenge is random";

    const auto received = card.ReceivedApdus();
    ASSERT_EQ(received.size(), 5u);
    EXPECT_EQ(received[0], Hex("00 A4 04 00 02 3F 00"));
    EXPECT_EQ(received[2], Hex("80 CA 9F 7F 00"));
}

TEST_F(OnBed, DelayHoldsTheAnswerAndSetScriptTakesEffect) {
    bed::SimCard card(bed::ParseCardScript(kCard), 1);
    card.Insert();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(1), true));
    Connection c(bed::ReaderName(1));
    ASSERT_EQ(c.Result(), SCARD_S_SUCCESS);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Transmit(Hex("00 B0 00 00 02")), Hex("12 34 90 00"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);

    card.SetScript(bed::ParseCardScript("default 6E 00\n"));
    EXPECT_EQ(c.Transmit(Hex("00 A4 04 00 02 3F 00")), Hex("6E 00"));
    EXPECT_THROW(card.SetScript(bed::CardScript{{0x3B}, {bed::Rule{"00 B0 *", {}}}, {}}),
                 std::invalid_argument);
}

TEST_F(OnBed, DropEndsTheConnectionLikeAPulledCard) {
    bed::SimCard card(bed::ParseCardScript(kCard), 0);
    card.Insert();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    {
        Connection c(bed::ReaderName(0));
        ASSERT_EQ(c.Result(), SCARD_S_SUCCESS);
        // vpcd reports an APDU cut off this way as an answer of no bytes, or as a failure.
        const auto cut = c.Transmit(Hex("00 FF 00 00"));
        EXPECT_TRUE(!cut || cut->empty());
        EXPECT_FALSE(card.Inserted());
        EXPECT_TRUE(bed::WaitForCard(bed::ReaderName(0), false));
        LONG rv = SCARD_S_SUCCESS;
        EXPECT_EQ(c.Transmit(Hex("00 A4 04 00 01 00"), &rv), std::nullopt);
        EXPECT_NE(rv, SCARD_S_SUCCESS) << "the handle belongs to a pulled card";
    }
    EXPECT_EQ(card.ReceivedApdus().back(), Hex("00 FF 00 00"));
    // Put back in, it answers again.
    card.Insert();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    Connection again(bed::ReaderName(0));
    ASSERT_EQ(again.Result(), SCARD_S_SUCCESS);
    EXPECT_EQ(again.Transmit(Hex("00 A4 04 00 01 00")), Hex("90 00"));
}

TEST_F(OnBed, InsertAndRemoveAreSeenByPcsc) {
    bed::SimCard card(
        bed::ParseCardScript("atr 3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A\n"),
        1);
    for (int round = 0; round < 2; ++round) {
        card.Insert();
        EXPECT_TRUE(card.Inserted());
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(1), true)) << "round " << round;
        {
            Connection c(bed::ReaderName(1));
            ASSERT_EQ(c.Result(), SCARD_S_SUCCESS);
            EXPECT_EQ(c.Atr(), Hex("3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A"));
        }
        card.Remove();
        EXPECT_FALSE(card.Inserted());
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(1), false)) << "round " << round;
    }
    // Removing a removed card, or a second Insert, changes nothing.
    card.Remove();
    card.Insert();
    card.Insert();
    EXPECT_TRUE(bed::WaitForCard(bed::ReaderName(1), true));
}

// The card's delay is ten minutes: the removal returning at all, and the sender getting no
// answer, show that it did not wait for the delay.
TEST_F(OnBed, RemoveDuringADelayDoesNotWaitForIt) {
    bed::SimCard card(bed::ParseCardScript("apdu 00 B0 -> 90 00 delay 600000\n"), 0);
    card.Insert();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    std::optional<Bytes> answer;
    std::thread sender([&answer] {
        Connection c(bed::ReaderName(0));
        answer = c.Transmit(Hex("00 B0"));
    });
    // The card holds the APDU (and sits in its delay) once it has recorded it.
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    while (card.ReceivedApdus().empty() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(card.ReceivedApdus().size(), 1u);
    card.Remove();
    sender.join();
    EXPECT_TRUE(!answer || answer->empty()) << testing::PrintToString(answer);
}

TEST_F(OnBed, TransmitTimePerApdu) {
    bed::SimCard card(bed::ParseCardScript("apdu 00 B0 * -> 01 02 90 00\n"), 0);
    card.Insert();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    Connection c(bed::ReaderName(0));
    ASSERT_EQ(c.Result(), SCARD_S_SUCCESS);
    constexpr int kApdus = 1000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kApdus; ++i)
        ASSERT_EQ(c.Transmit(Hex("00 B0 00 00 02")), Hex("01 02 90 00"));
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    // A figure, not a check: the benchmark programs own speed.
    std::printf("[ figure   ] %d APDUs, %.3f ms per APDU\n", kApdus, took.count() / kApdus);
}

TEST(Pcscd, WithoutVpcdAnswersNoReaders) {
    if (!bed::InSandbox())
        GTEST_SKIP() << "needs testbed/sandbox";
    bed::PcscdOptions options;
    options.withVpcd = false;
    bed::Pcscd pcscd(options);
    EXPECT_EQ(bed::ListReaders().result, SCARD_E_NO_READERS_AVAILABLE);

    pcscd.Kill();
    SCARDCONTEXT context = 0;
    EXPECT_NE(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
              SCARD_S_SUCCESS)
        << "a killed pcscd leaves no service behind";
}

TEST(Pcscd, SixteenVpcdReadersEachWithItsOwnCard) {
    if (!bed::InSandbox())
        GTEST_SKIP() << "needs testbed/sandbox";
    bed::PcscdOptions options;
    options.vpcdReaders = bed::kMaxReaders;
    bed::Pcscd pcscd(options);

    const bed::ReaderList list = bed::ListReaders();
    ASSERT_EQ(list.result, SCARD_S_SUCCESS);
    std::vector<std::string> expected;
    for (int slot = 0; slot < bed::kMaxReaders; ++slot)
        expected.push_back(bed::ReaderName(slot));
    EXPECT_EQ(list.names, expected) << "the readers in slot order, the first two named as always";

    // Each reader reaches its own card, also when cards sit in readers of different driver
    // copies and in both slots of one: the answer names the slot.
    std::vector<std::unique_ptr<bed::SimCard>> cards;
    for (const int slot : {0, 1, 2, 7, 15}) {
        bed::CardScript script;
        script.rules.push_back({"00 B0 *", {static_cast<std::uint8_t>(slot), 0x90, 0x00}});
        cards.push_back(std::make_unique<bed::SimCard>(script, slot));
        cards.back()->Insert();
    }
    for (const int slot : {0, 1, 2, 7, 15}) {
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(slot), true)) << slot;
        Connection c(bed::ReaderName(slot));
        ASSERT_EQ(c.Result(), SCARD_S_SUCCESS) << slot;
        EXPECT_EQ(c.Transmit(Hex("00 B0 00 00 01")),
                  (Bytes{static_cast<std::uint8_t>(slot), 0x90, 0x00}));
    }
    EXPECT_TRUE(bed::WaitForCard(bed::ReaderName(3), false, 0ms)) << "slot 3 holds no card";

    options.extraReaderConf.push_back("FRIENDLYNAME \"one too many\"\n");
    EXPECT_THROW(bed::Pcscd{options}, std::invalid_argument);
}

// ---- The program runner

TEST(Run, FeedsInputAndCapturesBothStreams) {
    bed::RunOptions options;
    options.input = "one\ntwo\n";
    const bed::RunResult r = bed::Run({"/bin/sh", "-c", "cat; echo err >&2; exit 3"}, options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "one\ntwo\nerr\n");
}

TEST(Run, LargeInputAndOutputDoNotDeadlock) {
    bed::RunOptions options;
    options.input = std::string(1 << 20, 'a');
    options.timeout = 20s;
    const bed::RunResult r = bed::Run({"/bin/cat"}, options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.size(), options.input.size());
}

TEST(Run, ProgramThatStopsReadingEarly) {
    bed::RunOptions options;
    options.input = std::string(1 << 20, 'a');
    const bed::RunResult r = bed::Run({"/bin/sh", "-c", "head -c 3; echo; exit 0"}, options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "aaa\n");
}

TEST(Run, TimeoutKillsTheProgramAndWhatItStarted) {
    bed::RunOptions options;
    options.timeout = 300ms;
    const auto start = std::chrono::steady_clock::now();
    const bed::RunResult r =
        bed::Run({"/bin/sh", "-c", "echo started; sleep 600 & sleep 600"}, options);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.status, 128 + 9);
    EXPECT_EQ(r.out, "started\n");
    // Waiting for either sleep takes ten minutes; no load makes the kill take two.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 120s);
}

// The side action starts once the output shows the program waiting for it: here the program
// reads a FIFO that only the action writes. Output that never shows the text starts nothing.
TEST(Run, SideActionWaitsForItsText) {
    const auto dir = temptree::Make("bed-run");
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    bed::RunOptions options;
    options.workDir = dir.string();
    options.whenOutputHas = "waiting";
    options.whileRunning = [&] {
        std::ofstream(dir / "acted").put('\n');
        std::ofstream(fifo) << "written\n";
    };
    const char* script = "[ -e acted ] && echo early; echo still; echo waiting; cat fifo";
    EXPECT_EQ(bed::Run({"/bin/sh", "-c", script}, options).out, "still\nwaiting\nwritten\n");

    std::filesystem::remove(dir / "acted");
    options.whenOutputHas = "never";
    options.whileRunning = [&] { std::ofstream(dir / "acted").put('\n'); };
    EXPECT_EQ(bed::Run({"/bin/sh", "-c", "echo waiting"}, options).out, "waiting\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "acted"));
    temptree::Remove(dir);
}

TEST(Run, WorkDirWhileRunningSignalAndMissingProgram) {
    bed::RunOptions options;
    options.workDir = "/tmp";
    bool ran = false;
    options.whileRunning = [&ran] { ran = true; };
    EXPECT_EQ(bed::Run({"/bin/pwd"}, options).out, "/tmp\n");
    EXPECT_TRUE(ran);

    EXPECT_EQ(bed::Run({"/bin/sh", "-c", "kill -TERM $$"}, {}).status, 128 + 15);
    const bed::RunResult missing = bed::Run({"/no/such/program"}, {});
    EXPECT_EQ(missing.status, 127);
    EXPECT_NE(missing.out.find("cannot start"), std::string::npos);
}

TEST(Run, ProgramPathIsInTheBuildTree) {
    EXPECT_EQ(bed::ProgramPath(), bed::BuildPath("bin/quorvane"));
    EXPECT_NE(bed::ProgramPath().find("/bin/quorvane"), std::string::npos);
}

} // namespace
