// The command line of quorvane-run.
#pragma once

#include "runner/readers.h"
#include "runner/setup_error.h"

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qvrun {

enum class Verbosity { Quiet, Normal, Verbose };

struct Options {
    std::vector<std::string> files;
    // The reader options before any --pcsc-socket (the default services), then those after each
    // --pcsc-socket; the first left out when it holds none and a --pcsc-socket follows.
    std::vector<ReaderChoice> choices{1};
    std::string ctapiLibrary; // empty: the linked libctapi-pcsc
    bool reset = true;
    std::string junitPath;
    std::string tracePath;
    std::string recordPath;
    std::string baselinePath;             // --baseline: an earlier run's JUnit report
    std::optional<double> baselineFactor; // how many times its time there a test may take
    unsigned repeat = 1;
    // --wait-reader: how long a reader in use by another run or program is waited for.
    std::chrono::seconds waitReader{0};
    double timeout = 60; // --timeout: seconds an exchange may take; 0 for no limit
    bool failFast = false;
    bool getResponse = false;
    bool strict = false;     // a line the base rules read leniently is an error
    bool allowEmpty = false; // a file without tests, a run without a test sent, are no error
    Verbosity verbosity = Verbosity::Normal;
    bool help = false;
    bool version = false;
};

// Parses the arguments after the program name; throws SetupError naming what is wrong.
Options ParseOptions(std::span<const char* const> args);
// The same into `options`, which, when the arguments hold a fault, still holds every file and
// output they name: the first fault is thrown after the whole command line was read.
void ParseOptions(std::span<const char* const> args, Options& options);

// The text --help prints.
const char* UsageText();

} // namespace qvrun
