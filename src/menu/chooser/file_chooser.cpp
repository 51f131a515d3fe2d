// GetFile: the full-screen browser in curses mode, drawn from the state in browser_state.cpp.
// Every return from a call, a choice, Esc or a screen it cannot use, returns through the same
// owners: the window's removes the window, then the screen's ends curses mode, and only then is
// a message printed on the plain terminal.
#include "menu/chooser/file_chooser.h"

#include "menu/chooser/browser.h"
#include "menu/chooser/curses_screen.h"

#include <cstdio>
#include <curses.h>

namespace {

constexpr int kEscDelayMs = 100; // Esc alone must end the browser without a second's wait

// How a call ends; what it prints afterwards.
enum class Ending { Chosen, Left, NoTerminal, NoRoom, Unfit };

const char* EndingText(Ending ending) {
    switch (ending) {
    case Ending::NoTerminal:
        return "No usable terminal for the file chooser";
    case Ending::NoRoom:
        return "No room for the file chooser window";
    case Ending::Unfit:
        return "Unfit Window size";
    case Ending::Chosen:
    case Ending::Left:
        break;
    }
    return nullptr;
}

// The browser window, the only one to delete it: when dropped it is cleared and removed.
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
    }
    BrowserWindow(const BrowserWindow&) = delete;
    BrowserWindow& operator=(const BrowserWindow&) = delete;

    WINDOW* get() const { return win_; }

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

// 1 when the window fits the screen (its origin not counted). 0 when not, after the cleared
// window has been shown over the screen; its owner removes it.
int CheckWindowSize(WINDOW* pWin) {
    if (getmaxy(pWin) <= getmaxy(stdscr) && getmaxx(pWin) <= getmaxx(stdscr)) {
        return 1;
    }
    wclear(pWin);
    wclrtoeol(stdscr);
    wrefresh(pWin);
    return 0;
}

// Redraws border, title and the visible part of the list with `highlight` in reverse video.
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

// Curses mode, the window and the key loop; every return leaves through the two owners.
Ending Browse() {
    const CursesScreen screen;
    if (!screen.Started()) {
        return Ending::NoTerminal;
    }
    set_escdelay(kEscDelayMs);
    wclear(stdscr);
    noecho();
    cbreak();

    const WindowOrigin origin = OriginFor(getmaxy(stdscr), getmaxx(stdscr));
    const BrowserWindow window(newwin(kWinLines, kWinCols, origin.top, origin.left));
    if (window.get() == nullptr) {
        return Ending::NoRoom;
    }
    keypad(window.get(), TRUE);
    if (CheckWindowSize(window.get()) == 0) {
        return Ending::Unfit;
    }
    idlok(window.get(), TRUE);
    scrollok(window.get(), TRUE);

    int highlight = 1;
    Print_Menu(window.get(), highlight);
    BrowserOutcome outcome;
    while ((outcome = OnBrowserKey(wgetch(window.get()), highlight)) == BrowserOutcome::Continue) {
        Print_Menu(window.get(), highlight);
    }
    return outcome == BrowserOutcome::Chosen ? Ending::Chosen : Ending::Left;
}

} // namespace

char* GetFile(const char* pcPattern) {
    const FilterScope filter(pcPattern);
    SwitchDir(nullptr);

    const Ending ending = Browse();
    if (const char* text = EndingText(ending)) {
        std::printf("%s\n", text);
        std::fflush(stdout);
    }
    return ending == Ending::Chosen ? gcRetPath : nullptr;
}
