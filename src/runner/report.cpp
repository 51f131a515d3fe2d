// What the runner prints.
#include "runner/report.h"

#include "runner/ct_library.h"
#include "runner/hex_text.h"
#include "runner/keypad.h"

#include "core/atr.h"
#include "core/text.h"
#include "req/test_verdict.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <type_traits>

namespace qvrun {
namespace {

constexpr const char* kIndent = "           ";
// Responses longer than this are shown as a window around the first difference.
constexpr std::size_t kShownBytes = 48;
constexpr std::size_t kShownBefore = 16;

struct Window {
    std::size_t from = 0, to = 0;
};

Window ShownWindow(std::size_t size, std::size_t focus) {
    if (size <= kShownBytes)
        return {0, size};
    const std::size_t from = focus > kShownBefore ? std::min(focus - kShownBefore, size) : 0;
    return {from, std::min(size, from + kShownBytes)};
}

// Bytes [window) as hex text, "xx" where `wildcard` marks a byte, "..." where bytes are left out.
std::string WindowText(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> wildcard,
                       Window window) {
    std::string text;
    const auto add = [&text](std::string_view part) {
        if (part.empty())
            return;
        if (!text.empty())
            text += ' ';
        text += part;
    };
    if (window.from > 0)
        add("...");
    add(HexText(bytes.subspan(window.from, window.to - window.from),
                wildcard.size() > window.from ? wildcard.subspan(window.from)
                                              : std::span<const std::uint8_t>{}));
    if (window.to < bytes.size())
        add("...");
    return text.empty() ? "(none)" : text;
}

const char* VerdictWord(Verdict verdict) {
    if (verdict == Verdict::Passed)
        return "PASS";
    return qv::IsFailure(verdict) ? "FAIL" : "ERROR";
}

// "uses = 00 2A, size = 10": the values of the captures an extended test reads.
std::string CaptureValues(const TestResult& result) {
    std::string text;
    for (const std::string& name : qv::CaptureUses(result.test)) {
        const auto held = result.captures->find(name);
        if (!text.empty())
            text += ", ";
        text += name + " = " +
                (held == result.captures->end()
                     ? std::string("(no value)")
                     : WindowText(held->second, {}, ShownWindow(held->second.size(), 0)));
    }
    return text;
}

// The detail of an extended test: its expected response as written, what came, why they
// differ, and the captures it read.
void ExtendedDetail(const TestResult& result, std::vector<std::string>& lines) {
    const bool marked =
        result.judgement.verdict == Verdict::Mismatch && result.judgement.differs.has_value();
    const std::size_t differs = marked ? *result.judgement.differs : 0;
    const Window window = ShownWindow(result.received.size(), differs);
    lines.push_back("expected  " + (result.test.pattern ? result.test.pattern->text
                                                        : std::string("(any response)")));
    lines.push_back("received  " + WindowText(result.received, {}, window));
    if (marked) {
        const std::size_t column =
            10 + (window.from > 0 ? 4 : 0) + 3 * (std::min(differs, window.to) - window.from);
        lines.push_back(std::string(column, ' ') + "^^ " + FailureMessage(result));
    } else {
        lines.push_back(FailureMessage(result));
    }
    if (const std::string values = CaptureValues(result); !values.empty())
        lines.push_back("captures  " + values);
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

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

std::string FailureMessage(const TestResult& result) {
    const Test& test = result.test;
    if (!result.why.empty())
        return result.why;
    switch (result.judgement.verdict) {
    case Verdict::Passed:
        return "passed";
    case Verdict::Mismatch: {
        if (!result.judgement.why.empty())
            return result.judgement.why;
        std::string message =
            "response differs at byte " + std::to_string(*result.judgement.differs + 1);
        if (result.received.size() != test.expected.size()) {
            message += " (" + std::to_string(result.received.size()) + " bytes received, " +
                       std::to_string(test.expected.size()) + " expected)";
        }
        return message;
    }
    case Verdict::CtError:
        return "CT_data answered " + CtResultText(result.result);
    case Verdict::TerminalReply:
    case Verdict::CardReply: {
        // The source address of the reply: 0 the card, 1 the terminal, anything else neither.
        const std::uint8_t source = result.exchanges.empty() ? 1 : result.exchanges.back().source;
        if (source > 1) {
            return "the reply came from source address " + std::to_string(source) +
                   ", neither the card nor the terminal";
        }
        if (result.judgement.verdict == Verdict::TerminalReply)
            return "the terminal answered, not the card";
        return "the card answered, not the terminal";
    }
    case Verdict::NotSent:
        return "command of " + std::to_string(result.command.size()) +
               " bytes is longer than the CT-API can send (65535)";
    case Verdict::TooSlow:
    case Verdict::SlowerThanBaseline:
    case Verdict::CaptureMissing:
        break; // the engine's reason, in `why`
    }
    return {};
}

std::vector<std::string> FailureDetail(const TestResult& result) {
    const Test& test = result.test;
    const Verdict verdict = result.judgement.verdict;
    std::vector<std::string> lines;
    if (verdict == Verdict::CaptureMissing) {
        lines.push_back(FailureMessage(result)); // nothing was sent
        return lines;
    }
    lines.push_back((verdict == Verdict::NotSent ? "not sent  " : "sent      ") +
                    WindowText(result.command, {}, ShownWindow(result.command.size(), 0)));
    if (verdict == Verdict::CtError || verdict == Verdict::NotSent || verdict == Verdict::TooSlow ||
        verdict == Verdict::SlowerThanBaseline) {
        lines.push_back(FailureMessage(result));
        return lines;
    }
    if (test.extended) {
        ExtendedDetail(result, lines);
        return lines;
    }
    const std::optional<std::size_t> differs =
        verdict == Verdict::Mismatch ? result.judgement.differs : std::nullopt;
    const std::size_t focus = differs.value_or(0);
    const std::size_t longer = std::max(test.expected.size(), result.received.size());
    const Window window = ShownWindow(longer, focus);
    const auto clip = [](Window w, std::size_t size) {
        return Window{std::min(w.from, size), std::min(w.to, size)};
    };
    lines.push_back("expected  " + (test.expected.empty()
                                        ? std::string("(any response)")
                                        : WindowText(test.expected, test.wildcard,
                                                     clip(window, test.expected.size()))));
    lines.push_back("received  " +
                    WindowText(result.received, {}, clip(window, result.received.size())));
    if (verdict == Verdict::TerminalReply) {
        lines.push_back(FailureMessage(result));
    } else if (differs) {
        const std::size_t column = 10 + (window.from > 0 ? 4 : 0) + 3 * (focus - window.from);
        lines.push_back(std::string(column, ' ') + "^^ " + FailureMessage(result));
    } else if (!result.why.empty()) {
        lines.push_back(result.why); // the engine's reason: the card still asked for more, say
    }
    return lines;
}

namespace {

// The buckets of ExchangeTimes. Times of 2^42 ns and more (over an hour) share the last.
constexpr int kExactBits = 10; // times below 2^10 ns have a bucket each
constexpr int kSpanBits = 9;   // 2^9 buckets per power of two above
constexpr int kTopBit = 41;
constexpr std::size_t kExact = 1u << kExactBits;
constexpr std::size_t kPerPower = 1u << kSpanBits;
constexpr std::size_t kBuckets = kExact + (kTopBit - kExactBits + 1) * kPerPower;

std::size_t Bucket(Clock::rep nanoseconds) {
    const auto time = static_cast<std::uint64_t>(std::max<Clock::rep>(nanoseconds, 0));
    if (time < kExact)
        return time;
    const int power = std::bit_width(time) - 1;
    if (power > kTopBit)
        return kBuckets - 1;
    const std::uint64_t mantissa = time >> (power - kSpanBits); // in [2^9, 2^10)
    return kExact + (power - kExactBits) * kPerPower + (mantissa - kPerPower);
}

} // namespace

static_assert(std::is_same_v<Clock::period, std::nano>, "the buckets are of nanoseconds");

ExchangeTimes::ExchangeTimes() : counts_(kBuckets), longest_(kBuckets) {}

void ExchangeTimes::Add(Clock::duration time) {
    const std::size_t bucket = Bucket(time.count());
    ++counts_[bucket];
    longest_[bucket] = std::max(longest_[bucket], time.count());
    ++total_;
}

std::optional<Percentiles> ExchangeTimes::Ranked() const {
    if (total_ == 0)
        return std::nullopt;
    Percentiles p;
    // Nearest rank: the smallest time that at least that share of the exchanges does not pass.
    const auto rank = [&](double share) {
        const auto wanted = std::clamp<std::uint64_t>(
            static_cast<std::uint64_t>(std::ceil(share * static_cast<double>(total_))), 1, total_);
        std::uint64_t seen = 0;
        for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) {
            seen += counts_[bucket];
            if (seen >= wanted)
                return Milliseconds(Clock::duration(longest_[bucket]));
        }
        return 0.0; // not reached: the counts add up to total_
    };
    p.p50 = rank(0.50);
    p.p95 = rank(0.95);
    p.max = rank(1.0);
    return p;
}

Console::Console(std::FILE* out, const ConsoleSettings& settings)
    : out_(out), settings_(settings), readers_(settings.readers) {}

std::string Console::Prefix(const Reader& reader) const {
    return settings_.readers > 1 ? "[" + std::to_string(reader.position + 1) + "] " : "";
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
        Warning(readers_[slot.index].prefix + "reader " + std::to_string(slot.reader.position + 1) +
                " '" + slot.reader.name + "': the ATR is not well formed: " + atr.verdict.text);
    }
}

void Console::ReaderLine(const ReaderSlot& slot, const qv::Atr& atr) {
    const std::lock_guard lock(mutex_);
    const std::string& prefix = readers_[slot.index].prefix = Prefix(slot.reader);
    if (settings_.verbosity == Verbosity::Quiet)
        return;
    ClearProgress();
    std::fprintf(out_, "%sreader %u '%s'", prefix.c_str(), slot.reader.position + 1u,
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
            slot.reader.position + 1u, slot.reader.name.c_str());
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
        all.mismatches += t.mismatches;
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
