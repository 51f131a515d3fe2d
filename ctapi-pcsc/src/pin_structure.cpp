#include "pin_structure.h"

#include <PCSC/reader.h>

#include <algorithm>
#include <cstring>

namespace ctapi {

namespace {

static_assert(sizeof(PIN_VERIFY_STRUCTURE) == 19 && sizeof(PIN_MODIFY_STRUCTURE) == 24,
              "the reader expects the packed structures");

// bmFormatString: bit 7 offsets in bytes, bits 6-3 the offset of the PIN's digits, bit 2 clear
// for digits justified left, bits 1-0 the digits' coding.
constexpr std::uint8_t kOffsetInBytes = 0x80;
constexpr std::uint8_t kDigitsBcd = 0x01, kDigitsAscii = 0x02;
// Offsets and block sizes are four-bit fields.
constexpr std::size_t kFourBits = 15;
// A format 2 block: the control nibble 2, the length in the next four bits, the digits from the
// block's second byte, F fill to its eighth.
constexpr std::uint8_t kFormat2Control = 0x20, kFill = 0xFF;
constexpr std::size_t kFormat2Digits = 7;
constexpr std::uint8_t kLengthBits = 4, kLengthAtBit = 4;
constexpr std::size_t kDataStart = 5; // CLA INS P1 P2 Lc

// The entry ends with the keypad's OK key, prompted in English: the first message for the PIN,
// then those for the new PIN and its confirmation; no T=1 prologue of the reader's own.
constexpr std::uint8_t kOkKey = 0x02;
constexpr std::uint16_t kEnglish = 0x0409;
constexpr std::uint8_t kOldAndNewTwice =
    0x03; // bConfirmPIN: the old PIN asked, the new one confirmed

// The PIN fields common to both structures.
struct Format {
    std::uint8_t formatString = 0, blockString = 0, lengthFormat = 0;
    std::uint16_t extraDigit = 0; // minimum digits in the high byte, maximum in the low
};

// The digits' place and sizes; `base` is where the PIN's field starts in the data for a verify
// (its offset bits count from the first data byte) and 0 for a modify (whose insertion offsets
// say it).
std::optional<Format> FormatOf(const PinCommand& command, std::size_t base, std::size_t room,
                               std::optional<PinSizes> reader) {
    const bool format2 = command.coding == PinCoding::Format2;
    const std::size_t digitsAt = base + (format2 ? 1 : 0);
    const std::size_t lengthAt = 8 * base + kLengthAtBit; // in bits, format 2 only
    if (digitsAt > kFourBits || (format2 && lengthAt > kFourBits))
        return std::nullopt;
    std::size_t frame = format2               ? kFormat2Digits
                        : command.digits != 0 ? PinBytes(command.coding, command.digits)
                                              : std::min(room, kFourBits);
    PinSizes sizes{command.digits, command.digits};
    if (command.digits == 0) {
        // Any length: what fits, narrowed to what the keypad takes.
        sizes = format2 ? PinSizes{4, 12}
                        : PinSizes{1, static_cast<std::uint8_t>(
                                          command.coding == PinCoding::Bcd ? 2 * frame : frame)};
        if (reader) {
            sizes.min = std::max(sizes.min, reader->min);
            sizes.max = std::min(sizes.max, reader->max);
        }
        if (sizes.min > sizes.max)
            return std::nullopt;
    }
    Format format;
    format.formatString =
        static_cast<std::uint8_t>(kOffsetInBytes | digitsAt << 3 |
                                  (command.coding == PinCoding::Ascii ? kDigitsAscii : kDigitsBcd));
    format.blockString = static_cast<std::uint8_t>((format2 ? kLengthBits << 4 : 0) | frame);
    format.lengthFormat = format2 ? static_cast<std::uint8_t>(lengthAt) : 0; // in bits
    format.extraDigit = static_cast<std::uint16_t>(sizes.min << 8 | sizes.max);
    return format;
}

// The card's command as the reader gets it: a format 2 block's frame written in, the reader
// putting the length and the digits into it.
Bytes CardCommand(const PinCommand& command) {
    Bytes apdu(command.apdu.begin(), command.apdu.end());
    if (command.coding != PinCoding::Format2)
        return apdu;
    const auto frame = [&](const PinField& field) {
        const auto block = apdu.begin() + static_cast<std::ptrdiff_t>(kDataStart + field.offset);
        *block = kFormat2Control;
        std::fill(block + 1, block + 1 + kFormat2Digits, kFill);
    };
    frame(command.current);
    if (command.entry == PinEntry::Modify)
        frame(command.next);
    return apdu;
}

// The fields both structures have, then the card's command behind them.
template <typename Structure>
Bytes WithCommand(Structure& structure, const Format& format, const PinCommand& command) {
    const Bytes apdu = CardCommand(command);
    structure.bTimerOut = command.seconds;
    structure.bmFormatString = format.formatString;
    structure.bmPINBlockString = format.blockString;
    structure.bmPINLengthFormat = format.lengthFormat;
    structure.wPINMaxExtraDigit = format.extraDigit;
    structure.bEntryValidationCondition = kOkKey;
    structure.wLangId = kEnglish;
    structure.ulDataLength = static_cast<std::uint32_t>(apdu.size());
    Bytes out(sizeof structure);
    std::memcpy(out.data(), &structure, sizeof structure);
    out.insert(out.end(), apdu.begin(), apdu.end());
    return out;
}

} // namespace

std::optional<Bytes> PinStructure(const PinCommand& command, std::optional<PinSizes> reader) {
    if (command.entry == PinEntry::Verify) {
        const auto format = FormatOf(command, command.current.offset, command.current.room, reader);
        if (!format)
            return std::nullopt;
        PIN_VERIFY_STRUCTURE verify{};
        verify.bNumberMessage = 1;
        return WithCommand(verify, *format, command);
    }
    const auto format =
        FormatOf(command, 0, std::min(command.current.room, command.next.room), reader);
    if (!format)
        return std::nullopt;
    PIN_MODIFY_STRUCTURE modify{};
    modify.bInsertionOffsetOld = static_cast<std::uint8_t>(command.current.offset);
    modify.bInsertionOffsetNew = static_cast<std::uint8_t>(command.next.offset);
    modify.bConfirmPIN = kOldAndNewTwice;
    modify.bNumberMessage = 3;
    modify.bMsgIndex1 = 0;
    modify.bMsgIndex2 = 1;
    modify.bMsgIndex3 = 2;
    return WithCommand(modify, *format, command);
}

} // namespace ctapi
