// The lines the REQ rules read leniently: what quorvane-run warns of (and refuses with --strict),
// while the reading itself stays the rules'.
#include "req/req_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct LenientCase {
    const char* what;
    std::string text;
    std::vector<std::string> notes; // "LINE: what"
};

std::vector<std::string> Notes(const std::string& text) {
    std::vector<std::string> notes;
    for (const qv::LenientLine& note : qv::LenientLines(text))
        notes.push_back(std::to_string(note.line) + ": " + note.what);
    return notes;
}

class LenientTable : public ::testing::TestWithParam<LenientCase> {};

TEST_P(LenientTable, NamesEachLineOnce) {
    EXPECT_EQ(Notes(GetParam().text), GetParam().notes) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    BadFiles, LenientTable,
    ::testing::Values(
        LenientCase{"a clean file, CR LF, continuation, wildcards and names",
                    "# - Select\r\n1,2,0: 00 A4 00 00 02 3F 00\r\n> 90 00\r\n2,0 0084000008\n"
                    ">xx xx XX 9000\n2,0 00B0\n> 01 \\\n02 90 00\n2,0 01\n\n# - next\n",
                    {}},
        LenientCase{"a response no command awaits",
                    ">6A82\n2,0 01\n>9000\n>6A82\n",
                    {"1: a \">\" line that no command awaits is ignored",
                     "4: a \">\" line that no command awaits is ignored"}},
        LenientCase{"a test closed by a blank line before its response",
                    "2,0 01\n\n> 90 00\n",
                    {"3: a \">\" line ignored: line 2 (blank) closed the test of line 1 without an "
                     "expected response"}},
        LenientCase{"closed by a comment, by text",
                    "2,0 01\n# ok\n> 90 00\n2,0 02\nnote\n\n>9000\n",
                    {"3: a \">\" line ignored: line 2 (a \"#\" line) closed the test of line 1 "
                     "without an expected response",
                     "7: a \">\" line ignored: line 5 (a line of text) closed the test of line 4 "
                     "without an expected response"}},
        LenientCase{"a name or comment holding 2,0",
                    "# Suite 2,0 for the card\n> 90 00\n# - Select 2,0\n",
                    {"1: a \"#\" line holding \"2,0\" is a command: it is sent to the card",
                     "3: a \"#\" line holding \"2,0\" is a command: it is sent to the card"}},
        LenientCase{"hex text that is not hex",
                    "2,0 00\tA4\n>9000\n2,0 0x3F\n>9000\n2,0 01\n> 90 0Z\n2,0 01\n> 90 00 # ok\n"
                    "2,0 00 A4 0\n>9000\n2,0 01\n> 9x 00\n2,0 01\n> 6\x01 00\n",
                    {"1: a tab in hex text takes a digit's place",
                     "3: \"0x\" in hex text: the x is a wildcard digit, not a prefix",
                     "6: 'Z' in hex text takes a digit's place",
                     "8: '#' in hex text takes a digit's place",
                     "9: an odd number of hex digits: the last one is dropped",
                     "12: a single x in a byte: only xx matches any byte",
                     "14: the byte 01 in hex text takes a digit's place"}},
        LenientCase{"odd digits before a continuation and in its next line",
                    "2,0 01\n> 012\\\n345\n",
                    {"2: an odd number of hex digits: the last one is dropped",
                     "3: an odd number of hex digits: the last one is dropped"}},
        LenientCase{"a command line with no bytes",
                    "2,0\n> 90 00\n2,0   \n>9000\n",
                    {"1: a command line with no bytes", "3: a command line with no bytes"}},
        LenientCase{"a byte-order mark",
                    "\xEF\xBB\xBF# - Select\n2,0 01\n>9000\n",
                    {"1: a byte-order mark before the first line: its bytes are read as text"}},
        LenientCase{"a backslash at the end of the file, with and without a line end",
                    "2,0 01\n> 90 \\\n",
                    {"2: a backslash on the file's last line: the response goes on into "
                     "nothing"}},
        LenientCase{"a backslash on a last line without a line end", "2,0 01\n> 90 \\",
                    {"2: a backslash on the file's last line: the response goes on into "
                     "nothing"}},
        LenientCase{"one note a line: the first thing found",
                    "# x 2,0 zz\n>90\n",
                    {"1: a \"#\" line holding \"2,0\" is a command: it is sent to the card"}}));

// The notes change nothing the reader hands over: the rules stay as they are.
TEST(Lenient, TheReadingStaysTheRules) {
    struct Count : qv::ReqSink {
        std::size_t tests = 0;
        void Test(const qv::ReqTest&) override { ++tests; }
    } count;
    qv::ReadReqText("# Suite 2,0 for the card\n> 90 00\n2,0 01\n\n> 90 00\n", count);
    EXPECT_EQ(count.tests, 2u);
}

} // namespace
