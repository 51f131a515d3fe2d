// An open CT-API terminal on one reader.
#include "runner/terminal.h"

#include "core/ctbcs_commands.h"
#include "runner/hex_text.h"
#include "runner/reader_lock.h"
#include "runner/setup_error.h"

#include <algorithm>
#include <ctapi.h>

namespace qvrun {
namespace {

// CT_init's port number: our library's terminal of exclusive use, or a shared one.
constexpr std::uint16_t kExclusivePort = 1;
constexpr std::uint16_t kSharedPort = 0;

} // namespace

const char* CtCallName(CtCall call) {
    switch (call) {
    case CtCall::Init:
        return "CT_init";
    case CtCall::Data:
        return "CT_data";
    case CtCall::Close:
        return "CT_close";
    }
    return "a CT-API call";
}

CtTerminal::CtTerminal(const CtLibrary& library, const Reader& reader, CallListener& calls)
    : library_(library), reader_(reader), room_(qv::kMaxCtLength), calls_(calls) {
    calls_.Calling(CtCall::Init);
    const std::int8_t result =
        library_.Init()(reader_.position, library_.Ours() ? kExclusivePort : kSharedPort);
    calls_.Returned();
    if (result != OK) {
        throw SetupError("CT_init for reader '" + reader_.name + "' answered " +
                         CtResultText(result));
    }
}

CtTerminal::~CtTerminal() {
    calls_.Calling(CtCall::Close);
    library_.Close()(reader_.position);
    calls_.Returned();
}

qv::ExchangeResult CtTerminal::Send(std::uint8_t destination,
                                    std::span<const std::uint8_t> command) {
    return qv::SendCommand(reader_.position, destination, HOST, command, room_, library_.Data());
}

qv::ExchangeResult CtTerminal::Call(std::uint8_t destination,
                                    std::span<const std::uint8_t> command) {
    calls_.Calling(CtCall::Data);
    const qv::ExchangeResult reply = Send(destination, command);
    calls_.Returned();
    return reply;
}

std::optional<CardState> CtTerminal::QueryCard() {
    const qv::ExchangeResult reply = Call(CT, qv::ctbcs::kGetStatusIcc);
    const std::span<const std::uint8_t> r = reply.received;
    if (reply.result != OK || r.size() != 5 || r[0] != 0x80 || r[1] != 0x01 || r[3] != 0x90 ||
        r[4] != 0x00) {
        return std::nullopt;
    }
    // The status byte: bit 0 a card is present, bit 2 it is powered.
    if ((r[2] & 0x01) == 0)
        return CardState::Removed;
    if ((r[2] & 0x04) == 0)
        return CardState::Unpowered;
    return CardState::Present;
}

const char* CardStateText(CardState state) {
    switch (state) {
    case CardState::Removed:
        return "the card was removed";
    case CardState::Unpowered:
        return "the card is no longer powered";
    case CardState::Present:
        break;
    }
    return "the card is still there";
}

qv::Bytes CtTerminal::Reset(std::chrono::seconds waitInUse) {
    const auto fail = [&](const std::string& what, const qv::ExchangeResult& reply) {
        if (reply.result != OK) {
            throw SetupError(what + " on reader '" + reader_.name + "': CT_data answered " +
                             CtResultText(reply.result));
        }
        throw SetupError(what + " on reader '" + reader_.name + "' answered " +
                         (reply.received.size() >= 2 ? HexText(reply.received.last(2))
                                                     : std::string("too few bytes")));
    };
    const qv::ExchangeResult resetCt = Call(CT, qv::ctbcs::kResetCt);
    if (resetCt.result != OK || resetCt.received.size() != 2 || resetCt.received[0] != 0x90 ||
        resetCt.received[1] != 0x00) {
        fail("RESET CT", resetCt);
    }
    // 69 85: another program holds the card (or, for our exclusive terminal, is connected to
    // it); nothing was done, and the reset may be asked again once it has let go.
    qv::ExchangeResult resetIcc;
    WaitForReader(
        [&] {
            resetIcc = Call(CT, qv::ctbcs::kResetIcc);
            return resetIcc.result != OK ||
                   !std::ranges::equal(resetIcc.received, qv::ctbcs::kCardInUse);
        },
        waitInUse, "the card in reader '" + reader_.name + "' is in use by another program");
    const std::span<const std::uint8_t> reply = resetIcc.received;
    if (resetIcc.result == OK && reply.size() >= 2 && reply[reply.size() - 2] == 0x64) {
        throw SetupError(reply.back() == 0xA1 ? "no card in reader '" + reader_.name + "'"
                                              : "the card in reader '" + reader_.name +
                                                    "' does not answer the reset");
    }
    if (resetIcc.result != OK || reply.size() < 2 || reply[reply.size() - 2] != 0x90)
        fail("RESET ICC", resetIcc);
    return qv::Bytes(reply.begin(), reply.end() - 2);
}

} // namespace qvrun
