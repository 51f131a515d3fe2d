// The detail of a failed test, for the console and the JUnit report alike.
#include "runner/failure.h"

#include "runner/ct_library.h"
#include "runner/hex_text.h"

#include "req/test_verdict.h"

#include <algorithm>

namespace qvrun {
namespace {

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
    const Test& test = result.test;
    lines.push_back("expected  " + (test.atr == qv::AtrCheck::WellFormed
                                        ? std::string("a well-formed ATR")
                                    : test.pattern ? test.pattern->text
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

} // namespace

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
    // A test of the ATR sends nothing.
    if (test.atr == qv::AtrCheck::None) {
        lines.push_back((verdict == Verdict::NotSent ? "not sent  " : "sent      ") +
                        WindowText(result.command, {}, ShownWindow(result.command.size(), 0)));
    }
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

} // namespace qvrun
