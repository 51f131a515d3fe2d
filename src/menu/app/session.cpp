// Session state of the main menu and the ways the program ends.
#include "menu/app/session.h"

#include "menu/ct/card_terminal.h"

#include <cstdio>
#include <cstdlib>

std::uint32_t gbKeyVal = 0;

namespace {
bool gbClosed = false; // once set, Exit leaves the terminal to whoever closed it
} // namespace

void SetClosedMark() {
    gbClosed = true;
}

void ExitProgram() {
    if (!gbClosed) {
        CT_CallClose();
    }
    std::fflush(stdout);
    std::exit(255);
}
