// quorvane-run's extended REQ lines end to end on the test bed: the shipped suites and examples
// on our library and the simulated cards, a vendor's library with one wrong answer, failures as
// written, bad spelling before anything is sent, records, time limits and baselines.
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

// A processor card with a file, a usage counter that another command shows changed, a slow
// command, and the echo command set.
const char* const kCard = "atr 3B 02 14 50\n"
                          "apdu 00 A4 00 0C 02 3F 00 -> 90 00\n"
                          "apdu 00 A4 04 00 * -> 6A 82\n"
                          "apdu 00 CA 01 01 00 -> 01 02 00 2A 90 00\n"
                          "apdu 00 CA 01 02 00 -> 01 02 00 2B 90 00\n"
                          "apdu 00 20 00 01 * -> 63 C3\n"
                          "apdu 00 84 00 00 08 -> random 8, 90 00\n"
                          "apdu 00 B0 00 00 01 -> 01 90 00 delay 30\n"
                          "echo\n";

using textfile::Count;

class ReqLangOnBed : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bed::InSandbox())
            GTEST_SKIP() << "needs testbed/sandbox";
        dir_ = temptree::Make("reqlang");
        pcscd_ = std::make_unique<bed::Pcscd>();
    }
    void TearDown() override {
        card_.reset();
        pcscd_.reset();
        temptree::Remove(dir_);
    }

    bed::SimCard& Insert(bed::CardScript script) {
        card_ = std::make_unique<bed::SimCard>(std::move(script), 0);
        card_->Insert();
        EXPECT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
        return *card_;
    }

    static bed::RunResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), bed::BuildPath("bin/quorvane-run"));
        return bed::Run(args, {});
    }

    std::string Path(const char* name) const { return (dir_ / name).string(); }

    std::string Write(const char* name, const std::string& text) const {
        textfile::Write(dir_ / name, text);
        return Path(name);
    }

    fs::path dir_;
    std::unique_ptr<bed::Pcscd> pcscd_;
    std::unique_ptr<bed::SimCard> card_;
};

void ExpectLines(const bed::RunResult& r, std::initializer_list<std::string> lines) {
    for (const std::string& line : lines)
        EXPECT_NE(r.out.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << r.out;
}

TEST_F(ReqLangOnBed, TheDemoExampleUsesEveryExtensionAndPasses) {
    Insert(bed::LoadCardScript(bed::SourcePath("testbed/cards/demo.card")));
    const bed::RunResult r = Run({bed::SourcePath("examples/demo-extensions.req")});
    EXPECT_EQ(r.status, 0) << r.out;
    ExpectLines(r, {"demo-extensions.req (22 tests)\n", "PASS     1  ATR well formed  ",
                    "PASS     3  Select MF  ",
                    "PASS    22  GET STATUS: the terminal has one functional unit, the card slot  ",
                    "PASSED: 22 tests, 22 passed, 0 failed"});
}

TEST_F(ReqLangOnBed, TheCtbcsSuitePassesOnOurLibraryAndNamesTheWrongAnswerOfAnother) {
    Insert(bed::ParseCardScript(kCard));
    const std::string suite = bed::SourcePath("examples/conformance/ctbcs.req");
    const bed::RunResult ours = Run({suite});
    EXPECT_EQ(ours.status, 0) << ours.out;
    ExpectLines(ours, {"PASSED: 48 tests, 48 passed, 0 failed"});

    const bed::RunResult vendor = Run({"-q", "--ctapi", CTAPI_ONE_WRONG, suite});
    EXPECT_EQ(vendor.status, 1) << vendor.out;
    EXPECT_EQ(Count(vendor.out, "FAIL "), 1u) << vendor.out;
    // Quiet: no "== FILE" block above a failure, so its line says where the test is.
    ExpectLines(vendor,
                {"FAIL  " + suite + ":124  37  Wrong P2 of GET STATUS: no such data object  ",
                 "           sent      20 13 00 47 00\n"
                 "           expected  6A 00\n"
                 "           received  90 00\n",
                 "FAILED: 48 tests, 47 passed, 1 failed"});

    // A reply from a unit that is neither the card nor the terminal is named as such.
    const bed::RunResult elsewhere =
        Run({"--ctapi", CTAPI_ONE_WRONG, Write("elsewhere.req", "2,0 00 EE 00 00\n> 90 00\n")});
    EXPECT_EQ(elsewhere.status, 1) << elsewhere.out;
    ExpectLines(elsewhere,
                {"           the reply came from source address 5, neither the card nor the "
                 "terminal\n"});
}

TEST_F(ReqLangOnBed, TheIso7816CasesSuitePassesOnTheEchoCard) {
    Insert(bed::ParseCardScript(kCard));
    const bed::RunResult r = Run({"-q", "--junit", Path("cases.xml"),
                                  bed::SourcePath("examples/conformance/iso7816-cases.req")});
    EXPECT_EQ(r.status, 0) << r.out;
    ExpectLines(r, {"PASSED: 859 tests, 859 passed, 0 failed"});
}

// Through a library that buffers 271 bytes, each sweep's first failure names the length where
// the limit lies.
TEST_F(ReqLangOnBed, TheIso7816CasesSuiteSaysWhereAReadersLimitLies) {
    Insert(bed::ParseCardScript(kCard));
    const bed::RunResult r = Run({"-q", "--ctapi", CTAPI_271_BYTES,
                                  bed::SourcePath("examples/conformance/iso7816-cases.req")});
    EXPECT_EQ(r.status, 1) << r.out;
    const auto first = [&](const std::string& sweep) {
        const std::size_t at = r.out.find(sweep);
        const std::size_t end = r.out.find("  ", at);
        return at == std::string::npos ? std::string("(none)") : r.out.substr(at, end - at);
    };
    EXPECT_EQ(first("command of "), "command of 265 data bytes (extended, 272 bytes in all)");
    EXPECT_EQ(first("response of "), "response of 270 data bytes (extended Le)");
    EXPECT_EQ(first("echo of "), "echo of 263 data bytes (extended)");
    EXPECT_NE(r.out.find("case 2 extended, Le 00 00 00: the card's most  "), std::string::npos)
        << r.out;
}

TEST_F(ReqLangOnBed, AFailureShowsWhatWasExpectedAsWrittenAndTheCaptures) {
    Insert(bed::ParseCardScript(kCard));
    const std::string file = Write("fail.req", "@quorvane-run 1\n"
                                               "# - Read the counter\n"
                                               "2,0 00 CA 01 01 00\n"
                                               "> 01 02 {uses:2} 90 00\n"
                                               "# - The counter again\n"
                                               "2,0 00 CA 01 02 00\n"
                                               "> 01 02 {uses} 90 00\n"
                                               "# - Either answer\n"
                                               "2,0 00 A4 04 00 02 A0 01\n"
                                               "> 90 00 | 62 83\n"
                                               "# - Tries in the low nibble\n"
                                               "2,0 00 20 00 01 02 31 32\n"
                                               "> 63 Dx\n"
                                               "# - A challenge of at least 16 bytes\n"
                                               "2,0 00 84 00 00 08\n"
                                               "> {challenge:16+} 90 00\n"
                                               "# - Echo the challenge\n"
                                               "2,0 80 E4 00 00 08 {challenge} 08\n"
                                               "> {challenge} 90 00\n"
                                               "# - A card's command sent to the terminal\n"
                                               "2,1 00 A4 00 0C 02 3F 00\n"
                                               "> 90 00\n");
    const std::size_t before = card_->ReceivedApdus().size();
    const bed::RunResult r = Run({"--junit", Path("report.xml"), file});
    EXPECT_EQ(r.status, 1) << r.out;
    ExpectLines(r, {"PASS     1  Read the counter  ", "FAIL     2  The counter again  ",
                    "           sent      00 CA 01 02 00\n"
                    "           expected  01 02 {uses} 90 00\n"
                    "           received  01 02 00 2B 90 00\n"
                    "                              ^^ response differs at byte 4\n"
                    "           captures  uses = 00 2A\n",
                    "FAIL     3  Either answer  ",
                    "           expected  90 00 | 62 83\n"
                    "           received  6A 82\n"
                    "           response matches none of the 2 alternatives\n",
                    "           expected  63 Dx\n"
                    "           received  63 C3\n"
                    "                        ^^ response differs at byte 2\n",
                    "FAIL     5  A challenge of at least 16 bytes  ",
                    "response differs at byte 11 (10 bytes received, at least 18 expected)\n",
                    "ERROR    6  Echo the challenge  ",
                    "           capture 'challenge' holds no value (the test that captures it did "
                    "not pass)\n",
                    "FAIL     7  A card's command sent to the terminal  ",
                    "           received  6E 00\n", "FAILED: 7 tests, 1 passed, 6 failed"});
    // Test 6 was not sent; the command to the terminal did not reach the card.
    EXPECT_EQ(card_->ReceivedApdus().size(), before + 5);
    const std::string junit = textfile::Read(dir_ / "report.xml");
    EXPECT_NE(junit.find("message=\"response matches none of the 2 alternatives\""),
              std::string::npos)
        << junit;
}

TEST_F(ReqLangOnBed, BadSpellingIsStatusTwoWithFileAndLineBeforeAnythingIsSent) {
    bed::SimCard& card = Insert(bed::ParseCardScript(kCard));
    Write("bad-include.req", "@quorvane-run 1\n2,0 00 A4 00 0C 02 3F 00\n> 90 0\n");
    struct Case {
        const char* what;
        std::string text;
        std::string says;
    };
    const Case cases[] = {
        {"odd digits", "@quorvane-run 1\n2,0 00 A4\n> 9 000\n",
         "case.req:3: '9' has an odd number of hex digits"},
        {"unknown capture", "@quorvane-run 1\n2,0 00 B0 00 00 {size}\n> 90 00\n",
         "case.req:2: unknown capture name 'size' (no earlier test captures it)"},
        {"unknown directive", "@quorvane-run 1\n@repeat 3\n", "case.req:2: unknown directive"},
        {"an included file's line", "@quorvane-run 1\n@include bad-include.req\n",
         "bad-include.req:3: '0' has an odd number of hex digits"},
        {"a missing include", "@quorvane-run 1\n@include nowhere.req\n",
         "case.req:2: cannot include "},
    };
    const std::size_t powerOns = card.PowerOns();
    for (const Case& c : cases) {
        const bed::RunResult r = Run({Write("case.req", c.text)});
        EXPECT_EQ(r.status, 2) << c.what << ":\n" << r.out;
        EXPECT_EQ(Count(r.out, "\n"), 1u) << c.what << ":\n" << r.out;
        EXPECT_NE(r.out.find("quorvane-run: " + (dir_ / "").string()), std::string::npos)
            << c.what << ":\n"
            << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << c.what << ":\n" << r.out;
    }
    EXPECT_TRUE(card.ReceivedApdus().empty());
    EXPECT_EQ(card.PowerOns(), powerOns) << "no reader was even opened";
}

TEST_F(ReqLangOnBed, ARecordKeepsTheExtensionsAndReplays) {
    Insert(bed::ParseCardScript(kCard));
    Write("select.req", "# - Select MF\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n");
    const std::string file = Write("suite.req", "@quorvane-run 1\n"
                                                "@include select.req\n"
                                                "# - Tries\n"
                                                "@time-limit 10 s\n"
                                                "2,0 00 20 00 01 02 31 32\n"
                                                "> 63 Cx\n"
                                                "# - Challenge\n"
                                                "2,0 00 84 00 00 08\n"
                                                "> {challenge:8} 90 00\n"
                                                "# - Echo\n"
                                                "2,0 80 E4 00 00 08 {challenge} 08\n"
                                                "> {challenge} 90 00\n"
                                                "# - Units\n"
                                                "2,1 20 13 00 81 00\n"
                                                "> 81 01 01 90 00\n"
                                                "# - Counter, recorded as received\n"
                                                "2,0 00 CA 01 01 00\n"
                                                "> xx xx 00 2A 90 00\n");
    const bed::RunResult first = Run({"--record", Path("golden.req"), file});
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(textfile::Read(dir_ / "golden.req"), "@quorvane-run 1\n"
                                                   "\n"
                                                   "# - Select MF\n"
                                                   "2,0 00 A4 00 0C 02 3F 00\n"
                                                   "> 90 00\n"
                                                   "\n"
                                                   "# - Tries\n"
                                                   "@time-limit 10 s\n"
                                                   "2,0 00 20 00 01 02 31 32\n"
                                                   "> 63 Cx\n"
                                                   "\n"
                                                   "# - Challenge\n"
                                                   "2,0 00 84 00 00 08\n"
                                                   "> {challenge:8} 90 00\n"
                                                   "\n"
                                                   "# - Echo\n"
                                                   "2,0 80 E4 00 00 08 {challenge} 08\n"
                                                   "> {challenge} 90 00\n"
                                                   "\n"
                                                   "# - Units\n"
                                                   "2,1 20 13 00 81 00\n"
                                                   "> 81 01 01 90 00\n"
                                                   "\n"
                                                   "# - Counter, recorded as received\n"
                                                   "2,0 00 CA 01 01 00\n"
                                                   "> xx xx 00 2A 90 00\n"
                                                   "\n"
                                                   "ATR 3B 02 14 50\n");
    const bed::RunResult replay = Run({Path("golden.req")});
    EXPECT_EQ(replay.status, 0) << replay.out;
    ExpectLines(replay, {"PASSED: 6 tests, 6 passed, 0 failed"});
}

TEST_F(ReqLangOnBed, TimeLimitsAndABaselineFailWithBothFigures) {
    Insert(bed::ParseCardScript(kCard));
    const std::string timed = "@quorvane-run 1\n"
                              "# - Slow read\n"
                              "@time-limit 5 ms\n"
                              "2,0 00 B0 00 00 01\n"
                              "> 01 90 00\n"
                              "# - Slow read with room\n"
                              "@time-limit 60 s\n"
                              "2,0 00 B0 00 00 01\n"
                              "> 01 90 00\n";
    const std::string file = Write("timed.req", timed);
    const bed::RunResult r = Run({"--junit", Path("first.xml"), file});
    EXPECT_EQ(r.status, 1) << r.out;
    ExpectLines(r, {"FAIL     1  Slow read  ", " ms, longer than its time limit of 5 ms\n",
                    "PASS     2  Slow read with room  "});

    // The same tests and a new one against that report, in which the second was far quicker.
    std::string report = textfile::Read(dir_ / "first.xml");
    const std::size_t at = report.find("time=\"", report.find("name=\"2 Slow read with room\""));
    ASSERT_NE(at, std::string::npos) << report;
    report.replace(at, report.find('"', at + 6) + 1 - at, "time=\"0.000010\"");
    const std::string baseline = Write("baseline.xml", report);
    Write("timed.req", timed + "# - New\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n");
    const bed::RunResult compared = Run({"--baseline", baseline, "--baseline-factor", "3", file});
    EXPECT_EQ(compared.status, 1) << compared.out;
    ExpectLines(compared,
                {"FAIL     2  Slow read with room  ",
                 " times its 0.010 ms in " + baseline + " (at most 3 times)\n", "PASS     3  New  ",
                 "baseline: 2 tests compared, 1 not in " + baseline + "\n"});

    // A baseline that is no JUnit report is a set-up error.
    const bed::RunResult broken = Run({"--baseline", Write("broken.xml", "<testsuites>"), file});
    EXPECT_EQ(broken.status, 2) << broken.out;
    EXPECT_NE(broken.out.find("is no JUnit report"), std::string::npos) << broken.out;
}

// Tests of the reset's ATR send nothing: by a pattern that captures the historical bytes for a
// later command, by the decoder's verdict, and failing as a response fails; a record keeps them.
TEST_F(ReqLangOnBed, AtrTestsJudgeTheResetsAtrAndCaptureFromIt) {
    bed::SimCard& card = Insert(bed::ParseCardScript(kCard));
    const std::string file = Write("atr.req", "@quorvane-run 1\n"
                                              "@atr well-formed\n"
                                              "# - The card's ATR, its history kept\n"
                                              "@atr 3B 02 {hist:2}\n"
                                              "# - The history echoed\n"
                                              "2,0 80 E4 00 00 02 {hist} 02\n"
                                              "> {hist} 90 00\n"
                                              "# - A card it is not\n"
                                              "@atr 3B 8x {*} | 3F {*}\n");
    const bed::RunResult r = Run({"--record", Path("golden.req"), file});
    EXPECT_EQ(r.status, 1) << r.out;
    ExpectLines(r, {"PASS     1  ATR  ", "PASS     2  The card's ATR, its history kept  ",
                    "PASS     3  The history echoed  ", "FAIL     4  A card it is not  ",
                    "           expected  3B 8x {*} | 3F {*}\n"
                    "           received  3B 02 14 50\n"
                    "           ATR matches none of the 2 alternatives\n",
                    "FAILED: 4 tests, 3 passed, 1 failed"});
    EXPECT_EQ(card.ReceivedApdus().size(), 1u) << "only the echo is sent";
    EXPECT_NE(textfile::Read(dir_ / "golden.req")
                  .find("# - ATR\n@atr well-formed\n\n# - The card's ATR, its history kept\n"
                        "@atr 3B 02 {hist:2}\n\n"),
              std::string::npos)
        << textfile::Read(dir_ / "golden.req");

    Insert(bed::ParseCardScript("atr 3B 80 01\necho\n"));
    const bed::RunResult malformed = Run({"--junit", Path("report.xml"), file});
    EXPECT_EQ(malformed.status, 1) << malformed.out;
    ExpectLines(malformed, {"FAIL     1  ATR  ", "           expected  a well-formed ATR\n"
                                                 "           received  3B 80 01\n"
                                                 "                              ^^ the ATR is not "
                                                 "well formed: TCK missing at byte 4: "});
    EXPECT_NE(textfile::Read(dir_ / "report.xml")
                  .find("message=\"the ATR is not well formed: TCK missing at byte 4: "),
              std::string::npos);
}

// The words that read captures and the templates, on the bed: a second challenge that must not
// repeat the first, a size from the FCP read back as a length, a record that says its own length,
// and one template matching the FCPs of two cards that order their data objects otherwise; a card
// that repeats its challenge, breaks the FCP's TLV and overstates a length fails each with the byte
// or the value.
TEST_F(ReqLangOnBed, CaptureWordsAndTemplatesOnCardsThatOrderTheirDataObjectsOtherwise) {
    const std::string file = Write("words.req", "@quorvane-run 1\n"
                                                "# - Challenge\n"
                                                "2,0 00 84 00 00 08\n"
                                                "> {first:8} 90 00\n"
                                                "# - Another challenge\n"
                                                "2,0 00 84 00 00 08\n"
                                                "> {!first} 90 00\n"
                                                "# - Select with FCP\n"
                                                "2,0 00 A4 02 04 02 2F 00 00\n"
                                                "> {tlv 62: 80 = {size:2}, 82 = 01, 83 = 2F 00, "
                                                "...} 90 00\n"
                                                "# - Read as many bytes as the FCP says\n"
                                                "2,0 00 B0 00 00 {size[1]}\n"
                                                "> {data:size} 90 00\n"
                                                "# - A record that says its length\n"
                                                "2,0 00 B2 01 04 00\n"
                                                "> {n:1} {record:n} 90 00\n");
    const std::string common = "apdu 00 B0 00 00 04 -> 01 02 03 04 90 00\n"
                               "apdu 00 B2 01 04 00 -> 03 AA BB CC 90 00\n";
    for (const char* fcp : {"62 0B 82 01 01 83 02 2F 00 80 02 00 04 90 00",
                            "62 0E 80 02 00 04 8A 01 05 83 02 2F 00 82 01 01 90 00"}) {
        Insert(bed::ParseCardScript("apdu 00 84 00 00 08 -> random 8, 90 00\n"
                                    "apdu 00 A4 02 04 02 2F 00 00 -> " +
                                    std::string(fcp) + "\n" + common));
        const bed::RunResult r = Run({file});
        EXPECT_EQ(r.status, 0) << fcp << "\n" << r.out;
        ExpectLines(r, {"PASSED: 5 tests, 5 passed, 0 failed"});
    }

    Insert(bed::ParseCardScript("apdu 00 84 00 00 08 -> 11 22 33 44 55 66 77 88 90 00\n"
                                "apdu 00 A4 02 04 02 2F 00 00 -> 62 0C 82 01 01 90 00\n"
                                "apdu 00 B2 01 04 00 -> 09 AA 90 00\n"));
    const bed::RunResult r = Run({file});
    EXPECT_EQ(r.status, 1) << r.out;
    ExpectLines(r, {"FAIL     2  Another challenge  ",
                    "           expected  {!first} 90 00\n"
                    "           received  11 22 33 44 55 66 77 88 90 00\n"
                    "                     ^^ response repeats the 8 bytes of 'first' at byte 1 "
                    "({!first} wants others)\n"
                    "           captures  first = 11 22 33 44 55 66 77 88\n",
                    "FAIL     3  Select with FCP  ",
                    "           received  62 0C 82 01 01 90 00\n"
                    "                        ^^ response is no well-formed BER-TLV at byte 2: the "
                    "value of 12 bytes runs past the end (5 bytes left)\n",
                    "ERROR    4  Read as many bytes as the FCP says  ",
                    "FAIL     5  A record that says its length  ",
                    "           received  09 AA 90 00\n"
                    "                        ^^ length capture 'n' holds 9 (09), more than the 3 "
                    "bytes left at byte 2\n",
                    "FAILED: 5 tests, 1 passed, 4 failed"});
}

// @get-response on and off hold for the tests after them whatever the command line says, and
// default goes back to what it says.
TEST_F(ReqLangOnBed, GetResponseForTheFollowingTestsOverridesTheCommandLine) {
    Insert(bed::ParseCardScript("apdu 00 B2 01 04 00 -> 61 04\n"
                                "apdu 00 C0 00 00 04 -> 01 02 03 04 90 00\n"));
    const std::string file = Write("follow.req", "@quorvane-run 1\n"
                                                 "@get-response on\n"
                                                 "# - Fetched\n"
                                                 "2,0 00 B2 01 04 00\n"
                                                 "> 01 02 03 04 90 00\n"
                                                 "@get-response off\n"
                                                 "# - Not fetched\n"
                                                 "2,0 00 B2 01 04 00\n"
                                                 "> 61 04\n"
                                                 "@get-response default\n"
                                                 "# - As the command line says\n"
                                                 "2,0 00 B2 01 04 00\n"
                                                 "> 61 04\n");
    const bed::RunResult plain = Run({file});
    EXPECT_EQ(plain.status, 0) << plain.out;
    const bed::RunResult fetching = Run({"--get-response", file});
    EXPECT_EQ(fetching.status, 1) << fetching.out;
    ExpectLines(fetching,
                {"PASS     1  Fetched  ", "PASS     2  Not fetched  ",
                 "FAIL     3  As the command line says  ", "FAILED: 3 tests, 2 passed, 1 failed"});
}

// A test that reads a capture without a value is not sent, and says which test left it so: one
// that failed, or one that passed through an alternative that does not capture it. A test that
// fails only on its time limit matched: its captures hold.
TEST_F(ReqLangOnBed, ACaptureWithoutValueSaysWhichTestLeftItSo) {
    Insert(bed::ParseCardScript(kCard));
    const std::string echo = "# - Echo it\n2,0 80 E4 00 00 02 {v} 02\n> {v} 90 00\n";
    struct Case {
        const char* what;
        std::string capturing; // test 1
        std::string says;
    };
    const Case cases[] = {
        {"another alternative", "2,0 00 A4 04 00 02 A0 01\n> {v:2} 90 00 | 6A 82\n",
         "           capture 'v' holds no value (test 1, which captures it, matched alternative "
         "2, which does not)\n"},
        {"a failure", "2,0 00 A4 04 00 02 A0 01\n> {v:2} 90 00\n",
         "           capture 'v' holds no value (the test that captures it did not pass)\n"},
        {"only its time limit", "@time-limit 1 us\n2,0 00 CA 01 01 00\n> 01 02 {v:2} 90 00\n",
         "PASS     2  Echo it  "},
    };
    for (const Case& c : cases) {
        const bed::RunResult r =
            Run({Write("capture.req", "@quorvane-run 1\n# - Capture\n" + c.capturing + echo)});
        EXPECT_EQ(r.status, 1) << c.what << ":\n" << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << c.what << ":\n" << r.out;
    }
}

} // namespace
