// Bad input to the whole program on the test bed: end of input and 1 MB or binary lines at every
// prompt, empty, binary and oversized REQ files, a directory of 5000 entries, long paths,
// unreadable directories, no terminal and terminals too small or unknown for the browser. Every
// run must end with status 255 and say what went wrong in one line, never crash or hang.
#include "pty_screen.h"
#include "temp_tree.h"
#include "transcripts.h"

#include "bed/sim_card.h"
#include "bed/pcscd.h"
#include "bed_run.h"
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ptyscreen::Screen;

namespace {

using transcript::kPrompt;
const std::string kCtbcsTitle = "  |              Ctbcs               |\n";
const std::string kWaitPrompt = "Enter Wait time in seconds : ";
const std::string kSelectReader = " Select Reader :";
const std::string kNotChosen = "No File Selected.\nNo reqfile opened\n";
const char* const kOneTest = "2,0 00 A4 04 00 02 3F 00\n> 90 00\n";

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

using transcript::Report;

// Bytes of every value a line may hold, NUL included, but none that GetUserEntry could take
// for a number, "x", "q" or a line end.
std::string Garbage(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string out;
    while (out.size() < size) {
        const char c = static_cast<char>(random() & 0xff);
        if (std::string_view("0123456789+-xq\n").find(c) == std::string_view::npos) {
            out += c;
        }
    }
    return out;
}

bed::CardScript Card() {
    bed::CardScript script;
    script.rules = {{"00 A4 04 00 xx *", {0x90, 0x00}}};
    return script;
}

class BadInput : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bed::InSandbox()) {
            GTEST_SKIP() << "needs testbed/sandbox";
        }
        root_ = temptree::Make("bad_input");
        fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
        pcscd_ = std::make_unique<bed::Pcscd>();
        card_ = std::make_unique<bed::SimCard>(Card(), 0);
        card_->Insert();
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    }

    void TearDown() override {
        program_.reset();
        card_.reset();
        pcscd_.reset();
        temptree::Remove(root_);
    }

    // Piped standard input, no terminal; the run must end by itself with status 255.
    static std::string Piped(const std::string& input) {
        bed::RunOptions options;
        options.input = input;
        options.timeout = 60s;
        const bed::RunResult r = bed::Run({bed::ProgramPath()}, options);
        EXPECT_FALSE(r.timedOut) << r.out.substr(0, 2000);
        EXPECT_EQ(r.status, 255) << r.out.substr(0, 2000);
        return r.out;
    }

    void Start(const fs::path& dir, ptyscreen::Options options = {},
               std::vector<std::string> argv = {bed::ProgramPath()}) {
        options.workDir = dir.string();
        program_ = std::make_unique<Screen>(argv, options);
        ASSERT_TRUE(program_->WaitForOutput(kPrompt)) << program_->Output();
    }

    std::string Since(std::size_t mark) const { return program_->Output().substr(mark); }

    // Types `choice` and waits for `expected` followed by the next menu.
    ::testing::AssertionResult Choose(const std::string& choice, const std::string& expected,
                                      std::chrono::milliseconds timeout = 10s) {
        const std::size_t mark = program_->Output().size();
        program_->Type(choice + "\n");
        if (program_->WaitForOutput(expected + "   __", mark, timeout) &&
            program_->WaitForOutput(kPrompt, mark + 1, timeout)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "after " << choice << ":\n" << Since(mark);
    }

    void PowerCard() {
        ASSERT_TRUE(Choose("1\n1", "value of CT_init is 0\n"));
        ASSERT_TRUE(Choose("2", "ATR Received :90 00 \n"));
        ASSERT_TRUE(Choose("3", "ATR Received : 3B 02 14 50 90 01 \n"));
    }

    // Choice 4 and `name` chosen in the browser showing `dir`; waits for the next menu.
    ::testing::AssertionResult Open(const fs::path& dir, const std::string& name,
                                    const std::string& expected) {
        const std::size_t mark = program_->Output().size();
        program_->Type("4\n");
        if (!ptyscreen::SelectInBrowser(*program_, dir, name)) {
            return ::testing::AssertionFailure() << name << " not offered:\n" << program_->Text();
        }
        if (program_->WaitForOutput(expected + "   __", mark) &&
            program_->WaitForOutput(kPrompt, mark + 1)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "after choosing " << name << ":\n" << Since(mark);
    }

    std::string Opened(const fs::path& file, int tests) const {
        return "\n" + file.string() + " opened (with " + std::to_string(tests) + " APDUs)\n";
    }

    void Exit() {
        program_->Type("8\n");
        EXPECT_EQ(program_->Wait(), 255) << program_->Output();
    }

    fs::path root_;
    std::unique_ptr<bed::Pcscd> pcscd_;
    std::unique_ptr<bed::SimCard> card_;
    std::unique_ptr<Screen> program_;
};

// ---- prompts ------------------------------------------------------------------------------------

// End of input at a prompt ends the run the way Exit does: the terminal is closed, whether open
// or not, and the result printed.
TEST_F(BadInput, EndOfInputAtEveryPrompt) {
    const struct {
        const char* input;
        std::string lastPrompt;
        const char* close;
    } cases[] = {
        {"", kPrompt, "-1"},
        {"1\n", kSelectReader, "-1"},
        {"7\n", kPrompt, "-1"},
        {"7\n1\n", kSelectReader, "-1"},
        {"7\n1\n1\n2\n6\n", kWaitPrompt, "0"},
        {"7\n1\n1\n2\n7\n", kWaitPrompt, "0"},
        {"11\n", kSelectReader, "-1"},
    };
    for (const auto& c : cases) {
        const std::string out = Piped(c.input);
        EXPECT_TRUE(out.ends_with(c.lastPrompt + "\nvalue of CT_close is " + c.close + "\n"))
            << "input " << c.input << ":\n"
            << out;
    }
}

// A line longer than the four characters a prompt takes arrives in pieces, each one answer;
// 1 MB of them, or of binary bytes, only repeats the prompt, and the input after the line
// still gets through.
TEST_F(BadInput, MegabyteAndBinaryLinesAtEveryPrompt) {
    const std::string megabyte(1 << 20, 'x');
    const int pieces = (1 << 20) / 4;
    const std::string binary = Garbage(1 << 16, 7);
    const struct {
        std::string input;
        std::string prompt;
        std::size_t times; // how often `prompt` is printed in the whole run
    } cases[] = {
        // The pieces, the empty rest of the line and "q": each a main menu.
        {megabyte + "\nq\n", kPrompt, static_cast<std::size_t>(pieces) + 2},
        {binary + "\nq\n", kPrompt, (1 << 16) / 4 + 2},
        // The reader prompt asks again for every piece; then 1 is chosen.
        {"1\n" + megabyte + "\n1\nq\n", kSelectReader, static_cast<std::size_t>(pieces) + 2},
        {"11\n" + binary + "\n1\nq\n", kSelectReader, (1 << 16) / 4 + 2},
        // In the CT-BCS menu each piece redisplays it; 9 leaves it.
        {"7\n" + megabyte + "\n9\nq\n", kCtbcsTitle, static_cast<std::size_t>(pieces) + 2},
        // The wait takes the first piece (no number: no wait); the rest goes to the menu.
        {"7\n1\n1\n2\n6\n" + megabyte + "\n9\nq\n", kCtbcsTitle,
         static_cast<std::size_t>(pieces) + 4},
    };
    for (const auto& c : cases) {
        const std::string out = Piped(c.input);
        EXPECT_EQ(Count(out, c.prompt), c.times) << c.input.substr(0, 12);
        EXPECT_TRUE(out.ends_with(kPrompt))
            << out.substr(out.size() - std::min<std::size_t>(out.size(), 500));
    }
}

// ---- REQ files ----------------------------------------------------------------------------------

// Random bytes, NUL and line ends included, with command and response marks sown in.
std::string BinaryReqFile() {
    std::mt19937 random(11);
    std::string out;
    for (int line = 0; line < 400; ++line) {
        const std::size_t length = random() % 120;
        for (std::size_t i = 0; i < length; ++i) {
            out += static_cast<char>(random() & 0xff);
        }
        out += line % 3 == 0 ? "2,0 " : line % 3 == 1 ? ">" : "";
        for (std::size_t i = 0; i < length; ++i) {
            out += static_cast<char>(random() & 0xff);
        }
        out += '\n';
    }
    return out;
}

TEST_F(BadInput, EmptyBinaryAndOversizedReqFiles) {
    std::ofstream(root_ / "empty.req");
    std::ofstream(root_ / "short.req") << "2,0 00\n> 90 00\n2,0 00 A4\n\n" << kOneTest;
    std::ofstream(root_ / "binary.req", std::ios::binary) << BinaryReqFile();
    {
        std::ofstream many(root_ / "many.req");
        for (int i = 0; i < 600; ++i) {
            many << kOneTest;
        }
        // A command line of 100000 digits: longer than any line buffer, read whole.
        std::ofstream(root_ / "long.req") << "2,0 " << std::string(100000, '1') << "\n> 90 00\n";
    }
    Start(root_);
    PowerCard();

    EXPECT_TRUE(Open(root_, "empty.req", Opened(root_ / "empty.req", 0)));
    EXPECT_TRUE(Choose("5", Report(0, 0)));

    // Commands without their four header bytes are refused by the library, not sent.
    EXPECT_TRUE(Open(root_, "short.req", Opened(root_ / "short.req", 3)));
    EXPECT_TRUE(Choose("5", "\nFailure in SCardTransmit. Error 0xffffffff"
                            "\nFailure in SCardTransmit. Error 0xffffffff" +
                                Report(3, 1)));

    EXPECT_TRUE(Open(root_, "many.req",
                     Opened(root_ / "many.req", 500) +
                         "Only the first 500 of the file's 600 tests were loaded.\n"));
    const std::size_t before = card_->ReceivedApdus().size();
    EXPECT_TRUE(Choose("5", Report(500, 500), 60s));
    EXPECT_EQ(card_->ReceivedApdus().size(), before + 500);

    // Whatever the bytes made of the tests, each failed test has its one line and the report
    // adds up.
    for (const char* name : {"binary.req", "long.req"}) {
        std::size_t mark = program_->Output().size();
        program_->Type("4\n");
        ASSERT_TRUE(ptyscreen::SelectInBrowser(*program_, root_, name));
        ASSERT_TRUE(program_->WaitForOutput(" APDUs)\n", mark)) << Since(mark);
        const std::string loaded = Since(mark);
        const std::size_t with = loaded.rfind(" (with ");
        const int tests = std::stoi(loaded.substr(with + 7));
        EXPECT_GT(tests, 0) << name;
        ASSERT_TRUE(program_->WaitForOutput(kPrompt, mark));

        mark = program_->Output().size();
        program_->Type("5\n");
        ASSERT_TRUE(program_->WaitForOutput("\nNo of Tests Failed\t:", mark, 60s))
            << name << Since(mark);
        ASSERT_TRUE(program_->WaitForOutput(kPrompt, mark)) << Since(mark);
        const std::string run = Since(mark);
        const std::size_t report = run.find("\n\n\nTest Report");
        ASSERT_NE(report, std::string::npos) << run;
        const std::string failures = run.substr(0, report);
        const int failed = std::stoi(run.substr(run.find("Failed\t:") + 8));
        EXPECT_EQ(Count(failures, "\nFailure in SCardTransmit. Error 0x") +
                      Count(failures, "\nError in Opening Log File"),
                  static_cast<std::size_t>(failed))
            << name << ":\n"
            << run;
        EXPECT_NE(run.find("Total no of Tests\t:" + std::to_string(tests) + "\n"),
                  std::string::npos)
            << run;
    }
    Exit();
}

// ---- the browser --------------------------------------------------------------------------------

TEST_F(BadInput, DirectoryOfFiveThousandEntries) {
    const fs::path dir = root_ / "many";
    fs::create_directory(dir);
    for (int i = 0; i < 5000; ++i) {
        std::ofstream(dir / ("t" + std::to_string(i) + ".req")) << kOneTest;
    }
    const std::vector<std::string> listed = ptyscreen::BrowserListing(dir);
    ASSERT_EQ(listed.size(), 5001u);
    Start(dir);
    PowerCard();
    // Up from entry 1 wraps to the last of the 5001 entries; page keys stop at the ends.
    const std::size_t mark = program_->Output().size();
    program_->Type("4\n");
    ASSERT_TRUE(program_->WaitForScreen(ptyscreen::BrowserTitle(dir.string())));
    program_->Key(VTERM_KEY_UP);
    program_->Key(VTERM_KEY_PAGEDOWN);
    ASSERT_TRUE(program_->WaitForScreen(listed.back())) << program_->Text();
    program_->Key(VTERM_KEY_ENTER);
    EXPECT_TRUE(program_->WaitForOutput(Opened(dir / listed.back(), 1) + "   __", mark))
        << Since(mark);
    EXPECT_TRUE(Choose("5", Report(1, 1)));
    Exit();
}

TEST_F(BadInput, PathsLongerThanThreeHundredCharacters) {
    fs::path deep = root_;
    for (const char c : {'a', 'b', 'c'}) {
        deep /= std::string(120, c);
    }
    fs::create_directories(deep);
    const std::string name = std::string(200, 'n') + ".req";
    std::ofstream(deep / name) << kOneTest;
    ASSERT_GT((deep / name).string().size(), 500u);
    Start(deep);
    PowerCard();
    EXPECT_TRUE(Open(deep, name, Opened(deep / name, 1)));
    EXPECT_TRUE(Choose("5", Report(1, 1)));
    Exit();
}

// Whether this process can start a program as uid 65534; a user namespace that maps only the
// caller's uid cannot.
std::optional<std::string> CannotSwitchUser() {
    bed::RunOptions options;
    options.timeout = 30s;
    const bed::RunResult probe = bed::Run(
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/true"},
        options);
    if (probe.status == 0) {
        return std::nullopt;
    }
    return "cannot start a program as uid 65534 here: " + probe.out;
}

// The program and the CT-API library it loads, copied to where uid 65534 can reach them: the
// checkout itself may lie below a folder only its owner may enter.
class ProgramForAnyUser {
  public:
    ProgramForAnyUser() : dir_(temptree::Make("bad_input_program")) {
        constexpr auto kAnyoneRuns = fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec;
        fs::permissions(dir_, kAnyoneRuns);
        fs::copy_file(bed::ProgramPath(), Program());
        fs::copy_file(bed::BuildPath("lib/libctapi-pcsc.so.1"), dir_ / "libctapi-pcsc.so.1");
        fs::permissions(Program(), kAnyoneRuns);
        fs::permissions(dir_ / "libctapi-pcsc.so.1", kAnyoneRuns);
    }
    ~ProgramForAnyUser() { temptree::Remove(dir_); }
    ProgramForAnyUser(const ProgramForAnyUser&) = delete;
    ProgramForAnyUser& operator=(const ProgramForAnyUser&) = delete;

    std::string Program() const { return (dir_ / "quorvane").string(); }
    std::string LibraryPath() const { return "LD_LIBRARY_PATH=" + dir_.string(); }

  private:
    fs::path dir_;
};

// Run as an unprivileged user, so that permissions hold: a directory that cannot be entered is
// not, one that cannot be read shows only the way back, and a file that cannot be read is
// reported with the directory it was looked for in.
TEST_F(BadInput, UnreadableDirectoriesAndFiles) {
    if (const auto reason = CannotSwitchUser()) {
        GTEST_SKIP() << *reason;
    }
    const ProgramForAnyUser copy;
    fs::create_directory(root_ / "closed");
    fs::create_directory(root_ / "locked");
    std::ofstream(root_ / "locked/hidden.req") << kOneTest;
    std::ofstream(root_ / "ok.req") << kOneTest;
    std::ofstream(root_ / "secret.req") << kOneTest;
    fs::permissions(root_ / "closed", fs::perms::none);
    fs::permissions(root_ / "locked",
                    fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(root_ / "secret.req", fs::perms::none);
    ptyscreen::Options options;
    options.env = {copy.LibraryPath()};
    Start(root_ / "locked", options,
          {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", copy.Program()});
    PowerCard();

    // Started in the unreadable directory: only ".." is offered.
    std::size_t mark = program_->Output().size();
    program_->Type("4\n");
    ASSERT_TRUE(program_->WaitForScreen(ptyscreen::BrowserTitle((root_ / "locked").string())));
    // The list starts on screen row 4 (window row 2); row 5 stays empty.
    EXPECT_TRUE(program_->WaitFor([&] {
        return program_->Row(4).find(" ../ ") != std::string::npos;
    })) << program_->Text();
    EXPECT_EQ(program_->Row(5).find_first_of("abcdefghijklmnopqrstuvwxyz./"), std::string::npos)
        << program_->Text();
    program_->Key(VTERM_KEY_ENTER);
    // Selecting "closed" leaves the browser where it is, back on entry 1. Down to an entry
    // that was not highlighted before shows the Return handled.
    const std::vector<std::string> names = ptyscreen::BrowserListing(root_);
    ASSERT_TRUE(ptyscreen::SelectInBrowser(*program_, root_, "closed"));
    const int downs = names.at(1) == "closed" ? 2 : 1;
    for (int i = 0; i < downs; ++i) {
        program_->Key(VTERM_KEY_DOWN);
    }
    EXPECT_TRUE(program_->WaitFor([&] {
        return program_->Reverse(4 + downs, 4) &&
               program_->Row(4 + downs).find(" " + names.at(downs)) != std::string::npos;
    })) << program_->Text();
    EXPECT_NE(program_->Text().find(ptyscreen::BrowserTitle(root_.string())), std::string::npos)
        << program_->Text();
    for (int i = 0; i < downs; ++i) {
        program_->Key(VTERM_KEY_UP);
    }
    ASSERT_TRUE(ptyscreen::SelectInBrowser(*program_, root_, "secret.req"));
    EXPECT_TRUE(program_->WaitForOutput("\n" + (root_ / "secret.req").string() +
                                            " file not found in the directory " + root_.string() +
                                            "\nNo reqfile opened\n   __",
                                        mark))
        << Since(mark);
    ASSERT_TRUE(program_->WaitForOutput(kPrompt, mark));
    EXPECT_TRUE(Open(root_, "ok.req", Opened(root_ / "ok.req", 1)));
    EXPECT_TRUE(Choose("5", Report(1, 1)));
    Exit();
}

// Without a usable terminal the browser is not started: one line says why, nothing is chosen.
TEST_F(BadInput, NoTerminalForTheBrowser) {
    const std::string out = Piped("1\n1\n2\n3\n4\n5\nq\n");
    EXPECT_NE(out.find("No usable terminal for the file chooser\n" + kNotChosen + "   __"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("File Not Opened"), std::string::npos) << out;
}

TEST_F(BadInput, TinyOrUnknownTerminalForTheBrowser) {
    const struct {
        int rows;
        int cols;
        std::vector<std::string> env;
        std::string says;
    } cases[] = {
        {10, 30, {}, "Unfit Window size\n"},
        {1, 1, {}, "Unfit Window size\n"},
        {24, 80, {"TERM=no-such-terminal"}, "No usable terminal for the file chooser\n"},
        {24, 80, {"TERM"}, "No usable terminal for the file chooser\n"},
    };
    for (const auto& c : cases) {
        ptyscreen::Options options;
        options.rows = c.rows;
        options.cols = c.cols;
        options.env = c.env;
        Start(root_, options);
        PowerCard();
        EXPECT_TRUE(Choose("4", c.says + kNotChosen)) << c.rows << "x" << c.cols;
        EXPECT_TRUE(Choose("5", "File Not Opened")) << c.rows << "x" << c.cols;
        Exit();
    }
}

} // namespace
