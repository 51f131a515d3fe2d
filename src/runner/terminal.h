// An open CT-API terminal on one reader: CT_init, the reset, commands to the card, CT_close.
#pragma once

#include "runner/ct_library.h"
#include "runner/readers.h"
#include "runner/suite.h"
#include "runner/watch.h"

#include "core/exchange.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qvrun {

class CtTerminal {
  public:
    // CT_init for the reader's position; throws SetupError when it fails. With our library the
    // terminal is one of exclusive use (port number 1): from RESET ICC on, no other program
    // reaches the card. Another library opens it with port number 0 (shared).
    // Every call is marked in the terminal's watch (a CT_data after an ending signal throws
    // RunStopped).
    // `limit` bounds each call while the run's main thread does not watch it (CallWatch::Limit).
    CtTerminal(const CtLibrary& library, const Reader& reader,
               CallWatch::Clock::duration limit = {});
    ~CtTerminal();
    CtTerminal(const CtTerminal&) = delete;
    CtTerminal& operator=(const CtTerminal&) = delete;

    // RESET CT and RESET ICC; the ATR. Throws SetupError when the terminal or the card fails,
    // or when the card is in use by another program (69 85) after `waitInUse`.
    Bytes Reset(std::chrono::seconds waitInUse = {});
    // One command to the card (destination 0) or the terminal (1) with the largest response
    // room. The reply's bytes lie in the terminal's room until the next command.
    qv::ExchangeResult Send(std::uint8_t destination, std::span<const std::uint8_t> command);
    // The terminal's word on the card after a failed exchange (GET STATUS, ICC status): "the
    // card was removed", "the card is no longer powered", "the card is still there"; nothing
    // when the terminal does not say.
    std::optional<std::string> CardState();

    CallWatch& Watch() { return watch_; }

  private:
    const CtLibrary& library_;
    Reader reader_;
    std::vector<std::uint8_t> room_;
    CallWatch watch_;
};

} // namespace qvrun
