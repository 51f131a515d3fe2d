// A reader's process: the only process, and in it the only thread, that loads the CT-API library
// and calls it for that reader. It opens the reader's terminal, waits for the run's word, runs
// the tests and reports every event to the run as records (wire.h).
#pragma once

#include "runner/readers.h"
#include "runner/run.h"
#include "runner/suite.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qvrun {

// What a reader's process starts with.
struct ReaderStart {
    Reader reader;
    std::string library; // --ctapi's path; empty: the linked libctapi-pcsc
    bool reset = true;
    std::chrono::seconds waitInUse{}; // how long a card in use by another program is waited for
};

// The run's word to a reader's process, one byte on its control pipe.
inline constexpr char kGo = 'G';    // every reader is open: run the tests
inline constexpr char kStop = 'S';  // another reader failed with --fail-fast: send no more tests
inline constexpr char kClose = 'C'; // the run's reports are written: close the terminal

// In the new process right after fork: opens the terminal and reports Ready (or Failed), waits
// for kGo on `control`, runs the tests, waits for kClose, closes the terminal and ends the
// process. The pipe's end closes the terminal at once. `run` is the run's process id: the
// process ends with it.
[[noreturn]] void RunReaderProcess(const ReaderStart& start, const std::vector<Scenario>& scenarios,
                                   const RunSettings& settings, int report, int control, pid_t run);

} // namespace qvrun
