// What the runner prints.
#include "runner/report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

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
    switch (verdict) {
    case Verdict::Passed:
        return "PASS";
    case Verdict::Mismatch:
        return "FAIL";
    default:
        return "ERROR";
    }
}

std::string TestTitle(const Test& test) {
    return test.name.empty() ? "(no name)" : test.name;
}

std::string UtcStamp(std::chrono::system_clock::time_point at) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%06lldZ", static_cast<long long>(micros % 1000000));
    return text;
}

} // namespace

std::string HexText(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> wildcard) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        if (!text.empty())
            text += ' ';
        const bool any = k < wildcard.size() && wildcard[k] != 0;
        text += any ? 'x' : kDigits[bytes[k] >> 4];
        text += any ? 'x' : kDigits[bytes[k] & 0x0F];
    }
    return text;
}

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

std::string FailureMessage(const Outcome& outcome) {
    switch (outcome.verdict) {
    case Verdict::Passed:
        return "passed";
    case Verdict::Mismatch: {
        std::string message = "response differs at byte " + std::to_string(*outcome.differs + 1);
        if (outcome.received.size() != outcome.test->expected.size()) {
            message += " (" + std::to_string(outcome.received.size()) + " bytes received, " +
                       std::to_string(outcome.test->expected.size()) + " expected)";
        }
        return message;
    }
    case Verdict::CtError:
        return "CT_data answered " + CtResultText(outcome.result);
    case Verdict::TerminalReply:
        return "the terminal answered, not the card";
    case Verdict::NotSent:
        return "command of " + std::to_string(outcome.test->command.size()) +
               " bytes is longer than the CT-API can send (65535)";
    }
    return {};
}

std::vector<std::string> FailureDetail(const Outcome& outcome) {
    const Test& test = *outcome.test;
    std::vector<std::string> lines;
    lines.push_back("sent      " +
                    WindowText(test.command, {}, ShownWindow(test.command.size(), 0)));
    if (outcome.verdict == Verdict::CtError || outcome.verdict == Verdict::NotSent) {
        lines.push_back(FailureMessage(outcome));
        return lines;
    }
    const std::size_t focus = outcome.differs.value_or(0);
    const std::size_t longer = std::max(test.expected.size(), outcome.received.size());
    const Window window = ShownWindow(longer, focus);
    const auto clip = [](Window w, std::size_t size) {
        return Window{std::min(w.from, size), std::min(w.to, size)};
    };
    lines.push_back("expected  " + (test.expected.empty()
                                        ? std::string("(any response)")
                                        : WindowText(test.expected, test.wildcard,
                                                     clip(window, test.expected.size()))));
    lines.push_back("received  " +
                    WindowText(outcome.received, {}, clip(window, outcome.received.size())));
    if (outcome.verdict == Verdict::TerminalReply) {
        lines.push_back(FailureMessage(outcome));
    } else if (outcome.differs) {
        const std::size_t column = 10 + (window.from > 0 ? 4 : 0) + 3 * (focus - window.from);
        lines.push_back(std::string(column, ' ') + "^^ " + FailureMessage(outcome));
    }
    return lines;
}

Percentiles ExchangePercentiles(std::vector<Clock::duration> times) {
    Percentiles p;
    if (times.empty())
        return p;
    std::sort(times.begin(), times.end());
    // Nearest rank: the smallest time that at least that share of the exchanges does not pass.
    const auto rank = [&](double share) {
        const auto index = static_cast<std::size_t>(std::ceil(share * times.size()));
        return Milliseconds(times[std::clamp<std::size_t>(index, 1, times.size()) - 1]);
    };
    p.p50 = rank(0.50);
    p.p95 = rank(0.95);
    p.max = Milliseconds(times.back());
    return p;
}

Console::Console(std::FILE* out, Verbosity verbosity, bool severalReaders, bool progress,
                 std::size_t testsInAll)
    : out_(out), verbosity_(verbosity), severalReaders_(severalReaders), progress_(progress),
      testsInAll_(testsInAll) {}

std::string Console::Prefix(const Reader& reader) const {
    return severalReaders_ ? "[" + std::to_string(reader.position + 1) + "] " : "";
}

void Console::ClearProgress() {
    if (progress_)
        std::fputs("\r\033[K", out_);
}

void Console::ShowProgress() {
    if (!progress_)
        return;
    std::fprintf(out_, "[%zu/%zu] %zu failed", testsDone_, testsInAll_, testsFailed_);
    std::fflush(out_);
}

void Console::ReaderReady(const Reader& reader, const Bytes& atr, bool reset) {
    const std::lock_guard lock(mutex_);
    if (verbosity_ == Verbosity::Quiet)
        return;
    ClearProgress();
    std::fprintf(out_, "%sreader %u '%s'", Prefix(reader).c_str(), reader.position + 1u,
                 reader.name.c_str());
    if (reset)
        std::fprintf(out_, ", ATR %s", HexText(atr).c_str());
    std::fputc('\n', out_);
    ShowProgress();
}

void Console::Warning(const std::string& line) {
    const std::lock_guard lock(mutex_);
    ClearProgress();
    std::fflush(out_);
    std::fprintf(stderr, "quorvane-run: %s\n", line.c_str());
    ShowProgress();
}

void Console::TestDone(const Reader& reader, const Outcome& outcome,
                       const std::vector<Exchange>& exchanges) {
    const std::lock_guard lock(mutex_);
    ClearProgress();
    ++testsDone_;
    testsFailed_ += outcome.Passed() ? 0 : 1;
    const std::string prefix = Prefix(reader);
    auto& block = block_[reader.position];
    if (verbosity_ != Verbosity::Quiet && block != std::make_pair(outcome.scenario, outcome.run)) {
        block = {outcome.scenario, outcome.run};
        std::fprintf(out_, "%s== %s (%zu tests)", prefix.c_str(), outcome.scenario->path.c_str(),
                     outcome.scenario->tests.size());
        if (outcome.run > 1)
            std::fprintf(out_, ", run %u", outcome.run);
        std::fputc('\n', out_);
    }
    if (verbosity_ != Verbosity::Quiet || !outcome.Passed()) {
        std::fprintf(out_, "%s%-5s %4zu  %s  %.3f ms\n", prefix.c_str(),
                     VerdictWord(outcome.verdict), outcome.test->number,
                     TestTitle(*outcome.test).c_str(), Milliseconds(outcome.duration));
    }
    if (verbosity_ == Verbosity::Verbose) {
        for (const Exchange& exchange : exchanges) {
            std::fprintf(out_, "%s%s%s > %s\n", prefix.c_str(), kIndent, exchange.purpose.c_str(),
                         HexText(exchange.sent).c_str());
            std::fprintf(out_, "%s%s%s < %s  (%s, from %u, %.3f ms)\n", prefix.c_str(), kIndent,
                         exchange.purpose.c_str(), HexText(exchange.received).c_str(),
                         CtResultName(exchange.result), exchange.source,
                         Milliseconds(exchange.duration));
        }
    }
    if (!outcome.Passed()) {
        for (const std::string& line : FailureDetail(outcome))
            std::fprintf(out_, "%s%s%s\n", prefix.c_str(), kIndent, line.c_str());
    }
    ShowProgress();
}

void Console::Summary(const std::vector<Reader>& readers, const std::vector<ReaderRun>& runs,
                      Clock::duration wall) {
    const std::lock_guard lock(mutex_);
    ClearProgress();
    std::size_t tests = 0, failed = 0;
    std::vector<Clock::duration> times;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::size_t readerFailed =
            std::count_if(runs[i].outcomes.begin(), runs[i].outcomes.end(),
                          [](const Outcome& o) { return !o.Passed(); });
        if (severalReaders_) {
            std::fprintf(out_, "%s%zu tests, %zu passed, %zu failed in %.3f s\n",
                         Prefix(readers[i]).c_str(), runs[i].outcomes.size(),
                         runs[i].outcomes.size() - readerFailed, readerFailed,
                         Milliseconds(runs[i].wall) / 1000);
        }
        tests += runs[i].outcomes.size();
        failed += readerFailed;
        times.insert(times.end(), runs[i].exchangeTimes.begin(), runs[i].exchangeTimes.end());
    }
    const Percentiles p = ExchangePercentiles(std::move(times));
    std::fprintf(out_,
                 "%s: %zu tests, %zu passed, %zu failed in %.3f s; per exchange p50 %.3f ms, "
                 "p95 %.3f ms, max %.3f ms\n",
                 failed == 0 ? "PASSED" : "FAILED", tests, tests - failed, failed,
                 Milliseconds(wall) / 1000, p.p50, p.p95, p.max);
    std::fflush(out_);
}

TraceFile::TraceFile(const std::string& path) : file_(std::fopen(path.c_str(), "w")) {
    if (file_ == nullptr)
        throw SetupError("cannot write " + path + ": " + std::strerror(errno));
}

TraceFile::~TraceFile() {
    std::fclose(file_);
}

void TraceFile::Write(const Reader& reader, const Exchange& exchange) {
    const std::lock_guard lock(mutex_);
    std::fprintf(file_, "%s reader %u %s > %s < %s result %d from %u %.3f ms\n",
                 UtcStamp(exchange.at).c_str(), reader.position + 1u, exchange.purpose.c_str(),
                 HexText(exchange.sent).c_str(), HexText(exchange.received).c_str(),
                 exchange.result, exchange.source, Milliseconds(exchange.duration));
}

} // namespace qvrun
