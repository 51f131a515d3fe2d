// What the runner prints.
#include "runner/console.h"

#include "runner/ct_library.h"
#include "runner/failure.h"
#include "runner/hex_text.h"
#include "runner/keypad.h"

#include "core/atr.h"
#include "core/text.h"
#include "req/test_verdict.h"

#include <algorithm>
#include <cerrno>

namespace qvrun {
namespace {

constexpr const char* kIndent = "           ";

const char* VerdictWord(Verdict verdict) {
    if (verdict == Verdict::Passed)
        return "PASS";
    return qv::IsFailure(verdict) ? "FAIL" : "ERROR";
}

// "1 test", "7 tests".
std::string Tests(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " test" : " tests");
}

// "10 tests, 6 passed, 4 failed", and ", 2 not run" where tests were not run.
std::string Counts(const ReaderTotals& t) {
    std::string text = std::to_string(t.tests) + " tests, " + std::to_string(t.Passed()) +
                       " passed, " + std::to_string(t.Failed()) + " failed";
    if (t.notRun > 0)
        text += ", " + std::to_string(t.notRun) + " not run";
    return text;
}

constexpr std::size_t kProgressName = 32; // bytes of a test's name on the progress line

// `text` cut to at most `most` bytes at a character's start, "..." where cut.
std::string Clipped(const std::string& text, std::size_t most) {
    if (text.size() <= most)
        return text;
    std::size_t end = most;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end; // inside a UTF-8 sequence
    return text.substr(0, end) + "...";
}

// `text` with its control characters written as \xHH, so that a name cannot move the cursor,
// colour or clear a terminal.
std::string Printable(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string TestTitle(const Test& test) {
    return test.name.empty() ? "(no name)" : Printable(test.name);
}

} // namespace

Console::Console(std::FILE* out, const ConsoleSettings& settings)
    : out_(out), settings_(settings), readers_(settings.readers) {}

std::string Console::Prefix(const Reader& reader) const {
    return settings_.readers > 1 ? "[" + std::to_string(reader.place + 1) + "] " : "";
}

Console::~Console() {
    const std::lock_guard lock(mutex_);
    ClearProgress();
    std::fflush(out_);
}

void Console::ClearProgress() {
    if (progressShown_)
        std::fputs("\r\033[K", out_);
    progressShown_ = false;
}

void Console::NoteWriteError() {
    if (writeError_ == 0 && std::ferror(out_))
        writeError_ = errno != 0 ? errno : EIO;
}

int Console::WriteError() {
    const std::lock_guard lock(mutex_);
    errno = 0;
    if (std::fflush(out_) != 0 && writeError_ == 0)
        writeError_ = errno != 0 ? errno : EIO;
    NoteWriteError();
    return writeError_;
}

void Console::ShowProgress() {
    NoteWriteError();
    if (!settings_.progress)
        return;
    std::fprintf(out_, "[%zu/%zu] %zu failed", testsDone_, settings_.testsInAll, testsFailed_);
    // The test waited for longest, so that a hanging one is named while it hangs.
    const ReaderState* oldest = nullptr;
    for (const ReaderState& reader : readers_) {
        if (!reader.running.empty() && (oldest == nullptr || reader.since < oldest->since))
            oldest = &reader;
    }
    if (oldest != nullptr)
        std::fprintf(out_, ", running %s", oldest->running.c_str());
    std::fflush(out_);
    progressShown_ = true;
}

void Console::ReaderReady(const ReaderSlot& slot) {
    const qv::Atr atr = qv::DecodeAtr(slot.atr);
    ReaderLine(slot, atr);
    // A card that answers a reset in a way terminals may refuse is worth a word, not a stop.
    if (settings_.showAtr && !atr.verdict.WellFormed()) {
        Warning(readers_[slot.index].prefix + "reader " + std::to_string(slot.reader.place + 1) +
                " '" + slot.reader.name + "': the ATR is not well formed: " + atr.verdict.text);
    }
}

void Console::ReaderLine(const ReaderSlot& slot, const qv::Atr& atr) {
    const std::lock_guard lock(mutex_);
    const std::string& prefix = readers_[slot.index].prefix = Prefix(slot.reader);
    if (settings_.verbosity == Verbosity::Quiet)
        return;
    ClearProgress();
    std::fprintf(out_, "%sreader %u '%s'", prefix.c_str(), slot.reader.place + 1u,
                 slot.reader.name.c_str());
    if (settings_.showAtr)
        std::fprintf(out_, ", ATR %s", HexText(slot.atr).c_str());
    const bool verbose = settings_.verbosity == Verbosity::Verbose;
    if (verbose && slot.index < settings_.keypads.size() && !settings_.keypads[slot.index].empty())
        std::fprintf(out_, ", %s", settings_.keypads[slot.index].c_str());
    std::fputc('\n', out_);
    // -v: the ATR decoded as quorvane-atr prints it, a line each, below the reader's line.
    if (verbose && settings_.showAtr) {
        const std::string text = qv::AtrText(atr);
        for (const std::string_view line : qv::SplitAt(text, '\n')) {
            if (!line.empty())
                std::fprintf(out_, "%s  %.*s\n", prefix.c_str(), static_cast<int>(line.size()),
                             line.data());
        }
    }
    ShowProgress();
}

void Console::Warning(const std::string& line) {
    const std::lock_guard lock(mutex_);
    ClearProgress();
    std::fflush(out_);
    std::fprintf(stderr, "quorvane-run: %s\n", line.c_str());
    ShowProgress();
}

void Console::TestStarted(const ReaderSlot& slot, const Scenario& scenario, const Test& test) {
    if (settings_.pinPrompts && AsksForPin(test)) {
        const std::lock_guard lock(mutex_);
        ClearProgress();
        std::fflush(out_);
        std::fprintf(
            stderr, "quorvane-run: %stest %zu '%s': type the PIN on the keypad of reader %u '%s'\n",
            readers_[slot.index].prefix.c_str(), test.number, TestTitle(test).c_str(),
            slot.reader.place + 1u, slot.reader.name.c_str());
        ShowProgress();
    }
    if (!settings_.progress)
        return;
    const std::lock_guard lock(mutex_);
    ReaderState& state = readers_[slot.index];
    // Short enough for one line of a terminal, which the progress line must not leave.
    const std::string_view name = scenario.path;
    state.running = state.prefix + std::to_string(test.number) + " " +
                    Clipped(TestTitle(test), kProgressName) + " of " +
                    std::string(name.substr(name.find_last_of('/') + 1));
    state.since = Clock::now();
    ClearProgress();
    ShowProgress();
}

void Console::TestDone(const ReaderSlot& slot, const TestResult& result) {
    const std::lock_guard lock(mutex_);
    ClearProgress();
    readers_[slot.index].running.clear();
    ++testsDone_;
    testsFailed_ += result.Passed() ? 0 : 1;
    for (const Exchange& exchange : result.exchanges)
        exchangeTimes_.Add(exchange.duration);
    ReaderState& state = readers_[slot.index];
    const char* prefix = state.prefix.c_str();
    const Verbosity verbosity = settings_.verbosity;
    VerdictLine(state, result.scenario, result.run, result.test,
                VerdictWord(result.judgement.verdict), result.Passed(), result.duration);
    if (verbosity == Verbosity::Verbose) {
        for (const Exchange& exchange : result.exchanges) {
            std::fprintf(out_, "%s%s%s > %s\n", prefix, kIndent, exchange.purpose,
                         HexText(exchange.sent).c_str());
            std::fprintf(out_, "%s%s%s < %s  (%s, from %u, %.3f ms)\n", prefix, kIndent,
                         exchange.purpose, HexText(exchange.received).c_str(),
                         CtResultName(exchange.result), exchange.source,
                         Milliseconds(exchange.duration));
        }
    }
    if (!result.Passed()) {
        for (const std::string& line : FailureDetail(result))
            std::fprintf(out_, "%s%s%s\n", prefix, kIndent, line.c_str());
    }
    ShowProgress();
}

void Console::VerdictLine(ReaderState& state, const Scenario& scenario, unsigned run,
                          const Test& test, const char* verdict, bool passed,
                          Clock::duration duration) {
    const char* prefix = state.prefix.c_str();
    const bool quiet = settings_.verbosity == Verbosity::Quiet;
    if (!quiet && (state.scenario != &scenario || state.run != run)) {
        state.scenario = &scenario;
        state.run = run;
        std::fprintf(out_, "%s== %s (%zu tests)", prefix, scenario.path.c_str(),
                     scenario.tests.size());
        if (run > 1)
            std::fprintf(out_, ", run %u", run);
        std::fputc('\n', out_);
    }
    if (quiet && !passed) {
        // No "== FILE" block above it: the line says where the test is.
        std::fprintf(out_, "%s%-5s %s:%zu  %zu  %s  %.3f ms\n", prefix, verdict, test.file.c_str(),
                     test.line, test.number, TestTitle(test).c_str(), Milliseconds(duration));
    } else if (!quiet) {
        std::fprintf(out_, "%s%-5s %4zu  %s  %.3f ms\n", prefix, verdict, test.number,
                     TestTitle(test).c_str(), Milliseconds(duration));
    }
}

void Console::TestsNotRun(const ReaderSlot& slot, const NotRun& notRun) {
    const std::lock_guard lock(mutex_);
    ClearProgress();
    std::size_t count = notRun.Count();
    testsDone_ += count;
    ReaderState& state = readers_[slot.index];
    state.running.clear();
    const std::string reason(notRun.reason);
    if (notRun.FirstIsError() && count > 0) {
        // The test the stop fell on, an error as in JUnit.
        bool first = true;
        notRun.ForEach([&](const Scenario& scenario, const Test& test, unsigned run, unsigned) {
            if (first)
                VerdictLine(state, scenario, run, test, "ERROR", false, {});
            first = false;
        });
        std::fprintf(out_, "%s%s%s\n", state.prefix.c_str(), kIndent, reason.c_str());
        ++testsFailed_;
        if (--count == 0) {
            ShowProgress();
            return;
        }
    }
    std::fprintf(out_, "%s%s; %s not run\n", state.prefix.c_str(), reason.c_str(),
                 Tests(count).c_str());
    ShowProgress();
}

void Console::ReaderDone(const ReaderSlot& slot, const ReaderTotals& totals) {
    const std::lock_guard lock(mutex_);
    readers_[slot.index].totals = totals;
}

void Console::Summary(Clock::duration wall) {
    const std::lock_guard lock(mutex_);
    ClearProgress();
    ReaderTotals all;
    for (const ReaderState& reader : readers_) {
        if (!reader.totals)
            continue;
        const ReaderTotals& t = *reader.totals;
        if (settings_.readers > 1) {
            std::fprintf(out_, "%s%s in %.3f s\n", reader.prefix.c_str(), Counts(t).c_str(),
                         Milliseconds(t.wall) / 1000);
        }
        all.tests += t.tests;
        all.failures += t.failures;
        all.errors += t.errors;
        all.notRun += t.notRun;
    }
    if (!settings_.baselinePath.empty()) {
        std::size_t found = 0, missing = 0;
        for (const ReaderState& reader : readers_) {
            found += reader.totals ? reader.totals->inBaseline : 0;
            missing += reader.totals ? reader.totals->notInBaseline : 0;
        }
        std::fprintf(out_, "baseline: %zu test%s compared, %zu not in %s\n", found,
                     found == 1 ? "" : "s", missing, settings_.baselinePath.c_str());
    }
    std::fprintf(out_, "%s: %s in %.3f s; ",
                 all.Failed() == 0 && all.notRun == 0 ? "PASSED" : "FAILED", Counts(all).c_str(),
                 Milliseconds(wall) / 1000);
    if (const std::optional<Percentiles> p = exchangeTimes_.Ranked()) {
        std::fprintf(out_, "per exchange p50 %.3f ms, p95 %.3f ms, max %.3f ms\n", p->p50, p->p95,
                     p->max);
    } else {
        std::fputs("no exchange was timed\n", out_);
    }
    std::fflush(out_);
}

} // namespace qvrun
