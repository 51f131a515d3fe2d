// One reader's tests, in the reader's own process: every test of every file sent to its card,
// repeated as asked. What happens goes to the run as records as it happens (wire.h); the tests
// keep no results.
#pragma once

#include "runner/baseline.h"
#include "runner/readers.h"
#include "runner/result.h"
#include "runner/suite.h"
#include "runner/terminal.h"
#include "runner/wire.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qvrun {

struct RunSettings {
    bool getResponse = false;
    bool failFast = false;
    unsigned repeat = 1;
    // --baseline: a test whose time grew past `baselineFactor` times its time there fails.
    const Baseline* baseline = nullptr;
    double baselineFactor = 2;
    // --timeout: the longest wait for one CT-API call; zero for no limit.
    Clock::duration timeout{};
};

// Why a reader stops with --fail-fast, its own failure or another reader's.
inline constexpr const char* kStoppedAtFirstFailure = "stopped at the first failure (--fail-fast)";

// Runs every file `settings.repeat` times on `terminal`, the card of `reader` whose reset gave
// `atr` (empty without a reset; the tests of the ATR judge it), and reports each
// test, exchange and result, the tests not run and the time the run took to `report`. Before
// each test `stopAsked` says whether the run wants it to stop (with the reason); with failFast
// the reader's own first failure stops it too.
void RunReaderTests(CtTerminal& terminal, const Reader& reader, std::span<const std::uint8_t> atr,
                    const std::vector<Scenario>& scenarios, const RunSettings& settings,
                    ReaderReport& report,
                    const std::function<std::optional<std::string>()>& stopAsked);

} // namespace qvrun
