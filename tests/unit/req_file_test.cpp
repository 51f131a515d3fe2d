// The hexadecimal parser and the REQ reader over in-memory streams.
#include "menu/scenario/req_file.h"
#include "req/req_reader.h"

#include "std_streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Loads `text` as a REQ file; returns what the reader printed.
std::string Load(const std::string& text) {
    std::string copy = text; // fmemopen needs writable storage that outlives the stream
    std::FILE* f = fmemopen(copy.data(), copy.size(), "r");
    EXPECT_NE(f, nullptr);
    return teststd::CaptureStdout([&] { CTReadReqFile(f); });
}

Bytes Command(int i) {
    return {gbyCommand[i], gbyCommand[i] + gnCommandLength[i]};
}
Bytes Expected(int i) {
    return {gbyExpected[i], gbyExpected[i] + gnExpectedLength[i]};
}
std::string Name(int i) {
    return gchApduName[i];
}

// Sums the whole table, so that two table states can be compared without copying 65 MB.
std::uint64_t TableDigest() {
    std::uint64_t h = 1469598103934665603ULL;
    auto mix = [&h](const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        for (std::size_t i = 0; i < n; i += 8) {
            std::uint64_t w = 0;
            std::memcpy(&w, b + i, std::min<std::size_t>(8, n - i));
            h = (h ^ w) * 1099511628211ULL + i;
        }
    };
    mix(gchApduName, sizeof gchApduName);
    mix(gbyCommand, sizeof gbyCommand);
    mix(gnCommandLength, sizeof gnCommandLength);
    mix(gbyExpected, sizeof gbyExpected);
    mix(gnExpectedLength, sizeof gnExpectedLength);
    return h;
}

bool TableAllZero() {
    auto zero = [](const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        return std::all_of(b, b + n, [](std::uint8_t v) { return v == 0; });
    };
    return zero(gchApduName, sizeof gchApduName) && zero(gbyCommand, sizeof gbyCommand) &&
           zero(gnCommandLength, sizeof gnCommandLength) && zero(gbyExpected, sizeof gbyExpected) &&
           zero(gnExpectedLength, sizeof gnExpectedLength);
}

// ---- ReturnHex ------------------------------------------------------------------------------

struct HexCase {
    const char* what;
    std::string text;
    Bytes before; // the area before the call
    Bytes after;  // the whole area after it
    std::uint32_t count;
};

class ReturnHexTable : public ::testing::TestWithParam<HexCase> {};

TEST_P(ReturnHexTable, ParsesInPlace) {
    const HexCase& c = GetParam();
    Bytes area = c.before;
    std::uint32_t count = 12345;
    ReturnHex(c.text, area, &count);
    EXPECT_EQ(count, c.count) << c.what;
    EXPECT_EQ(area, c.after) << c.what;
}

const Bytes kZero6(6, 0);

INSTANTIATE_TEST_SUITE_P(
    Cases, ReturnHexTable,
    ::testing::Values(
        HexCase{"pairs with blanks", "90 00", kZero6, {0x90, 0x00, 0, 0, 0, 0}, 2},
        HexCase{"blanks inside bytes", "9 0 0 0", kZero6, {0x90, 0x00, 0, 0, 0, 0}, 2},
        HexCase{"no blanks", "9000", kZero6, {0x90, 0x00, 0, 0, 0, 0}, 2},
        HexCase{"lower and upper case", "a4Bf", kZero6, {0xA4, 0xBF, 0x0B, 0x0F, 0, 0}, 2},
        HexCase{"leading and trailing blanks", "  0A  ", kZero6, {0x0A, 0x0A, 0, 0, 0, 0}, 1},
        HexCase{"odd count drops the last nibble", "900", kZero6, {0x90, 0x00, 0, 0, 0, 0}, 1},
        HexCase{"CR before the end is an odd nibble", "90 00\r", kZero6, {0x90, 0, 0, 0, 0, 0}, 2},
        HexCase{"xx is a wildcard", "xx", kZero6, {0x78, 0x78, 0, 0, 0, 0}, 1},
        HexCase{"XX and xX too", "XXxX", kZero6, {0x78, 0x78, 0x78, 0x78, 0, 0}, 2},
        HexCase{"single x high is no wildcard", "x0", kZero6, {0x80, 0, 0, 0, 0, 0}, 1},
        HexCase{"single x low is no wildcard", "1x", kZero6, {0x88, 0x78, 0, 0, 0, 0}, 1},
        HexCase{"other characters keep the held byte",
                "9\t0\r",
                Bytes{1, 2, 3, 4, 5, 6},
                {0x92, 0x04, 0, 4, 5, 6},
                2},
        HexCase{"> and backslash take positions", ">1\\2", kZero6, {0x01, 0x02, 0, 2, 0, 0}, 2},
        HexCase{"held wildcard marks pair up",
                "\t\t",
                Bytes{0x78, 0x78, 0, 0, 0, 0},
                {0x78, 0x78, 0, 0, 0, 0},
                1},
        HexCase{"newline ends the text", "12\n34", kZero6, {0x12, 0x02, 0, 0, 0, 0}, 1},
        HexCase{"NUL ends the text",
                std::string("12\0"
                            "34",
                            5),
                kZero6,
                {0x12, 0x02, 0, 0, 0, 0},
                1},
        HexCase{"empty text", "", kZero6, kZero6, 0},
        HexCase{"no room beyond the area", "11223344", Bytes(3, 0), {0x11, 0x01, 0x02}, 1}));

TEST(ReturnHex, StopsAtTheEndOfTheView) {
    const std::string text = "1234FFFF";
    Bytes area(4, 0);
    std::uint32_t count = 0;
    ReturnHex(std::string_view(text).substr(0, 4), area, &count);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(area, (Bytes{0x12, 0x34, 3, 4}));
}

TEST(ReturnHex, NeverWritesPastTheRoomGiven) {
    Bytes area(8, 0xEE);
    std::uint32_t count = 0;
    ReturnHex(std::string(100, 'A'), std::span(area).first(5), &count);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(area[5], 0xEE);
    EXPECT_EQ(area[7], 0xEE);
}

// The parser against the rule written out one character at a time, over random texts of the characters
// that matter, in every mix.
Bytes ReturnHexByTheRule(std::string_view text, Bytes area, std::uint32_t& count) {
    std::size_t pos = 0;
    for (const char c : text) {
        if (c == '\0' || c == '\n' || pos == area.size()) {
            break;
        }
        if (c == ' ') {
            continue;
        }
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            area[pos] = static_cast<std::uint8_t>(std::stoi(std::string(1, c), nullptr, 16));
        } else if (c == 'x' || c == 'X') {
            area[pos] = 'x';
        }
        ++pos;
    }
    count = static_cast<std::uint32_t>(pos / 2);
    for (std::size_t j = 0; j < count; ++j) {
        const std::uint8_t high = area[2 * j];
        const std::uint8_t low = area[2 * j + 1];
        area[j] = high == 'x' && low == 'x' ? 'x' : static_cast<std::uint8_t>(high * 16 + low);
    }
    return area;
}

TEST(ReturnHex, AgreesWithTheRuleOverRandomTexts) {
    std::mt19937 random(5);
    const std::string alphabets[] = {"0123456789ABCDEF", "0123456789abcdef ", "0123456789xX",
                                     "09AF x\r\n-g", std::string("0F \0", 4)};
    for (int round = 0; round < 3000; ++round) {
        const std::string& alphabet = alphabets[round % std::size(alphabets)];
        std::string text(random() % 200, ' ');
        for (char& c : text) {
            // Long digit runs now and then, and every character at every place of a pair.
            c = random() % 4 == 0 ? alphabet[random() % alphabet.size()] : alphabet[round % 3];
        }
        Bytes before(random() % 120);
        for (auto& b : before) {
            b = static_cast<std::uint8_t>(random());
        }
        std::uint32_t expectedCount = 0;
        const Bytes expected = ReturnHexByTheRule(text, before, expectedCount);
        Bytes area = before;
        std::uint32_t count = 0;
        ReturnHex(text, area, &count);
        ASSERT_EQ(count, expectedCount) << round << ": " << text;
        ASSERT_EQ(area, expected) << round << ": " << text;
    }
}

// ---- CTReadReqFile --------------------------------------------------------------------------

class ReqFile : public ::testing::Test {
  protected:
    void SetUp() override { Load(""); }
};

TEST_F(ReqFile, ReadsTheExampleScenario) {
    const std::string out = Load("# - Select MF\n"
                                 "1,2,0: 00 A4 00 00 02 3F 00\n"
                                 "> 90 00\n"
                                 "#Get challenge\n"
                                 "2,0 0084000008\n"
                                 ">xx xx xx xx xx xx xx xx 9000\n"
                                 "\n");
    EXPECT_EQ(out, " (with 2 APDUs)\n");
    ASSERT_EQ(gnCommand, 2);
    EXPECT_EQ(Name(0), "Select MF\n");
    EXPECT_EQ(Command(0), (Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}));
    EXPECT_EQ(Expected(0), (Bytes{0x90, 0x00}));
    EXPECT_EQ(Name(1), "Get challenge\n");
    EXPECT_EQ(Command(1), (Bytes{0x00, 0x84, 0x00, 0x00, 0x08}));
    Bytes wild(8, qv::kWildcardValue);
    wild.push_back(0x90);
    wild.push_back(0x00);
    EXPECT_EQ(Expected(1), wild);
}

TEST_F(ReqFile, CrLfGivesTheSameBytesAndNamesKeepTheCr) {
    Load(
        "# - Select MF\r\n1,2,0: 00 A4 00 00 02 3F 00\r\n> 90 00\r\n#Get\r\n2,0 0084\r\n>9000\r\n");
    ASSERT_EQ(gnCommand, 2);
    EXPECT_EQ(Name(0), "Select MF\r\n");
    EXPECT_EQ(Command(0), (Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}));
    EXPECT_EQ(Expected(0), (Bytes{0x90, 0x00}));
    EXPECT_EQ(Name(1), "Get\r\n");
    EXPECT_EQ(Command(1), (Bytes{0x00, 0x84}));
    EXPECT_EQ(Expected(1), (Bytes{0x90, 0x00}));
}

struct ClassifyCase {
    const char* what;
    std::string text;
    int tests;
    std::vector<Bytes> commands;
    std::vector<Bytes> expected;
};

class ReqClassify : public ::testing::TestWithParam<ClassifyCase> {
  protected:
    void SetUp() override { Load(""); }
};

TEST_P(ReqClassify, Loads) {
    const ClassifyCase& c = GetParam();
    EXPECT_EQ(Load(c.text), " (with " + std::to_string(c.tests) + " APDUs)\n") << c.what;
    ASSERT_EQ(gnCommand, c.tests) << c.what;
    for (std::size_t i = 0; i < c.commands.size(); ++i) {
        EXPECT_EQ(Command(static_cast<int>(i)), c.commands[i]) << c.what << " test " << i;
    }
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
        EXPECT_EQ(Expected(static_cast<int>(i)), c.expected[i]) << c.what << " test " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ReqClassify,
    ::testing::Values(
        ClassifyCase{"empty file", "", 0, {}, {}},
        ClassifyCase{"no command lines", "hello\n> 90 00\n# name\n", 0, {}, {}},
        ClassifyCase{"second command line replaces the first",
                     "2,0 00 A4 00 00\n2,0 00 84\n> 90 00\n",
                     1,
                     {{0x00, 0x84}},
                     {{0x90, 0x00}}},
        ClassifyCase{"missing response: empty line",
                     "2,0 00 84\n\n2,0 00B0\n>9000\n",
                     2,
                     {{0x00, 0x84}, {0x00, 0xB0}},
                     {{}, {0x90, 0x00}}},
        ClassifyCase{"missing response: other text", "2,0 01\nfoo\n", 1, {{0x01}}, {{}}},
        ClassifyCase{"response of > only", "2,0 01\n>\n", 1, {{0x01}}, {{}}},
        ClassifyCase{"blanks between digits", "2,0 01\n> 9 0 0 0\n", 1, {{0x01}}, {{0x90, 0x00}}},
        ClassifyCase{"response before any command is skipped",
                     ">6A82\n2,0 01\n>9000\n",
                     1,
                     {{0x01}},
                     {{0x90, 0x00}}},
        ClassifyCase{
            "a second response is skipped", "2,0 01\n>9000\n>6A82\n", 1, {{0x01}}, {{0x90, 0x00}}},
        ClassifyCase{"2,0 at the end of the line", "2,0\n>9000\n", 1, {{}}, {{0x90, 0x00}}},
        ClassifyCase{"2,0 anywhere, first one counts",
                     "APDU 12,0:00A4\n>9000\n",
                     1,
                     {{0x00, 0xA4}},
                     {{0x90, 0x00}}},
        ClassifyCase{"last command line without newline is not counted",
                     "2,0 01\n>9000\n2,0 02",
                     1,
                     {{0x01}},
                     {{0x90, 0x00}}},
        ClassifyCase{"last command line with newline gets expected length 0",
                     "2,0 01\n>9000\n2,0 02\n",
                     2,
                     {{0x01}, {0x02}},
                     {{0x90, 0x00}, {}}},
        ClassifyCase{"last response without newline", "2,0 01\n>9000", 1, {{0x01}}, {{0x90, 0x00}}},
        ClassifyCase{"continuation", "2,0 01\n>90 \\\n00 11\n", 1, {{0x01}}, {{0x90, 0x00, 0x11}}},
        ClassifyCase{"continuation over several lines",
                     "2,0 01\n>01\\\n02 \\\n03\n2,0 02\n>9000\n",
                     2,
                     {{0x01}, {0x02}},
                     {{0x01, 0x02, 0x03}, {0x90, 0x00}}},
        ClassifyCase{"continuation with CR LF",
                     "2,0 01\r\n>01 02\\\r\n03 04\r\n",
                     1,
                     {{0x01}},
                     {{0x01, 0x02, 0x03, 0x04}}},
        ClassifyCase{"text after the backslash is ignored",
                     "2,0 01\n>01\\ 02 03\n04\n",
                     1,
                     {{0x01}},
                     {{0x01, 0x04}}},
        ClassifyCase{"only whole bytes before the backslash count",
                     "2,0 01\n>012\\\n34\n",
                     1,
                     {{0x01}},
                     {{0x01, 0x34}}},
        // The ">" takes a position and keeps the nibble the first line left there.
        ClassifyCase{"continuation line parsed from its first character",
                     "2,0 01\n>01\\\n>2\n",
                     1,
                     {{0x01}},
                     {{0x01, 0x12}}},
        ClassifyCase{"a continuation line is data, not a command",
                     "2,0 01\n>01\\\n2,0 02\n",
                     1,
                     {{0x01}},
                     {}},
        ClassifyCase{"end of file completes a continued response",
                     "2,0 01\n>01 02\\\n",
                     1,
                     {{0x01}},
                     {{0x01, 0x02}}},
        ClassifyCase{
            "wildcards in a command", "2,0 00 xx\n>9000\n", 1, {{0x00, 0x78}}, {{0x90, 0x00}}}));

struct NameCase {
    std::string line;
    std::string name;
};

class ReqNames : public ::testing::TestWithParam<NameCase> {
  protected:
    void SetUp() override { Load(""); }
};

TEST_P(ReqNames, NameLineForms) {
    Load(GetParam().line + "2,0 01\n>9000\n");
    ASSERT_EQ(gnCommand, 1);
    EXPECT_EQ(Name(0), GetParam().name) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ReqNames,
    ::testing::Values(NameCase{"# - Select MF\n", "Select MF\n"},
                      NameCase{"# -Xabc\n", "abc\n"}, // one character after the dash is skipped
                      NameCase{"# -\n", ""}, NameCase{"#\n", "\n"}, NameCase{"# \n", " \n"},
                      NameCase{"# Select\n", " Select\n"}, NameCase{"#Select\n", "Select\n"},
                      NameCase{"#-Select\n", "-Select\n"}));

TEST_F(ReqFile, NameFormsOnTheLastLineWithoutNewline) {
    for (const char* line : {"# -", "#", "# "}) {
        Load(std::string("#old name\n") + line);
        EXPECT_EQ(Name(0), std::string(line).substr(std::string(line) == "# -" ? 3 : 1)) << line;
        EXPECT_EQ(gnCommand, 0);
    }
}

TEST_F(ReqFile, LaterNameReplacesEarlierOneCompletely) {
    Load("#A much longer first name\n#B\n2,0 01\n>9000\n");
    char want[kNameSize] = "B\n";
    EXPECT_EQ(std::memcmp(gchApduName[0], want, kNameSize), 0);
}

TEST_F(ReqFile, NameAndCommandOnOneLine) {
    Load("# 2,0 00A4\n>9000\n");
    ASSERT_EQ(gnCommand, 1);
    EXPECT_EQ(Name(0), " 2,0 00A4\n");
    EXPECT_EQ(Command(0), (Bytes{0x00, 0xA4}));
}

TEST_F(ReqFile, NameLineClosingATestNamesTheClosedTest) {
    Load("2,0 01\n#N\n2,0 02\n>9000\n");
    ASSERT_EQ(gnCommand, 2);
    EXPECT_EQ(Name(0), "N\n");
    EXPECT_EQ(gnExpectedLength[0], 0u);
    EXPECT_EQ(Name(1), "");
    EXPECT_EQ(Command(1), (Bytes{0x02}));
}

TEST_F(ReqFile, LongNameIsCutAt199Characters) {
    Load("#" + std::string(300, 'n') + "\n2,0 01\n>9000\n#next\n");
    EXPECT_EQ(Name(0), std::string(kNameSize - 1, 'n'));
    EXPECT_EQ(Name(1), "next\n");
}

TEST_F(ReqFile, LongLinesAreReadWhole) {
    // Longer than any line buffer: 35001 command bytes on one line, the response on the next.
    const std::string digits(70000, 'A');
    EXPECT_EQ(Load("2,0 " + digits + "B1\n>9000\n"), " (with 1 APDUs)\n");
    ASSERT_EQ(gnCommand, 1);
    EXPECT_EQ(gnCommandLength[0], 35001u);
    EXPECT_EQ(gbyCommand[0][35000], 0xB1);
    EXPECT_EQ(Expected(0), (Bytes{0x90, 0x00}));
}

TEST_F(ReqFile, OverLongTestsAreDroppedAndNamed) {
    const std::string largest =
        "2,0 " + std::string(2 * kApduSize, '1') + "\n>" + std::string(2 * kApduSize, 'x') + "\n";
    std::string response = ">";
    for (int i = 0; i < 3; ++i) {
        response += std::string(50000, '5') + "\\\n";
    }
    const std::string text = "#first\n2,0 01\n>9000\n"
                             "# - big one\r\n2,0 " +
                             std::string(2 * kApduSize + 2, 'C') + "\n>9000\n2,0 03\n" + response +
                             "\n#largest\n" + largest + "2,0 05\n>6A82\n";
    EXPECT_EQ(Load(text), " (with 3 APDUs)\n"
                          "Test 2 (big one) not loaded: its command is longer than 65536 bytes.\n"
                          "Test 3 not loaded: its expected response is longer than 65536 bytes.\n");
    ASSERT_EQ(gnCommand, 3);
    EXPECT_EQ(Name(0), "first\n");
    EXPECT_EQ(Name(1), "largest\n");
    EXPECT_EQ(gnCommandLength[1], kApduSize);
    EXPECT_EQ(gnExpectedLength[1], kApduSize);
    EXPECT_EQ(gbyWildcard[1][kApduSize - 1], 1);
    EXPECT_EQ(Command(2), Bytes{0x05});
    EXPECT_EQ(Expected(2), (Bytes{0x6A, 0x82}));
}

TEST_F(ReqFile, OnlyXxIsMarkedAsWildcard) {
    Load("2,0 01\n>78 xx Xx 7x x8 78\n");
    ASSERT_EQ(gnCommand, 1);
    EXPECT_EQ(Expected(0), (Bytes{0x78, 0x78, 0x78, 0xE8, 0x88, 0x78}));
    const Bytes marks(gbyWildcard[0], gbyWildcard[0] + gnExpectedLength[0]);
    EXPECT_EQ(marks, (Bytes{0, 1, 1, 0, 0, 0}));
}

TEST_F(ReqFile, ContinuationNeverWritesPastTheExpectedArea) {
    std::string text = "2,0 01\n>";
    for (int i = 0; i < 12; ++i) {
        text += std::string(60000, '5') + "\\\n";
    }
    text += "\n2,0 02\n>\n";
    Load(text);
    // The over-long response is not cut to the area: its test is dropped, the next one loads.
    ASSERT_EQ(gnCommand, 1);
    EXPECT_EQ(Command(0), Bytes{0x02});
    EXPECT_EQ(gnExpectedLength[0], 0u);
    EXPECT_TRUE(std::all_of(gbyExpected[1], gbyExpected[1] + 64, [](std::uint8_t b) {
        return b == 0;
    })) << "the next test's area was written";
}

TEST_F(ReqFile, MoreThan500TestsLoadsTheFirst500AndSaysSo) {
    std::string text;
    for (int i = 0; i < kMaxTests + 2; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "#t%d\n2,0 %04X\n>9000\n", i, i);
        text += line;
    }
    text += "#after\n";
    EXPECT_EQ(Load(text),
              " (with 500 APDUs)\nOnly the first 500 of the file's 502 tests were loaded.\n");
    EXPECT_EQ(gnCommand, kMaxTests);
    EXPECT_EQ(Name(kMaxTests - 1), "t499\n");
    EXPECT_EQ(Command(kMaxTests - 1), (Bytes{0x01, 0xF3}));
}

TEST_F(ReqFile, Exactly500TestsSayNothingMore) {
    std::string text;
    for (int i = 0; i < kMaxTests; ++i) {
        text += "2,0 01\n>9000\n";
    }
    text += "2,0 02"; // not counted: the last line has no newline
    EXPECT_EQ(Load(text), " (with 500 APDUs)\n");
}

TEST_F(ReqFile, NothingStaleFromEarlierLinesIsRead) {
    // The later, shorter lines sit in the line buffer over the bytes of the first one.
    Load("2,0 11 22 33 44 55 66 77 88 99\n>" + std::string("\0\n", 2) + "2,0");
    EXPECT_EQ(gnCommand, 1);
    EXPECT_EQ(gnExpectedLength[0], 0u);
    EXPECT_EQ(gnCommandLength[1], 0u);
}

TEST_F(ReqFile, NulInALineEndsIt) {
    Load(std::string("2,0 01 02\0 03\n>90\0 00\n", 22));
    ASSERT_EQ(gnCommand, 1);
    EXPECT_EQ(Command(0), (Bytes{0x01, 0x02}));
    EXPECT_EQ(Expected(0), (Bytes{0x90}));
}

TEST_F(ReqFile, AStreamInErrorEndsTheLoad) {
    // Reading a directory fails at once and never reaches the end of the file.
    std::FILE* dir = std::fopen(std::filesystem::temp_directory_path().c_str(), "r");
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(teststd::CaptureStdout([&] { CTReadReqFile(dir); }), " (with 0 APDUs)\n");
}

TEST_F(ReqFile, AStreamAlreadyReadFromLoadsTheRest) {
    std::string text = "2,0 01\n>9000\n2,0 02\n>6A82\n";
    std::FILE* f = fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(f, nullptr);
    char first[16];
    ASSERT_NE(std::fgets(first, sizeof first, f), nullptr);
    EXPECT_EQ(teststd::CaptureStdout([&] { CTReadReqFile(f); }), " (with 1 APDUs)\n");
    EXPECT_EQ(Command(0), (Bytes{0x02}));
    EXPECT_EQ(Expected(0), (Bytes{0x6A, 0x82}));
}

TEST_F(ReqFile, FileLongerThanTheStreamBufferLoadsWhole) {
    constexpr int kTests = 300;
    std::string text;
    for (int i = 0; i < kTests; ++i) {
        char edge[8];
        std::snprintf(edge, sizeof edge, "%02X", i & 0xFF);
        text += "#" + std::to_string(i) + "\n2,0 " + edge + std::string(3000, 'C') + edge + "\n>" +
                std::string(1000, 'x') + "9000\n";
    }
    EXPECT_EQ(Load(text), " (with 300 APDUs)\n");
    for (int i = 0; i < kTests; ++i) {
        ASSERT_EQ(gnCommandLength[i], 1502u) << i;
        EXPECT_EQ(gbyCommand[i][0], i & 0xFF) << i;
        EXPECT_EQ(gbyCommand[i][1501], i & 0xFF) << i;
        EXPECT_EQ(gnExpectedLength[i], 502u) << i;
        EXPECT_EQ(Name(i), std::to_string(i) + "\n");
    }
}

std::string BigScenario() {
    std::string text;
    for (int i = 0; i < 40; ++i) {
        text += "# - " + std::string(150, 'a' + i % 26) + "\n";
        text += "2,0 " + std::string(2001 + i * 37, '7') + "\n";
        text += ">" + std::string(3001 + i * 11, 'c') + "\\\n" + std::string(999, 'x') + "\n";
    }
    return text + "#pending name\n2,0 1234";
}

TEST_F(ReqFile, ReloadLeavesTheTableAsAFullClearWould) {
    Load(BigScenario());
    Load("");
    EXPECT_TRUE(TableAllZero());

    const std::string small = "#s\n2,0 01\n>9000\n2,0 0203\n\n";
    Load(small);
    const std::uint64_t fresh = TableDigest();
    Load(BigScenario());
    Load(small);
    EXPECT_EQ(TableDigest(), fresh);
}

TEST_F(ReqFile, ResetValuesClearsWhatALoadWrote) {
    Load(BigScenario());
    iResetValues();
    EXPECT_TRUE(TableAllZero());
}

} // namespace
