// The whole test road from the main menu, as a tester walks it: the program in a pseudo-terminal
// on the test bed, the card terminal opened and reset, a REQ file chosen in the browser by keys,
// the scenario run and its report; then a second file, a browser left with Esc, a file that
// cannot be opened.
#include "pty_screen.h"
#include "temp_tree.h"
#include "transcripts.h"

#include "bed/sim_card.h"
#include "bed/pcscd.h"
#include "bed_run.h"
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace fs = std::filesystem;
using ptyscreen::Screen;
using ptyscreen::SelectInBrowser;

namespace {

const char* const kCardScript = R"(
atr 3B 02 14 50
apdu 00 A4 04 00 xx * -> 90 00
apdu 00 B0 00 00 02 -> 12 34 90 00
default 6D 00
)";

// Two tests the card passes.
const char* const kPassing = "# - Select application\n"
                             "1,2,0: 00 A4 04 00 02 3F 00\n"
                             "> 90 00\n"
                             "# - Read two bytes\n"
                             "2,0 00 B0 00 00 02\n"
                             "> 12 34 90 00\n";
// Three tests: a wildcard pass, a pass without expected response, a mismatch (6D 00).
const char* const kMixed = "2,0 00B0000002\n"
                           ">xx xx 9000\n"
                           "2,0 00 A4 04 00 01 01\n"
                           "\n"
                           "#Get data\n"
                           "2,0 00 CA 00 00 00\n"
                           "> 90 00\n";

using transcript::kPrompt;

using transcript::Report;

class Road : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bed::InSandbox()) {
            GTEST_SKIP() << "needs testbed/sandbox";
        }
        root_ = temptree::Make("road");
        fs::create_directories(root_ / "suites");
        std::ofstream(root_ / "suites/pass.req") << kPassing;
        std::ofstream(root_ / "suites/mixed.req") << kMixed;
        fs::create_symlink(root_ / "suites/moved.req", root_ / "suites/gone.req");

        pcscd_ = std::make_unique<bed::Pcscd>();
        card_ = std::make_unique<bed::SimCard>(bed::ParseCardScript(kCardScript), 0);
        card_->Insert();
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));

        ptyscreen::Options options;
        options.workDir = root_.string();
        program_ = std::make_unique<Screen>(std::vector<std::string>{bed::ProgramPath()}, options);
        ASSERT_TRUE(program_->WaitForOutput(kPrompt)) << program_->Output();
    }

    void TearDown() override {
        program_.reset();
        card_.reset();
        pcscd_.reset();
        temptree::Remove(root_);
    }

    // True once `expected`, then the next menu and its prompt, were printed after byte `mark`.
    bool MenuAfter(std::size_t mark, const std::string& expected) {
        return program_->WaitForOutput(expected + "   __", mark) &&
               program_->WaitForOutput(kPrompt, mark + expected.size());
    }

    // Types a menu choice and waits for its output and the next menu.
    bool Choose(const std::string& choice, const std::string& expected) {
        const std::size_t mark = program_->Output().size();
        program_->Type(choice + "\n");
        return MenuAfter(mark, expected);
    }

    // Menu choice 4 up to the browser showing the working directory.
    std::size_t OpenBrowser() {
        const std::size_t mark = program_->Output().size();
        program_->Type("4\n");
        EXPECT_TRUE(program_->WaitForScreen(ptyscreen::BrowserTitle(root_.string())))
            << program_->Text();
        return mark;
    }

    void UpToCardPowered() {
        std::size_t mark = program_->Output().size();
        program_->Type("1\n");
        ASSERT_TRUE(program_->WaitForOutput("  1. " + bed::ReaderName(0) + "\n", mark));
        ASSERT_TRUE(program_->WaitForOutput(" Select Reader :", mark)) << program_->Output();
        ASSERT_TRUE(Choose("1", "value of CT_init is 0\n")) << program_->Output();
        ASSERT_TRUE(Choose("2", "")) << program_->Output();
        ASSERT_TRUE(Choose("3", "")) << program_->Output();
        EXPECT_NE(program_->Output().find("ATR Received : 3B 02 14 50 "), std::string::npos);
    }

    fs::path root_;
    std::unique_ptr<bed::Pcscd> pcscd_;
    std::unique_ptr<bed::SimCard> card_;
    std::unique_ptr<Screen> program_;
};

TEST_F(Road, FromOpeningTheTerminalToTheReportAndBack) {
    UpToCardPowered();
    const fs::path suites = root_ / "suites";

    // 4: into the folder, choose the file; 5: the report.
    std::size_t mark = OpenBrowser();
    ASSERT_TRUE(SelectInBrowser(*program_, root_, "suites")) << program_->Text();
    ASSERT_TRUE(SelectInBrowser(*program_, suites, "pass.req")) << program_->Text();
    ASSERT_TRUE(MenuAfter(mark, "\n" + (suites / "pass.req").string() + " opened (with 2 APDUs)\n"))
        << program_->Output().substr(mark);
    EXPECT_TRUE(Choose("5", Report(2, 2, 0))) << program_->Output();

    // A second file replaces the table; the browser starts in the folder shown last.
    mark = program_->Output().size();
    program_->Type("4\n");
    ASSERT_TRUE(SelectInBrowser(*program_, suites, "mixed.req")) << program_->Text();
    EXPECT_TRUE(MenuAfter(mark, "mixed.req opened (with 3 APDUs)\n")) << program_->Output();
    EXPECT_TRUE(Choose("5", "\nError in Opening Log File" + Report(3, 2, 1))) << program_->Output();

    // Leaving the browser with Esc keeps the table and the state.
    mark = program_->Output().size();
    program_->Type("4\n");
    ASSERT_TRUE(program_->WaitForScreen(ptyscreen::BrowserTitle(suites.string())));
    program_->Key(VTERM_KEY_ESCAPE);
    EXPECT_TRUE(MenuAfter(mark, "No File Selected.\nNo reqfile opened\n"))
        << program_->Output().substr(mark);
    EXPECT_TRUE(Choose("5", "\nError in Opening Log File" + Report(3, 2, 1))) << program_->Output();

    // A file that cannot be opened names the working directory, the folder shown last.
    mark = program_->Output().size();
    program_->Type("4\n");
    ASSERT_TRUE(SelectInBrowser(*program_, suites, "gone.req")) << program_->Text();
    EXPECT_TRUE(MenuAfter(mark, "\n" + (suites / "gone.req").string() +
                                    " file not found in the directory " + suites.string() +
                                    "\nNo reqfile opened\n"))
        << program_->Output().substr(mark);
    EXPECT_TRUE(Choose("5", "\nError in Opening Log File" + Report(3, 2, 1))) << program_->Output();

    mark = program_->Output().size();
    program_->Type("8\n");
    EXPECT_TRUE(program_->WaitForOutput("value of CT_close is 0\n", mark));
    EXPECT_EQ(program_->Wait(), 255);
}

} // namespace
