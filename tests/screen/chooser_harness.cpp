// Runs the REQ file browser from the working directory, as many times as asked, and prints what
// each call gave and where it left the working directory.
//   chooser_harness [PATTERN|-] [CALLS]      ("-": no pattern, every file listed)
#include "menu/chooser/file_chooser.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv) {
    const char* pattern = argc > 1 ? argv[1] : "*.req";
    if (std::strcmp(pattern, "-") == 0) {
        pattern = nullptr;
    }
    const int calls = argc > 2 ? std::atoi(argv[2]) : 1;
    std::printf("chooser harness\n");
    std::fflush(stdout);
    for (int i = 1; i <= calls; ++i) {
        const char* result = GetFile(pattern);
        char cwd[PATH_MAX];
        std::printf("result %d: %s\n", i, result != nullptr ? result : "(null)");
        std::printf("cwd %d: %s\n", i, getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?");
        std::fflush(stdout);
    }
    return 0;
}
