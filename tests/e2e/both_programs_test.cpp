// The shipped base-rules examples through both programs on the demo card: the interactive
// program's own reader and run (called in-process) and quorvane-run give the same verdicts.
#include "menu/app/session.h"
#include "menu/ct/card_terminal.h"
#include "menu/scenario/req_file.h"
#include "menu/scenario/scenario_run.h"
#include "menu/scenario/time_stamps.h"
#include "std_streams.h"
#include "transcripts.h"

#include "bed/sim_card.h"
#include "bed/pcscd.h"
#include "bed_run.h"
#include <gtest/gtest.h>

#include <ctapi.h>
#include <memory>
#include <string>

namespace {

struct Verdicts {
    int tests = 0, passed = 0, failed = 0;
    bool operator==(const Verdicts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Verdicts& v) {
    return out << v.tests << " tests, " << v.passed << " passed, " << v.failed << " failed";
}

// The menu program: CT_init, RESET ICC, the file loaded and run as choices 4 and 5 do.
Verdicts MenuProgram(const std::string& path, std::string& out) {
    Verdicts v;
    const std::int8_t ctn = CT_init(0, 0);
    EXPECT_EQ(ctn, 0);
    gnCtn = 0;
    std::uint8_t resetIcc[] = {0x20, 0x11, 0x01, 0x01, 0x00};
    std::uint8_t dad = 1, sad = 2, atr[64];
    std::uint16_t room = sizeof atr;
    EXPECT_EQ(CT_data(0, &dad, &sad, sizeof resetIcc, resetIcc, &room, atr), OK);
    std::FILE* file = std::fopen(path.c_str(), "r");
    EXPECT_NE(file, nullptr) << path;
    if (file != nullptr) {
        teststd::CaptureStdout([&] { CTReadReqFile(file); });
        gpstStartTime = std::make_unique<TimeStamp>();
        gpstEndTime = std::make_unique<TimeStamp>();
        gbKeyVal = 4;
        out = teststd::CaptureStdout(CTRunScenario);
        gpstStartTime.reset();
        gpstEndTime.reset();
        gbKeyVal = 0;
    }
    CT_close(0);
    const auto number = [&](const std::string& label) {
        const std::size_t at = out.find(label);
        return at == std::string::npos ? -1 : std::stoi(out.substr(at + label.size()));
    };
    v.tests = number("Total no of Tests\t:");
    v.passed = number("No of Tests Passed\t:");
    v.failed = number("No of Tests Failed\t:");
    return v;
}

Verdicts Runner(const std::string& path, std::string& out) {
    const bed::RunResult r = bed::Run({bed::BuildPath("bin/quorvane-run"), "-q", path}, {});
    out = r.out;
    Verdicts v;
    const std::size_t at = out.rfind("ED: "); // PASSED: or FAILED:, the summary
    if (at != std::string::npos &&
        std::sscanf(out.c_str() + at + 4, "%d tests, %d passed, %d failed", &v.tests, &v.passed,
                    &v.failed) == 3) {
        EXPECT_EQ(r.status, v.failed == 0 ? 0 : 1) << out;
    }
    return v;
}

TEST(BothPrograms, TheBaseRulesExamplesGetTheSameVerdicts) {
    if (!bed::InSandbox())
        GTEST_SKIP() << "needs testbed/sandbox";
    bed::Pcscd pcscd;
    bed::SimCard card(bed::LoadCardScript(bed::SourcePath("testbed/cards/demo.card")), 0);
    card.Insert();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    for (const char* example :
         {"examples/demo-pass.req", "examples/demo-fail.req", "examples/demo-select-mf.req"}) {
        const std::string path = bed::SourcePath(example);
        std::string menuOut, runnerOut;
        const Verdicts menu = MenuProgram(path, menuOut);
        const Verdicts runner = Runner(path, runnerOut);
        EXPECT_GT(menu.tests, 0) << example << "\n" << menuOut;
        EXPECT_EQ(menu, runner) << example << "\nmenu:\n" << menuOut << "\nrunner:\n" << runnerOut;
    }
}

} // namespace
