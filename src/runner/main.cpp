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

#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
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

    std::vector<Scenario> scenarios;
    scenarios.reserve(options.files.size()); // outcomes point into it
    for (const std::string& path : options.files)
        scenarios.push_back(LoadScenario(path));

    const std::vector<Reader> readers =
        ChooseReaders(ListReaders(), options.readers, options.allReaders);
    if (!options.recordPath.empty() && readers.size() > 1)
        throw SetupError("--record takes the responses of one reader, not " +
                         std::to_string(readers.size()));
    for (const std::string* path : {&options.junitPath, &options.recordPath})
        CheckWritable(*path);
    std::optional<TraceFile> trace;
    if (!options.tracePath.empty())
        trace.emplace(options.tracePath);

    const bool progress = isatty(fileno(stdout)) != 0 && options.verbosity != Verbosity::Quiet;
    Console console(stdout, options.verbosity, readers.size() > 1, progress,
                    CountTests(scenarios) * options.repeat * readers.size());
    for (const Scenario& scenario : scenarios) {
        for (const std::string& warning : scenario.warnings)
            console.Warning(warning);
    }

    // Every terminal is opened and reset before the first test: a failure there is a set-up
    // error of the whole run.
    std::vector<std::unique_ptr<Terminal>> terminals;
    std::vector<Bytes> atrs;
    for (const Reader& reader : readers) {
        terminals.push_back(std::make_unique<Terminal>(library, reader));
        atrs.push_back(options.reset ? terminals.back()->Reset() : Bytes{});
        console.ReaderReady(reader, atrs.back(), options.reset);
    }

    const RunSettings settings{options.getResponse, options.failFast, options.repeat};
    const auto started = std::chrono::system_clock::now();
    const auto start = Clock::now();
    std::vector<ReaderRun> runs(readers.size());
    std::atomic<bool> stop{false};
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < readers.size(); ++i) {
            threads.emplace_back([&, i] {
                const Reader& reader = readers[i];
                RunListener listener;
                if (trace)
                    listener.exchange = [&](const Exchange& e) { trace->Write(reader, e); };
                listener.outcome = [&](const Outcome& o, const std::vector<Exchange>& e) {
                    console.TestDone(reader, o, e);
                };
                runs[i] = RunReader(*terminals[i], scenarios, settings, listener, stop);
            });
        }
    }
    console.Summary(readers, runs, Clock::now() - start);

    if (!options.junitPath.empty()) {
        std::vector<SuiteInput> suites;
        for (std::size_t i = 0; i < readers.size(); ++i)
            suites.push_back({readers[i], atrs[i], &runs[i]});
        WriteJUnit(options.junitPath, suites, started);
    }
    if (!options.recordPath.empty())
        WriteRecord(options.recordPath, runs.front().outcomes);

    for (const ReaderRun& run : runs) {
        for (const Outcome& outcome : run.outcomes) {
            if (!outcome.Passed())
                return kTestFailed;
        }
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
