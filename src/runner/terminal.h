// An open CT-API terminal on one reader: CT_init, the reset, commands to the card, CT_close.
// It lives in the reader's own process (reader_process.h), the only one that calls the library.
#pragma once

#include "runner/ct_library.h"
#include "runner/readers.h"

#include "core/bytes.h"
#include "core/exchange.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qvrun {

enum class CtCall : std::uint8_t { Init, Data, Close };

// What the terminal says of the card after a failed exchange.
enum class CardState : std::uint8_t { Removed, Unpowered, Present };
// "the card was removed", "the card is no longer powered", "the card is still there".
const char* CardStateText(CardState state);
const char* CtCallName(CtCall call); // "CT_data"

// Told before and after each CT-API call that the terminal makes on its own (CT_init, the
// reset's and the card state's CT_data, CT_close), so that the run knows the call a process
// ended in or did not come back from.
class CallListener {
  public:
    virtual void Calling(CtCall call) = 0;
    virtual void Returned() = 0;

  protected:
    ~CallListener() = default;
};

class CtTerminal {
  public:
    // CT_init for the reader's position; throws SetupError when it fails. With our library the
    // terminal is one of exclusive use (port number 1): from RESET ICC on, no other program
    // reaches the card. Another library opens it with port number 0 (shared).
    CtTerminal(const CtLibrary& library, const Reader& reader, CallListener& calls);
    ~CtTerminal(); // CT_close
    CtTerminal(const CtTerminal&) = delete;
    CtTerminal& operator=(const CtTerminal&) = delete;

    // RESET CT and RESET ICC; the ATR. Throws SetupError when the terminal or the card fails,
    // or when the card is in use by another program (69 85) after `waitInUse`.
    qv::Bytes Reset(std::chrono::seconds waitInUse = {});
    // One command to the card (destination 0) or the terminal (1) with the largest response
    // room. The reply's bytes lie in the terminal's room until the next command. The caller
    // notifies the listener's owner.
    qv::ExchangeResult Send(std::uint8_t destination, std::span<const std::uint8_t> command);
    // The terminal's word on the card after a failed exchange (GET STATUS, ICC status); nothing
    // when the terminal does not say.
    std::optional<CardState> QueryCard();

  private:
    // Send, with the listener notified before and after it.
    qv::ExchangeResult Call(std::uint8_t destination, std::span<const std::uint8_t> command);

    const CtLibrary& library_;
    Reader reader_;
    std::vector<std::uint8_t> room_;
    CallListener& calls_;
};

} // namespace qvrun
