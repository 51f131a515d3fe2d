// Curses mode for one call of the file chooser: the only place where it starts and ends.
#pragma once

#include <array>
#include <csignal>

typedef struct screen SCREEN;

// Starts curses mode on the standard streams when they are a terminal curses can use, and ends
// it when dropped, however the caller returns; windows made meanwhile belong to owners
// of their own, which are dropped first. While it lasts, the signals that end the process give
// the terminal back before they do.
class CursesScreen {
  public:
    CursesScreen();
    ~CursesScreen();
    CursesScreen(const CursesScreen&) = delete;
    CursesScreen& operator=(const CursesScreen&) = delete;

    bool Started() const { return screen_ != nullptr; }

  private:
    static constexpr std::array<int, 4> kEndingSignals{SIGHUP, SIGQUIT, SIGINT, SIGTERM};

    void GiveSignalsBack();

    std::array<struct sigaction, kEndingSignals.size()> previous_{};
    bool signalsTaken_ = false;
    SCREEN* screen_ = nullptr;
};
