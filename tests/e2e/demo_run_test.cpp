// What `make run` starts on a machine without readers (scripts/run-quorvane): the program on the
// demo card in a bed of its own, walked as the README suggests, then ended with Ctrl-C.
#include "pty_screen.h"
#include "temp_tree.h"
#include "transcripts.h"

#include "bed/pcscd.h"
#include "bed_run.h"
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using ptyscreen::Screen;
using transcript::kPrompt;

namespace {

struct TempDir {
    fs::path path = temptree::Make("demo_run");
    TempDir() = default;
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() { temptree::Remove(path); }
};

TEST(DemoRun, TheReadmeWalkOnTheDemoCardAndCtrlCEndsItQuietly) {
    if (!bed::InSandbox()) {
        GTEST_SKIP() << "needs testbed/sandbox";
    }
    // Started from elsewhere: the program runs among the examples all the same.
    const TempDir elsewhere;
    ptyscreen::Options options;
    options.workDir = elsewhere.path.string();
    Screen run({bed::SourcePath("scripts/run-quorvane"), bed::BuildPath(".")}, options);
    const auto choose = [&](const std::string& keys, const std::string& expected) {
        const std::size_t mark = run.Output().size();
        run.Type(keys);
        return run.WaitForOutput(expected, mark, std::chrono::seconds(30)) &&
               run.WaitForOutput(kPrompt, mark + expected.size(), std::chrono::seconds(30));
    };

    ASSERT_TRUE(run.WaitForOutput(kPrompt, 0, std::chrono::seconds(60))) << run.Output();
    EXPECT_TRUE(choose("1\n1\n", "value of CT_init is 0\n")) << run.Output();
    EXPECT_TRUE(choose("2\n", "ATR Received :")) << run.Output();
    EXPECT_TRUE(choose("3\n", "ATR Received : 3B 88 ")) << run.Output();
    const fs::path examples = fs::canonical(bed::SourcePath("examples"));
    run.Type("4\n");
    ASSERT_TRUE(ptyscreen::SelectInBrowser(run, examples, "demo-pass.req")) << run.Text();
    EXPECT_TRUE(choose("", (examples / "demo-pass.req").string() + " opened (with 5 APDUs)\n"))
        << run.Output();
    EXPECT_TRUE(choose("5\n", transcript::Report(5, 5))) << run.Output();

    run.Type("\x03");
    EXPECT_EQ(run.Wait(std::chrono::seconds(30)), 0) << run.Output();
}

} // namespace
