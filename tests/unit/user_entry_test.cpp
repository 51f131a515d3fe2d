// Line input: pieces of at most four characters, the two key codes, numbers, end of input.
#include "menu/app/main_menu.h"
#include "menu/app/session.h"
#include "menu/app/user_entry.h"
#include "ctapi_double.h"
#include "std_streams.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// FeedStdin's rewind is served from what stdin still buffers of the previous text when that
// covers the same offsets; dropping the buffer first makes the next read see the new text.
void Feed(const char* text) {
    std::fflush(stdin);
    teststd::FeedStdin(text);
}

struct EntryCase {
    const char* input;
    std::vector<int> expected; // results of consecutive calls
};

class GetUserEntryTable : public ::testing::TestWithParam<EntryCase> {};

TEST_P(GetUserEntryTable, ReadsEachPieceOfTheLine) {
    const EntryCase& c = GetParam();
    Feed(c.input);
    std::vector<int> got;
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
        got.push_back(GetUserEntry());
    }
    EXPECT_EQ(got, c.expected) << "input: \"" << c.input << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, GetUserEntryTable,
    ::testing::Values(EntryCase{"\n", {343}}, EntryCase{"x\n", {361}}, EntryCase{"q\n", {361}},
                      EntryCase{"Q\n", {-1}}, EntryCase{"xx\n", {-1}},
                      EntryCase{"q \n", {-1}}, // "q" only when nothing else is on the line
                      EntryCase{" q\n", {-1}}, EntryCase{"1\n", {1}}, EntryCase{"8\n11\n", {8, 11}},
                      EntryCase{"  7\n", {7}},       // leading blanks skipped
                      EntryCase{"3ab\n", {3}},       // trailing characters ignored
                      EntryCase{"3abcd\n", {3, -1}}, // beyond four characters: the next piece
                      EntryCase{"-1\n", {-1}}, EntryCase{"-12\n", {-12}}, EntryCase{"+5\n", {5}},
                      EntryCase{"abc\n", {-1}},
                      EntryCase{" \n", {-1}},          // a blank is not an empty line
                      EntryCase{"12345\n", {1234, 5}}, // five digits: 1234, then 5
                      EntryCase{"1234\n",
                                {1234, 343}}, // the newline left over counts as an empty line
                      EntryCase{"123456789\n", {1234, 5678, 9}}, EntryCase{"abcd5\n", {-1, 5}},
                      EntryCase{"9999\n", {9999}}, EntryCase{"\n\n2\n", {343, 343, 2}},
                      EntryCase{"4", {4}}, // last line without a newline
                      EntryCase{"x", {361}}, EntryCase{"1\r\n", {1}}));

// At end of input the prompt's line is ended and the caller unwinds: whatever it holds is
// released on the way out.
TEST(GetUserEntryEndOfInput, EndsTheLineAndThrows) {
    for (const char* input : {"", "5\n"}) {
        Feed(input);
        int first = 0;
        const std::string out = teststd::CaptureStdout([&] {
            EXPECT_THROW(
                {
                    first = GetUserEntry();
                    GetUserEntry();
                },
                EndOfInput);
        });
        EXPECT_EQ(out, "\n") << input;
        EXPECT_EQ(first, *input ? 5 : 0) << input;
    }
}

// The main menu then ends the program the way Exit does: CT_close unless the closed mark is set,
// status 255. Standard output goes to standard error inside the death test so that its text can
// be matched.
TEST(GetUserEntryEndOfInput, MainMenuClosesTheTerminalAndEndsWith255) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            ctdouble::Reset();
            ctdouble::state().closeResult = 0;
            Feed("");
            RunMainMenu();
        },
        ::testing::ExitedWithCode(255), "Enter your Choice : \nvalue of CT_close is 0\n$");
}

TEST(GetUserEntryEndOfInput, ClosedMarkLeavesTheTerminalAlone) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            SetClosedMark();
            Feed("");
            RunMainMenu();
        },
        ::testing::ExitedWithCode(255), "Enter your Choice : \n$");
}

} // namespace
