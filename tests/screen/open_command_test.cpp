// The open command as menu choice 4 runs it (card powered): a harness calling CTOpenReqFile in a
// pseudo-terminal, the REQ file chosen in the browser by keys, the texts and the state after it.
#include "pty_screen.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using ptyscreen::Options;
using ptyscreen::Screen;
using ptyscreen::SelectInBrowser;

namespace {

class OpenCommand : public ::testing::Test {
  protected:
    void SetUp() override { root_ = temptree::Make("open_screen"); }
    void TearDown() override { temptree::Remove(root_); }

    void Write(const fs::path& relative, const std::string& text) const {
        fs::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative) << text;
    }

    std::unique_ptr<Screen> Start(int calls) const {
        Options options;
        options.workDir = root_.string();
        return std::make_unique<Screen>(
            std::vector<std::string>{OPEN_HARNESS, std::to_string(calls)}, options);
    }

    fs::path root_;
};

const std::string kTwoTests = "# - Select MF\n"
                              "1,2,0: 00 A4 00 00 02 3F 00\n"
                              "> 90 00\n"
                              "2,0 0084000008\n"
                              ">xx xx xx xx xx xx xx xx 9000\n";
const std::string kOneTest = "2,0 00B0000004\n> 01 02 03 04 90 00\n";

TEST_F(OpenCommand, LoadsTheChosenFileReplacesItAndKeepsItWhenNothingIsChosen) {
    Write("suites/two.req", kTwoTests);
    Write("suites/one.req", kOneTest);
    auto screen = Start(3);

    ASSERT_TRUE(SelectInBrowser(*screen, root_, "suites")) << screen->Text();
    ASSERT_TRUE(SelectInBrowser(*screen, root_ / "suites", "two.req")) << screen->Text();
    const std::string two = (root_ / "suites/two.req").string();
    EXPECT_TRUE(screen->WaitForOutput("\n" + two +
                                      " opened (with 2 APDUs)\n"
                                      "call 1: opened, state 4, tests 2, records ready\n"
                                      "  test 1: 7 command bytes, 2 expected\n"
                                      "  test 2: 5 command bytes, 10 expected\n"))
        << screen->Output();

    // The second call starts in the folder of the first choice.
    std::size_t mark = screen->Output().size();
    ASSERT_TRUE(SelectInBrowser(*screen, root_ / "suites", "one.req")) << screen->Text();
    EXPECT_TRUE(screen->WaitForOutput("one.req opened (with 1 APDUs)\n"
                                      "call 2: opened, state 4, tests 1, records ready\n"
                                      "  test 1: 5 command bytes, 6 expected\n",
                                      mark))
        << screen->Output().substr(mark);

    mark = screen->Output().size();
    ASSERT_TRUE(screen->WaitForScreen(ptyscreen::BrowserTitle((root_ / "suites").string())));
    screen->Key(VTERM_KEY_ESCAPE);
    EXPECT_TRUE(screen->WaitForOutput("No File Selected.\n"
                                      "call 3: none, state 4, tests 1, records ready\n",
                                      mark))
        << screen->Output().substr(mark);
    EXPECT_EQ(screen->Wait(), 0);
}

TEST_F(OpenCommand, FileThatCannotBeOpenedNamesTheWorkingDirectory) {
    fs::create_directories(root_ / "lost");
    fs::create_symlink(root_ / "lost/removed.req", root_ / "lost/gone.req");
    auto screen = Start(1);
    ASSERT_TRUE(SelectInBrowser(*screen, root_, "lost")) << screen->Text();
    ASSERT_TRUE(SelectInBrowser(*screen, root_ / "lost", "gone.req")) << screen->Text();
    const std::string dir = (root_ / "lost").string();
    EXPECT_TRUE(screen->WaitForOutput("\n" + dir + "/gone.req file not found in the directory " +
                                      dir + "\ncall 1: none, state 3, tests 0, records none\n"))
        << screen->Output();
}

TEST_F(OpenCommand, LongPathIsOpenedWhole) {
    const fs::path deep = fs::path(std::string(120, 'a')) / std::string(120, 'b');
    Write(deep / "long.req", kOneTest);
    auto screen = Start(1);
    ASSERT_TRUE(SelectInBrowser(*screen, root_, std::string(120, 'a'))) << screen->Text();
    ASSERT_TRUE(SelectInBrowser(*screen, root_ / std::string(120, 'a'), std::string(120, 'b')))
        << screen->Text();
    ASSERT_TRUE(SelectInBrowser(*screen, root_ / deep, "long.req")) << screen->Text();
    EXPECT_TRUE(screen->WaitForOutput((root_ / deep / "long.req").string() +
                                      " opened (with 1 APDUs)\ncall 1: opened, state 4"))
        << screen->Output();
}

} // namespace
