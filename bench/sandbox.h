// Benchmarks that need readers start themselves again inside the test bed (quorvane-bed, its
// namespaces only: each benchmark starts the pcscd and cards it measures).
#pragma once

#include "bed_run.h"

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

// Replaces this process with quorvane-bed running the same command line; returns only when
// that fails (then with status 1, the reason printed).
inline int ReexecInSandbox(char** argv) {
    const std::string sandbox = bed::BuildPath("bin/quorvane-bed");
    std::vector<char*> args{const_cast<char*>(sandbox.c_str()), const_cast<char*>("--readers"),
                            const_cast<char*>("0"), const_cast<char*>("--")};
    for (char** arg = argv; *arg != nullptr; ++arg) {
        args.push_back(*arg);
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::perror(sandbox.c_str());
    return 1;
}
