// quorvane-run: runs the tests of REQ files against the card in one or several readers through
// the CT-API, and says which passed in its output, a JUnit report and its exit status.
#include "runner/console.h"
#include "runner/engine.h"
#include "runner/junit.h"
#include "runner/keypad.h"
#include "runner/options.h"
#include "runner/output.h"
#include "runner/reader_lock.h"
#include "runner/readers.h"
#include "runner/record.h"
#include "runner/run.h"
#include "runner/signals.h"
#include "runner/suite.h"
#include "runner/trace.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <new>
#include <optional>
#include <unistd.h>

namespace {

using namespace qvrun;

constexpr int kAllPassed = 0;
constexpr int kTestFailed = 1;
constexpr int kSetupError = 2;

// What the run reads as the command line names it: the files, the baseline, the library. The
// files they include are noted as they are read (NoteInput).
std::vector<std::string> Inputs(const Options& options) {
    std::vector<std::string> inputs = options.files;
    for (const std::string* path : {&options.baselinePath, &options.ctapiLibrary}) {
        if (!path->empty())
            inputs.push_back(*path);
    }
    return inputs;
}

std::vector<OutputPath> Outputs(const Options& options) {
    std::vector<OutputPath> outputs;
    for (const OutputPath& output :
         {OutputPath{"--junit", options.junitPath}, OutputPath{"--trace", options.tracePath},
          OutputPath{"--record", options.recordPath}}) {
        if (!output.path.empty())
            outputs.push_back(output);
    }
    return outputs;
}

// The outputs that are reports of one run: all but a record, a golden file that stays until a
// whole new one replaces it.
std::vector<OutputPath> Reports(const Options& options) {
    std::vector<OutputPath> reports = Outputs(options);
    std::erase_if(reports, [](const OutputPath& output) {
        return std::string_view(output.option) == "--record";
    });
    return reports;
}

// Whether an output goes into the console's stream, between its lines.
bool WritesInto(std::FILE* console, const Options& options) {
    return std::ranges::any_of(Outputs(options), [console](const OutputPath& output) {
        const OutputTarget target = ResolveOutput(output.path);
        return target.kind == OutputTarget::Kind::Stream && target.fd == fileno(console);
    });
}

std::size_t CountTests(const std::vector<Scenario>& scenarios) {
    std::size_t count = 0;
    for (const Scenario& scenario : scenarios)
        count += scenario.tests.size();
    return count;
}

// Every file loaded before any reader is opened; unchanged from then on. Their REQ text is
// bounded for the run as a whole.
std::vector<Scenario> LoadScenarios(const std::vector<std::string>& paths) {
    std::vector<Scenario> scenarios;
    std::size_t runText = 0;
    for (const std::string& path : paths)
        scenarios.push_back(LoadScenario(path, &runText));
    NameSuites(scenarios);
    return scenarios;
}

// The lines of an extended file that the interactive program skips or reads otherwise: none
// quiet, a count by default, each with -v. They are no warnings: the file asked for them.
std::vector<std::string> RunOnlyNotes(const Scenario& scenario, Verbosity verbosity) {
    if (scenario.runOnly.empty() || verbosity == Verbosity::Quiet)
        return {};
    if (verbosity == Verbosity::Normal) {
        return {scenario.path + ": " + std::to_string(scenario.runOnly.size()) +
                " lines quorvane-run only (the interactive program skips them or reads them "
                "otherwise; -v names them)"};
    }
    std::vector<std::string> notes;
    for (const qv::RunOnlyLine& line : scenario.runOnly)
        notes.push_back(line.where.Text() + ": quorvane-run only: " + line.what);
    return notes;
}

// What the files hold that the run must tell, on standard error before any reader is opened:
// the lines only quorvane-run reads so, and the lines the base rules forgave (the warnings,
// returned for JUnit). With --strict a warning is an error, and without --allow-empty so is a
// file with no test: SetupError after them.
std::vector<std::string> FileWarnings(const std::vector<Scenario>& scenarios,
                                      const Options& options) {
    std::vector<std::string> warnings;
    std::size_t errors = 0;
    for (const Scenario& scenario : scenarios) {
        for (const std::string& line : RunOnlyNotes(scenario, options.verbosity))
            std::fprintf(stderr, "quorvane-run: %s\n", line.c_str());
        for (const std::string& warning : scenario.warnings) {
            warnings.push_back(options.strict ? warning + " (an error with --strict)" : warning);
            errors += options.strict ? 1 : 0;
        }
        if (scenario.tests.empty()) {
            warnings.push_back("no tests in " + scenario.path);
            errors += options.allowEmpty ? 0 : 1;
        }
    }
    // Said at once, so that also a run that cannot start shows them.
    for (const std::string& warning : warnings)
        std::fprintf(stderr, "quorvane-run: %s\n", warning.c_str());
    if (errors > 0) {
        throw SetupError(std::to_string(errors) + (errors == 1 ? " error" : " errors") +
                         " in the files given; nothing was sent");
    }
    return warnings;
}

int Main(const Options& options) {
    if (options.help) {
        std::fputs(UsageText(), stdout);
        return kAllPassed;
    }
    if (options.version) {
        std::printf("quorvane-run %s\n", QUORVANE_VERSION);
        return kAllPassed;
    }
    const std::vector<Scenario> scenarios = LoadScenarios(options.files);
    const std::vector<std::string> warnings = FileWarnings(scenarios, options);
    std::optional<Baseline> baseline;
    if (!options.baselinePath.empty())
        baseline.emplace(Baseline::Read(options.baselinePath));

    if (options.tracePath == "-" || options.recordPath == "-")
        throw SetupError("only --junit writes to standard output (-)");
    CheckOutputPaths(Inputs(options), Outputs(options));
    // An earlier run's reports go now: what stands there at the end is this run's, whole.
    RemoveStale(Inputs(options), Reports(options));
    std::optional<OutputFile> junitFile, recordFile;
    if (!options.junitPath.empty())
        junitFile.emplace(options.junitPath);
    if (!options.recordPath.empty())
        recordFile.emplace(options.recordPath);

    const std::vector<Reader> readers = ChooseReaders(options.choices);
    if (!options.recordPath.empty() && readers.size() > 1)
        throw SetupError("--record takes the responses of one reader, not " +
                         std::to_string(readers.size()));
    // Owned from here to the end: a second run on one of them is refused or waits.
    const ReaderLocks owned(readers, options.waitReader);
    // The consumers of the run's results, in the order they take each event.
    Observers observers;
    std::optional<TraceFile> trace;
    if (!options.tracePath.empty())
        observers.Add(trace.emplace(options.tracePath));
    // With the report on standard output the console's lines go to standard error.
    std::FILE* const out = IsStandardOutput(options.junitPath) ? stderr : stdout;
    const bool progress = isatty(fileno(out)) != 0 && options.verbosity != Verbosity::Quiet &&
                          !WritesInto(out, options);
    // A person at a real keypad learns when to type; -v shows what each reader's PIN pad offers.
    std::vector<std::string> keypads;
    if (options.verbosity == Verbosity::Verbose)
        keypads = ReadKeypadTexts(readers);
    Console console(out, {options.verbosity, readers.size(), progress, options.reset,
                          CountTests(scenarios) * options.repeat * readers.size(),
                          options.baselinePath, isatty(fileno(stderr)) != 0, std::move(keypads)});
    observers.Add(console);
    std::optional<JUnitReport> junit;
    if (junitFile)
        observers.Add(junit.emplace(readers.size(), options.junitPath, warnings));
    std::optional<RecordFile> record;
    if (recordFile)
        observers.Add(record.emplace(scenarios, *recordFile));

    const RunSettings settings{options.getResponse,
                               options.failFast,
                               options.repeat,
                               baseline ? &*baseline : nullptr,
                               options.baselineFactor.value_or(RunSettings{}.baselineFactor),
                               std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(options.timeout))};
    Engine engine(options.ctapiLibrary, scenarios, settings, observers,
                  [&console](const std::string& line) { console.Warning(line); });
    engine.Open(readers, options.reset, options.waitReader);
    const auto started = std::chrono::system_clock::now();
    const auto start = Clock::now();
    const std::vector<ReaderTotals> totals = engine.Run();
    console.Summary(Clock::now() - start);

    // Every report is put in place, or said why not.
    bool writeFailed = false;
    const auto commit = [&](const std::function<void()>& write) {
        try {
            write();
        } catch (const SetupError& error) {
            std::fprintf(stderr, "quorvane-run: %s\n", error.what());
            writeFailed = true;
        }
    };
    if (junit)
        commit([&] { junit->Write(*junitFile, started); });
    if (record)
        commit([&] { record->Write(); });
    if (trace)
        commit([&] { trace->Commit(); });
    if (const int error = console.WriteError()) {
        std::fprintf(stderr, "quorvane-run: cannot write standard %s: %s\n",
                     out == stdout ? "output" : "error", std::strerror(error));
        writeFailed = true;
    }
    int status = kAllPassed;
    std::size_t sent = 0;
    for (const ReaderTotals& reader : totals) {
        if (reader.Failed() > 0 || reader.notRun > 0)
            status = kTestFailed;
        sent += reader.tests;
    }
    // Green means tested: a run that sent nothing has checked nothing.
    if (sent == 0 && !options.allowEmpty) {
        console.Warning("no test was sent");
        status = kTestFailed;
    }
    // The terminals are closed once the reports are written: a CT_close that fails is said
    // after them.
    const bool closed = engine.Close();
    if (writeFailed || !closed)
        status = kSetupError;
    std::fflush(nullptr);
    // A run a signal stopped ends by that signal, its reports written.
    if (const int signo = EndingSignal())
        EndBySignal(signo);
    return status;
}

// A standard stream the caller closed stays closed: a file opened later must not take its
// number, so a read-only /dev/null holds it, on which every write fails as on a closed one.
void HoldClosedStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int held = open("/dev/null", O_RDONLY);
            if (held >= 0 && held != fd) {
                dup2(held, fd);
                close(held);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    HoldClosedStandardStreams();
    InstallRunSignals();
    // A closed standard output (a pager quit early) does not end the run; its write error is
    // said at the end.
    std::signal(SIGPIPE, SIG_IGN);
    // Whole lines as they come, also into a CI log: a test that hangs shows where.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    try {
        ParseOptions({argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)}, options);
        return Main(options);
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        std::fprintf(stderr, "quorvane-run: not enough memory for this run\n");
    } catch (const std::exception& error) { // a SetupError among them
        std::fflush(stdout);
        std::fprintf(stderr, "quorvane-run: %s\n", error.what());
    }
    // No report of an earlier run stays to be taken for this one's.
    RemoveStale(Inputs(options), Reports(options));
    return kSetupError;
}
