// Main-menu choice 4: a REQ file chosen in the browser, loaded into the test table.
#include "menu/scenario/open_req.h"

#include "menu/app/session.h"
#include "menu/chooser/file_chooser.h"
#include "menu/scenario/req_file.h"
#include "menu/scenario/time_stamps.h"

#include <climits>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

constexpr std::uint32_t kCardPowered = 3;
constexpr std::uint32_t kScenarioLoaded = 4;

// The directory the browser showed last, where the tester looked for the file.
void PrintWorkingDir() {
    char cwd[PATH_MAX];
    std::printf("%s\n", getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".");
    std::fflush(stdout);
}

} // namespace

bool CTOpenReqFile() {
    const char* chosen = GetFile("*.req");
    if (chosen == nullptr) {
        std::printf("No File Selected.\n");
        std::fflush(stdout);
        return false;
    }
    const std::string path(chosen); // the browser's buffer changes with its next choice

    std::FILE* stream = std::fopen(path.c_str(), "r");
    if (stream == nullptr) {
        std::printf("\n%s file not found in the directory ", path.c_str());
        std::fflush(stdout);
        PrintWorkingDir();
        return false;
    }
    std::printf("\n%s opened", path.c_str());
    CTReadReqFile(stream); // closes the stream
    std::fflush(stdout);

    if (NewTimeStamps()) {
        gbKeyVal = kScenarioLoaded;
    } else {
        // Without records a run cannot stamp its transmissions: no state 4, also after an
        // earlier load.
        std::printf("\nError allocating Time structures\n");
        std::fflush(stdout);
        if (gbKeyVal > kCardPowered) {
            gbKeyVal = kCardPowered;
        }
    }
    return true;
}
