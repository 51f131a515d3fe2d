// libFuzzer target over the library's CT-BCS interpreter: a run of commands to the terminal and
// to the card, against a slot whose every answer (card state, ATR, reader identity, the card's
// replies and failures) the input decides as well.
#include <ctapi.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include "ctbcs.h"

namespace {

using ctapi::Bytes;
using ctapi::ByteView;

class FuzzedSlot final : public ctapi::Slot {
  public:
    explicit FuzzedSlot(FuzzedDataProvider& input) : input_(input) {}

    bool Connected() const override { return connected_; }
    ctapi::CardState State() override {
        const auto state = input_.PickValueInArray(
            {ctapi::CardState::Absent, ctapi::CardState::Present, ctapi::CardState::Active});
        connected_ = connected_ && state == ctapi::CardState::Active;
        return state;
    }
    ctapi::ActivateResult Activate(Bytes& atr) override {
        Fault();
        const auto result =
            input_.PickValueInArray({ctapi::ActivateResult::Ok, ctapi::ActivateResult::NoCard,
                                     ctapi::ActivateResult::Failed, ctapi::ActivateResult::InUse});
        connected_ = result == ctapi::ActivateResult::Ok;
        if (connected_)
            atr = input_.ConsumeBytes<std::uint8_t>(input_.ConsumeIntegralInRange(0, 33));
        return result;
    }
    void Deactivate() override {
        Fault();
        connected_ = false;
    }
    void Eject() override { Deactivate(); }
    bool WaitFor(bool, std::chrono::seconds) override {
        Fault();
        return input_.ConsumeBool();
    }
    ctapi::ReaderIdentity Identity() override {
        ctapi::ReaderIdentity identity{input_.ConsumeRandomLengthString(40),
                                       input_.ConsumeRandomLengthString(40), std::nullopt};
        if (input_.ConsumeBool())
            identity.ifdVersion = input_.ConsumeIntegral<std::uint32_t>();
        return identity;
    }
    ByteView Transmit(ByteView apdu) override {
        if (!connected_ || apdu.size() < 4)
            __builtin_trap(); // only a command APDU, only to an activated card
        Fault();
        answer_ = input_.ConsumeBytes<std::uint8_t>(input_.ConsumeIntegralInRange(2, 300));
        return answer_;
    }
    ByteView LastAnswer() const { return answer_; }

  private:
    // The terminal or the card may fail at any call.
    void Fault() {
        if (input_.ConsumeIntegralInRange(0, 15) == 0) {
            connected_ = false;
            constexpr std::int8_t kCodes[] = {ERR_CT, ERR_TRANS, ERR_HOST};
            throw ctapi::CtError{input_.PickValueInArray(kCodes)};
        }
    }

    FuzzedDataProvider& input_;
    bool connected_ = false;
    Bytes answer_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    FuzzedSlot slot(input);
    ctapi::Terminal terminal(slot);
    while (input.remaining_bytes() > 0) {
        const std::uint8_t destination = input.ConsumeBool() ? ICC1 : CT;
        const Bytes command =
            input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(1, 300));
        try {
            const auto reply = terminal.Data(destination, command);
            // Every answer of the terminal ends with a status word; the card's is passed on
            // exactly as it came.
            if (reply.source == CT && reply.bytes.size() < 2)
                __builtin_trap();
            if (reply.source == ICC1 &&
                !std::equal(reply.bytes.begin(), reply.bytes.end(), slot.LastAnswer().begin(),
                            slot.LastAnswer().end()))
                __builtin_trap();
        } catch (const ctapi::CtError&) {
        }
    }
    return 0;
}
