// One reader's run: its CT-API terminal opened and reset, then every test of every file sent to
// the card, repeated as asked.
#pragma once

#include "runner/ct_library.h"
#include "runner/readers.h"
#include "runner/scenario.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qvrun {

using Clock = std::chrono::steady_clock;

// One CT_data call and what came back.
struct Exchange {
    std::chrono::system_clock::time_point at; // when it was sent
    std::string purpose;                      // "command", "GET RESPONSE", "Le corrected"
    Bytes sent;
    Bytes received; // empty unless result is OK
    std::int8_t result = 0;
    std::uint8_t source = 0; // the reply's source address
    Clock::duration duration{};
};

enum class Verdict {
    Passed,
    Mismatch,      // the card answered something else
    CtError,       // CT_data failed
    TerminalReply, // the terminal answered, not the card
    NotSent,       // longer than the CT-API can carry
};

struct Outcome {
    const Scenario* scenario = nullptr;
    const Test* test = nullptr;
    unsigned run = 1; // 1-based repetition
    Verdict verdict = Verdict::Passed;
    Bytes received;                     // the final response (chained with --get-response)
    std::int8_t result = 0;             // the failing CT_data result for CtError
    std::optional<std::size_t> differs; // first differing byte for Mismatch
    Clock::duration duration{};         // all of the test's exchanges

    bool Passed() const { return verdict == Verdict::Passed; }
};

// Everything one reader's run says, called on the reader's thread.
struct RunListener {
    std::function<void(const Exchange&)> exchange;
    std::function<void(const Outcome&, const std::vector<Exchange>&)> outcome;
};

struct RunSettings {
    bool getResponse = false;
    bool failFast = false;
    unsigned repeat = 1;
};

// An open CT-API terminal on one reader; closed with CT_close when destroyed.
class Terminal {
  public:
    // CT_init for the reader's position; throws SetupError when it fails.
    Terminal(const CtLibrary& library, const Reader& reader);
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // RESET CT and RESET ICC; the ATR. Throws SetupError when the terminal or the card fails.
    Bytes Reset();
    // One command to the card (destination 0) with the largest response room.
    Exchange Send(const Bytes& command, std::string purpose);

  private:
    Exchange SendTo(std::uint8_t destination, const Bytes& command, std::string purpose);

    const CtLibrary& library_;
    Reader reader_;
    std::vector<std::uint8_t> room_;
};

struct ReaderRun {
    std::vector<Outcome> outcomes;
    std::vector<Clock::duration> exchangeTimes;
    Clock::duration wall{};
};

// Runs every file `settings.repeat` times on `terminal`. Stops early when `stop` is set (by
// this run on a failure with failFast, or by another reader's).
ReaderRun RunReader(Terminal& terminal, const std::vector<Scenario>& scenarios,
                    const RunSettings& settings, const RunListener& listener,
                    std::atomic<bool>& stop);

// The verdict of one test from its final exchange.
Outcome Judge(const Test& test, const Exchange& last);

} // namespace qvrun
