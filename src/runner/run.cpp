// One reader's run.
#include "runner/run.h"

#include "core/match.h"
#include "runner/options.h"
#include "runner/report.h"

#include <cstdio>
#include <ctapi.h>

namespace qvrun {
namespace {

constexpr std::uint8_t kCard = 0;     // ICC1: the card in the first slot
constexpr std::uint8_t kTerminal = 1; // CT
constexpr std::uint8_t kHost = 2;
// RESET CT and RESET ICC (P2 01: with the whole ATR), as CT-BCS gives them.
const Bytes kResetCt{0x20, 0x11, 0x00, 0x00, 0x00};
const Bytes kResetIcc{0x20, 0x11, 0x01, 0x01, 0x00};
// T=0: at most this many GET RESPONSE or corrected-Le exchanges after one command, so that a
// card answering 61xx for ever cannot hold the run.
constexpr int kMaxFollowUps = 256;

// The command again with Le set to `le` (case 1 and 3 gain an Le byte); nothing when the
// command is no short APDU whose Le could be told.
std::optional<Bytes> WithLe(const Bytes& command, std::uint8_t le) {
    Bytes corrected = command;
    const std::size_t size = command.size();
    if (size == 4) {
        corrected.push_back(le);
    } else if (size == 5 || (size > 5 && size == 6 + std::size_t{command[4]})) {
        corrected.back() = le;
    } else if (size > 5 && size == 5 + std::size_t{command[4]}) {
        corrected.push_back(le);
    } else {
        return std::nullopt;
    }
    return corrected;
}

bool CardStatus(const Exchange& exchange, std::uint8_t sw1) {
    return exchange.result == OK && exchange.source == kCard && exchange.received.size() >= 2 &&
           exchange.received[exchange.received.size() - 2] == sw1;
}

struct TestExchanges {
    std::vector<Exchange> all; // as sent and received
    Exchange judged;           // the last one, its response the parts joined
};

// The test's exchanges: the command, then with `getResponse` the T=0 follow-ups: 6Cxx sends the
// command again with Le xx, 61xx fetches the rest with GET RESPONSE.
TestExchanges Exchanges(Terminal& terminal, const Test& test, bool getResponse,
                        const RunListener& listener) {
    std::vector<Exchange> exchanges;
    // The last exchange sent, kept where it lies: a pointer taken anew after every send.
    const auto send = [&](const Bytes& command, const char* purpose) -> const Exchange* {
        exchanges.push_back(terminal.Send(command, purpose));
        if (listener.exchange)
            listener.exchange(exchanges.back());
        return &exchanges.back();
    };
    const Exchange* last = send(test.command, "command");
    Bytes joined;
    for (int followUp = 0; getResponse && followUp < kMaxFollowUps; ++followUp) {
        const std::uint8_t sw2 = last->received.empty() ? 0 : last->received.back();
        if (CardStatus(*last, 0x6C) && last->received.size() == 2) {
            const auto corrected = WithLe(test.command, sw2);
            if (!corrected)
                break;
            joined.clear();
            last = send(*corrected, "Le corrected");
        } else if (CardStatus(*last, 0x61)) {
            joined.insert(joined.end(), last->received.begin(), last->received.end() - 2);
            last = send(Bytes{0x00, 0xC0, 0x00, 0x00, sw2}, "GET RESPONSE");
        } else {
            break;
        }
    }
    Exchange judged = *last;
    if (!joined.empty() && judged.result == OK) {
        joined.insert(joined.end(), judged.received.begin(), judged.received.end());
        judged.received = std::move(joined);
    }
    return {std::move(exchanges), std::move(judged)};
}

} // namespace

Terminal::Terminal(const CtLibrary& library, const Reader& reader)
    : library_(library), reader_(reader), room_(qv::kMaxCtLength) {
    const std::int8_t result = library_.Init()(reader_.position, 0);
    if (result != OK) {
        throw SetupError("CT_init for reader '" + reader_.name + "' answered " +
                         CtResultText(result));
    }
}

Terminal::~Terminal() {
    library_.Close()(reader_.position);
}

Exchange Terminal::SendTo(std::uint8_t destination, const Bytes& command, std::string purpose) {
    Exchange exchange;
    exchange.at = std::chrono::system_clock::now();
    exchange.purpose = std::move(purpose);
    exchange.sent = command;
    const qv::ExchangeResult reply =
        qv::SendCommand(reader_.position, destination, kHost, command, room_, library_.Data());
    exchange.result = reply.result;
    exchange.source = reply.source;
    exchange.duration = reply.duration;
    exchange.received.assign(reply.received.begin(), reply.received.end());
    return exchange;
}

Exchange Terminal::Send(const Bytes& command, std::string purpose) {
    return SendTo(kCard, command, std::move(purpose));
}

Bytes Terminal::Reset() {
    const auto fail = [&](const std::string& what, const Exchange& exchange) {
        if (exchange.result != OK) {
            throw SetupError(what + " on reader '" + reader_.name + "': CT_data answered " +
                             CtResultText(exchange.result));
        }
        throw SetupError(what + " on reader '" + reader_.name + "' answered " +
                         (exchange.received.size() >= 2
                              ? HexText(std::span(exchange.received).last(2))
                              : std::string("too few bytes")));
    };
    const Exchange resetCt = SendTo(kTerminal, kResetCt, "RESET CT");
    if (resetCt.result != OK || resetCt.received != Bytes{0x90, 0x00})
        fail("RESET CT", resetCt);
    Exchange resetIcc = SendTo(kTerminal, kResetIcc, "RESET ICC");
    const Bytes& reply = resetIcc.received;
    if (resetIcc.result == OK && reply.size() >= 2 && reply[reply.size() - 2] == 0x64) {
        throw SetupError(reply.back() == 0xA1 ? "no card in reader '" + reader_.name + "'"
                                              : "the card in reader '" + reader_.name +
                                                    "' does not answer the reset");
    }
    if (resetIcc.result != OK || reply.size() < 2 || reply[reply.size() - 2] != 0x90)
        fail("RESET ICC", resetIcc);
    return Bytes(reply.begin(), reply.end() - 2);
}

Outcome Judge(const Test& test, const Exchange& last) {
    Outcome outcome;
    outcome.test = &test;
    outcome.received = last.received;
    outcome.result = last.result;
    if (last.result != OK) {
        outcome.verdict = Verdict::CtError;
    } else if (last.source != kCard) {
        outcome.verdict = Verdict::TerminalReply;
    } else if ((outcome.differs = qv::FirstDifference(test.Expected(), last.received))) {
        outcome.verdict = Verdict::Mismatch;
    }
    return outcome;
}

ReaderRun RunReader(Terminal& terminal, const std::vector<Scenario>& scenarios,
                    const RunSettings& settings, const RunListener& listener,
                    std::atomic<bool>& stop) {
    ReaderRun run;
    const auto start = Clock::now();
    for (unsigned repetition = 1; repetition <= settings.repeat; ++repetition) {
        for (const Scenario& scenario : scenarios) {
            for (const Test& test : scenario.tests) {
                if (stop.load())
                    break;
                std::vector<Exchange> exchanges;
                Outcome outcome;
                if (test.command.size() > qv::kMaxCtLength) {
                    outcome.test = &test;
                    outcome.verdict = Verdict::NotSent;
                } else {
                    TestExchanges sent = Exchanges(terminal, test, settings.getResponse, listener);
                    outcome = Judge(test, sent.judged);
                    exchanges = std::move(sent.all);
                }
                outcome.scenario = &scenario;
                outcome.run = repetition;
                for (const Exchange& exchange : exchanges) {
                    outcome.duration += exchange.duration;
                    run.exchangeTimes.push_back(exchange.duration);
                }
                if (listener.outcome)
                    listener.outcome(outcome, exchanges);
                if (settings.failFast && !outcome.Passed())
                    stop = true;
                run.outcomes.push_back(std::move(outcome));
            }
        }
    }
    run.wall = Clock::now() - start;
    return run;
}

} // namespace qvrun
