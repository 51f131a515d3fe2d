// The tests' program runner: a program with given standard input and its output captured, and
// the paths of the build and source trees the tests run from.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace bed {

using namespace std::chrono_literals;

struct RunResult {
    std::string out; // standard output and standard error, interleaved as written
    int status = -1; // exit status, or 128 + signal
    bool timedOut = false;
};

struct RunOptions {
    std::string input; // standard input, then end of input
    std::chrono::milliseconds timeout = 60s;
    std::string workDir;                // empty: the test's working directory
    std::function<void()> whileRunning; // called on a thread of its own after the start
    // When not empty, whileRunning is called only once the output first contains this text (a
    // prompt, say), so that it acts while the program is where the text shows it to be; it is
    // not called when the text never comes.
    std::string whenOutputHas;
};

// The program's path in the build tree (build/bin/quorvane).
std::string ProgramPath();
std::string BuildPath(std::string_view relative);  // a path below the build directory
std::string SourcePath(std::string_view relative); // a path below the source tree (cards, ...)

RunResult Run(const std::vector<std::string>& argv, const RunOptions& options);

} // namespace bed
