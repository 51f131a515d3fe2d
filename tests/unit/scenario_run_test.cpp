// The scenario run against the CT-API test double: what is sent, how responses are judged, the
// failure lines and the report.
#include "menu/scenario/scenario_run.h"
#include "transcripts.h"

#include "menu/app/session.h"
#include "menu/ct/card_terminal.h"
#include "ctapi_double.h"
#include "menu/scenario/req_file.h"
#include "menu/scenario/time_stamps.h"
#include "std_streams.h"

#include <gtest/gtest.h>

#include <ctapi.h>
#include <ctime>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void Load(const std::string& text) {
    std::string copy = text;
    std::FILE* f = fmemopen(copy.data(), copy.size(), "r");
    ASSERT_NE(f, nullptr);
    teststd::CaptureStdout([&] { CTReadReqFile(f); });
}

using transcript::Report;

class ScenarioRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ctdouble::Reset();
        gnCtn = 0;
        gucSad = 2;
        gbKeyVal = 4;
        gpstStartTime = std::make_unique<TimeStamp>();
        gpstEndTime = std::make_unique<TimeStamp>();
    }
    void TearDown() override {
        gpstStartTime.reset();
        gpstEndTime.reset();
        gbKeyVal = 0;
    }
    static void Answer(std::int8_t result, Bytes response = {}) {
        ctdouble::state().answers.push_back({result, std::move(response)});
    }
};

TEST_F(ScenarioRun, SendsTheCommandToTheCardWithTheAgreedAddressesAndRoom) {
    Load("2,0 00 A4 04 00 02 3F 00\n>9000\n");
    gnCtn = 0x0103;
    gucSad = 2;
    EXPECT_EQ(teststd::CaptureStdout([] { EXPECT_EQ(OnTransmit(0), 1); }), "");
    ASSERT_EQ(ctdouble::state().dataCalls.size(), 1u);
    const ctdouble::DataCall& call = ctdouble::state().dataCalls[0];
    EXPECT_EQ(call.ctn, 0x03); // the low byte of the terminal number
    EXPECT_EQ(call.dad, 0);
    EXPECT_EQ(call.sad, 2);
    EXPECT_EQ(call.command, (Bytes{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}));
    EXPECT_EQ(call.room, 4096);
    EXPECT_EQ(gucSad, 2) << "the address the library writes back must not reach the global";
}

struct JudgeCase {
    const char* what;
    std::string response; // the ">" line, newline included
    std::int8_t result;
    Bytes received;
    int passed;
    std::string out;
};

class ScenarioJudge : public ScenarioRun, public ::testing::WithParamInterface<JudgeCase> {};

const std::string kMismatch = "\nError in Opening Log File";

TEST_P(ScenarioJudge, JudgesTheResponse) {
    const JudgeCase& c = GetParam();
    Load("2,0 00 B0 00 00 02\n" + c.response);
    Answer(c.result, c.received);
    int passed = -1;
    EXPECT_EQ(teststd::CaptureStdout([&] { passed = OnTransmit(0); }), c.out) << c.what;
    EXPECT_EQ(passed, c.passed) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScenarioJudge,
    ::testing::Values(
        JudgeCase{"equal", ">90 00\n", OK, {0x90, 0x00}, 1, ""},
        JudgeCase{"different", ">90 00\n", OK, {0x6A, 0x82}, 0, kMismatch},
        JudgeCase{"one byte differs", ">01 02 90 00\n", OK, {0x01, 0x03, 0x90, 0x00}, 0, kMismatch},
        JudgeCase{"wildcards match any 2 bytes", ">xx xx\n", OK, {0x6A, 0x82}, 1, ""},
        JudgeCase{
            "wildcards fail a longer response", ">xx xx\n", OK, {1, 2, 0x90, 0x00}, 0, kMismatch},
        JudgeCase{"shorter response fails", ">90 00\n", OK, {}, 0, kMismatch},
        JudgeCase{"a literal 78 is no wildcard", ">78 00\n", OK, {0x12, 0x00}, 0, kMismatch},
        JudgeCase{"a literal 78 matches 78", ">78 00\n", OK, {0x78, 0x00}, 1, ""},
        JudgeCase{"XX is a wildcard too", ">XX 00\n", OK, {0x12, 0x00}, 1, ""},
        JudgeCase{"single x is no wildcard", ">x0\n", OK, {0x00}, 0, kMismatch},
        JudgeCase{"single x gives its own byte", ">x0\n", OK, {0x80}, 1, ""},
        JudgeCase{"expected length 0 takes any response", ">\n", OK, {0x6A, 0x82}, 1, ""},
        JudgeCase{"expected length 0 takes an empty response", ">\n", OK, {}, 1, ""},
        JudgeCase{"missing response line: length 0", "\n", OK, {1, 2, 3}, 1, ""},
        JudgeCase{"transport failure",
                  ">90 00\n",
                  ERR_CT,
                  {},
                  0,
                  "\nFailure in SCardTransmit. Error 0xfffffff8"},
        JudgeCase{"too long for the room",
                  ">\n",
                  ERR_MEMORY,
                  {},
                  0,
                  "\nFailure in SCardTransmit. Error 0xfffffff5"},
        JudgeCase{"host failure",
                  ">90 00\n",
                  ERR_HTSI,
                  {},
                  0,
                  "\nFailure in SCardTransmit. Error 0xffffff80"},
        JudgeCase{"positive failure value",
                  ">90 00\n",
                  5,
                  {},
                  0,
                  "\nFailure in SCardTransmit. Error 0x5"}));

TEST_F(ScenarioRun, StampsTheTimeAroundTheTransmission) {
    Load("2,0 01\n>\n");
    const std::time_t before = std::time(nullptr);
    teststd::CaptureStdout([] { OnTransmit(0); });
    const std::time_t after = std::time(nullptr);
    for (const TimeStamp* t : {gpstStartTime.get(), gpstEndTime.get()}) {
        EXPECT_GE(t->time, before);
        EXPECT_LE(t->time, after);
        EXPECT_LT(t->millitm, 1000);
    }
}

TEST_F(ScenarioRun, RunsWithoutTimeStampRecordsAfterARefusedClose) {
    Load("2,0 01\n>9000\n");
    gpstStartTime.reset();
    gpstEndTime.reset();
    EXPECT_EQ(teststd::CaptureStdout(CTRunScenario), Report(1, 1, 0));
}

TEST_F(ScenarioRun, IndexOutsideTheTableFailsWithoutSending) {
    EXPECT_EQ(OnTransmit(-1), 0);
    EXPECT_EQ(OnTransmit(kMaxTests), 0);
    EXPECT_TRUE(ctdouble::state().dataCalls.empty());
}

TEST_F(ScenarioRun, NeedsALoadedScenario) {
    Load("2,0 01\n>9000\n");
    for (std::uint32_t state : {0u, 1u, 2u, 3u}) {
        gbKeyVal = state;
        EXPECT_EQ(teststd::CaptureStdout(CTRunScenario), "File Not Opened") << state;
    }
    EXPECT_TRUE(ctdouble::state().dataCalls.empty());
}

TEST_F(ScenarioRun, ReportsZeroTests) {
    Load("");
    EXPECT_EQ(teststd::CaptureStdout(CTRunScenario), Report(0, 0, 0));
    EXPECT_TRUE(ctdouble::state().dataCalls.empty());
}

TEST_F(ScenarioRun, RunsEveryTestInOrderAndCountsFailures) {
    Load("2,0 01\n>9000\n2,0 02\n>9000\n2,0 03\n>9000\n2,0 04\n>\n");
    Answer(OK, {0x90, 0x00});
    Answer(OK, {0x6A, 0x82});
    Answer(ERR_TRANS);
    Answer(OK, {0x6D, 0x00});
    EXPECT_EQ(teststd::CaptureStdout(CTRunScenario),
              kMismatch + "\nFailure in SCardTransmit. Error 0xfffffff6" + Report(4, 2, 2));
    const auto& calls = ctdouble::state().dataCalls;
    ASSERT_EQ(calls.size(), 4u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].command, Bytes{static_cast<std::uint8_t>(i + 1)});
    }
}

TEST_F(ScenarioRun, RepeatingARunSendsEverythingAgain) {
    Load("2,0 01\n>9000\n2,0 02\n>9000\n");
    const std::string first = teststd::CaptureStdout(CTRunScenario);
    const std::string second = teststd::CaptureStdout(CTRunScenario);
    EXPECT_EQ(first, Report(2, 2, 0));
    EXPECT_EQ(second, first);
    EXPECT_EQ(ctdouble::state().dataCalls.size(), 4u);
    EXPECT_EQ(gnCommand, 2);
    EXPECT_EQ(gbKeyVal, 4u);
}

} // namespace
