// quorvane-run end to end on the test bed: a real pcscd, the vpcd driver and our simulated cards,
// the runner as a user starts it, its JUnit report read back by a real consumer.
#include "pcsc_connection.h"
#include "pty_screen.h"
#include "temp_tree.h"
#include "text_files.h"

#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

const std::string kCard = "atr 3B 02 14 50\n"
                          "apdu 00 A4 00 0C 02 3F 00 -> 90 00\n"
                          "apdu 00 B0 00 00 02 -> 12 34 90 00\n"
                          "apdu 00 84 00 00 04 -> random 4, 90 00\n"
                          // T=0: the data fetched with GET RESPONSE, or asked again with Le
                          "apdu 00 B2 01 04 00 -> 61 04\n"
                          "apdu 00 C0 00 00 04 -> 01 02 03 04 90 00\n"
                          "apdu 00 CA 00 66 00 -> 6C 03\n"
                          "apdu 00 CA 00 66 03 -> 0A 0B 0C 90 00\n"
                          "apdu 00 FF 00 00 -> 90 00\n"
                          // more than the interactive program's 4096 bytes of response room
                          "apdu 00 B0 00 00 00 13 88 -> " +
                          Repeated("A5 ", 5000) + "90 00\n";

// Eight tests that can be sent: two fail on the card's answer.
const std::string kSendable = "# - Select MF\n"
                              "2,0 00 A4 00 0C 02 3F 00\n"
                              "> 90 00\n"
                              "# - Read binary <mismatch>\n"
                              "2,0 00 B0 00 00 02\n"
                              "> 12 35 90 00\n"
                              "# - Challenge\n"
                              "2,0 00 84 00 00 04\n"
                              "> xx xx xx xx 90 00\n"
                              "# - A literal 78 is no wildcard\n"
                              "2,0 00 B0 00 00 02\n"
                              "> 78 34 90 00\n"
                              "# - Any answer\n"
                              "2,0 00 DE AD 00 00\n"
                              "\n"
                              "# - Record by GET RESPONSE\n"
                              "2,0 00 B2 01 04 00\n"
                              "> 01 02 03 04 90 00\n"
                              "# - Data object with the right Le\n"
                              "2,0 00 CA 00 66 00\n"
                              "> 0A 0B 0C 90 00\n"
                              "# - Extended length\n"
                              "2,0 00 B0 00 00 00 13 88\n"
                              "> " +
                              Repeated("A5", 5000) + " 90 00\n";

// And two that the card does not answer: a CT-BCS command the terminal takes for itself even
// when sent to the card (GET STATUS), and one that cannot be sent.
const std::string kSuite = kSendable +
                           "# - Answered by the terminal\n"
                           "2,0 20 13 00 46 00\n"
                           "\n" +
                           "# - Longer than the CT-API carries\n"
                           "2,0 00 D6 00 00 00 FF FF " +
                           Repeated("00", 65535) +
                           "\n"
                           "> 90 00\n";

// Debian's Python, which finds Debian's python3-junitparser (a python3 earlier on PATH may not).
const char* const kDebianPython = "/usr/bin/python3";

// Reads a JUnit report with Debian's python3-junitparser and prints what a CI system sees.
const char* const kJUnitReader = R"(
import sys
from junitparser import JUnitXml, Failure, Error
for suite in JUnitXml.fromfile(sys.argv[1]):
    print(f"suite {suite.name} tests={suite.tests} failures={suite.failures} errors={suite.errors}")
    for case in suite:
        kinds = [f"{type(r).__name__}: {r.message}" for r in case.result]
        timed = "timed" if case.time > 0 else "untimed"
        print(f"  {case.classname} | {case.name} | {timed} | {'; '.join(kinds) or 'passed'}")
)";

std::string Runner() {
    return bed::BuildPath("bin/quorvane-run");
}

using textfile::Count;

class RunnerOnBed : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bed::InSandbox())
            GTEST_SKIP() << "needs testbed/sandbox";
        dir_ = temptree::Make("runner");
        pcscd_ = std::make_unique<bed::Pcscd>();
        textfile::Write(dir_ / "suite.req", kSuite);
        textfile::Write(dir_ / "sendable.req", kSendable);
    }
    void TearDown() override {
        cards_.clear();
        pcscd_.reset();
        temptree::Remove(dir_);
    }

    bed::SimCard& Insert(int slot, const std::string& script) {
        cards_.push_back(std::make_unique<bed::SimCard>(bed::ParseCardScript(script), slot));
        cards_.back()->Insert();
        EXPECT_TRUE(bed::WaitForCard(bed::ReaderName(slot), true));
        return *cards_.back();
    }

    static bed::RunResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), Runner());
        return bed::Run(args, {});
    }

    std::string Path(const char* name) const { return (dir_ / name).string(); }

    fs::path dir_;
    std::unique_ptr<bed::Pcscd> pcscd_;
    std::vector<std::unique_ptr<bed::SimCard>> cards_;
};

TEST_F(RunnerOnBed, SuiteVerdictsFailureDetailJUnitAndTrace) {
    Insert(0, kCard);
    const bed::RunResult r = Run({"--get-response", "--junit", Path("report.xml"), "--trace",
                                  Path("trace.txt"), Path("suite.req")});
    EXPECT_EQ(r.status, 1) << r.out;
    for (const char* line : {
             "reader 1 'Virtual PCD 00 00', ATR 3B 02 14 50\n",
             "PASS     1  Select MF  ",
             "FAIL     2  Read binary <mismatch>  ",
             // The first differing byte marked under the received bytes.
             "           sent      00 B0 00 00 02\n"
             "           expected  12 35 90 00\n"
             "           received  12 34 90 00\n"
             "                        ^^ response differs at byte 2\n",
             "PASS     3  Challenge  ",
             "FAIL     4  A literal 78 is no wildcard  ",
             "           expected  78 34 90 00\n",
             "PASS     5  Any answer  ",
             "PASS     6  Record by GET RESPONSE  ",
             "PASS     7  Data object with the right Le  ",
             "PASS     8  Extended length  ",
             "ERROR    9  Answered by the terminal  ",
             "           the terminal answered, not the card\n",
             "ERROR   10  Longer than the CT-API carries  ",
             "           command of 65542 bytes is longer than the CT-API can send (65535)\n",
             "FAILED: 10 tests, 6 passed, 4 failed in ",
             "; per exchange p50 ",
         }) {
        EXPECT_NE(r.out.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << r.out;
    }
    EXPECT_EQ(r.out.find("\033["), std::string::npos) << "no progress line into a pipe";

    // Every exchange in the trace, the T=0 follow-ups too.
    const std::string trace = textfile::Read(dir_ / "trace.txt");
    // The exchanges' lines, the ATR comment aside.
    EXPECT_EQ(Count(trace, " ms\n"), 11u) << "nothing sent for test 10\n" << trace;
    EXPECT_TRUE(trace.ends_with("\n# reader 1 ATR 3B 02 14 50\n")) << trace;
    EXPECT_NE(trace.find(" GET RESPONSE > 00 C0 00 00 04 < 01 02 03 04 90 00 result 0 from 0 "),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find(" Le corrected > 00 CA 00 66 03 < 0A 0B 0C 90 00 "), std::string::npos)
        << trace;

    const bed::RunResult junit =
        bed::Run({kDebianPython, "-c", kJUnitReader, Path("report.xml")}, {});
    ASSERT_EQ(junit.status, 0) << junit.out;
    EXPECT_EQ(junit.out, "suite Virtual PCD 00 00 tests=10 failures=2 errors=2\n"
                         "  reader1.suite | 1 Select MF | timed | passed\n"
                         "  reader1.suite | 2 Read binary <mismatch> | timed | "
                         "Failure: response differs at byte 2\n"
                         "  reader1.suite | 3 Challenge | timed | passed\n"
                         "  reader1.suite | 4 A literal 78 is no wildcard | timed | "
                         "Failure: response differs at byte 1\n"
                         "  reader1.suite | 5 Any answer | timed | passed\n"
                         "  reader1.suite | 6 Record by GET RESPONSE | timed | passed\n"
                         "  reader1.suite | 7 Data object with the right Le | timed | passed\n"
                         "  reader1.suite | 8 Extended length | timed | passed\n"
                         "  reader1.suite | 9 Answered by the terminal | timed | "
                         "Error: the terminal answered, not the card\n"
                         "  reader1.suite | 10 Longer than the CT-API carries | untimed | "
                         "Error: command of 65542 bytes is longer than the CT-API can send "
                         "(65535)\n");
}

TEST_F(RunnerOnBed, RecordedFileReplaysAgainstTheSameCard) {
    Insert(0, kCard);
    const bed::RunResult first =
        Run({"-q", "--get-response", "--record", Path("golden.req"), Path("sendable.req")});
    EXPECT_EQ(first.status, 1) << first.out;
    const std::string golden = textfile::Read(dir_ / "golden.req");
    EXPECT_NE(golden.find("# - Read binary <mismatch>\n2,0 00 B0 00 00 02\n> 12 34 90 00\n"),
              std::string::npos)
        << golden;
    EXPECT_NE(golden.find("> xx xx xx xx 90 00\n"), std::string::npos)
        << "a challenge stays a wildcard\n"
        << golden;

    // Replayed through a CT-API library loaded at run time: a copy of ours, another file, so the
    // loader cannot hand back the linked one.
    fs::copy_file(bed::BuildPath("lib/libctapi-pcsc.so.1"), dir_ / "libctapi-vendor.so");
    const bed::RunResult replay = Run({"--ctapi", Path("libctapi-vendor.so"), "--get-response",
                                       "--repeat", "2", Path("golden.req")});
    EXPECT_EQ(replay.status, 0) << replay.out;
    EXPECT_NE(replay.out.find("PASSED: 16 tests, 16 passed, 0 failed"), std::string::npos)
        << replay.out;
}

TEST_F(RunnerOnBed, TwoReadersAtOnceAndACardPulledFromOne) {
    const std::string steady = std::string(kCard);
    // The second card leaves the reader at the third test.
    const std::string pulled = "apdu 00 A4 00 0C 02 3F 00 -> 90 00\n"
                               "apdu 00 FF 00 00 -> drop\n";
    Insert(0, steady);
    Insert(1, pulled);
    textfile::Write(dir_ / "pull.req", "# - Select\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n"
                                       "# - Select again\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n"
                                       "# - Pull here\n2,0 00 FF 00 00\n> 90 00\n"
                                       "# - After the pull\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n");
    const bed::RunResult r =
        Run({"--readers", "1,2", "--junit", Path("report.xml"), Path("pull.req")});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("[2] ERROR    3  Pull here  "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[2]            CT_data answered ERR_TRANS (-10)\n"), std::string::npos)
        << r.out;
    // Said once; the reader's remaining test is not run.
    EXPECT_NE(r.out.find("[2] card lost at test 3 of " + Path("pull.req") + ": "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("(CT_data answered ERR_TRANS (-10)); 1 test not run\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(Count(r.out, "ERR_TRANS"), 2u) << r.out;
    EXPECT_EQ(r.out.find("[2] ERROR    4"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[1] 4 tests, 4 passed, 0 failed in "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[2] 4 tests, 2 passed, 1 failed, 1 not run in "), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("FAILED: 8 tests, 6 passed, 1 failed, 1 not run in "), std::string::npos)
        << r.out;

    const bed::RunResult junit =
        bed::Run({kDebianPython, "-c", kJUnitReader, Path("report.xml")}, {});
    ASSERT_EQ(junit.status, 0) << junit.out;
    EXPECT_NE(junit.out.find("suite Virtual PCD 00 00 tests=4 failures=0 errors=0\n"),
              std::string::npos)
        << junit.out;
    EXPECT_NE(junit.out.find("suite Virtual PCD 00 01 tests=4 failures=0 errors=1\n"),
              std::string::npos)
        << junit.out;
    EXPECT_NE(junit.out.find("| 3 Pull here | timed | Error: CT_data answered ERR_TRANS (-10)"),
              std::string::npos)
        << junit.out;
    EXPECT_NE(junit.out.find("| 4 After the pull | untimed | Skipped: card lost at test 3 of "),
              std::string::npos)
        << junit.out;
}

// Each reader's ATR as the core's decoder reads it: below its line with -v, a warning on standard
// error for one that is not well formed (the run goes on, its status its tests'), and both the ATR
// and its verdict among the properties of the reader's JUnit suite.
TEST_F(RunnerOnBed, TheReadersAtrsDecodedWarnedAboutAndReported) {
    Insert(0, kCard);
    Insert(1, "atr 3B 80 01\napdu 00 A4 00 0C 02 3F 00 -> 90 00\n");
    textfile::Write(dir_ / "select.req", "# - Select MF\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n");
    const std::string warning = "quorvane-run: [2] reader 2 'Virtual PCD 00 01': the ATR is not "
                                "well formed: TCK missing at byte 4: a protocol other than T=0 is "
                                "indicated, so a check byte ends the ATR\n";
    const bed::RunResult r =
        Run({"-v", "--readers", "1,2", "--junit", Path("report.xml"), Path("select.req")});
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char* line : {
             "[1] reader 1 'Virtual PCD 00 00', ATR 3B 02 14 50, no features\n"
             "[1]   ATR 3B 02 14 50\n"
             "[1]     byte 1   TS          3B  direct convention\n",
             "[1]     verdict: well formed\n",
             "[2] reader 2 'Virtual PCD 00 01', ATR 3B 80 01, no features\n"
             "[2]   ATR 3B 80 01\n"
             "[2]     byte 1   TS   3B  direct convention\n",
             "[2]     byte 3   TD1  01  protocol T=1 (blocks); Y2 = 0000: no interface bytes "
             "follow\n"
             "[2]     protocols: T=1\n"
             "[2]     verdict: TCK missing at byte 4: ",
             "PASSED: 2 tests, 2 passed, 0 failed",
         }) {
        EXPECT_NE(r.out.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << r.out;
    }
    EXPECT_EQ(Count(r.out, warning), 1u) << r.out;
    const std::string report = textfile::Read(dir_ / "report.xml");
    EXPECT_NE(report.find("<property name=\"atr\" value=\"3B 02 14 50\"/>\n"
                          "      <property name=\"atr-verdict\" value=\"well formed\"/>\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("<property name=\"atr\" value=\"3B 80 01\"/>\n"
                          "      <property name=\"atr-verdict\" value=\"TCK missing at byte 4: "),
              std::string::npos)
        << report;

    // Quiet, the warning still comes; without a reset there is no ATR to judge.
    const bed::RunResult quiet = Run({"-q", "--readers", "2", Path("select.req")});
    EXPECT_EQ(quiet.status, 0) << quiet.out;
    EXPECT_EQ(Count(quiet.out, "the ATR is not well formed"), 1u) << quiet.out;
    const bed::RunResult unreset =
        Run({"--no-reset", "--readers", "2", "--junit", Path("unreset.xml"), Path("select.req")});
    EXPECT_EQ(Count(unreset.out, "the ATR is not well formed"), 0u) << unreset.out;
    EXPECT_EQ(textfile::Read(dir_ / "unreset.xml").find("atr-verdict"), std::string::npos);
}

// Tests left unsent are counted and said, in the summary and as JUnit's skipped test cases;
// the repetitions never begun share one test case per test, and count as one in the summary.
TEST_F(RunnerOnBed, TestsNotRunAreCountedAndSkippedInJUnit) {
    Insert(0, kCard);
    const bed::RunResult r = Run({"--fail-fast", "--repeat", "3", "--junit", Path("report.xml"),
                                  "--record", Path("golden.req"), Path("sendable.req")});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("stopped at the first failure (--fail-fast); 14 tests not run\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("FAILED: 16 tests, 1 passed, 1 failed, 14 not run in "), std::string::npos)
        << r.out;

    const bed::RunResult junit =
        bed::Run({kDebianPython, "-c", kJUnitReader, Path("report.xml")}, {});
    ASSERT_EQ(junit.status, 0) << junit.out;
    EXPECT_NE(junit.out.find("suite Virtual PCD 00 00 tests=16 failures=1 errors=0\n"),
              std::string::npos)
        << junit.out;
    EXPECT_EQ(Count(junit.out, "| Skipped: stopped at the first failure (--fail-fast)\n"), 14u)
        << junit.out;
    EXPECT_NE(junit.out.find("| 3 Challenge | untimed | Skipped: "), std::string::npos)
        << junit.out;
    EXPECT_NE(junit.out.find("| 8 Extended length (runs 2 to 3) | untimed | Skipped: "),
              std::string::npos)
        << junit.out;
    const std::string xml = textfile::Read(dir_ / "report.xml");
    EXPECT_NE(xml.find(" skipped=\"14\" "), std::string::npos) << xml;
    EXPECT_EQ(xml.find(" skipped=\"0\" "), std::string::npos) << xml;

    // The record keeps the tests not run with their own expected responses.
    const std::string golden = textfile::Read(dir_ / "golden.req");
    EXPECT_NE(golden.find("# - Challenge\n2,0 00 84 00 00 04\n> xx xx xx xx 90 00\n"),
              std::string::npos)
        << golden;
    EXPECT_EQ(Count(golden, "2,0 "), 8u) << golden;
}

TEST_F(RunnerOnBed, ProgressLineOnATerminalIsGoneAtTheEnd) {
    Insert(0, kCard);
    ptyscreen::Options options;
    options.rows = 40;
    options.cols = 120;
    ptyscreen::Screen screen({Runner(), "--get-response", Path("sendable.req")}, options);
    ASSERT_EQ(screen.Wait(60s), 1) << screen.Output();
    EXPECT_NE(screen.Output().find("[8/8] 2 failed"), std::string::npos) << screen.Output();
    const std::string text = screen.Text();
    EXPECT_EQ(text.find("/8] "), std::string::npos) << "the progress line is cleared\n" << text;
    EXPECT_NE(text.find("PASS     8  Extended length  "), std::string::npos) << text;
    EXPECT_NE(text.find("FAILED: 8 tests, 6 passed, 2 failed in "), std::string::npos) << text;
}

TEST_F(RunnerOnBed, BadInputIsOneLineAndStatusTwo) {
    Insert(0, kCard);
    fs::create_directory(dir_ / "folder");
    textfile::Write(dir_ / "binary.req", std::string("2,0 00 A4\0\x01\x02", 12));
    const std::string suite = Path("suite.req");
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {"unknown option", {"--frobnicate", suite}, "unknown option --frobnicate"},
        {"no file", {}, "no REQ file given"},
        {"missing file", {Path("missing.req")}, "No such file or directory"},
        {"directory", {Path("folder")}, "it is a directory"},
        {"binary file", {Path("binary.req")}, "not a text file"},
        {"reader that does not exist", {"-r", "3", suite}, "no reader 3: there are 2"},
        {"ambiguous reader", {"--reader", "Virtual", suite}, "is ambiguous"},
        {"reader by an unknown name", {"--reader=Nowhere", suite}, "contains 'Nowhere'"},
        {"reader without a card", {"-r", "2", suite}, "no card in reader 'Virtual PCD 00 01'"},
        {"library that is not there", {"--ctapi", Path("missing.so"), suite}, "cannot load"},
        {"library without the functions",
         {"--ctapi", "libpcsclite.so.1", suite},
         "has no function CT_init"},
        {"repeat of nothing", {"--repeat", "0", suite}, "--repeat needs a count"},
        {"value missing", {suite, "--junit"}, "option --junit needs a value"},
        {"report that cannot be written",
         {"--junit", Path("folder/no/report.xml"), suite},
         "cannot write"},
        {"reader given twice", {"--readers", "1,PCD 00 00", suite}, "is given twice"},
    };
    for (const Case& c : cases) {
        const bed::RunResult r = Run(c.args);
        EXPECT_EQ(r.status, 2) << c.what << ":\n" << r.out;
        EXPECT_TRUE(r.out.starts_with("quorvane-run: ")) << c.what << ":\n" << r.out;
        EXPECT_EQ(Count(r.out, "\n"), 1u) << c.what << ":\n" << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << c.what << ":\n" << r.out;
    }

    // Beside them, the same reader by a part of its name runs a file of more tests than the
    // interactive program's table holds: status 0.
    textfile::Write(dir_ / "many.req", Repeated("2,0 00 A4 00 0C 02 3F 00\n> 90 00\n", 600));
    const bed::RunResult passing = Run({"-q", "-r", "PCD 00 00", Path("many.req")});
    EXPECT_EQ(passing.status, 0) << passing.out;
    EXPECT_TRUE(passing.out.starts_with("PASSED: 600 tests, 600 passed, 0 failed in "))
        << passing.out;

    cards_.front()->Remove();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), false));
    const bed::RunResult noCard = Run({suite});
    EXPECT_EQ(noCard.status, 2) << noCard.out;
    EXPECT_EQ(noCard.out, "quorvane-run: no card: none of the 2 readers holds one\n");
}

// The outputs as a lab or CI meets them, one shell line each, in a folder of its own holding a.req
// (the sendable tests), long.req (a command too long to send) and esc.req (a name with control
// characters). An output never destroys an input or one another, never replaces a link, is whole
// or absent, goes where its path leads (through a link, into a device or FIFO as it is written,
// into standard output as it stands), no report of an earlier run outlives a run that ends with
// status 2, and the report counts what the console counts.
TEST_F(RunnerOnBed, OutputsGoWhereTheyAreNamedWholeOrNotAtAll) {
    Insert(0, kCard);
    // run: quorvane-run, then "status N" on the standard output the row started with.
    const std::string prelude = "set -u\nexec 3>&1\n"
                                "run() { \"$RUNNER\" \"$@\"; echo \"status $?\" >&3; }\n";
    // Once the trace shows an exchange, the run is stopped by SIGTERM.
    const std::string stopped =
        "\"$RUNNER\" --repeat 1000000 --junit r.xml --trace t.txt a.req >/dev/null & p=$!\n"
        "until grep -qs . t.txt.partial-*; do sleep 0.01; done\n"
        "kill -TERM $p; wait $p; echo \"status $?\"\n";
    const std::string testsuites = "grep -o '<testsuites [^>]*>' r.xml\n";
    struct Case {
        const char* what;
        std::string script;
        std::vector<std::string> says;       // in the output
        std::vector<std::string> never = {}; // not in it
    };
    const std::vector<Case> cases = {
        // Never over an input or another output.
        {"junit over the input",
         "run --junit a.req a.req",
         {"status 2", "would overwrite the input"}},
        {"trace over the input",
         "run --trace a.req a.req",
         {"status 2", "would overwrite the input"}},
        {"record over the input",
         "run --record a.req a.req",
         {"status 2", "would overwrite the input"}},
        {"junit over a hard link to the input",
         "ln a.req linked.xml; run --junit linked.xml a.req",
         {"status 2", "would overwrite the input"}},
        {"a record over the CT-API library the run has loaded",
         "mkdir lib; cp \"$LIB\" lib/; LD_LIBRARY_PATH=lib run --record lib/libctapi-pcsc.so.1 "
         "a.req\ncmp -s \"$LIB\" lib/libctapi-pcsc.so.1 && echo the library is intact",
         {"status 2", "--record lib/libctapi-pcsc.so.1 would overwrite a file the run has loaded (",
          "the library is intact"}},
        {"two outputs, one file",
         "mkdir folder; run --junit same.xml --trace folder/../same.xml a.req\n"
         "test -e same.xml && echo same.xml left",
         {"status 2", "--junit and --trace name the same file"},
         {"same.xml left"}},
        {"an empty file name", "run --junit= a.req", {"status 2", "--junit needs a file name"}},
        {"trace to standard output", "run --trace - a.req", {"status 2", "only --junit writes to"}},
        // Written where the path leads.
        {"a link to standard output, a file",
         "ln -s /proc/self/fd/1 out; run -q --trace out a.req >log.txt\n"
         "test -L out && echo out is still a link; cat log.txt",
         {"status 1", "out is still a link", " reader 1 command > 00 A4 00 0C 02 3F 00 < 90 00 ",
          "FAILED: 8 tests, 4 passed, 4 failed in "}},
        {"/dev/stdout into a file, as an ordinary user",
         "chmod 711 ..; chmod 777 .\n"
         "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c "
         "'\"$RUNNER\" -q --trace /dev/stdout a.req >log.txt; echo \"status $?\"'; cat log.txt",
         {"status 1", " reader 1 command > 00 A4 00 0C 02 3F 00 < 90 00 ",
          "FAILED: 8 tests, 4 passed, 4 failed in "}},
        {"/dev/stdout into a pipe",
         "run -q --trace /dev/stdout a.req | cat",
         {"status 1", " reader 1 command > 00 A4 00 0C 02 3F 00 < 90 00 ", "FAILED: 8 tests"}},
        {"a report in standard output",
         "run --junit - a.req >out.xml 2>/dev/null; head -c 6 out.xml; echo; tail -c 14 out.xml",
         {"status 1\n<?xml \n</testsuites>\n"}},
        {"a link to a report",
         "echo old >real.xml; ln -s real.xml link.xml; run --junit link.xml a.req >/dev/null\n"
         "test -L link.xml && echo link.xml is still a link; head -c 6 real.xml",
         {"status 1", "link.xml is still a link\n<?xml "}},
        {"a link to a report not there yet",
         "mkdir sub; ln -s sub/new.txt dangling.txt; run --trace dangling.txt a.req >/dev/null\n"
         "test -L dangling.txt && echo still a link; grep -q ' reader 1 ' sub/new.txt && echo "
         "written through",
         {"status 1", "still a link\nwritten through"}},
        {"a FIFO that no program reads",
         "mkfifo lonely; run --trace lonely a.req",
         {"status 2", "cannot write lonely: no program reads the FIFO"}},
        // The reader is started beside the run and may open the FIFO a moment after it.
        {"a FIFO whose reader comes a moment later",
         "mkfifo late; run --trace late a.req >/dev/null & sleep 0.5; cat late >got.txt; wait\n"
         "grep -q ' reader 1 ' got.txt && echo streamed",
         {"status 1", "streamed"}},
        {"a link to a FIFO",
         "mkfifo fifo; ln -s fifo tofifo; cat fifo >got.txt & run --trace tofifo a.req >/dev/null\n"
         "wait; grep -q ' reader 1 ' got.txt && echo streamed; test -p fifo && echo still a FIFO",
         {"status 1", "streamed\nstill a FIFO"}},
        // Write errors.
        {"a folder that is not there",
         "run --junit folder/no/report.xml a.req",
         {"status 2", "cannot write folder/no/report.xml: No such file or directory"}},
        {"a full disk",
         "run --junit /dev/full a.req",
         {"status 2", "cannot write /dev/full: No space left"}},
        {"a full disk under the trace",
         "run --trace /dev/full a.req",
         {"status 2", "cannot write /dev/full: No space left on device"}},
        {"a closed standard output",
         "run a.req >&-",
         {"status 2", "cannot write standard output: Bad file descriptor"}},
        {"a standard output on a full disk",
         "run a.req >/dev/full",
         {"status 2", "cannot write standard output: No space left"}},
        // No report of an earlier run outlives a status 2; a golden file and an input stay.
        {"an earlier report, no card",
         "echo STALE >r.xml; echo STALE >t.txt; run -r 2 --junit r.xml --trace t.txt a.req\n"
         "cat r.xml t.txt",
         {"status 2", "no card in reader"},
         {"STALE"}},
        {"an earlier report, a file that is not there",
         "echo STALE >r.xml; run --junit r.xml nothere.req; cat r.xml",
         {"status 2", "cannot read nothere.req"},
         {"STALE"}},
        {"an earlier report, an unknown option after it",
         "echo STALE >r.xml; run --junit r.xml --bogus a.req; cat r.xml",
         {"status 2", "unknown option --bogus"},
         {"STALE"}},
        {"an earlier trace, an unknown option before it",
         "echo STALE >t.txt; run --bogus --trace t.txt a.req; cat t.txt",
         {"status 2", "unknown option --bogus"},
         {"STALE"}},
        {"an earlier trace, a baseline that is not there",
         "echo STALE >t.txt; run --trace t.txt --baseline no.xml a.req; cat t.txt",
         {"status 2", "cannot read the baseline no.xml"},
         {"STALE"}},
        {"an output that an unreadable file includes",
         "printf '@quorvane-run 1\\n@include inc.req\\n2,0 ZZ\\n' >main.req\n"
         "echo '2,0 00 A4 00 0C 02 3F 00' >inc.req; run --junit inc.req main.req; cat inc.req",
         {"status 2", "main.req:3", "2,0 00 A4 00 0C 02 3F 00"}},
        {"a golden file, an unknown option",
         "echo KEEP >g.req; run --record g.req --bogus a.req; cat g.req",
         {"status 2", "KEEP"}},
        // The report counts what the console counts.
        {"a run stopped by a signal",
         stopped + testsuites + "grep -c '<error message=\"stopped by SIGTERM\"' r.xml",
         {"status 143", " errors=\"1\" ", "\n1\n"}},
        {"--repeat with --fail-fast",
         "run -q --repeat 3 --fail-fast --junit r.xml a.req; " + testsuites,
         {"status 1", "FAILED: 16 tests, 1 passed, 1 failed, 14 not run in ", " tests=\"16\" ",
          " skipped=\"14\" "}},
        // What the console says.
        {"a baseline that is a folder",
         "mkdir adir; run --baseline adir a.req",
         {"status 2", "cannot read the baseline adir: it is a directory"}},
        {"a command too long to send",
         "run long.req",
         {"status 1", "           not sent  00 D6 00 00 00 FF FF 00 00 ",
          "; no exchange was timed\n"},
         {"           sent  ", "p50"}},
        {"a name with control characters",
         "run esc.req",
         {"status 1", "FAIL     1  Red \\x1B[31mtext\\x07  "},
         {"\033"}},
    };
    const std::string library = bed::BuildPath("lib/libctapi-pcsc.so.1");
    const std::string tooLong =
        "# - Too long\n2,0 00 D6 00 00 00 FF FF " + Repeated("00", 65535) + "\n> 90 00\n";
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        SCOPED_TRACE(c.what);
        const fs::path row = dir_ / ("row" + std::to_string(k));
        fs::create_directory(row);
        textfile::Write(row / "a.req", kSendable);
        textfile::Write(row / "long.req", tooLong);
        textfile::Write(row / "esc.req",
                        "# - Red \033[31mtext\a\n2,0 00 B0 00 00 02\n> 12 35 90 00\n");
        bed::RunOptions options;
        options.workDir = row.string();
        const bed::RunResult r = bed::Run({"/usr/bin/env", "RUNNER=" + Runner(), "LIB=" + library,
                                           "/bin/sh", "-c", prelude + c.script},
                                          options);
        ASSERT_FALSE(r.timedOut) << r.out;
        for (const std::string& text : c.says)
            EXPECT_NE(r.out.find(text), std::string::npos) << "missing: " << text << "\n" << r.out;
        for (const std::string& text : c.never)
            EXPECT_EQ(r.out.find(text), std::string::npos) << "there: " << text << "\n" << r.out;
        EXPECT_EQ(textfile::Read(row / "a.req"), kSendable);
        for (const auto& entry : fs::directory_iterator(row))
            EXPECT_EQ(entry.path().string().find(".partial-"), std::string::npos) << entry.path();
    }
}

// Runs a command; once the trace's temporary file holds COUNT lines, sends it SIGNAL (or "-":
// none). Prints "status N" as a shell would (128 + the signal for a run a signal ended).
const char* const kSignaller = R"(
import glob, signal, subprocess, sys, time
trace, count, name = sys.argv[1], int(sys.argv[2]), sys.argv[3]
run = subprocess.Popen(sys.argv[4:])
def lines():
    return sum(open(path, errors="replace").read().count("\n")
               for path in glob.glob(trace + ".partial-*"))
if name != "-":
    while run.poll() is None and lines() < count:
        time.sleep(0.01)
    if run.poll() is None:
        run.send_signal(getattr(signal, name))
status = run.wait()
print("status", 128 - status if status < 0 else status)
)";

// The faults a run meets, each as the run sees it: a mute card with a time limit, an ending
// signal while the card hangs (the limit off), a CT-API library that crashes in each call and
// with each fault, a card pulled. The run ends in every case, says what happened once, writes
// its reports whole with the tests it did not run, and ends with the status the fault gives.
TEST_F(RunnerOnBed, EveryFaultEndsTheRunWithItsReports) {
    const std::string select = "apdu 00 A4 00 0C 02 3F 00 -> 90 00\napdu 00 EE 00 00 -> 90 00\n";
    const std::string steady = "atr 3B 02 14 50\n" + select;
    const std::string file = Path("faults.req");
    textfile::Write(file, "# - Select\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n"
                          "# - Select again\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n"
                          "# - Aimed at\n2,0 00 EE 00 00\n> 90 00\n"
                          "# - After it\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n");
    const std::string library = CTAPI_CRASH;
    const std::string crashed = "quorvane-run: the CT-API library " + library + " crashed in ";
    struct Case {
        std::string what;
        std::string card;              // in reader 1; reader 2 holds the steady card
        std::vector<std::string> args; // before the file; "NAME=VALUE" ones go to the environment
        const char* signal;            // sent once the trace holds `traceLines`
        int status;
        std::vector<std::string> says;   // in the output
        std::vector<std::string> report; // in the JUnit report as read; none: no report
        std::size_t traceLines;
    };
    std::vector<Case> cases = {
        {"a mute card, another reader beside it",
         steady + "mute after 2\n",
         {"--readers", "1,2", "--timeout", "0.5"},
         "-",
         1,
         {"[1] ERROR    3  Aimed at  ", "[1]            no answer within 0.5 s (--timeout)\n",
          "[1] test 3 of " + file + " had no answer within 0.5 s; 1 test not run\n",
          "[2] 4 tests, 4 passed, 0 failed in ",
          "FAILED: 8 tests, 6 passed, 1 failed, 1 not run in "},
         {"suite Virtual PCD 00 00 tests=4 failures=0 errors=1\n",
          "| 3 Aimed at | timed | Error: no answer within 0.5 s (--timeout)\n",
          "| 4 After it | untimed | Skipped: test 3 of " + file + " had no answer within 0.5 s\n",
          "suite Virtual PCD 00 01 tests=4 failures=0 errors=0\n"},
         6},
        {"a card pulled",
         steady + "pull after 2\n",
         {},
         "-",
         1,
         {"ERROR    3  Aimed at  ",
          // removed or unpowered, as far as pcscd has seen it go
          "card lost at test 3 of " + file + ": the card ",
          " (CT_data answered ERR_TRANS (-10)); 1 test not run\n",
          "FAILED: 4 tests, 2 passed, 1 failed, 1 not run in "},
         {"suite Virtual PCD 00 00 tests=4 failures=0 errors=1\n",
          "| 4 After it | untimed | Skipped: card lost at test 3 of "},
         3},
        {"CT_init crashes",
         steady,
         {"CTAPI_CRASH_IN=CT_init", "--ctapi", library},
         "-",
         2,
         {crashed + "CT_init (SIGSEGV) on reader 'Virtual PCD 00 00'\nstatus 2\n"},
         {},
         0},
        {"CT_close crashes after the reports",
         steady,
         {"CTAPI_CRASH_IN=CT_close", "--ctapi", library},
         "-",
         2,
         {"PASSED: 4 tests, 4 passed, 0 failed in ",
          crashed + "CT_close (SIGSEGV) on reader 'Virtual PCD 00 00'\nstatus 2\n"},
         {"suite Virtual PCD 00 00 tests=4 failures=0 errors=0\n"},
         4},
        {"CT_init hangs",
         steady,
         {"CTAPI_CRASH_IN=CT_init", "CTAPI_CRASH_SIGNAL=HANG", "--timeout", "0.5", "--ctapi",
          library},
         "-",
         2,
         {"quorvane-run: the CT-API library " + library +
          " did not come back from CT_init within 0.5 s (--timeout) on reader 'Virtual PCD 00 "
          "00'\nstatus 2\n"},
         {},
         0},
        {"CT_close hangs after the reports",
         steady,
         {"CTAPI_CRASH_IN=CT_close", "CTAPI_CRASH_SIGNAL=HANG", "--timeout", "0.5", "--ctapi",
          library},
         "-",
         2,
         {"PASSED: 4 tests, 4 passed, 0 failed in ",
          " did not come back from CT_close within 0.5 s (--timeout) on reader "},
         {"suite Virtual PCD 00 00 tests=4 failures=0 errors=0\n"},
         4},
    };
    for (const char* fault : {"SEGV", "BUS", "ILL", "FPE"}) {
        const std::string sig = std::string("SIG") + fault;
        cases.push_back(
            {"CT_data crashes with " + sig,
             steady,
             {"CTAPI_CRASH_IN=CT_data", std::string("CTAPI_CRASH_SIGNAL=") + fault, "--ctapi",
              library},
             "-",
             1,
             {crashed + "CT_data (" + sig + ") on reader 'Virtual PCD 00 00'\n",
              "ERROR    3  Aimed at  ",
              "the CT-API library crashed in CT_data at test 3 of " + file + "; 1 test not run\n",
              "FAILED: 4 tests, 2 passed, 1 failed, 1 not run in "},
             {"| 3 Aimed at | timed | Error: the CT-API library crashed in CT_data (" + sig + ")\n",
              "| 4 After it | untimed | Skipped: the CT-API library crashed in CT_data at test 3"},
             2});
    }
    for (const auto& [name, number] : {std::pair{"SIGHUP", 1}, {"SIGINT", 2}, {"SIGTERM", 15}}) {
        cases.push_back(
            {std::string(name) + " while the card hangs",
             steady + "mute after 2\n",
             {"--readers", "1,2", "--timeout", "0"},
             name,
             128 + number,
             // The test the stop fell on is an error, so that the report alone shows it.
             {"[1] ERROR    3  Aimed at  ", "[1]            stopped by " + std::string(name) + "\n",
              "[1] stopped by " + std::string(name) + "; 1 test not run\n",
              "FAILED: 8 tests, 6 passed, 1 failed, 1 not run in "},
             {"suite Virtual PCD 00 00 tests=4 failures=0 errors=1\n",
              "| 3 Aimed at | untimed | Error: stopped by " + std::string(name) + "\n",
              "| 4 After it | untimed | Skipped: stopped by " + std::string(name) + "\n",
              "suite Virtual PCD 00 01 tests=4 failures=0 errors=0\n"},
             6});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A fresh pcscd for each: vpcd may still wait for the mute card of the row before.
        cards_.clear();
        pcscd_.reset();
        pcscd_ = std::make_unique<bed::Pcscd>();
        Insert(0, c.card);
        Insert(1, steady);
        std::vector<std::string> argv = {kDebianPython,
                                         "-c",
                                         kSignaller,
                                         Path("trace.txt"),
                                         std::to_string(c.traceLines),
                                         c.signal,
                                         "/usr/bin/env"};
        std::vector<std::string> args;
        for (const std::string& arg : c.args)
            (arg.find('=') != std::string::npos && arg[0] != '-' ? argv : args).push_back(arg);
        argv.push_back(Runner());
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(),
                    {"--junit", Path("report.xml"), "--trace", Path("trace.txt"), file});
        const bed::RunResult r = bed::Run(argv, {});
        ASSERT_FALSE(r.timedOut) << r.out;
        EXPECT_NE(r.out.find("status " + std::to_string(c.status) + "\n"), std::string::npos)
            << r.out;
        for (const std::string& line : c.says)
            EXPECT_NE(r.out.find(line), std::string::npos) << "missing: " << line << "\n" << r.out;
        EXPECT_EQ(Count(r.out, "card lost"), c.what == "a card pulled" ? 1u : 0u) << r.out;
        // A crash or a hang of the library is named with the library in one line.
        const bool faulty = std::ranges::find(c.args, "--ctapi") != c.args.end();
        EXPECT_EQ(Count(r.out, library), faulty ? 1u : 0u) << r.out;
        EXPECT_EQ(fs::exists(dir_ / "report.xml"), !c.report.empty()) << r.out;
        if (!c.report.empty() && fs::exists(dir_ / "report.xml")) {
            const bed::RunResult junit =
                bed::Run({kDebianPython, "-c", kJUnitReader, Path("report.xml")}, {});
            EXPECT_EQ(junit.status, 0) << junit.out;
            for (const std::string& line : c.report)
                EXPECT_NE(junit.out.find(line), std::string::npos) << line << "\n" << junit.out;
            // Written as the run went: each exchange that came back, one line each.
            EXPECT_EQ(Count(textfile::Read(dir_ / "trace.txt"), " ms\n"), c.traceLines);
        }
        for (const auto& entry : fs::directory_iterator(dir_))
            EXPECT_EQ(entry.path().string().find(".partial-"), std::string::npos) << entry.path();
        fs::remove(dir_ / "report.xml");
        fs::remove(dir_ / "trace.txt");
    }
}

// While an exchange is outstanding, the progress line names the test that waits for it.
TEST_F(RunnerOnBed, ProgressLineNamesTheTestThatHangs) {
    Insert(0, "apdu 00 A4 00 0C 02 3F 00 -> 90 00\nmute after 1\n");
    textfile::Write(dir_ / "hang.req", "# - Select\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n"
                                       "# - Hangs, with a name too long for the progress line\n"
                                       "2,0 00 A4 00 0C 02 3F 00\n> 90 00\n");
    ptyscreen::Options options;
    options.rows = 40;
    options.cols = 80;
    ptyscreen::Screen screen({Runner(), "--timeout", "0", Path("hang.req")}, options);
    // The name cut short, the file without its folder: the line stays one line.
    EXPECT_TRUE(screen.WaitForOutput(
        "[1/2] 0 failed, running 2 Hangs, with a name too long for ... of hang.req"))
        << screen.Output();
}

TEST_F(RunnerOnBed, ARunEndedBySignalLeavesNoHalfWrittenOutput) {
    Insert(0, kCard);
    const std::string sh = "'" + Runner() + "' --repeat 1000000 --junit '" + Path("report.xml") +
                           "' --trace '" + Path("trace.txt") + "' '" + Path("sendable.req") + "' ";
    // Not INT: the shell starts its background job with SIGINT ignored.
    for (const char* signal : {"HUP", "TERM"}) {
        // The signal comes once the trace shows an exchange, so that the run is mid-way.
        const bed::RunResult r =
            bed::Run({"/bin/sh", "-c",
                      sh + ">/dev/null & run=$!; until grep -qs . '" + Path("trace.txt") +
                          "'.partial-*; do sleep 0.01; done; kill -" + signal +
                          " $run; wait $run; echo status $?"},
                     {});
        EXPECT_FALSE(r.timedOut) << signal;
        EXPECT_NE(r.out.find(std::string("status ") + (signal[0] == 'H' ? "129" : "143")),
                  std::string::npos)
            << signal << ":\n"
            << r.out;
        // The run stopped: its report holds what ran and the rest as skipped, whole.
        EXPECT_TRUE(textfile::Read(dir_ / "report.xml").ends_with("</testsuites>\n")) << signal;
        EXPECT_NE(textfile::Read(dir_ / "report.xml").find("stopped by SIG"), std::string::npos)
            << signal;
        fs::remove(dir_ / "report.xml");
        for (const auto& entry : fs::directory_iterator(dir_))
            EXPECT_EQ(entry.path().string().find(".partial-"), std::string::npos)
                << signal << ": " << entry.path();
    }
}

// What the base rules read leniently or skip is reported with FILE:LINE, in JUnit too; --strict
// refuses it, and a file with nothing to test is no pass. Input that cannot end is refused.
TEST_F(RunnerOnBed, WhatTheRulesForgaveIsToldAndNothingTestedIsNoPass) {
    Insert(0, kCard);
    const std::string lenient = Path("lenient.req");
    // Test 2's inline comment makes an expected byte of its own: it fails on the card.
    textfile::Write(lenient, "# - Select MF\n2,0 00 A4 00 0C 02 3F 00\n\n> 90 00\n"
                             "# - Read binary\n2,0 00 B0 00 00 02\n> 12 34 90 00 # ok\n"
                             "@include other.req\n");
    const std::string empty = Path("empty.req");
    textfile::Write(empty, "# Nothing but comments\n\n# and a stray\n");
    const std::string told[] = {
        lenient + ":4: a \">\" line ignored: line 3 (blank) closed the test of line 2 without an "
                  "expected response",
        lenient + ":7: '#' in hex text takes a digit's place",
        lenient + ":8: an include, skipped without @quorvane-run 1"};
    const std::string select = "2,0 00 A4 00 0C 02 3F 00\n> 90 00\n";
    // An extended file that includes a base-rules file: what the rules read leniently there is
    // reported.
    textfile::Write(dir_ / "included.req", select + "2,0 00 A4 00 0C 02 3F 0\n> 90 00\n");
    const std::string includer = Path("includer.req");
    textfile::Write(includer, "@quorvane-run 1\n@include included.req\n");
    // A switch line with a blank before it reads as text: the file is a base-rules file.
    const std::string nearMiss = Path("near-miss.req");
    textfile::Write(nearMiss, " @quorvane-run 1\n" + select);
    const std::string nearMissSaid =
        nearMiss + ":1: looks like the switch \"@quorvane-run 1\" but is none";
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string input; // standard input, for /dev/stdin
        int status;
        std::vector<std::string> says;
    };
    const Case cases[] = {
        {"warned", {lenient}, "", 1, {told[0], told[1], told[2], "FAIL     2  Read binary  "}},
        {"strict",
         {"--strict", lenient},
         "",
         2,
         {told[0] + " (an error with --strict)\n", told[2] + " (an error with --strict)\n",
          "quorvane-run: 3 errors in the files given; nothing was sent\n"}},
        {"warned, and the run cannot start", {"-r", "9", lenient}, "", 2, {told[0], "no reader 9"}},
        {"strict, in an included file",
         {"--strict", includer},
         "",
         2,
         {Path("included.req") + ":3: an odd number of hex digits: the last one is dropped (an "
                                 "error with --strict)\n"}},
        {"no tests", {empty}, "", 2, {"quorvane-run: no tests in " + empty + "\n"}},
        {"no tests, one good file",
         {Path("sendable.req"), empty},
         "",
         2,
         {"no tests in " + empty + "\n", "1 error in the files given; nothing was sent"}},
        {"no tests allowed",
         {"--allow-empty", empty},
         "",
         0,
         {"quorvane-run: no tests in " + empty + "\n", "PASSED: 0 tests"}},
        {"a device that never ends",
         {"/dev/zero"},
         "",
         2,
         {"quorvane-run: cannot read /dev/zero: not a regular file, pipe or terminal\n"}},
        {"a folder", {dir_.string()}, "", 2, {"it is a directory"}},
        {"a near-miss switch line", {nearMiss}, "", 0, {nearMissSaid, "PASSED: 1 tests"}},
        {"a near-miss switch line, strict",
         {"--strict", nearMiss},
         "",
         2,
         {nearMissSaid, "(an error with --strict)\n"}},
        {"a pipe", {"/dev/stdin"}, select, 0, {"PASSED: 1 tests, 1 passed"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), Runner());
        bed::RunOptions options;
        options.input = c.input;
        const bed::RunResult r = bed::Run(args, options);
        EXPECT_EQ(r.status, c.status) << c.what << ":\n" << r.out;
        for (const std::string& line : c.says)
            EXPECT_NE(r.out.find(line), std::string::npos) << c.what << ": " << line << "\n"
                                                           << r.out;
        // Refused before any reader is opened: nothing was sent.
        EXPECT_EQ(r.out.find("reader 1 ") == std::string::npos, c.status == 2) << c.what << ":\n"
                                                                               << r.out;
    }

    // A pipe that never ends is read up to a bound, not into all memory.
    const bed::RunResult endless = bed::Run(
        {"/bin/sh", "-c", "yes '# a comment' | '" + Runner() + "' /dev/stdin; echo status $?"}, {});
    EXPECT_NE(endless.out.find("/dev/stdin: longer than 64 MiB, too long for a REQ file\n"),
              std::string::npos)
        << endless.out;
    EXPECT_NE(endless.out.find("status 2"), std::string::npos) << endless.out;

    // The warnings are the suite's system-err in JUnit.
    const bed::RunResult junit = Run({"-q", "--junit", Path("lenient.xml"), lenient});
    EXPECT_EQ(junit.status, 1) << junit.out;
    const std::string xml = textfile::Read(dir_ / "lenient.xml");
    EXPECT_NE(xml.find("<system-err>" + lenient + ":4: a &quot;&gt;&quot; line ignored: line 3"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find(told[1]), std::string::npos) << xml;
}

// T=0 with --get-response: a GET RESPONSE answered 6Cxx is asked again with Le xx (not the
// test's command), and a card that asks for more for ever is given up at the limit, said so.
TEST_F(RunnerOnBed, GetResponseAnsweredWrongLeAndACardThatNeverEnds) {
    Insert(0, "apdu 00 B2 02 04 00 -> 61 10\n"
              "apdu 00 C0 00 00 10 -> 6C 08\n"
              "apdu 00 C0 00 00 08 -> 11 22 33 44 55 66 77 88 90 00\n"
              "apdu 00 B2 02 04 08 -> 6A 82\n" // the command itself again: no such record
              "apdu 00 B2 03 04 00 -> 61 01\n"
              "apdu 00 C0 00 00 01 -> 61 01\n");
    textfile::Write(dir_ / "t0.req", "# - GET RESPONSE asked for too much\n2,0 00 B2 02 04 00\n"
                                     "> 11 22 33 44 55 66 77 88 90 00\n"
                                     "# - Always more\n2,0 00 B2 03 04 00\n> 90 00\n");
    const bed::RunResult r = Run(
        {"--get-response", "--trace", Path("t0.txt"), "--junit", Path("t0.xml"), Path("t0.req")});
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string limit = "the card still asked for more after 256 follow-ups (257 exchanges "
                              "sent in all); the test gave up there";
    for (const std::string& line : {std::string("PASS     1  GET RESPONSE asked for too much  "),
                                    std::string("FAIL     2  Always more  "), limit + "\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\nin:\n" << r.out;
    const std::string trace = textfile::Read(dir_ / "t0.txt");
    EXPECT_NE(trace.find(" GET RESPONSE > 00 C0 00 00 08 < 11 22 33 44 55 66 77 88 90 00 "),
              std::string::npos)
        << trace;
    EXPECT_EQ(Count(trace, "> 00 B2 02 04"), 1u) << "the command is sent once\n" << trace;
    EXPECT_EQ(Count(trace, "> 00 C0 00 00 01 < 61 01 "), 256u) << trace;
    EXPECT_NE(textfile::Read(dir_ / "t0.xml").find(limit), std::string::npos);
}

// JUnit stays well-formed for names XML cannot hold, and two files of one name in different
// folders (or one file given twice) keep their test cases apart.
TEST_F(RunnerOnBed, JUnitClassesApartAndNamesXmlCannotHold) {
    Insert(0, kCard);
    const std::string select = "2,0 00 A4 00 0C 02 3F 00\n> 90 00\n";
    fs::create_directories(dir_ / "a");
    fs::create_directories(dir_ / "b");
    textfile::Write(dir_ / "a" / "demo.req", "# - Odd \xEF\xBF\xBE and \xEF\xBF\xBF\n" + select);
    textfile::Write(dir_ / "b" / "demo.req", "# - Ctrl \x01 and \x1B\n" + select);
    const std::string a = (dir_ / "a" / "demo.req").string();
    const bed::RunResult r = Run({"-q", "--junit", Path("names.xml"), a,
                                  (dir_ / "b" / "demo.req").string(), a, Path("sendable.req")});
    EXPECT_EQ(r.status, 1) << r.out;
    const bed::RunResult junit =
        bed::Run({kDebianPython, "-c", kJUnitReader, Path("names.xml")}, {});
    ASSERT_EQ(junit.status, 0) << junit.out;
    for (const char* line : {"  reader1.a.demo | 1 Odd ??? and ??? | timed | passed\n",
                             "  reader1.b.demo | 1 Ctrl ? and ? | timed | passed\n",
                             "  reader1.a.demo.2 | 1 Odd ??? and ??? | timed | passed\n",
                             "  reader1.sendable | 1 Select MF | timed | passed\n"})
        EXPECT_NE(junit.out.find(line), std::string::npos) << line << "\nin:\n" << junit.out;
}

// A set-up error after the progress line showed starts on a line of its own: reader 2 is held
// by another program while reader 1 is ready.
TEST_F(RunnerOnBed, SetUpErrorOnATerminalStartsItsOwnLine) {
    Insert(0, kCard);
    Insert(1, kCard);
    const pcsctest::Connection holder(bed::ReaderName(1), SCARD_SHARE_EXCLUSIVE);
    ASSERT_EQ(holder.Result(), SCARD_S_SUCCESS);
    ptyscreen::Options options;
    options.rows = 24;
    options.cols = 120;
    ptyscreen::Screen screen({Runner(), "--readers", "1,2", Path("sendable.req")}, options);
    ASSERT_EQ(screen.Wait(60s), 2) << screen.Output();
    const std::string text = screen.Text();
    EXPECT_NE(text.find("\nquorvane-run: "), std::string::npos) << screen.Output();
    EXPECT_EQ(text.find("failedquorvane-run"), std::string::npos) << screen.Output();
}

// A long run's report goes to disk as the run goes, not into memory: a disk that fills up under
// it is said at the end with status 2, and neither a cut report nor a part of one is left.
TEST_F(RunnerOnBed, AReportThatOutgrowsItsDiskIsSaidNotCut) {
    Insert(0, kCard);
    const fs::path small = dir_ / "small";
    fs::create_directory(small);
    const bed::RunResult mounted =
        bed::Run({"/bin/mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", small.string()}, {});
    if (mounted.status != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << mounted.out;
    const std::string report = (small / "report.xml").string();
    const bed::RunResult r =
        Run({"-q", "--repeat", "200", "--junit", report, Path("sendable.req")});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("quorvane-run: cannot write " + report + ": No space left on device\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(fs::is_empty(small)) << "nothing left on the full disk";
    bed::Run({"/bin/umount", small.string()}, {});
}

// A record's tests as the REQ rules read a file in the form the record and these sources are
// written in: each command with its expected response (empty: any response passes), the hex
// digits without blanks.
std::vector<std::pair<std::string, std::string>> CommandsAndResponses(const std::string& text) {
    const auto digits = [](std::string hex) {
        std::erase(hex, ' ');
        return hex;
    };
    std::vector<std::pair<std::string, std::string>> tests;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("2,0 "))
            tests.emplace_back(digits(line.substr(4)), "");
        else if (line.starts_with("> ") && !tests.empty())
            tests.back().second = digits(line.substr(2));
    }
    return tests;
}

// A golden file is never looser than its source: whatever stops a test from getting the card's
// answer, the test keeps its own expected response, or the golden file that stood there stays.
TEST_F(RunnerOnBed, ARecordIsNeverLooserThanItsSource) {
    const std::string pulled = "apdu 00 A4 00 0C 02 3F 00 -> 90 00\n"
                               "apdu 00 FF 00 00 -> drop\n";
    const std::string pull = "# - Select\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n"
                             "# - Pull here\n2,0 00 FF 00 00\n> 90 00\n"
                             "# - After the pull\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n";
    const std::string unanswered = "# - Answered by the terminal\n2,0 20 13 00 46 00\n> 90 00\n"
                                   "# - Longer than the CT-API carries\n2,0 00 D6 00 00 00 FF FF" +
                                   Repeated(" 00", 65535) + "\n> 90 00\n";
    const std::string old = "# - An earlier recording\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n\n";
    struct Case {
        const char* what;
        std::string card;
        std::string source;
        std::vector<std::string> args; // before the source
        std::vector<std::size_t> keep; // tests (1-based) that keep their own expected response
        bool signal = false;           // a SIGTERM once the run is under way
    };
    const Case cases[] = {
        {"the card pulled", pulled, pull, {}, {2, 3}},
        {"--fail-fast", kCard, kSendable, {"--fail-fast"}, {3, 4, 5, 6, 7, 8}},
        {"answered by the terminal, or not sent", kCard, unanswered, {}, {1, 2}},
        {"a signal", kCard, kSendable, {"--repeat", "1000000"}, {}, true},
        {"a card that goes mute, past --timeout",
         "apdu 00 A4 00 0C 02 3F 00 -> 90 00\napdu 00 FF 00 00 -> mute\n",
         pull,
         {"--timeout", "0.5"},
         {2, 3}},
    };
    for (const Case& c : cases) {
        Insert(0, c.card);
        textfile::Write(dir_ / "source.req", c.source);
        textfile::Write(dir_ / "golden.req", old);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--get-response", "--trace", Path("trace.txt"), "--record",
                                 Path("golden.req"), Path("source.req")});
        bed::RunResult r;
        if (c.signal) {
            std::string sh = "'" + Runner() + "'";
            for (const std::string& arg : args)
                sh += " '" + arg + "'";
            // The signal comes once the trace shows an exchange, so that the run is mid-way.
            r = bed::Run({"/bin/sh", "-c",
                          sh + " >/dev/null & run=$!; until grep -qs . '" + Path("trace.txt") +
                              "'.partial-*; do sleep 0.01; done; kill -TERM $run; wait $run"},
                         {});
            EXPECT_FALSE(r.timedOut) << c.what;
        } else {
            r = Run(args);
            EXPECT_EQ(r.status, 1) << c.what << ":\n" << r.out;
        }
        const std::string golden = textfile::Read(dir_ / "golden.req");
        const auto source = CommandsAndResponses(c.source);
        const auto recorded = CommandsAndResponses(golden);
        ASSERT_EQ(recorded.size(), source.size()) << c.what << ":\n" << r.out;
        // Compared as truths: a failure message of 65535 bytes helps nobody.
        for (std::size_t k = 0; k < source.size(); ++k) {
            EXPECT_TRUE(recorded[k].first == source[k].first) << c.what << ", test " << k + 1;
            EXPECT_FALSE(!source[k].second.empty() && recorded[k].second.empty())
                << c.what << ", test " << k + 1 << " passes anything now";
        }
        for (const std::size_t k : c.keep) {
            EXPECT_TRUE(recorded[k - 1].second == source[k - 1].second)
                << c.what << ", test " << k << " does not keep its own expected response";
        }
        // Each case on a pcscd of its own: a reader that a run left mid-exchange is no concern of
        // the next case.
        cards_.clear();
        pcscd_.reset();
        pcscd_ = std::make_unique<bed::Pcscd>();
    }
}

} // namespace
