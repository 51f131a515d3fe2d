// GetFile: the full-screen browser in curses mode, drawn from the state in browser_state.cpp.
#include "chooser/file_chooser.h"

#include "chooser/browser.h"

#include <cstdio>
#include <cstdlib>
#include <curses.h>
#include <unistd.h>

namespace {

constexpr int kEscDelayMs = 100; // Esc alone must end the browser without a second's wait

void PrintLine(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

// Curses mode for one call of GetFile. newterm, unlike initscr, reports a terminal it cannot
// use instead of ending the process.
class CursesScreen {
  public:
    static bool Usable() {
        const char* term = std::getenv("TERM");
        return term != nullptr && *term != '\0' && isatty(STDIN_FILENO) == 1 &&
               isatty(STDOUT_FILENO) == 1;
    }

    CursesScreen() {
        if (Usable()) {
            std::fflush(stdout);
            screen_ = newterm(std::getenv("TERM"), stdout, stdin);
        }
    }
    ~CursesScreen() {
        if (screen_ == nullptr) {
            return;
        }
        if (isendwin() == FALSE) {
            endwin();
        }
        delscreen(screen_);
    }
    CursesScreen(const CursesScreen&) = delete;
    CursesScreen& operator=(const CursesScreen&) = delete;

    bool Started() const { return screen_ != nullptr; }

  private:
    SCREEN* screen_ = nullptr;
};

// The browser window; when dropped it is cleared, removed and curses mode ends.
class BrowserWindow {
  public:
    explicit BrowserWindow(WINDOW* win) : win_(win) {}
    ~BrowserWindow() {
        if (win_ == nullptr) {
            return;
        }
        wclear(win_);
        wclrtoeol(stdscr);
        wrefresh(stdscr);
        delwin(win_);
        endwin();
    }
    BrowserWindow(const BrowserWindow&) = delete;
    BrowserWindow& operator=(const BrowserWindow&) = delete;

    WINDOW* get() const { return win_; }
    // CheckWindowSize has removed it already.
    void Forget() { win_ = nullptr; }

  private:
    WINDOW* win_;
};

// The filter lives for one call, whichever way it ends.
class FilterScope {
  public:
    explicit FilterScope(const char* pcPattern) {
        if (pcPattern != nullptr) {
            gpcFileType = FilterOf(pcPattern);
        }
    }
    ~FilterScope() { gpcFileType.reset(); }
    FilterScope(const FilterScope&) = delete;
    FilterScope& operator=(const FilterScope&) = delete;
};

} // namespace

int CheckWindowSize(WINDOW* pWin) {
    if (getmaxy(pWin) <= getmaxy(stdscr) && getmaxx(pWin) <= getmaxx(stdscr)) {
        return 1;
    }
    wclear(pWin);
    wclrtoeol(stdscr);
    wrefresh(pWin);
    wrefresh(stdscr);
    delwin(pWin);
    endwin();
    PrintLine("Unfit Window size");
    return 0;
}

void Print_Menu(WINDOW* pWin, int highlight) {
    wclear(pWin);
    wborder(pWin, 0, 0, 0, 0, 0, 0, 0, 0);
    curs_set(0); // ERR on a terminal without an invisible cursor: nothing to do about it
    mvwprintw(pWin, 0, 3, "%s", TitleText(gcDirPath).c_str());

    const ViewRange view = VisibleEntries(highlight, nMaxChoice);
    for (int k = 0; k < view.count; ++k) {
        const int number = view.first + k;
        const std::string& name = stNameList[static_cast<std::size_t>(number - 1)];
        const std::string label = EntryLabel(name, IsDir(name.c_str()) == 1);
        if (number == highlight) {
            wattr_on(pWin, A_REVERSE, nullptr);
        }
        mvwprintw(pWin, 2 + k, kListColumn, "%s", label.c_str());
        if (number == highlight) {
            wattr_off(pWin, A_REVERSE, nullptr);
        }
    }
    wrefresh(pWin);
}

char* GetFile(const char* pcPattern) {
    const FilterScope filter(pcPattern);
    SwitchDir(nullptr);

    const CursesScreen screen;
    if (!screen.Started()) {
        PrintLine("No usable terminal for the file chooser");
        return nullptr;
    }
    set_escdelay(kEscDelayMs);
    wclear(stdscr);
    noecho();
    cbreak();

    const WindowOrigin origin = OriginFor(getmaxy(stdscr), getmaxx(stdscr));
    BrowserWindow window(newwin(kWinLines, kWinCols, origin.top, origin.left));
    if (window.get() == nullptr) {
        endwin();
        PrintLine("No room for the file chooser window");
        return nullptr;
    }
    keypad(window.get(), TRUE);
    if (CheckWindowSize(window.get()) == 0) {
        window.Forget();
        return nullptr;
    }
    idlok(window.get(), TRUE);
    scrollok(window.get(), TRUE);

    int highlight = 1;
    Print_Menu(window.get(), highlight);
    BrowserOutcome outcome;
    while ((outcome = OnBrowserKey(wgetch(window.get()), highlight)) == BrowserOutcome::Continue) {
        Print_Menu(window.get(), highlight);
    }
    return outcome == BrowserOutcome::Chosen ? gcRetPath : nullptr;
}
