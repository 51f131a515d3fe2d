// Runs the open command as menu choice 4 does with the card powered, as many times as asked,
// and prints the session state and the loaded table after each call.
//   open_harness [CALLS]
#include "menu/app/session.h"
#include "menu/scenario/open_req.h"
#include "menu/scenario/req_file.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 1;
    gbKeyVal = 3;
    for (int i = 1; i <= calls; ++i) {
        const bool opened = CTOpenReqFile();
        std::printf("call %d: %s, state %u, tests %d, records %s\n", i, opened ? "opened" : "none",
                    gbKeyVal, gnCommand,
                    gpstStartTime != nullptr && gpstEndTime != nullptr ? "ready" : "none");
        for (int t = 0; t < gnCommand; ++t) {
            std::printf("  test %d: %u command bytes, %u expected\n", t + 1, gnCommandLength[t],
                        gnExpectedLength[t]);
        }
        std::fflush(stdout);
    }
    return 0;
}
