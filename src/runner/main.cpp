// quorvane-run: runs the tests of REQ files against the card in one or several readers through
// the CT-API, and says which passed in its output, a JUnit report and its exit status.
#include "runner/ct_library.h"
#include "runner/junit.h"
#include "runner/options.h"
#include "runner/readers.h"
#include "runner/record.h"
#include "runner/report.h"
#include "runner/run.h"
#include "runner/scenario.h"
#include "runner/trace.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <optional>
#include <unistd.h>

namespace {

using namespace qvrun;

constexpr int kAllPassed = 0;
constexpr int kTestFailed = 1;
constexpr int kSetupError = 2;

// A report file that cannot be written is a set-up error found before the first test.
void CheckWritable(const std::string& path) {
    if (path.empty())
        return;
    std::ofstream probe(path, std::ios::app);
    if (!probe)
        throw SetupError("cannot write " + path);
}

std::size_t CountTests(const std::vector<Scenario>& scenarios) {
    std::size_t count = 0;
    for (const Scenario& scenario : scenarios)
        count += scenario.tests.size();
    return count;
}

// Every file loaded before any reader is opened; unchanged from then on.
std::vector<Scenario> LoadScenarios(const std::vector<std::string>& paths) {
    std::vector<Scenario> scenarios;
    for (const std::string& path : paths)
        scenarios.push_back(LoadScenario(path));
    return scenarios;
}

int Main(std::span<const char* const> args) {
    const Options options = ParseOptions(args);
    if (options.help) {
        std::fputs(UsageText(), stdout);
        return kAllPassed;
    }
    if (options.version) {
        std::printf("quorvane-run %s\n", QUORVANE_VERSION);
        return kAllPassed;
    }
    const CtLibrary library =
        options.ctapiLibrary.empty() ? CtLibrary::Linked() : CtLibrary::Load(options.ctapiLibrary);
    const std::vector<Scenario> scenarios = LoadScenarios(options.files);
    std::optional<Baseline> baseline;
    if (!options.baselinePath.empty())
        baseline.emplace(Baseline::Read(options.baselinePath));

    const std::vector<Reader> readers =
        ChooseReaders(AttachedReaders(), options.readers, options.allReaders);
    if (!options.recordPath.empty() && readers.size() > 1)
        throw SetupError("--record takes the responses of one reader, not " +
                         std::to_string(readers.size()));
    for (const std::string* path : {&options.junitPath, &options.recordPath})
        CheckWritable(*path);

    // The consumers of the run's results, in the order they take each event.
    Observers observers;
    std::optional<TraceFile> trace;
    if (!options.tracePath.empty())
        observers.Add(trace.emplace(options.tracePath));
    const bool progress = isatty(fileno(stdout)) != 0 && options.verbosity != Verbosity::Quiet;
    Console console(stdout, {options.verbosity, readers.size(), progress, options.reset,
                             CountTests(scenarios) * options.repeat * readers.size(),
                             options.baselinePath});
    observers.Add(console);
    std::optional<JUnitReport> junit;
    if (!options.junitPath.empty())
        observers.Add(junit.emplace(readers.size()));
    std::optional<RecordFile> record;
    if (!options.recordPath.empty())
        observers.Add(record.emplace());

    for (const Scenario& scenario : scenarios) {
        for (const std::string& warning : scenario.warnings)
            console.Warning(warning);
    }

    Engine engine(library, observers);
    engine.Open(readers, options.reset);
    const auto started = std::chrono::system_clock::now();
    const auto start = Clock::now();
    const std::vector<ReaderTotals> totals =
        engine.Run(scenarios, {options.getResponse, options.failFast, options.repeat,
                               baseline ? &*baseline : nullptr,
                               options.baselineFactor.value_or(RunSettings{}.baselineFactor)});
    console.Summary(Clock::now() - start);

    if (junit)
        junit->Write(options.junitPath, started);
    if (record)
        record->Write(options.recordPath);

    for (const ReaderTotals& reader : totals) {
        if (reader.Failed() > 0)
            return kTestFailed;
    }
    return kAllPassed;
}

} // namespace

int main(int argc, char** argv) {
    // A closed standard output (a pager quit early) ends the output, not the run.
    std::signal(SIGPIPE, SIG_IGN);
    // Whole lines as they come, also into a CI log: a test that hangs shows where.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        return Main({argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)});
    } catch (const std::exception& error) { // a SetupError among them
        std::fflush(stdout);
        std::fprintf(stderr, "quorvane-run: %s\n", error.what());
    }
    return kSetupError;
}
