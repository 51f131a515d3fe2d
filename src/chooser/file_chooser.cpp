// GetFile: the full-screen browser in curses mode, drawn from the state in browser_state.cpp.
#include "chooser/file_chooser.h"

#include "chooser/browser.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <curses.h>
#include <optional>
#include <term.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kEscDelayMs = 100; // Esc alone must end the browser without a second's wait

void PrintLine(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

// Signals while curses mode lasts. A closed terminal window (SIGHUP), Ctrl-\ (SIGQUIT), Ctrl-C
// (SIGINT) or SIGTERM must not leave the terminal without echo, in raw mode, on the alternate
// screen with the cursor hidden: they restore the terminal, then end the process as they would
// have. Taken before curses starts, so that curses installs no handlers of its own for them
// (its own ones end the process with status 1, and stay after it has ended); suspending and
// resizing stay curses' business. Only async-signal-safe calls happen in the handler: the
// terminal modes and the bytes that leave curses mode are prepared first.
class CursesSignals {
  public:
    // Before curses mode, with the terminal's modes from then.
    explicit CursesSignals(const termios& modes) {
        sModes = modes;
        sLeaveLength = 0;
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            sigaction(kSignals[i], nullptr, &previous_[i]);
            // A signal the process ignores (say under nohup) stays ignored.
            if (previous_[i].sa_handler == SIG_DFL) {
                sigaction(kSignals[i], &action, nullptr);
            }
        }
    }
    ~CursesSignals() {
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            sigaction(kSignals[i], &previous_[i], nullptr);
        }
    }
    CursesSignals(const CursesSignals&) = delete;
    CursesSignals& operator=(const CursesSignals&) = delete;

    // Once curses mode has started: what leaves it, from the terminal's description.
    static void PrepareLeaving() {
        for (const char* cap : {"sgr0", "cnorm", "rmkx", "rmcup"}) {
            const char* sequence = tigetstr(cap);
            if (sequence != nullptr && sequence != reinterpret_cast<char*>(-1)) {
                tputs(sequence, 1, AppendLeaveByte);
            }
        }
    }

  private:
    static constexpr std::array<int, 4> kSignals{SIGHUP, SIGQUIT, SIGINT, SIGTERM};

    static int AppendLeaveByte(int byte) {
        if (sLeaveLength < sLeave.size()) {
            sLeave[sLeaveLength++] = static_cast<char>(byte);
        }
        return byte;
    }

    static void OnSignal(int signal) {
        // The terminal may be gone (SIGHUP): nothing to do about a failed write.
        if (write(STDOUT_FILENO, sLeave.data(), sLeaveLength) < 0) {
        }
        tcsetattr(STDOUT_FILENO, TCSANOW, &sModes);
        std::signal(signal, SIG_DFL);
        raise(signal); // delivered when the handler returns
    }

    static inline std::array<char, 256> sLeave{};
    static inline std::size_t sLeaveLength = 0;
    static inline termios sModes{};
    std::array<struct sigaction, kSignals.size()> previous_{};
};

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
        termios modes{};
        if (!Usable() || tcgetattr(STDOUT_FILENO, &modes) != 0) {
            return;
        }
        signals_.emplace(modes);
        std::fflush(stdout);
        screen_ = newterm(std::getenv("TERM"), stdout, stdin);
        if (screen_ == nullptr) {
            signals_.reset();
            return;
        }
        CursesSignals::PrepareLeaving();
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
    std::optional<CursesSignals> signals_;
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
