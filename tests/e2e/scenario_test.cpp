// The scenario run against the simulated card, through our CT-API library, pcscd and vpcd:
// the program's own functions called in-process.
#include "menu/app/session.h"
#include "menu/ct/card_terminal.h"
#include "menu/scenario/req_file.h"
#include "menu/scenario/scenario_run.h"
#include "menu/scenario/time_stamps.h"
#include "std_streams.h"
#include "transcripts.h"

#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"
#include <gtest/gtest.h>

#include <ctapi.h>
#include <memory>
#include <string>
#include <vector>

namespace {

const char* const kCardScript = R"(
atr 3B 02 14 50
apdu 00 A4 04 00 xx * -> 90 00
apdu 00 B0 00 00 02 -> 12 34 90 00
apdu 00 84 00 00 08 -> random 8, 90 00
default 6D 00
)";

using transcript::Report;

const std::string kMismatch = "\nError in Opening Log File";

class ScenarioOnBed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!bed::InSandbox()) {
            return;
        }
        pcscd_ = std::make_unique<bed::Pcscd>();
        card_ = std::make_unique<bed::SimCard>(bed::ParseCardScript(kCardScript), 0);
        card_->Insert();
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
        const std::int8_t ctn = CT_init(0, 0);
        ASSERT_GE(ctn, 0) << "CT_init failed";
        gnCtn = static_cast<std::uint16_t>(ctn);
    }

    static void TearDownTestSuite() {
        if (pcscd_ != nullptr) {
            CT_close(static_cast<std::uint8_t>(gnCtn));
        }
        card_.reset();
        pcscd_.reset();
    }

    void SetUp() override {
        if (!bed::InSandbox()) {
            GTEST_SKIP() << "needs testbed/sandbox";
        }
        if (!card_->Inserted()) {
            card_->Insert();
            ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
        }
        ResetCard();
        gpstStartTime = std::make_unique<TimeStamp>();
        gpstEndTime = std::make_unique<TimeStamp>();
        gbKeyVal = 4;
    }

    void TearDown() override {
        gpstStartTime.reset();
        gpstEndTime.reset();
        gbKeyVal = 0;
    }

    // RESET ICC straight through the CT-API: card slot 1, the whole ATR back.
    static void ResetCard() {
        std::uint8_t command[] = {0x20, 0x10, 0x01, 0x01, 0x00};
        std::uint8_t dad = 1;
        std::uint8_t sad = 2;
        std::uint8_t response[64];
        std::uint16_t room = 33;
        ASSERT_EQ(CT_data(static_cast<std::uint8_t>(gnCtn), &dad, &sad, sizeof command, command,
                          &room, response),
                  OK);
    }

    static void Load(const std::string& text) {
        std::string copy = text;
        std::FILE* f = fmemopen(copy.data(), copy.size(), "r");
        ASSERT_NE(f, nullptr);
        teststd::CaptureStdout([&] { CTReadReqFile(f); });
    }

    static std::string Run() { return teststd::CaptureStdout(CTRunScenario); }

    static inline std::unique_ptr<bed::Pcscd> pcscd_;
    static inline std::unique_ptr<bed::SimCard> card_;
};

struct BedCase {
    const char* what;
    std::string req;
    std::string out;
};

class ScenarioCases : public ScenarioOnBed, public ::testing::WithParamInterface<BedCase> {};

TEST_P(ScenarioCases, JudgesTheCardsAnswer) {
    Load(GetParam().req);
    EXPECT_EQ(Run(), GetParam().out) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Card, ScenarioCases,
    ::testing::Values(
        BedCase{"equal", "2,0 00 B0 00 00 02\n>12 34 90 00\n", Report(1, 1, 0)},
        BedCase{"one byte differs", "2,0 00 B0 00 00 02\n>12 35 90 00\n",
                kMismatch + Report(1, 0, 1)},
        BedCase{"length mismatch", "2,0 00 B0 00 00 02\n>12 34 90 00 00\n",
                kMismatch + Report(1, 0, 1)},
        BedCase{"wildcards over random bytes",
                "#Get challenge\n2,0 00 84 00 00 08\n>xx xx xx xx xx xx xx xx 90 00\n",
                Report(1, 1, 0)},
        BedCase{"wildcards fail a longer answer", "2,0 00 84 00 00 08\n>xx xx 90 00\n",
                kMismatch + Report(1, 0, 1)},
        BedCase{"expected length 0", "2,0 00 B0 00 00 02\n>\n2,0 00 CA 00 00\n\n", Report(2, 2, 0)},
        BedCase{"continued response", "2,0 00 B0 00 00 02\n>12 \\\r\n34 90 00\r\n",
                Report(1, 1, 0)},
        BedCase{"no tests", "# nothing but a name\n", Report(0, 0, 0)},
        BedCase{"a literal 78 is no wildcard", "2,0 00 B0 00 00 02\n>78 34 90 00\n",
                kMismatch + Report(1, 0, 1)},
        // A command line longer than any line buffer still meets its own response line.
        BedCase{"long line, its response still judged",
                "2,0 00 B0 00 00 02" + std::string(70000, ' ') + "\n>12 35 90 00\n",
                kMismatch + Report(1, 0, 1)}));

TEST_F(ScenarioOnBed, MixedScenarioSendsEveryCommandInOrder) {
    Load("# - Select\n1,2,0: 00 A4 04 00 02 3F 00\n> 90 00\n"
         "2,0 00 B0 00 00 02\n>6A 82\n"
         "2,0 00 84 00 00 08\n>xx xx xx xx xx xx xx xx 90 00\n"
         "2,0 80 CA 9F 7F 00\n>6D 00\n");
    const std::size_t before = card_->ReceivedApdus().size();
    EXPECT_EQ(Run(), kMismatch + Report(4, 3, 1));
    const std::vector<bed::Bytes> apdus = card_->ReceivedApdus();
    ASSERT_EQ(apdus.size(), before + 4);
    EXPECT_EQ(apdus[before + 0], qv::FromHex("00 A4 04 00 02 3F 00"));
    EXPECT_EQ(apdus[before + 1], qv::FromHex("00 B0 00 00 02"));
    EXPECT_EQ(apdus[before + 2], qv::FromHex("00 84 00 00 08"));
    EXPECT_EQ(apdus[before + 3], qv::FromHex("80 CA 9F 7F 00"));
}

TEST_F(ScenarioOnBed, RemovedCardIsATransportFailureAndTheRunGoesOn) {
    Load("2,0 00 B0 00 00 02\n>12 34 90 00\n2,0 00 B0 00 00 02\n>12 34 90 00\n");
    card_->Remove();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), false));
    const std::string out = Run();
    const std::string failure = "\nFailure in SCardTransmit. Error 0x";
    ASSERT_EQ(out.rfind(failure, 0), 0u) << out;
    // Negative CT-API results print sign-extended: eight digits, starting with ffffff.
    EXPECT_EQ(out.substr(failure.size(), 6), "ffffff") << out;
    // The second test is still sent; it fails one way or the other.
    const std::string rest = out.substr(failure.size() + 8);
    EXPECT_TRUE(rest.starts_with(failure) || rest.starts_with(kMismatch)) << out;
    EXPECT_TRUE(out.ends_with(Report(2, 0, 2))) << out;
}

TEST_F(ScenarioOnBed, RunsAfterTheTimeStampRecordsWereReleased) {
    Load("2,0 00 B0 00 00 02\n>12 34 90 00\n");
    gpstStartTime.reset();
    gpstEndTime.reset();
    EXPECT_EQ(Run(), Report(1, 1, 0));
}

} // namespace
