// libFuzzer target over the PIN-pad reader's reading of PIN_VERIFY_STRUCTURE and
// PIN_MODIFY_STRUCTURE and the PINs written into the command they carry, under reader limits and
// PINs the input chooses. The structure lies in a buffer of exactly its size, so that a read past
// its end is caught; a refusal must say why, and a structure taken must give a request within
// the limits whose completed command keeps its length and its header.
#include "pinpad/pin_block.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

namespace {

void Check(bool holds) {
    if (!holds)
        __builtin_trap();
}

std::string Digits(FuzzedDataProvider& input, unsigned least, unsigned most) {
    std::string digits(input.ConsumeIntegralInRange(least, most), '0');
    for (char& digit : digits)
        digit = static_cast<char>('0' + input.ConsumeIntegralInRange(0, 9));
    return digits;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool modify = input.ConsumeBool();
    pinpad::ReaderLimits limits;
    limits.minDigits = input.ConsumeIntegralInRange(1u, 20u);
    limits.maxDigits = input.ConsumeIntegralInRange(limits.minDigits, 40u);
    const std::size_t pinsAt = input.ConsumeIntegralInRange<std::size_t>(0, 64);
    const pinpad::Bytes structure = input.ConsumeBytes<std::uint8_t>(input.remaining_bytes());
    const pinpad::Parsed parsed =
        modify ? pinpad::ParseModify(structure, limits) : pinpad::ParseVerify(structure, limits);
    if (const auto* refusal = std::get_if<pinpad::Refusal>(&parsed)) {
        Check(!refusal->why.empty());
        return 0;
    }
    const auto& request = std::get<pinpad::PinRequest>(parsed);
    Check(request.modify == modify);
    Check(limits.minDigits <= request.minDigits && request.minDigits <= request.maxDigits &&
          request.maxDigits <= limits.maxDigits);
    Check(request.command.size() > 5 && request.command.size() < structure.size());
    Check(!request.entries.empty() && request.entries.size() <= 3);

    // The PINs come from the structure's own bytes, read again from where the input says.
    FuzzedDataProvider keys(structure.data() + std::min(pinsAt, structure.size()),
                            structure.size() - std::min(pinsAt, structure.size()));
    const pinpad::TypedPins pins{Digits(keys, request.minDigits, request.maxDigits),
                                 Digits(keys, request.minDigits, request.maxDigits)};
    const pinpad::Bytes command = pinpad::CommandWithPins(request, pins);
    Check(command.size() == request.command.size());
    Check(std::equal(command.begin(), command.begin() + 5, request.command.begin()));
    return 0;
}
