// CursesScreen: newterm and the one endwin of the file chooser, and the signals meanwhile.
#include "menu/chooser/curses_screen.h"

#include <cstdio>
#include <cstdlib>
#include <curses.h>
#include <term.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A closed terminal window (SIGHUP), Ctrl-\ (SIGQUIT), Ctrl-C (SIGINT) or SIGTERM in curses mode
// must not leave the terminal without echo, in raw mode, on the alternate screen with the cursor
// hidden: they restore the terminal, then end the process as they would have. Taken before
// curses starts, so that curses installs no handlers of its own for them (its own ones end the
// process with status 1, and stay after it has ended); suspending and resizing stay curses'
// business. Only async-signal-safe calls happen in the handler: the terminal modes and the bytes
// that leave curses mode are prepared first.
std::array<char, 256> sLeave{};
std::size_t sLeaveLength = 0;
termios sModes{};

int AppendLeaveByte(int byte) {
    if (sLeaveLength < sLeave.size()) {
        sLeave[sLeaveLength++] = static_cast<char>(byte);
    }
    return byte;
}

// Once curses mode has started: what leaves it, from the terminal's description.
void PrepareLeaving() {
    for (const char* cap : {"sgr0", "cnorm", "rmkx", "rmcup"}) {
        const char* sequence = tigetstr(cap);
        if (sequence != nullptr && sequence != reinterpret_cast<char*>(-1)) {
            tputs(sequence, 1, AppendLeaveByte);
        }
    }
}

void OnEndingSignal(int signal) {
    // The terminal may be gone (SIGHUP): nothing to do about a failed write.
    if (write(STDOUT_FILENO, sLeave.data(), sLeaveLength) < 0) {
    }
    tcsetattr(STDOUT_FILENO, TCSANOW, &sModes);
    std::signal(signal, SIG_DFL);
    raise(signal); // delivered when the handler returns
}

bool Usable() {
    const char* term = std::getenv("TERM");
    return term != nullptr && *term != '\0' && isatty(STDIN_FILENO) == 1 &&
           isatty(STDOUT_FILENO) == 1;
}

} // namespace

// newterm, unlike initscr, reports a terminal it cannot use instead of ending the process.
CursesScreen::CursesScreen() {
    if (!Usable() || tcgetattr(STDOUT_FILENO, &sModes) != 0) {
        return;
    }
    sLeaveLength = 0;
    struct sigaction action {};
    action.sa_handler = OnEndingSignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
        sigaction(kEndingSignals[i], nullptr, &previous_[i]);
        // A signal the process ignores (say under nohup) stays ignored.
        if (previous_[i].sa_handler == SIG_DFL) {
            sigaction(kEndingSignals[i], &action, nullptr);
        }
    }
    signalsTaken_ = true;
    std::fflush(stdout);
    screen_ = newterm(std::getenv("TERM"), stdout, stdin);
    if (screen_ == nullptr) {
        GiveSignalsBack();
        return;
    }
    PrepareLeaving();
}

CursesScreen::~CursesScreen() {
    if (screen_ != nullptr) {
        endwin();
        delscreen(screen_);
    }
    GiveSignalsBack();
}

void CursesScreen::GiveSignalsBack() {
    if (!signalsTaken_) {
        return;
    }
    for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
        sigaction(kEndingSignals[i], &previous_[i], nullptr);
    }
    signalsTaken_ = false;
}
