// The install test again on a machine whose PC/SC service runs and lists readers (a pcscd with
// the vpcd readers in the sandbox), as on the machines of most of our users.
#include <gtest/gtest.h>

#include "bed/pcscd.h"
#include "bed_run.h"

namespace {

TEST(InstallBesideService, InstalledLibraryAnswersWhileAPcscServiceListsReaders) {
    if (!bed::InSandbox())
        GTEST_SKIP() << "needs testbed/sandbox";
    const bed::Pcscd pcscd;
    bed::RunOptions options;
    options.timeout = std::chrono::minutes(8);
    const bed::RunResult run = bed::Run(
        {"bash", bed::SourcePath("tests/install/install_test.sh"), bed::BuildPath(".")}, options);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.out;
}

} // namespace
