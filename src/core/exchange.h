// One exchange with the card terminal: a command sent with CT_data, the reply handed back.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctapi.h>
#include <span>

namespace qv {

// The CT-API's CT_data, as linked or as found in a library loaded at run time with dlopen.
using CtDataFunction = std::int8_t (*)(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad,
                                       std::uint16_t lenc, std::uint8_t* command,
                                       std::uint16_t* lenr, std::uint8_t* response);

// The largest response room and command length the CT-API's 16-bit lengths can express.
inline constexpr std::size_t kMaxCtLength = 65535;

struct ExchangeResult {
    std::int8_t result = ERR_INVALID; // CT_data's result; OK (0) when a reply came
    std::uint8_t source = 0;          // the reply's source address: 0 the card, 1 the terminal
    std::span<const std::uint8_t> received; // the reply, inside the response room; empty unless OK
    std::chrono::steady_clock::duration duration{}; // the CT_data call alone
};

// Sends `command` to terminal `ctn` from `sad` to `dad` with one call of `ctData`, offering
// `response` as the room for the reply (at most kMaxCtLength bytes of it). The command is passed
// in a copy of its own, so a library that writes into it cannot change the caller's bytes. A
// library that reports more bytes than the room offered is believed only up to the room.
// A command longer than kMaxCtLength is not sent: the result is ERR_INVALID.
ExchangeResult SendCommand(std::uint16_t ctn, std::uint8_t dad, std::uint8_t sad,
                           std::span<const std::uint8_t> command, std::span<std::uint8_t> response,
                           CtDataFunction ctData = &CT_data);

} // namespace qv
