// quorvane-run's readers each in a process of their own, on the test bed: a CT-API library that
// ends its process, crashes, overflows its stack or spins for ever in a call ends only its
// reader's run, the test it was in an error that names the library, the call and how it ended,
// the other reader's tests all run and the reports whole; a library that two threads must not
// enter at once passes on two readers.
#include "temp_tree.h"
#include "text_files.h"

#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kCard = "atr 3B 02 14 50\n"
                          "apdu 00 A4 00 0C 02 3F 00 -> 90 00\n"
                          "apdu 00 EE 00 00 -> 90 00\n";
// The library's fault is aimed at the third test's command (INS EE).
const std::string kTests = "# - Select\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n"
                           "# - Select again\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n"
                           "# - Aimed at\n2,0 00 EE 00 00\n> 90 00\n"
                           "# - After it\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n";

// Prints each test suite of a JUnit report with its counts, and each test case that did not
// pass with its outcome; fails on a report that is not whole XML.
const char* const kJUnitSummary = R"(
import sys, xml.etree.ElementTree as tree
for suite in tree.parse(sys.argv[1]).getroot().iter("testsuite"):
    counts = " ".join(k + "=" + suite.get(k) for k in ("tests", "failures", "errors", "skipped"))
    print(suite.get("name"), counts)
    for case in suite.iter("testcase"):
        for outcome in case:
            print("  " + case.get("name") + " " + outcome.tag + ": " + outcome.get("message"))
)";

class ReaderProcesses : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bed::InSandbox())
            GTEST_SKIP() << "needs testbed/sandbox";
        dir_ = temptree::Make("runner_process");
        pcscd_ = std::make_unique<bed::Pcscd>();
        for (int slot : {0, 1}) {
            cards_.push_back(std::make_unique<bed::SimCard>(bed::ParseCardScript(kCard), slot));
            cards_.back()->Insert();
            EXPECT_TRUE(bed::WaitForCard(bed::ReaderName(slot), true));
        }
        textfile::Write(dir_ / "faults.req", kTests);
    }
    void TearDown() override {
        cards_.clear();
        pcscd_.reset();
        temptree::Remove(dir_);
    }

    std::string Path(const char* name) const { return (dir_ / name).string(); }

    fs::path dir_;
    std::unique_ptr<bed::Pcscd> pcscd_;
    std::vector<std::unique_ptr<bed::SimCard>> cards_;
};

// Each way a library can end the process of reader 1 in CT_data at test 3, and in CT_init and
// CT_close; reader 2 runs through the same library untouched.
TEST_F(ReaderProcesses, ALibraryThatEndsItsProcessEndsOnlyItsReader) {
    const std::string library = CTAPI_CRASH;
    const std::string file = Path("faults.req");
    const std::string reader1 = " on reader 'Virtual PCD 00 00'\n";
    struct Case {
        std::string what;
        std::string call;              // CTAPI_CRASH_IN
        std::string fault;             // CTAPI_CRASH_SIGNAL
        std::string ended;             // how the library ended the process, as the run says it
        std::vector<std::string> more; // further arguments
        int status;
    };
    const Case cases[] = {
        {"_exit(0)", "CT_data", "EXIT0", "ended the process in CT_data (exit status 0)", {}, 1},
        {"exit(3)", "CT_data", "EXIT3", "ended the process in CT_data (exit status 3)", {}, 1},
        {"abort()", "CT_data", "ABORT", "crashed in CT_data (SIGABRT)", {}, 1},
        {"SIGSEGV", "CT_data", "SEGV", "crashed in CT_data (SIGSEGV)", {}, 1},
        {"a stack overflow", "CT_data", "STACK", "crashed in CT_data (SIGSEGV)", {}, 1},
        {"SIGSEGV on a thread of the library",
         "CT_data",
         "THREAD",
         "crashed in CT_data (SIGSEGV)",
         {},
         1},
        {"an endless loop", "CT_data", "LOOP", "", {"--timeout", "0.5"}, 1},
        {"_exit(0) in CT_init",
         "CT_init",
         "EXIT0",
         "ended the process in CT_init (exit status 0)",
         {},
         2},
        {"abort() in CT_close", "CT_close", "ABORT", "crashed in CT_close (SIGABRT)", {}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv = {"/usr/bin/env",
                                         "CTAPI_CRASH_IN=" + c.call,
                                         "CTAPI_CRASH_CTN=0",
                                         "CTAPI_CRASH_SIGNAL=" + c.fault,
                                         bed::BuildPath("bin/quorvane-run"),
                                         "--readers",
                                         "1,2",
                                         "--ctapi",
                                         library,
                                         "--junit",
                                         Path("report.xml")};
        argv.insert(argv.end(), c.more.begin(), c.more.end());
        argv.push_back(file);
        const bed::RunResult r = bed::Run(argv, {});
        ASSERT_FALSE(r.timedOut) << r.out;
        EXPECT_EQ(r.status, c.status) << r.out;
        // Said once, with the library, the call and the reader.
        if (!c.ended.empty()) {
            EXPECT_NE(
                r.out.find("quorvane-run: the CT-API library " + library + " " + c.ended + reader1),
                std::string::npos)
                << r.out;
        }
        EXPECT_EQ(textfile::Count(r.out, library), c.ended.empty() ? 0u : 1u) << r.out;
        if (c.call == "CT_init") {
            // Nothing was sent: a set-up error, no report.
            EXPECT_EQ(r.out.find("PASS"), std::string::npos) << r.out;
            EXPECT_FALSE(fs::exists(dir_ / "report.xml"));
            continue;
        }
        const bool inData = c.call == "CT_data";
        const std::string why = c.ended.empty() ? "no answer within 0.5 s (--timeout)"
                                                : "the CT-API library " + c.ended;
        const std::string notRun =
            c.ended.empty() ? "test 3 of " + file + " had no answer within 0.5 s"
                            : "the CT-API library " + c.ended.substr(0, c.ended.find(" (")) +
                                  " at test 3 of " + file;
        std::vector<std::string> lines = {"[2] 4 tests, 4 passed, 0 failed in "};
        if (inData) {
            lines.insert(lines.end(), {"[1] ERROR    3  Aimed at  ", "[1]            " + why + "\n",
                                       "[1] " + notRun + "; 1 test not run\n",
                                       "FAILED: 8 tests, 6 passed, 1 failed, 1 not run in "});
        } else {
            lines.push_back("PASSED: 8 tests, 8 passed, 0 failed in ");
        }
        for (const std::string& line : lines)
            EXPECT_NE(r.out.find(line), std::string::npos) << "missing: " << line << "\n" << r.out;

        // Both readers' suites whole in the report.
        const bed::RunResult junit =
            bed::Run({"/usr/bin/python3", "-c", kJUnitSummary, Path("report.xml")}, {});
        EXPECT_EQ(junit.status, 0) << junit.out;
        const std::string first = inData
                                      ? "Virtual PCD 00 00 tests=4 failures=0 errors=1 skipped=1\n"
                                        "  3 Aimed at error: " +
                                            why + "\n  4 After it skipped: " + notRun + "\n"
                                      : "Virtual PCD 00 00 tests=4 failures=0 errors=0 skipped=0\n";
        EXPECT_EQ(junit.out, first + "Virtual PCD 00 01 tests=4 failures=0 errors=0 skipped=0\n");
        fs::remove(dir_ / "report.xml");
    }
}

// A library that answers 6F 00 when two threads of one process are inside CT_data at once: each
// reader's calls come from a process of its own, so every test passes.
TEST_F(ReaderProcesses, ALibraryForOneThreadAtATimeServesTwoReaders) {
    std::string twelve;
    for (int i = 0; i < 12; ++i)
        twelve += "2,0 00 A4 00 0C 02 3F 00\n> 90 00\n";
    textfile::Write(dir_ / "twelve.req", twelve);
    const bed::RunResult r =
        bed::Run({bed::BuildPath("bin/quorvane-run"), "-q", "--readers", "1,2", "--ctapi",
                  CTAPI_ONE_THREAD, "--junit", Path("report.xml"), Path("twelve.req")},
                 {});
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("PASSED: 24 tests, 24 passed, 0 failed in "), std::string::npos) << r.out;
    const bed::RunResult junit =
        bed::Run({"/usr/bin/python3", "-c", kJUnitSummary, Path("report.xml")}, {});
    EXPECT_EQ(junit.status, 0) << junit.out;
    EXPECT_EQ(junit.out, "Virtual PCD 00 00 tests=12 failures=0 errors=0 skipped=0\n"
                         "Virtual PCD 00 01 tests=12 failures=0 errors=0 skipped=0\n");
}

} // namespace
