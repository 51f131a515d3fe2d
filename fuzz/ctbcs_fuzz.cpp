// libFuzzer target over the library's CT-BCS interpreter: a run of commands to the terminal and
// to the card, PIN commands among them, against a slot whose every answer (card state, ATR,
// reader identity, keypad, the card's and the reader's replies, failures) the input decides as
// well. A secure PIN entry structure handed to the reader must be one a careful reader accepts.
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
    ctapi::PinPad Keypad() override {
        ctapi::PinPad pad{input_.ConsumeBool(), input_.ConsumeBool(), input_.ConsumeBool(), {}};
        if (input_.ConsumeBool())
            pad.sizes = ctapi::PinSizes{input_.ConsumeIntegral<std::uint8_t>(),
                                        input_.ConsumeIntegral<std::uint8_t>()};
        return pad;
    }
    ByteView EnterPin(ctapi::PinEntry entry, ByteView structure) override {
        if (!connected_ || !WellFormed(entry, structure))
            __builtin_trap(); // a whole structure, only for an activated card
        Fault();
        answer_ = input_.ConsumeBytes<std::uint8_t>(input_.ConsumeIntegralInRange(2, 300));
        if (answer_.size() < 2)
            throw ctapi::CtError{ERR_TRANS}; // as the slot takes an answer without a status word
        return answer_;
    }
    ByteView LastAnswer() const { return answer_; }

  private:
    // What a careful reader checks before it types anything into the card's command: the
    // length given agrees with the structure's own, every PIN's place lies inside the command's
    // data, and the sizes are in order.
    static bool WellFormed(ctapi::PinEntry entry, ByteView structure) {
        const bool modify = entry == ctapi::PinEntry::Modify;
        const std::size_t header = modify ? 24 : 19;
        if (structure.size() < header)
            return false;
        const std::size_t dataLength = structure[header - 4] | structure[header - 3] << 8 |
                                       structure[header - 2] << 16 |
                                       std::size_t{structure[header - 1]} << 24;
        if (dataLength != structure.size() - header || dataLength < 6)
            return false;
        const std::size_t lc = structure[header + 4], data = dataLength - 5;
        if (lc == 0 || lc > data)
            return false;
        const std::uint8_t format = structure[2], block = structure[3] & 0x0F;
        const std::size_t digitsAt = (format >> 3) & 0x0F;
        const std::size_t extra = modify ? 7 : 5; // wPINMaxExtraDigit
        if (structure[extra + 1] > structure[extra] || block == 0)
            return false; // the minimum in the high byte, the maximum in the low
        const auto inside = [&](std::size_t at) { return at + digitsAt + block <= lc; };
        return modify ? inside(structure[5]) && inside(structure[6]) : inside(0);
    }

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

// A PIN command (INS 18 or 19 for card slot 1 and the keypad) around fuzzed fields: the control
// byte, the positions, the card's command with a data field of its own length, and what follows;
// now and then a wrong length of the data object. Random bytes seldom get this far.
Bytes PinCommand(FuzzedDataProvider& input) {
    const bool modify = input.ConsumeBool();
    Bytes value{input.ConsumeIntegral<std::uint8_t>(),
                input.ConsumeIntegralInRange<std::uint8_t>(0, 40)};
    if (modify)
        value.push_back(input.ConsumeIntegralInRange<std::uint8_t>(0, 40));
    const auto header = input.ConsumeBytes<std::uint8_t>(4);
    value.insert(value.end(), header.begin(), header.end());
    const auto data = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(1, 40));
    value.push_back(static_cast<std::uint8_t>(data.size()));
    value.insert(value.end(), data.begin(), data.end());
    Bytes objects{0x52, static_cast<std::uint8_t>(value.size())};
    if (input.ConsumeIntegralInRange(0, 7) == 0)
        objects[1] = input.ConsumeIntegral<std::uint8_t>();
    objects.insert(objects.end(), value.begin(), value.end());
    const auto rest = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(0, 6));
    objects.insert(objects.end(), rest.begin(), rest.end());
    Bytes command{0x20, static_cast<std::uint8_t>(modify ? 0x19 : 0x18), 0x01, 0x00,
                  static_cast<std::uint8_t>(std::min<std::size_t>(objects.size(), 255))};
    command.insert(command.end(), objects.begin(), objects.end());
    return command;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    FuzzedSlot slot(input);
    ctapi::Terminal terminal(slot);
    while (input.remaining_bytes() > 0) {
        const std::uint8_t destination = input.ConsumeBool() ? ICC1 : CT;
        const Bytes command =
            input.ConsumeIntegralInRange(0, 3) == 0
                ? PinCommand(input)
                : input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(1, 300));
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
