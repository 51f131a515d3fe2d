// The REQ language of quorvane-run: every extension with a case that passes and one that fails,
// the error line of each kind of bad spelling, the lines only quorvane-run reads, and base-rules
// files read to exactly what the base reader gives.
#include "req/match.h"
#include "req/req_reader.h"
#include "req/req_script.h"
#include "req/test_verdict.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using qv::Bytes;

Bytes Hex(std::string_view text) {
    Bytes bytes;
    std::string digits;
    for (const char c : text) {
        if (c != ' ')
            digits += c;
    }
    for (std::size_t k = 0; k + 1 < digits.size(); k += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(k, 2), nullptr, 16)));
    return bytes;
}

const std::string kRunOnly = "@quorvane-run 1\n";

// A file of the source tree, whole.
std::string ReadWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot open");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Included files by name; any other name cannot be read.
qv::IncludeReader Files(std::map<std::string, std::string> files) {
    return [files = std::move(files)](const std::string& path) {
        const auto found = files.find(path);
        if (found == files.end())
            throw std::runtime_error("No such file or directory");
        return found->second;
    };
}

qv::Script Parse(const std::string& text, std::map<std::string, std::string> files = {}) {
    return qv::ParseScript("suite/main.req", text, Files(std::move(files)));
}

TEST(ReqLanguage, EachExtensionMatchesWhatItSaysAndFailsTheRest) {
    struct Case {
        const char* what;
        const char* pattern;
        const char* received;
        bool matches;
        const char* why; // when it does not match
    };
    const Case cases[] = {
        {"status word alone", "{*} 90 00", "01 02 03 90 00", true, ""},
        {"status word alone, another", "{*} 90 00", "01 02 03 6A 82", false,
         "response differs at byte 4"},
        {"status word alone, no data", "{*} 90 00", "90 00", true, ""},
        {"at least N bytes", "{4+} 90 00", "01 02 03 04 05 90 00", true, ""},
        {"at least N bytes, fewer", "{4+} 90 00", "01 02 90 00", false,
         "response differs at byte 5 (4 bytes received, at least 6 expected)"},
        {"any N bytes", "{2} 90 00", "AB CD 90 00", true, ""},
        {"any N bytes, more", "{2} 90 00", "AB CD EF 90 00", false,
         "response differs at byte 3 (5 bytes received, 4 expected)"},
        {"a range", "{2..3} 90 00", "01 02 03 90 00", true, ""},
        {"a range, past it", "{2..3} 90 00", "01 02 03 04 90 00", false,
         "response differs at byte 4 (6 bytes received, from 4 to 5 expected)"},
        {"low nibble masked", "63 Cx", "63 C2", true, ""},
        {"low nibble masked, high differs", "63 Cx", "63 D2", false, "response differs at byte 2"},
        {"high nibble and a byte masked", "6x xx", "6A 82", true, ""},
        {"high nibble and a byte masked, 90", "6x xx", "90 00", false,
         "response differs at byte 1"},
        {"alternatives", "90 00 | 62 83", "62 83", true, ""},
        {"alternatives, neither", "90 00|62 83", "6A 82", false,
         "response matches none of the 2 alternatives"},
        {"a byte run", "{3*A5} 90 00", "A5 A5 A5 90 00", true, ""},
        {"a byte run, one off", "{3*A5} 90 00", "A5 A4 A5 90 00", false,
         "response differs at byte 2"},
        {"masked runs beside bytes", "01 {2*6x} {2*A5} 90 00", "01 61 6F A5 A5 90 00", true, ""},
        {"masked runs beside bytes, last byte of a run off", "01 {2*6x} {2*A5} 90 00",
         "01 61 6F A5 A4 90 00", false, "response differs at byte 5"},
        {"the longest run, a short response", "{65535*xx} | 90 00", "6A 82", false,
         "response matches none of the 2 alternatives"},
        {"the longest run against two bytes", "{65535*xx}", "90 00", false,
         "response differs at byte 3 (2 bytes received, 65535 expected)"},
        {"a capture use", "{counter} 90 00", "03 90 00", true, ""},
        {"a capture use, changed", "{counter} 90 00", "02 90 00", false,
         "response differs at byte 1"},
        {"a capture not held", "{missing} 90 00", "02 90 00", false,
         "capture 'missing' holds no value"},
        {"digits written together", "9000", "90 00", true, ""},
        {"a literal 78 is no wildcard", "78 00", "12 00", false, "response differs at byte 1"},
    };
    const qv::Captures held{{"counter", {0x03}}};
    for (const Case& c : cases) {
        const qv::Pattern pattern = qv::ParsePattern(c.pattern);
        const qv::PatternMatch m = qv::MatchPattern(pattern, Hex(c.received), held);
        EXPECT_EQ(m.matched, c.matches) << c.what;
        EXPECT_EQ(m.why, c.why) << c.what;
        EXPECT_EQ(pattern.text, qv::ParsePattern(std::string("  ") + c.pattern + " ").text)
            << c.what << ": kept as written, outer blanks trimmed";
    }
}

TEST(ReqLanguage, CapturesBindOnlyWhenTheirAlternativeMatches) {
    const qv::Pattern fci = qv::ParsePattern("62 xx {fcp:*} 80 01 {size:1} 90 00 | 6A 82");
    const qv::PatternMatch found = qv::MatchPattern(fci, Hex("62 05 82 01 01 80 01 10 90 00"), {});
    ASSERT_TRUE(found.matched);
    EXPECT_EQ(found.alternative, 0u);
    EXPECT_EQ(found.bound, (qv::Captures{{"fcp", Hex("82 01 01")}, {"size", Hex("10")}}));
    const qv::PatternMatch other = qv::MatchPattern(fci, Hex("6A 82"), {});
    ASSERT_TRUE(other.matched);
    EXPECT_EQ(other.alternative, 1u);
    EXPECT_TRUE(other.bound.empty());
    EXPECT_FALSE(qv::MatchPattern(fci, Hex("62 05 82 01 01 80 02 10 90 00"), {}).matched);
    EXPECT_EQ(fci.Defines(), (std::vector<std::string>{"fcp", "size"}));

    const qv::CommandTemplate read = qv::ParseCommand("00 B0 00 00 {size}");
    EXPECT_EQ(read.Expand({{"size", Hex("10")}}), Hex("00 B0 00 00 10"));
    std::string missing;
    EXPECT_FALSE(read.Expand({}, &missing));
    EXPECT_EQ(missing, "size");
    EXPECT_EQ(qv::ParseCommand("80 E3 00 00 03 {3*5A}").Expand({}), Hex("80 E3 00 00 03 5A 5A 5A"));
    EXPECT_EQ(qv::ParseCommand("{2*5A} 01 02 {3*00} 03 {size}").Expand({{"size", Hex("10")}}),
              Hex("5A 5A 01 02 00 00 00 03 10"));
}

// A plain pattern (a test with a time limit, say, is judged by its pattern) fails where the base
// matcher fails on the same bytes.
// A test of the ATR judges the reset's ATR as a response: by its pattern, which may capture, or by
// the core's decoder; without a reset there is nothing to judge.
TEST(ReqLanguage, AnAtrTestJudgesTheResetsAtr) {
    const qv::Script script =
        Parse(kRunOnly + "@atr well-formed\n# - Card\n@atr 3B 02 {hist:2}\n2,0 00 {hist}\n\n");
    ASSERT_EQ(script.tests.size(), 3u);
    const qv::ReqTest& wellFormed = script.tests[0];
    const qv::ReqTest& pattern = script.tests[1];
    EXPECT_EQ(wellFormed.name, "ATR");
    EXPECT_EQ(pattern.name, "Card");
    EXPECT_TRUE(wellFormed.command.empty());
    struct Case {
        const qv::ReqTest& test;
        const char* atr;
        std::string why;
        std::optional<std::size_t> differs;
        qv::Captures bound;
    };
    const Case cases[] = {
        {wellFormed, "3B 02 14 50", "", std::nullopt, {}},
        {wellFormed, "3B 80 01", "the ATR is not well formed: TCK missing at byte 4", 3, {}},
        {wellFormed, "", "no ATR: the reader was not reset (--no-reset)", std::nullopt, {}},
        {pattern, "3B 02 14 50", "", std::nullopt, {{"hist", Hex("14 50")}}},
        {pattern, "3B 03 14 50 00", "ATR differs at byte 2 (5 bytes received, 4 expected)", 1, {}},
    };
    for (const Case& c : cases) {
        qv::Captures bound;
        const qv::Judgement j = qv::JudgeAtr(c.test, Hex(c.atr), {}, bound);
        EXPECT_EQ(j.Passed(), c.why.empty()) << c.atr;
        EXPECT_EQ(j.why.substr(0, c.why.size()), c.why) << c.atr;
        EXPECT_EQ(j.differs, c.differs) << c.atr;
        EXPECT_EQ(bound, c.bound) << c.atr;
    }
    // The base rules' reader, the interactive program's, sees no test in the line.
    EXPECT_EQ(script.runOnly[1].kind, qv::RunOnlyLine::Kind::Atr);
    EXPECT_EQ(Parse("@atr well-formed\n").dormant.size(), 1u);
}

// A time limit or GET RESPONSE for the following tests holds for each test after it in its file
// until it changes or ends; a limit for the next test alone comes first; a test of the ATR and the
// tests of an included file are not touched.
TEST(ReqLanguage, SettingsForTheFollowingTestsLastUntilChanged) {
    const qv::Script script = Parse(kRunOnly + "2,0 01\n\n"
                                               "@time-limit 2 s for the following tests\n"
                                               "@get-response on\n"
                                               "2,0 02\n\n"
                                               "@time-limit 5 ms\n@get-response off\n2,0 03\n\n"
                                               "@atr well-formed\n"
                                               "@include other.req\n"
                                               "2,0 04\n\n"
                                               "@time-limit off\n@get-response default\n"
                                               "2,0 05\n\n",
                                    {{"suite/other.req", kRunOnly + "2,0 06\n\n"}});
    struct Expected {
        const char* limit; // "" for none
        std::optional<bool> getResponse;
    };
    const Expected expected[] = {{"", std::nullopt}, {"2 s", true},      {"5 ms", false},
                                 {"", std::nullopt}, {"", std::nullopt}, {"2 s", false},
                                 {"", std::nullopt}};
    ASSERT_EQ(script.tests.size(), std::size(expected));
    for (std::size_t k = 0; k < script.tests.size(); ++k) {
        const qv::ReqTest& test = script.tests[k];
        EXPECT_EQ(test.timeLimitText, expected[k].limit) << "test " << k + 1;
        EXPECT_EQ(test.timeLimit.has_value(), *expected[k].limit != 0) << "test " << k + 1;
        EXPECT_EQ(test.getResponse, expected[k].getResponse) << "test " << k + 1;
    }
    EXPECT_EQ(script.tests[1].timeLimit, std::chrono::seconds(2));
}

// Each word of a pattern beyond bytes and lengths, against responses that match it and that
// miss it, with the reason a miss gives: a capture's complement, a length read from a capture
// (an earlier test's, or one made before in the same response), a capture used again in its own
// response, part of a capture, and BER-TLV templates whose children stand in any order.
TEST(ReqLanguage, EachCaptureAndTemplateWordMatchesWhatItSaysAndFailsTheRest) {
    struct Case {
        const char* what;
        const char* pattern;
        const char* received;
        std::string why; // empty: it matches
        qv::Captures bound = {};
    };
    const char* const fcp = "{tlv 62: 82 = 01, 83 = {fid:2}, ...} 90 00";
    const Case cases[] = {
        {"another challenge", "{!chal} 90 00", "55 66 77 88 90 00", ""},
        {"the same challenge again", "{!chal} 90 00", "11 22 33 44 90 00",
         "response repeats the 4 bytes of 'chal' at byte 1 ({!chal} wants others)"},
        {"a challenge too short", "{!chal} 90 00", "11 22 33 90 00",
         "response differs at byte 5 (5 bytes received, 6 expected)"},
        {"a part unlike", "{!size[1]} 90 00", "04 90 00", ""},
        {"a length from an earlier test",
         "{data:size} 90 00",
         "AA BB CC 90 00",
         "",
         {{"data", Hex("AA BB CC")}}},
        {"a length from an earlier test, short", "{data:size} 90 00", "AA BB",
         "length capture 'size' holds 3 (00 03), more than the 2 bytes left at byte 1"},
        {"a length captured before in the response",
         "{n:1} {data:n} 90 00",
         "02 AA BB 90 00",
         "",
         {{"n", Hex("02")}, {"data", Hex("AA BB")}}},
        {"a length past the response", "{n:1} {data:n} 90 00", "09 AA BB 90 00",
         "length capture 'n' holds 9 (09), more than the 4 bytes left at byte 2"},
        {"a length from a part",
         "{n:2} {data:n[1]} 90 00",
         "00 01 AA 90 00",
         "",
         {{"n", Hex("00 01")}, {"data", Hex("AA")}}},
        {"a back-reference", "{a:2} 00 {a}", "12 34 00 12 34", "", {{"a", Hex("12 34")}}},
        {"a back-reference, changed", "{a:2} 00 {a}", "12 34 00 12 35",
         "response differs at byte 5"},
        {"a byte of a capture", "{size[1]} 90 00", "03 90 00", ""},
        {"a range of a capture", "{chal[1..2]} 90 00", "22 33 90 00", ""},
        {"a range of a capture, another", "{chal[1..2]} 90 00", "22 34 90 00",
         "response differs at byte 2"},
        {"children in the written order",
         fcp,
         "62 09 82 01 01 83 02 3F 00 80 00 90 00",
         "",
         {{"fid", Hex("3F 00")}}},
        {"children in another order",
         fcp,
         "62 09 80 00 83 02 2F 00 82 01 01 90 00",
         "",
         {{"fid", Hex("2F 00")}}},
        {"a child's value differs", "{tlv 62: 82 = 38, ...} 90 00",
         "62 09 82 01 01 83 02 3F 00 80 00 90 00",
         "response differs at byte 5, in the value of data object 82 in 62 at byte 1 (1 byte)"},
        {"a child missing", "{tlv 62: 84, ...} 90 00", "62 03 82 01 01 90 00",
         "response has no data object 84 in 62 at byte 1"},
        {"a child not named", "{tlv 62: 82 = 01, 83 = {fid:2}} 90 00",
         "62 09 82 01 01 83 02 3F 00 80 00 90 00",
         "response has data object 80 at byte 10 in 62 at byte 1, which the template does not "
         "name (a last '...' allows others)"},
        {"another template", fcp, "6F 03 82 01 01 90 00", "response differs at byte 1"},
        {"a template longer than the response", fcp, "62 0C 82 01 01 90 00",
         "response is no well-formed BER-TLV at byte 2: the value of 12 bytes runs past the end "
         "(5 bytes left)"},
        {"a child longer than its template", fcp, "62 03 82 05 01 90 00",
         "response is no well-formed BER-TLV at byte 4: the value of 5 bytes runs past the end "
         "(1 byte left) (in 62 at byte 1)"},
        {"two-byte tags and an 81 length",
         "{tlv BF0C: 9F 38 = {pdol:*}} 90 00",
         "BF 0C 81 05 9F 38 02 AA BB 90 00",
         "",
         {{"pdol", Hex("AA BB")}}},
        {"a template within a template",
         "{tlv 6F: 84 = {aid:*}, A5 = {tlv: 88 = {sfi:1}, ...}} 90 00",
         "6F 0C 84 02 A0 01 A5 06 50 01 41 88 01 02 90 00",
         "",
         {{"aid", Hex("A0 01")}, {"sfi", Hex("02")}}},
        {"a template then its data", "{tlv 80:} {*}", "80 00 01 02", ""},
    };
    const qv::Captures held{{"chal", Hex("11 22 33 44")}, {"size", Hex("00 03")}};
    for (const Case& c : cases) {
        const qv::Pattern pattern = qv::ParsePattern(c.pattern);
        const qv::PatternMatch m = qv::MatchPattern(pattern, Hex(c.received), held);
        EXPECT_EQ(m.matched, c.why.empty()) << c.what;
        EXPECT_EQ(m.why, c.why) << c.what;
        EXPECT_EQ(m.bound, c.bound) << c.what;
    }
}

TEST(ReqLanguage, PlainPatternsJudgeAsTheBaseMatcher) {
    const Bytes expected = Hex("12 78 34 90 00");
    const Bytes wildcard{0, 1, 0, 0, 0};
    const qv::Pattern pattern = qv::ParsePattern("12 xx 34 90 00");
    EXPECT_TRUE(pattern.Plain());
    for (const char* received : {"12 FF 34 90 00", "12 FF 35 90 00", "12 00 34 90",
                                 "12 00 34 90 00 01", "", "13", "12 78 34 90 00"}) {
        const Bytes got = Hex(received);
        const auto base = qv::FirstDifference({expected, wildcard}, got);
        const qv::PatternMatch m = qv::MatchPattern(pattern, got, {});
        EXPECT_EQ(m.matched, !base.has_value()) << received;
        EXPECT_EQ(m.differs, base) << received;
    }
}

TEST(ReqLanguage, AnExtendedFileItsTestsAndTheLinesOnlyQuorvaneRunReads) {
    const std::string preamble = "# - Select the application\n"
                                 "2,0 00 A4 04 00 02 A0 01\n"
                                 "> 90 00 | 62 83\n";
    const qv::Script script = Parse("# A suite for the demo card\n" + kRunOnly +
                                        "@include select.req\n"
                                        "# - Challenge\n"
                                        "1,2,0: 00 84 00 00 08\n"
                                        "> {challenge:8} 90 00\n"
                                        "# - Echo it\n"
                                        "@time-limit 1.5 s\n"
                                        "2,0 00 82 00 00 08 {challenge}\n"
                                        "> 90 00\n"
                                        "# - Ask the terminal\n"
                                        "2,1 20 13 00 81 00\n"
                                        "> 81 01 01 \\\n"
                                        "90 00\n"
                                        "2,0 00 DE AD 00 00\n"
                                        "\n",
                                    {{"suite/select.req", kRunOnly + preamble}});
    EXPECT_TRUE(script.extended);
    ASSERT_EQ(script.tests.size(), 5u);
    const qv::ReqTest& select = script.tests[0];
    EXPECT_EQ(select.Where().Text(), "suite/select.req:3");
    EXPECT_EQ(select.name, "Select the application");
    EXPECT_TRUE(select.extended);
    EXPECT_EQ(select.pattern->text, "90 00 | 62 83");
    const qv::ReqTest& challenge = script.tests[1];
    EXPECT_EQ(challenge.number, 2u);
    EXPECT_EQ(challenge.Where().Text(), "suite/main.req:5");
    EXPECT_EQ(challenge.name, "Challenge");
    const qv::ReqTest& echo = script.tests[2];
    EXPECT_EQ(echo.commandTemplate->text, "00 82 00 00 08 {challenge}");
    EXPECT_EQ(echo.timeLimit, std::chrono::microseconds(1500000));
    EXPECT_EQ(echo.timeLimitText, "1.5 s");
    EXPECT_TRUE(echo.pattern->Plain());
    const qv::ReqTest& terminal = script.tests[3];
    EXPECT_EQ(terminal.destination, CT);
    EXPECT_EQ(terminal.command, Hex("20 13 00 81 00"));
    EXPECT_EQ(terminal.pattern->text, "81 01 01 90 00");
    const qv::ReqTest& any = script.tests[4];
    EXPECT_FALSE(any.pattern);
    EXPECT_TRUE(any.expected.empty());
    EXPECT_FALSE(any.extended);
    EXPECT_EQ(any.name, "");

    std::vector<std::string> lines;
    for (const qv::RunOnlyLine& line : script.runOnly)
        lines.push_back(line.where.Text() + " " + line.what);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "suite/main.req:2 the switch to the extensions",
                         "suite/main.req:3 an include",
                         "suite/select.req:1 the switch to the extensions",
                         "suite/select.req:4 an expected response the base rules cannot say",
                         "suite/main.req:6 an expected response the base rules cannot say",
                         "suite/main.req:8 a time limit",
                         "suite/main.req:9 a command with captured values or byte runs",
                         "suite/main.req:12 a command to the card terminal",
                         "suite/main.req:13 the response of a command to the card terminal",
                         "suite/main.req:14 the response of a command to the card terminal",
                     }));
}

TEST(ReqLanguage, BadSpellingIsAnErrorWithItsFileAndLine) {
    struct Case {
        std::string text;
        const char* error;
    };
    const Case cases[] = {
        {kRunOnly + "2,0 00 A4\n> 90 0\n", "suite/main.req:3: '0' has an odd number of hex digits"},
        {kRunOnly + "2,0 00 A4\n> 90 00 # ok\n", "suite/main.req:3: '#' is no hex digit"},
        {kRunOnly + "2,0 00 A4\n> 90\t00\n",
         "suite/main.req:3: a tab (only blanks separate bytes)"},
        {kRunOnly + "2,0 00 A4\n> {*} {2+} 90 00\n",
         "suite/main.req:3: two items of open length in one alternative"},
        {kRunOnly + "2,0 00 A4\n> 90 00 |\n", "suite/main.req:3: an empty alternative beside '|'"},
        {kRunOnly + "2,0 00 A4\n> {3..2}\n", "the lower bound is above the upper"},
        {kRunOnly + "2,0 00 A4\n> {70000}\n", "'70000' is more than 65535 bytes"},
        {kRunOnly + "2,0 00 A4\n> {a:1} {a:1}\n", "captured twice in one alternative"},
        {kRunOnly + "2,0 00 A4\n> {1a:1}\n", "'1a' is no capture name"},
        {kRunOnly + "2,0 00 A4\n> {9 0\n", "'{' without its '}'"},
        {kRunOnly + "2,0 00 B0 00 00 {size}\n",
         "suite/main.req:2: unknown capture name 'size' (no earlier test captures it)"},
        {kRunOnly + "2,0 00 84 00 00 08\n> {chal} 90 00\n",
         "suite/main.req:3: unknown capture name 'chal'"},
        {kRunOnly + "2,0 00 A4 xx\n", "suite/main.req:2: 'xx': a command has no 'x' digits"},
        {kRunOnly + "2,0 00 A4 {*}\n", "{*} in a command: only {name} and {N*HH}"},
        {kRunOnly + "2,0 00 A4 | 00\n", "'|' in a command"},
        {kRunOnly + "2,0\n", "suite/main.req:2: a command line with no bytes"},
        {kRunOnly + "2,000 A4\n", "suite/main.req:2: '0' right after the address is skipped"},
        {kRunOnly + "# Suite 2,0 for the card\n", "suite/main.req:2: a name line holding \"2,0\""},
        {kRunOnly + "2,0 00 A4\n2,0 00 B0\n",
         "suite/main.req:3: a second command line while the command of line 2 awaits"},
        {kRunOnly + "> 90 00\n", "suite/main.req:2: a > line that no command awaits"},
        {kRunOnly + "2,0 00 A4\n# - next\n> 90 00\n",
         "suite/main.req:3: a name line between the command of line 2 and its response"},
        {kRunOnly + "2,0 00 A4\nok\n", "suite/main.req:3: a line of text between the command"},
        {kRunOnly + "2,0 00 A4\n@time-limit 1 s\n", "suite/main.req:3: a directive between"},
        {kRunOnly + "2,0 00 A4", "suite/main.req:2: the last command has no line end after it"},
        {kRunOnly + "2,0 00 A4\n> 90 \\\n",
         "suite/main.req:3: the response of line 3 goes on past"},
        {kRunOnly + "2,0 00 A4\n> 90 \\ 00\n", "a backslash inside a response"},
        {kRunOnly + "@time-limit 5 parsecs\n2,0 00\n",
         "suite/main.req:2: @time-limit: a time is a number and us, ms or s"},
        {kRunOnly + "@time-limit 0 ms\n2,0 00\n", "a time limit from 1 us to 1 hour"},
        {kRunOnly + "@time-limit 1 s\n@time-limit 2 s\n2,0 00\n", "a second @time-limit"},
        {kRunOnly + "@time-limit 1 s\n", "suite/main.req:2: @time-limit of line 2 has no test"},
        {kRunOnly + "@frobnicate\n", "suite/main.req:2: unknown directive '@frobnicate'"},
        {kRunOnly + "2,0 00 A4\n> {data:size} 90 00\n",
         "suite/main.req:3: capture 'size' is used as a length before it is set"},
        {kRunOnly + "2,0 00 84 00 00 08\n> {c:8} 90 00\n2,0 00 B0 00 00 {c[9]}\n",
         "suite/main.req:4: {c[9]}: capture 'c' holds 8 bytes (bytes 0 to 7)"},
        {kRunOnly + "2,0 00 A4\n> {c:2} {c[1..2]}\n",
         "suite/main.req:3: {c[1..2]}: capture 'c' holds 2 bytes (bytes 0 to 1)"},
        {kRunOnly + "2,0 00 A4\n> {c:6} {d:c} 90 00\n",
         "suite/main.req:3: {d:c}: a length is read from 1 to 4 bytes, and c holds 6"},
        {kRunOnly + "2,0 00 A4\n> {c:2} {d:c[1..0]}\n", "the first byte is after the last"},
        {kRunOnly + "2,0 00 A4\n> 82 = 01 90 00\n",
         "suite/main.req:3: '=' outside a template: a data object's 'TAG = ...' and '...' stand "
         "in {tlv TAG: ...}"},
        {kRunOnly + "2,0 00 A4\n> 90 00 ...\n", "'.' outside a template"},
        {kRunOnly + "2,0 00 A4\n> {tlv 62: ..., 82}\n", "'...' stands last among the children"},
        {kRunOnly + "2,0 00 A4\n> {tlv 6Z: 82}\n", "{tlv 6Z: 82}: '6Z' is no tag in hex"},
        {kRunOnly + "2,0 00 A4\n> {tlv 1F: 82}\n", "'1F' is no BER-TLV tag"},
        {kRunOnly + "2,0 00 A4\n> {tlv 62: 82 = }\n", "nothing after '='"},
        {kRunOnly + "2,0 00 A4\n> {tlv 62: 82 = 01 | 02}\n", "'|' in a data object's value"},
        {kRunOnly + "2,0 00 A4\n> {*} {tlv 62: 82}\n",
         "suite/main.req:3: a data object {tlv 62: ...} after an item of open length"},
        {kRunOnly + "2,0 00 A4\n> {*} {a:2} {b:a}\n",
         "{a} after an item of open length reads a capture made from that item on"},
        {kRunOnly + "2,0 00 A4\n> {tlv: 82} {*}\n", "two items of open length"},
        {kRunOnly + "2,0 00 A4\n> {!1a}\n", "'!' stands before a capture's name"},
        {kRunOnly + "2,0 00 A4 {!x}\n", "in a command: only {name} and {N*HH}"},
        {kRunOnly + "@get-response maybe\n",
         "suite/main.req:2: @get-response takes on, off or default"},
        {kRunOnly + "@time-limit 1 s for the following\n2,0 00\n",
         "suite/main.req:2: @time-limit: a time is a number and us, ms or s, such as 250 ms (or "
         "TIME for the following tests, or off)"},
        {kRunOnly + "@time-limit for the following tests\n",
         "suite/main.req:2: @time-limit: a time"},
        {kRunOnly + "@atr\n", "suite/main.req:2: @atr needs a pattern for the ATR, or well-formed"},
        {kRunOnly + "@atr 3B {hist:2\n", "suite/main.req:2: @atr: '{' without its '}'"},
        {kRunOnly + "@atr 3B {hist}\n", "suite/main.req:2: @atr: unknown capture name 'hist'"},
        {kRunOnly + "@time-limit 1 s\n@atr well-formed\n",
         "suite/main.req:3: @time-limit of line 2 stands before @atr, which sends nothing"},
        {kRunOnly + "2,0 00 A4\n@atr well-formed\n", "suite/main.req:3: a directive between"},
        {kRunOnly + "@include\n", "suite/main.req:2: @include needs a file name"},
        {kRunOnly + "@include none.req\n",
         "suite/main.req:2: cannot include suite/none.req: No such file or directory"},
        {kRunOnly + "@include main.req\n", "includes a file that is being read already"},
        {"2,0 00 A4\n> 90 00\n" + kRunOnly,
         "suite/main.req:3: @quorvane-run 1 must be the first line that is neither blank nor"},
        {"@quorvane-run 2\n",
         "suite/main.req:1: this quorvane-run reads REQ extensions of version 1"},
        {kRunOnly + "#\n" + kRunOnly, "suite/main.req:3: @quorvane-run given twice"},
        // An included file's errors are named by its own file and line.
        {kRunOnly + "@include bad.req\n", "suite/bad.req:3: a > line that no command awaits"},
    };
    const std::map<std::string, std::string> files{{"suite/bad.req", kRunOnly + "\n> 90 00\n"},
                                                   {"suite/main.req", kRunOnly}};
    for (const Case& c : cases) {
        try {
            Parse(c.text, files);
            ADD_FAILURE() << "no error for:\n" << c.text;
        } catch (const qv::ScriptError& error) {
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos)
                << "for:\n"
                << c.text << "\nsaid: " << error.what() << "\nnot: " << c.error;
        }
    }
}

// A file without the switch is the base reader's, test for test: also where the base rules read
// it leniently, and where it holds what would be extensions.
// The REQ text one reading takes is bounded, each include counted again, before any test is
// read: the error names the @include line that crosses the bound, and each file is read once.
TEST(ReqLanguage, IncludedTextIsBoundedAtTheIncludeThatCrossesIt) {
    const std::string test = "# - Select\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n";
    const std::string twice = kRunOnly + "@include a.req\n@include a.req\n";
    const std::string once = kRunOnly + "@include a.req\n";
    // A comment line that brings the text of `once` to the bound exactly.
    const std::string fill = "#" + std::string(qv::kMaxRunText - once.size() - 2, '.') + "\n";
    const std::string half = "#" + std::string(qv::kMaxRunText / 2 - 2, '.') + "\n";
    struct Case {
        const char* what;
        std::string text;
        std::map<std::string, std::string> files;
        std::size_t readBefore;
        const char* error; // empty: it reads
    };
    const Case cases[] = {
        {"the bound exactly", once, {{"suite/a.req", fill}}, 0, ""},
        {"a byte past it",
         once,
         {{"suite/a.req", fill + "\n"}},
         0,
         "suite/main.req:2: suite/main.req and what it includes pass 64 MiB of REQ text"},
        {"the second include of a file crosses it",
         twice,
         {{"suite/a.req", half}},
         0,
         "suite/main.req:3: suite/main.req and what it includes pass 64 MiB"},
        {"an include inside an include crosses it",
         kRunOnly + test + "@include b.req\n",
         {{"suite/b.req", twice}, {"suite/a.req", half}},
         0,
         "suite/b.req:3: suite/main.req and what it includes pass 64 MiB"},
        {"with what the run read before",
         once,
         {{"suite/a.req", test}},
         qv::kMaxRunText - 60,
         "suite/main.req:2: suite/main.req and what it includes, after the files read before it, "
         "pass 64 MiB"},
        {"the file alone, after what the run read before",
         test,
         {},
         qv::kMaxRunText - 10,
         "suite/main.req: suite/main.req and what it includes, after the files read before it"},
    };
    for (const Case& c : cases) {
        std::size_t runText = c.readBefore;
        try {
            const qv::Script script =
                qv::ParseScript("suite/main.req", c.text, Files(c.files), &runText);
            EXPECT_STREQ(c.error, "") << c.what;
            EXPECT_EQ(runText, qv::kMaxRunText) << c.what;
        } catch (const qv::ScriptError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(c.error, 0), 0u)
                << c.what << ": " << error.what();
        }
    }

    // Three levels of ten includes: 1000 tests, each file read once.
    std::map<std::string, int> reads;
    const qv::IncludeReader counted = [&reads, test](const std::string& path) {
        ++reads[path];
        const char level = path[path.size() - 5];
        if (level == '0')
            return test;
        std::string text = kRunOnly;
        for (int k = 0; k < 10; ++k)
            text += "@include l" + std::string(1, static_cast<char>(level - 1)) + ".req\n";
        return text;
    };
    const qv::Script fanOut = qv::ParseScript("l3.req", counted("l3.req"), counted);
    EXPECT_EQ(fanOut.tests.size(), 1000u);
    EXPECT_EQ(reads, (std::map<std::string, int>{
                         {"l0.req", 1}, {"l1.req", 1}, {"l2.req", 1}, {"l3.req", 1}}));
}

TEST(ReqLanguage, ABaseRulesFileGivesExactlyTheBaseReadersTests) {
    struct Collect : qv::ReqSink {
        void Test(const qv::ReqTest& t) override { tests.push_back(t); }
        std::vector<qv::ReqTest> tests;
    };
    const char* const files[] = {
        "# - Select MF\r\n1,2,0: 00 A4 00 00 02 3F 00\r\n> 90 00\r\n#Get\n2,0 0084000008\n"
        ">xx xx 78 9000\n",
        "2,0 00 A4\n> 63 Cx | 90 00\n@include other.req\n2,1 20 13 00 81\n> 81 01 01 90 00\n",
        "2,0 00 B0\n> 51 75 \\\n20 64 90 00\n2,0 00\n\n# Suite 2,0 00 A4\n>90\t00 # ok\n",
        "\xEF\xBB\xBF# - name\n2,0 00 {size}\n> {*} 90 00\n2,0 01\n2,0 02\n# - x\n> 90 00\n",
        "",
        "\n\n",
        "2,0 00 A4",
    };
    for (const char* text : files) {
        Collect base;
        qv::ReadReqText(text, base);
        const qv::Script script = Parse(text);
        EXPECT_FALSE(script.extended) << text;
        EXPECT_TRUE(script.runOnly.empty()) << text;
        ASSERT_EQ(script.tests.size(), base.tests.size()) << text;
        for (std::size_t k = 0; k < base.tests.size(); ++k) {
            const auto& want = base.tests[k];
            const qv::ReqTest& got = script.tests[k];
            EXPECT_EQ(got.number, k + 1);
            EXPECT_EQ(got.Where().Text(), "suite/main.req:" + std::to_string(want.line)) << text;
            EXPECT_EQ(got.name, want.Title()) << text;
            EXPECT_EQ(got.command, want.command) << text;
            EXPECT_EQ(got.expected, want.expected) << text;
            EXPECT_EQ(got.wildcard, want.wildcard) << text;
            EXPECT_FALSE(got.pattern);
            EXPECT_FALSE(got.extended);
        }
    }
    EXPECT_EQ(Parse("2,0 00 A4").unfinished->Text(), "suite/main.req:1");

    // What would be extensions with the switch is said, and skipped as the base rules skip it.
    const qv::Script dormant = Parse("@include other.req\n@time-limit 1 s\n2,1 20 13 00 81\n"
                                     "Version 2,1 of the suite\n# - 2,1 in a name\n2,0 00 A4\n\n");
    EXPECT_EQ(dormant.tests.size(), 1u);
    std::vector<std::string> said;
    for (const qv::RunOnlyLine& line : dormant.dormant)
        said.push_back(line.where.Text() + " " + line.what);
    EXPECT_EQ(said, (std::vector<std::string>{
                        "suite/main.req:1 an include, skipped without @quorvane-run 1",
                        "suite/main.req:2 a time limit, skipped without @quorvane-run 1",
                        "suite/main.req:3 a command to the terminal, skipped without "
                        "@quorvane-run 1",
                    }));

    // All the base rules forgave, in line order: in the file, and in a base-rules file that an
    // extended one includes (where the command of its last line is not run either).
    const std::string forgiving = "2,0 00 A4 0\n\n> 90 00\n@time-limit 1 s\n2,0 01";
    struct Forgiving {
        std::string text;
        std::map<std::string, std::string> files;
        std::string file; // where the lines are
    };
    for (const Forgiving& c :
         {Forgiving{forgiving, {}, "suite/main.req"}, Forgiving{kRunOnly + "@include base.req\n",
                                                                {{"suite/base.req", forgiving}},
                                                                "suite/base.req"}}) {
        said.clear();
        for (const qv::FileWarning& line : Parse(c.text, c.files).warnings)
            said.push_back(line.where.Text() + " " + line.what);
        EXPECT_EQ(said, (std::vector<std::string>{
                            c.file + ":1 an odd number of hex digits: the last one is dropped",
                            c.file + ":3 a \">\" line ignored: line 2 (blank) closed the test of "
                                     "line 1 without an expected response",
                            c.file + ":4 a time limit, skipped without @quorvane-run 1",
                            c.file + ":5 the command of the last test has no line end after it "
                                     "and is not run",
                        }))
            << c.text;
    }
}

// The shipped examples read without an error, with the tests their headers count.
TEST(ReqLanguage, TheShippedExamplesRead) {
    const qv::IncludeReader read = ReadWhole;
    struct Case {
        const char* file;
        std::size_t tests;
        std::size_t toTerminal;
    };
    for (const Case& c :
         {Case{"examples/demo-extensions.req", 22, 1},
          Case{"examples/conformance/ctbcs.req", 48, 48},
          Case{"examples/conformance/iso7816-cases.req", 859, 0},
          Case{"examples/conformance/pinpad.req", 13, 13}, Case{"examples/demo-pass.req", 5, 0}}) {
        const std::string path = std::string(QUORVANE_SOURCE_DIR) + "/" + c.file;
        const qv::Script script = qv::ParseScript(path, read(path), read);
        EXPECT_EQ(script.tests.size(), c.tests) << c.file;
        EXPECT_EQ(std::count_if(script.tests.begin(), script.tests.end(),
                                [](const qv::ReqTest& t) { return t.destination == CT; }),
                  static_cast<std::ptrdiff_t>(c.toTerminal))
            << c.file;
    }
}

// What a record holds reads back as the tests it was written from: each test through TestLines,
// the switch first when one of them uses an extension (or, as in a record of several files, when
// another file's test does), read again by ParseScript.
TEST(ReqLanguage, WrittenTestsReadBackTheSame) {
    const auto same = [](const qv::ReqTest& a, const qv::ReqTest& b, const std::string& where) {
        EXPECT_EQ(a.name, b.name) << where;
        EXPECT_EQ(a.destination, b.destination) << where;
        EXPECT_EQ(a.command, b.command) << where;
        EXPECT_EQ(a.expected, b.expected) << where;
        EXPECT_EQ(a.wildcard, b.wildcard) << where;
        EXPECT_EQ(a.extended, b.extended) << where;
        EXPECT_EQ(a.commandTemplate.has_value(), b.commandTemplate.has_value()) << where;
        if (a.commandTemplate && b.commandTemplate) {
            EXPECT_EQ(a.commandTemplate->text, b.commandTemplate->text) << where;
        }
        EXPECT_EQ(a.pattern.has_value(), b.pattern.has_value()) << where;
        if (a.pattern && b.pattern) {
            EXPECT_EQ(a.pattern->text, b.pattern->text) << where;
        }
        EXPECT_EQ(a.timeLimit, b.timeLimit) << where;
        EXPECT_EQ(a.atr, b.atr) << where;
        EXPECT_EQ(a.getResponse, b.getResponse) << where;
        EXPECT_EQ(a.timeLimitText, b.timeLimitText) << where;
    };
    const auto readBack = [&same](const std::vector<qv::ReqTest>& tests, bool withSwitch,
                                  const std::string& what) {
        std::string written = withSwitch ? std::string(qv::kSwitchLine) + "\n" : "";
        for (const qv::ReqTest& test : tests)
            written += qv::TestLines(test);
        const qv::Script back = Parse(written);
        ASSERT_EQ(back.tests.size(), tests.size()) << what << "\n" << written;
        for (std::size_t k = 0; k < tests.size(); ++k)
            same(back.tests[k], tests[k], what + ", test " + std::to_string(k + 1));
    };
    const std::string base =
        "# - Select MF\r\n2,0 00 A4 00 00 02 3F 00\r\n> 90 00\r\n#Get challenge\n"
        "1,2,0: 0084000008\n>xx xx xx xx xx xx xx xx 90 00\n2,0 00 B0 00 00 00\n\n"
        "# -  a literal 78 \n2,0 00 CA 00 00\n> 78 xX 90 00\n2,0 00 B0 \\\n> 01 02 \\\n03 90 00\n";
    const std::string extended =
        kRunOnly +
        "# - Select\n2,0 00 A4 04 00 02 3F 00\n> 90 00 | 62 83\n# - FCI\n"
        "2,0 00 A4 00 00 02 3F 00 00\n> 62 {fcp:*} 90 00\n@time-limit 250 ms\n"
        "# - Echo\n2,0 80 E4 00 00 02 {fcp} 00\n> {*} 90 00\n2,1 20 13 00 81 00\n"
        "> 81 01 01 \\\n 90 00\n2,0 00 B0 00 00 02\n\n2,0 00 D6 00 00 03 {3*5A}\n"
        "> 9x 00\n@time-limit 1 s\n2,0 00 B0 00 00 01\n> 6x xx\n@get-response on\n"
        "@time-limit 2 s for the following tests\n2,0 00 B0 00 00 00\n\n"
        "@get-response off\n@time-limit 9 ms\n2,0 00 B0\n> 90 00\n@time-limit off\n"
        "@get-response default\n2,0 00 B0\n> 90 00\n@atr well-formed\n"
        "# - History\n@atr 3B 8x {hist:*} xx | 3B 0x {hist:*}\n2,0 80 E4 00 00 {hist}\n\n"
        "2,0 00 A4 02 04 02 2F 00 00\n> {tlv 62: 80 = {sz:2}, 82, ...} {!hist[0]}\n"
        "2,0 00 B0 00 00 {sz[1]}\n> {d:sz} {n:1} {e:n} {e} 90 00\n";
    for (const std::string& text : {base, extended}) {
        const qv::Script script = Parse(text);
        readBack(script.tests, script.extended, text);
    }
    // A record writes the card's response as the expected one; a test by the base rules is then
    // written under the switch when another file of the run uses an extension.
    std::vector<qv::ReqTest> recorded = Parse(base).tests;
    recorded[2].expected = Hex("01 78 90 00");
    recorded[2].wildcard = {0, 1, 0, 0};
    readBack(recorded, false, "recorded");
    readBack(recorded, true, "recorded under the switch");

    const qv::IncludeReader read = ReadWhole;
    for (const char* example :
         {"examples/demo-extensions.req", "examples/conformance/ctbcs.req",
          "examples/conformance/iso7816-cases.req", "examples/demo-pass.req"}) {
        const std::string path = std::string(QUORVANE_SOURCE_DIR) + "/" + example;
        const qv::Script script = qv::ParseScript(path, read(path), read);
        readBack(script.tests, script.extended, example);
    }
}

// A line that a reader takes for the switch but the rules do not: the file is read by the base
// rules, and the line is said where the switch would stand.
TEST(ReqLanguage, ANearMissSwitchLineIsSaid) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string said = "suite/main.req:1 looks like the switch \"@quorvane-run 1\" but is "
                             "none (it starts its line, in lower case, after at most one "
                             "byte-order mark): the file is read by the base rules";
    const std::string nearMisses[] = {
        " @quorvane-run 1", "\t@quorvane-run 1",           "@Quorvane-run 1",
        "@QUORVANE-RUN 1",  bom + bom + "@quorvane-run 1", "@quorvane-run1"};
    for (const std::string& line : nearMisses) {
        const qv::Script script = Parse(line + "\n@include other.req\n2,0 00 A4\n\n");
        EXPECT_FALSE(script.extended) << line;
        EXPECT_TRUE(std::any_of(
            script.warnings.begin(), script.warnings.end(),
            [&](const qv::FileWarning& f) { return f.where.Text() + " " + f.what == said; }))
            << line;
    }
    // Where no switch may stand, or after the switch itself, it is text like any other.
    for (const char* text : {"2,0 00 A4\n\n @quorvane-run 1\n", "@quorvane-run 1\n"}) {
        for (const qv::FileWarning& line : Parse(text).warnings)
            EXPECT_EQ(line.what.find("switch"), std::string::npos) << text;
    }
}

} // namespace
