// The REQ file browser's state on real directory trees: filter, listing, links, unreadable and
// too-deep directories, the view and the keys, titles and result paths; no screen involved.
#include "menu/chooser/browser.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <curses.h>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::set<std::string> Listed() {
    return {stNameList.begin(), stNameList.end()};
}

std::string Cwd() {
    return fs::current_path().string();
}

// 1-based number of `name` in the list shown, 0 when it is not there.
int NumberOf(const std::string& name) {
    const auto at = std::find(stNameList.begin(), stNameList.end(), name);
    return at == stNameList.end() ? 0 : static_cast<int>(at - stNameList.begin()) + 1;
}

// A fresh directory tree under /tmp; the working directory is put back afterwards.
class Tree : public ::testing::Test {
  protected:
    void SetUp() override {
        start_ = fs::current_path();
        root_ = temptree::Make("chooser_test");
        fs::permissions(root_, fs::perms::all ^ (fs::perms::group_write | fs::perms::others_write));
    }
    void TearDown() override {
        fs::current_path(start_);
        temptree::Remove(root_);
        gpcFileType.reset();
    }

    void File(const std::string& relative) const { std::ofstream(root_ / relative) << "x\n"; }
    void Dir(const std::string& relative) const { fs::create_directories(root_ / relative); }
    // Lists `relative` as the browser would on entering it.
    void Show(const std::string& relative = ".") const {
        fs::current_path(root_ / relative);
        SwitchDir(nullptr);
    }

    fs::path start_;
    fs::path root_;
};

// Runs `check` in a child process without root's rights, so that permission bits count.
bool AsUnprivileged(const std::function<bool()>& check) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(2);
        }
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---- filter -------------------------------------------------------------------------------------

TEST(FilterOf, KeepsEverythingFromTheFirstDot) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"*.req", ".req"}, {"a.b.req", ".b.req"}, {"req", "req"}, {"", ""}, {".", "."}};
    for (const auto& [pattern, filter] : cases) {
        EXPECT_EQ(FilterOf(pattern), filter) << pattern;
    }
}

TEST_F(Tree, ReqFilterKeepsMatchingFilesEveryDirectoryAndParent) {
    for (const char* name : {"suite.req", "suite.req.bak", "x.requests", "suite.REQ", "suitereq"}) {
        File(name);
    }
    Dir("plain");
    Dir("with.dots.txt");
    gpcFileType = FilterOf("*.req");
    Show();
    EXPECT_EQ(Listed(), (std::set<std::string>{"..", "suite.req", "suite.req.bak", "x.requests",
                                               "plain", "with.dots.txt"}));
    EXPECT_EQ(nMaxChoice, 6);
}

TEST_F(Tree, FilterWithoutDotAndNoFilter) {
    for (const char* name : {"suite.req", "suitereq", "other", "REQ"}) {
        File(name);
    }
    gpcFileType = FilterOf("req");
    Show();
    EXPECT_EQ(Listed(), (std::set<std::string>{"..", "suite.req", "suitereq"}));
    gpcFileType.reset();
    Show();
    EXPECT_EQ(Listed(), (std::set<std::string>{"..", "suite.req", "suitereq", "other", "REQ"}));
}

TEST_F(Tree, ListingKeepsTheDirectorysOwnOrder) {
    for (int i = 0; i < 30; ++i) {
        File("f" + std::to_string(i * 7919 % 101));
    }
    std::vector<std::string> order;
    DIR* dir = opendir(root_.c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent* entry = readdir(dir)) {
        if (std::string_view(entry->d_name) != ".") {
            order.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    Show();
    EXPECT_EQ(stNameList, order);
}

TEST_F(Tree, MoreThan2048EntriesAreAllListed) {
    for (int i = 0; i < 3000; ++i) {
        File("t" + std::to_string(i) + ".req");
    }
    File("skip.txt");
    gpcFileType = FilterOf("*.req");
    Show();
    EXPECT_EQ(nMaxChoice, 3001);
    EXPECT_EQ(stNameList.size(), 3001u);
    EXPECT_EQ(Listed().count("skip.txt"), 0u);
}

// ---- links and directory tests ------------------------------------------------------------------

TEST_F(Tree, LinksAreJudgedByWhatTheyPointTo) {
    Dir("real");
    File("real/inside.req");
    fs::create_directory_symlink(root_ / "real", root_ / "linked");
    fs::create_symlink(root_ / "missing", root_ / "dangling");
    fs::create_symlink(root_ / "missing.req", root_ / "gone.req");
    fs::current_path(root_);
    EXPECT_EQ(IsDir("linked"), 1);
    EXPECT_EQ(IsDir("dangling"), 0);
    EXPECT_EQ(IsDir("real/inside.req"), 0);
    EXPECT_EQ(IsDir((root_ / "real").c_str()), 1);

    gpcFileType = FilterOf("*.req");
    Show();
    EXPECT_EQ(Listed(), (std::set<std::string>{"..", "real", "linked", "gone.req"}));

    // The title then shows the path the system reports for the new working directory.
    SwitchDir("linked");
    EXPECT_EQ(std::string(gcDirPath), (root_ / "real").string());
    EXPECT_EQ(Listed(), (std::set<std::string>{"..", "inside.req"}));
}

// A directory that can be entered but not read lists ".." alone; one that cannot be entered
// leaves the working directory, the path and the list as they were.
TEST_F(Tree, UnreadableAndClosedDirectories) {
    Dir("locked");
    File("locked/hidden.req");
    Dir("closed");
    fs::permissions(root_ / "locked",
                    fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(root_ / "closed", fs::perms::none);
    const fs::path root = root_;
    EXPECT_TRUE(AsUnprivileged([root] {
        fs::current_path(root);
        SwitchDir(nullptr);
        int highlight = NumberOf("closed");
        const bool stayed = IsDir("closed") == 1 &&
                            OnBrowserKey('\n', highlight) == BrowserOutcome::Continue &&
                            highlight == 1 && std::string(gcDirPath) == root.string() &&
                            Cwd() == root.string() && nMaxChoice == 3;
        SwitchDir("locked");
        const bool onlyParent = std::string(gcDirPath) == (root / "locked").string() &&
                                stNameList == std::vector<std::string>{".."};
        SwitchDir("..");
        return stayed && onlyParent && std::string(gcDirPath) == root.string();
    }));
}

// ---- paths too long for the system --------------------------------------------------------------

const std::string kStep(200, 'd');

// Goes down a chain of 200-character directory names, relative to the working directory, until
// the path reaches `depth` bytes; returns how many levels were made.
int GoDeep(std::size_t depth) {
    int levels = 0;
    for (std::size_t length = Cwd().size(); length < depth; length += kStep.size() + 1) {
        EXPECT_EQ(mkdir(kStep.c_str(), 0755), 0);
        EXPECT_EQ(chdir(kStep.c_str()), 0);
        ++levels;
    }
    return levels;
}

TEST_F(Tree, DirectoryWhosePathWouldBeTooLongIsNotEntered) {
    fs::current_path(root_);
    GoDeep(PATH_MAX - 250);
    const std::string here = Cwd();
    const std::string tooLong(PATH_MAX - 1 - here.size(), 'n'); // here/name: PATH_MAX bytes
    const std::string fitting(PATH_MAX - 2 - here.size(), 'f'); // one byte less
    ASSERT_LE(tooLong.size(), static_cast<std::size_t>(NAME_MAX));
    ASSERT_EQ(mkdir(tooLong.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(fitting.c_str(), 0755), 0);

    SwitchDir(nullptr);
    EXPECT_FALSE(GetFilePath(tooLong.c_str()));
    EXPECT_EQ(std::string(gcDirPath), here);
    SwitchDir(tooLong.c_str());
    EXPECT_EQ(Cwd(), here);
    EXPECT_EQ(std::string(gcDirPath), here);
    EXPECT_EQ(Listed(), (std::set<std::string>{"..", tooLong, fitting}));

    SwitchDir(fitting.c_str());
    EXPECT_EQ(std::string(gcDirPath), here + "/" + fitting);
    EXPECT_EQ(std::string(gcDirPath).size(), static_cast<std::size_t>(PATH_MAX - 1));
    fs::current_path(root_); // TearDown removes the chain from here
}

// ---- view and keys ------------------------------------------------------------------------------

TEST(VisibleEntries, WorkedOutFromTheHighlightAlone) {
    struct Case {
        int highlight, total, first, count;
    };
    for (const Case& c : std::vector<Case>{{1, 10, 1, 10},
                                           {10, 10, 1, 10},
                                           {1, 1, 1, 1},
                                           {16, 40, 1, 16},
                                           {17, 40, 2, 16},
                                           {30, 40, 15, 16},
                                           {29, 40, 14, 16},
                                           {40, 40, 25, 16},
                                           {1, 16, 1, 16},
                                           {1, 17, 1, 16}}) {
        const ViewRange view = VisibleEntries(c.highlight, c.total);
        EXPECT_EQ(view.first, c.first) << c.highlight << " of " << c.total;
        EXPECT_EQ(view.count, c.count) << c.highlight << " of " << c.total;
    }
}

TEST(HandleKey, CursorAndPageKeysWrapOrStop) {
    struct Case {
        int key, highlight, total;
        KeyAction action;
        int after;
    };
    for (const Case& c : std::vector<Case>{
             {KEY_UP, 1, 20, KeyAction::Redraw, 20},     {KEY_DOWN, 20, 20, KeyAction::Redraw, 1},
             {KEY_DOWN, 5, 20, KeyAction::Redraw, 6},    {KEY_UP, 5, 20, KeyAction::Redraw, 4},
             {KEY_NPAGE, 10, 20, KeyAction::Redraw, 20}, {KEY_NPAGE, 1, 40, KeyAction::Redraw, 17},
             {KEY_PPAGE, 10, 20, KeyAction::Redraw, 1},  {KEY_PPAGE, 30, 40, KeyAction::Redraw, 14},
             {KEY_UP, 1, 1, KeyAction::Redraw, 1},       {KEY_DOWN, 1, 1, KeyAction::Redraw, 1},
             {KEY_NPAGE, 1, 1, KeyAction::Redraw, 1},    {KEY_PPAGE, 1, 1, KeyAction::Redraw, 1},
             {'\n', 7, 20, KeyAction::Select, 7},        {' ', 7, 20, KeyAction::Select, 7},
             {27, 7, 20, KeyAction::Leave, 7},           {ERR, 7, 20, KeyAction::Leave, 7},
             {'a', 7, 20, KeyAction::Redraw, 7},         {KEY_ENTER, 7, 20, KeyAction::Redraw, 7},
             {KEY_LEFT, 7, 20, KeyAction::Redraw, 7},    {KEY_RESIZE, 7, 20, KeyAction::Redraw, 7},
         }) {
        const KeyResult result = HandleKey(c.key, c.highlight, c.total);
        EXPECT_EQ(result.action, c.action) << "key " << c.key << " on " << c.highlight;
        EXPECT_EQ(result.highlight, c.after) << "key " << c.key << " on " << c.highlight;
    }
}

// ---- walking and choosing -----------------------------------------------------------------------

TEST_F(Tree, SelectingWalksInAndChoosesAFile) {
    Dir("cards/nested");
    File("cards/nested/pin.req");
    gpcFileType = FilterOf("*.req");
    Show();
    int highlight = NumberOf("cards");
    ASSERT_EQ(OnBrowserKey('\n', highlight), BrowserOutcome::Continue);
    EXPECT_EQ(highlight, 1);
    EXPECT_EQ(std::string(gcDirPath), (root_ / "cards").string());
    highlight = NumberOf("nested");
    ASSERT_EQ(OnBrowserKey(' ', highlight), BrowserOutcome::Continue);
    highlight = NumberOf("pin.req");
    ASSERT_EQ(OnBrowserKey('\n', highlight), BrowserOutcome::Chosen);
    EXPECT_EQ(std::string(gcRetPath), (root_ / "cards/nested/pin.req").string());
    // The working directory stays where the file was chosen.
    EXPECT_EQ(Cwd(), (root_ / "cards/nested").string());

    highlight = NumberOf("..");
    ASSERT_EQ(OnBrowserKey('\n', highlight), BrowserOutcome::Continue);
    EXPECT_EQ(std::string(gcDirPath), (root_ / "cards").string());
}

TEST(Root, ParentOfRootIsRootAndChoicesThereHaveOneSlash) {
    const fs::path start = fs::current_path();
    fs::current_path("/");
    SwitchDir(nullptr);
    EXPECT_EQ(std::string(gcDirPath), "/");
    EXPECT_EQ(TitleText(gcDirPath), " /  ");
    const std::set<std::string> before = Listed();
    int highlight = NumberOf("..");
    ASSERT_GT(highlight, 0);
    ASSERT_EQ(OnBrowserKey('\n', highlight), BrowserOutcome::Continue);
    EXPECT_EQ(std::string(gcDirPath), "/");
    EXPECT_EQ(Listed(), before);

    const auto file =
        std::find_if(stNameList.begin(), stNameList.end(),
                     [](const std::string& name) { return IsDir(name.c_str()) == 0; });
    if (file != stNameList.end()) {
        highlight = static_cast<int>(file - stNameList.begin()) + 1;
        ASSERT_EQ(OnBrowserKey(' ', highlight), BrowserOutcome::Chosen);
        EXPECT_EQ(std::string(gcRetPath), "/" + *file);
    }
    fs::current_path(start);
}

// ---- texts --------------------------------------------------------------------------------------

TEST(TitleText, ThreeFormsByPathLength) {
    const std::string forty = "/" + std::string(39, 'a');
    const std::string fortyOne = "/b" + std::string(4, 'c') + std::string(35, 'z');
    ASSERT_EQ(forty.size(), 40u);
    ASSERT_EQ(fortyOne.size(), 41u);
    EXPECT_EQ(TitleText("/"), " /  ");
    EXPECT_EQ(TitleText("/tmp"), " /tmp/  ");
    EXPECT_EQ(TitleText(forty), " " + forty + "/  ");
    EXPECT_EQ(TitleText(fortyOne), " ... " + std::string(35, 'z') + "/  ");
    EXPECT_EQ(TitleText("/odd\tname\n"), " /odd?name?/  ");
    EXPECT_LE(TitleText(std::string(PATH_MAX - 1, 'p')).size(),
              static_cast<std::size_t>(kWinCols - 2 - 3));
}

TEST(EntryLabel, CutAtTheInnerEdgeWithDirectoriesMarked) {
    EXPECT_EQ(EntryLabel("..", true), "../");
    EXPECT_EQ(EntryLabel("suite.req", false), "suite.req");
    EXPECT_EQ(EntryLabel(std::string(46, 'd'), true), std::string(46, 'd') + "/");
    EXPECT_EQ(EntryLabel(std::string(47, 'd'), true), std::string(47, 'd'));
    EXPECT_EQ(EntryLabel(std::string(200, 'n'), false), std::string(47, 'n'));
    EXPECT_EQ(EntryLabel("bad\x1b[2Jname\xc3\xa9", false), "bad?[2Jname??");
    EXPECT_EQ(static_cast<int>(EntryLabel(std::string(300, 'w'), true).size()), kNameWidth);
}

TEST(ResultPath, OneSlashAtTheRootAndBetweenDirectoryAndName) {
    EXPECT_EQ(ResultPath("/", "a.req"), "/a.req");
    EXPECT_EQ(ResultPath("/tmp/x", "a.req"), "/tmp/x/a.req");
    EXPECT_EQ(ResultPath(".", "a.req"), "./a.req");
}

TEST(OriginFor, WindowStaysWholeOnSmallScreens) {
    struct Case {
        int lines, cols, top, left;
    };
    for (const Case& c : std::vector<Case>{
             {24, 80, 2, 2}, {22, 52, 2, 2}, {21, 51, 1, 1}, {20, 50, 0, 0}, {19, 49, 0, 0}}) {
        const WindowOrigin origin = OriginFor(c.lines, c.cols);
        EXPECT_EQ(origin.top, c.top) << c.lines << "x" << c.cols;
        EXPECT_EQ(origin.left, c.left) << c.lines << "x" << c.cols;
    }
}

} // namespace
