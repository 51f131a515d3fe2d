// The main menu: one choice at a time, each command run to completion.
#include "menu/app/main_menu.h"

#include "menu/app/session.h"
#include "menu/app/user_entry.h"
#include "menu/ct/card_terminal.h"
#include "menu/ct/ctbcs.h"
#include "menu/ct/feature_query.h"
#include "menu/scenario/open_req.h"
#include "menu/scenario/scenario_run.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Choice 4 needs a powered card (state 3 or more).
void OpenReqFileIfPowered() {
    if (gbKeyVal > 2) {
        if (!CTOpenReqFile()) {
            std::printf("No reqfile opened\n");
        }
    } else {
        std::printf("Card not powered/reset\n");
    }
    std::fflush(stdout);
}

void RunChoice(int choice) {
    switch (choice) {
    case 1:
        CT_CallInit();
        break;
    case 2:
        Reset_CT();
        break;
    case 3:
        Reset_Icc();
        break;
    case 4:
        OpenReqFileIfPowered();
        break;
    case 5:
        CTRunScenario();
        break;
    case 6:
        CT_CallClose();
        SetClosedMark();
        break;
    case 7:
        CtbcsHandler();
        SetClosedMark();
        break;
    case 8:
        ExitProgram();
    case 11:
        KeyHandler();
        break;
    case kQuit:
        // Leaves the terminal as it is.
        std::fflush(stdout);
        std::exit(255);
    default:
        break;
    }
}

} // namespace

void DisplayMainMenu() {
    std::printf("   __________________________________\n"
                "  |            Quorvane              |\n"
                "  |__________________________________|\n"
                "  |  1. Ct_init                      |\n"
                "  |  2. Reset CT                     |\n"
                "  |  3. Reset ICC                    |\n"
                "  |  4. Open REQ File                |\n"
                "  |  5. Run Scenario                 |\n"
                "  |  6. Ct_close                     |\n"
                "  |  7. Ctbcs                        |\n"
                "  |  8. Exit                         |\n"
                "  |__________________________________|\n"
                "  | Enter your Choice : ");
    std::fflush(stdout);
}

void RunMainMenu() {
    gbKeyVal = 0;
    try {
        for (;;) {
            DisplayMainMenu();
            RunChoice(GetUserEntry());
        }
    } catch (const EndOfInput&) {
        ExitProgram();
    }
}
