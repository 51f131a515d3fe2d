// PIN_VERIFY_STRUCTURE and PIN_MODIFY_STRUCTURE checked as a careful reader checks them, and the
// typed PINs written into their command.
#include "pinpad/pin_block.h"

#include <PCSC/reader.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>

namespace pinpad {
namespace {

// CLA INS P1 P2 Lc: the positions in the structures count from the byte after them.
constexpr std::size_t kCommandHeader = 5;
constexpr unsigned kMaxMessages = 3;
constexpr std::uint8_t kValidationBits = 0x07; // max size reached, OK key, timeout
constexpr std::uint8_t kConfirmBits = 0x03;    // confirm the new PIN, enter the current one
constexpr std::uint8_t kConfirmNew = 0x01;
constexpr std::uint8_t kAskCurrent = 0x02;

static_assert(offsetof(PIN_VERIFY_STRUCTURE, abData) == 19);
static_assert(offsetof(PIN_MODIFY_STRUCTURE, abData) == 24);

template <class T> T Field(ByteView given, std::size_t at) {
    T value;
    std::memcpy(&value, given.data() + at, sizeof value);
    return value;
}

// The fields both structures have, wherever each keeps them.
struct CommonFields {
    std::size_t header = 0;
    std::uint8_t timeout = 0;
    std::uint8_t timeout2 = 0;
    std::uint8_t format = 0;
    std::uint8_t block = 0;
    std::uint8_t lengthFormat = 0;
    std::uint16_t digits = 0; // wPINMaxExtraDigit: minimum << 8 | maximum
    std::uint8_t validation = 0;
    std::uint8_t messages = 0;
    std::uint16_t langId = 0;
    std::uint32_t dataLength = 0;
};

// Only after the size check: `given` holds at least the structure's fixed part.
template <class S> CommonFields ReadCommon(ByteView given) {
    CommonFields f;
    f.header = offsetof(S, abData);
    f.timeout = Field<std::uint8_t>(given, offsetof(S, bTimerOut));
    f.timeout2 = Field<std::uint8_t>(given, offsetof(S, bTimerOut2));
    f.format = Field<std::uint8_t>(given, offsetof(S, bmFormatString));
    f.block = Field<std::uint8_t>(given, offsetof(S, bmPINBlockString));
    f.lengthFormat = Field<std::uint8_t>(given, offsetof(S, bmPINLengthFormat));
    f.digits = Field<std::uint16_t>(given, offsetof(S, wPINMaxExtraDigit));
    f.validation = Field<std::uint8_t>(given, offsetof(S, bEntryValidationCondition));
    f.messages = Field<std::uint8_t>(given, offsetof(S, bNumberMessage));
    f.langId = Field<std::uint16_t>(given, offsetof(S, wLangId));
    f.dataLength = Field<std::uint32_t>(given, offsetof(S, ulDataLength));
    return f;
}

std::string HexByte(unsigned value, int digits = 2) {
    char text[8];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

unsigned DigitBits(PinCoding coding) {
    return coding == PinCoding::Bcd ? 4 : 8;
}

PinLayout DecodeLayout(const CommonFields& f) {
    PinLayout layout;
    const unsigned unit = (f.format & 0x80) != 0 ? 8 : 1;
    layout.coding = static_cast<PinCoding>(f.format & 0x03);
    layout.blockAt = ((f.format >> 3) & 0x0F) * unit;
    layout.rightJustified = (f.format & 0x04) != 0;
    layout.lengthBits = f.block >> 4;
    layout.blockBytes = f.block & 0x0F;
    const unsigned lengthUnit = (f.lengthFormat & 0x10) != 0 ? 8 : 1;
    layout.lengthAt = (f.lengthFormat & 0x0F) * lengthUnit;
    return layout;
}

// Why a PIN of up to `maxDigits` at `offset` bytes into `dataBytes` data bytes does not fit.
std::optional<std::string> Misfit(const PinLayout& layout, unsigned offset, std::size_t dataBytes,
                                  unsigned maxDigits) {
    const std::size_t base = std::size_t{offset} * 8;
    const std::size_t dataBits = dataBytes * 8;
    const std::size_t pinBits = std::size_t{maxDigits} * DigitBits(layout.coding);
    const std::size_t blockBits = layout.blockBytes > 0 ? layout.blockBytes * 8u : pinBits;
    if (pinBits > blockBits) {
        return "a PIN of " + std::to_string(maxDigits) + " digits does not fit the " +
               std::to_string(layout.blockBytes) + "-byte PIN block";
    }
    if (base + layout.blockAt + blockBits > dataBits) {
        return "the PIN block at byte " + std::to_string(offset) + " bit " +
               std::to_string(layout.blockAt) + " runs past the command's " +
               std::to_string(dataBytes) + " data bytes";
    }
    if (layout.lengthBits > 0) {
        if (base + layout.lengthAt + layout.lengthBits > dataBits) {
            return "the PIN length field at byte " + std::to_string(offset) + " bit " +
                   std::to_string(layout.lengthAt) + " runs past the command's " +
                   std::to_string(dataBytes) + " data bytes";
        }
        if (maxDigits >= (1u << layout.lengthBits)) {
            return "a length of " + std::to_string(maxDigits) + " does not fit " +
                   std::to_string(layout.lengthBits) + " bits";
        }
    }
    return std::nullopt;
}

// The checks both structures share; fills `request` from them, or says why not.
std::optional<std::string> CheckCommon(ByteView given, const CommonFields& f,
                                       const ReaderLimits& limits, PinRequest& request) {
    if (given.size() - f.header != f.dataLength) {
        return "ulDataLength " + std::to_string(f.dataLength) + " + " + std::to_string(f.header) +
               " is not the " + std::to_string(given.size()) + " bytes given";
    }
    if (f.dataLength <= kCommandHeader)
        return "a command of " + std::to_string(f.dataLength) + " bytes has no data for a PIN";
    if (f.messages > kMaxMessages)
        return "bNumberMessage " + std::to_string(f.messages) + " is more than 3";
    if (f.validation == 0 || (f.validation & ~kValidationBits) != 0)
        return "bEntryValidationCondition " + HexByte(f.validation) + " asks for no known end";
    if ((f.format & 0x03) == 0x03)
        return "bmFormatString " + HexByte(f.format) + " names no PIN coding";
    if ((f.lengthFormat & 0xE0) != 0)
        return "bmPINLengthFormat " + HexByte(f.lengthFormat) + " has reserved bits set";
    const unsigned least = f.digits >> 8;
    const unsigned most = f.digits & 0xFF;
    request.minDigits = std::max(least, limits.minDigits);
    request.maxDigits = std::min(most, limits.maxDigits);
    if (least > most || request.minDigits > request.maxDigits) {
        return "wPINMaxExtraDigit " + HexByte(f.digits, 4) + " allows no PIN size the reader (" +
               std::to_string(limits.minDigits) + " to " + std::to_string(limits.maxDigits) +
               " digits) takes";
    }
    request.timeout = f.timeout;
    request.timeout2 = f.timeout2;
    request.validation = f.validation;
    request.langId = f.langId;
    request.layout = DecodeLayout(f);
    request.command.assign(given.begin() + static_cast<std::ptrdiff_t>(f.header), given.end());
    return std::nullopt;
}

// The fields both structures have read from `given` into `f` and checked into `request`; why
// not, when the structure is too short for its fixed part or fails a check.
template <class S>
std::optional<std::string> ReadChecked(ByteView given, const ReaderLimits& limits, CommonFields& f,
                                       PinRequest& request) {
    if (given.size() < offsetof(S, abData)) {
        return std::to_string(given.size()) + " bytes, fewer than the structure's " +
               std::to_string(offsetof(S, abData));
    }
    f = ReadCommon<S>(given);
    return CheckCommon(given, f, limits, request);
}

// The places the request writes a PIN to, each checked against the command.
std::optional<std::string> CheckPlaces(const PinRequest& request) {
    const std::size_t dataBytes = request.command.size() - kCommandHeader;
    for (const PinEntry& entry : request.entries) {
        if (entry.role == EntryRole::Confirm)
            continue;
        const unsigned offset =
            entry.role == EntryRole::CurrentPin ? request.currentOffset : request.newOffset;
        if (auto why = Misfit(request.layout, offset, dataBytes, request.maxDigits))
            return why;
    }
    return std::nullopt;
}

// Writes the `bits` low bits of `value` at bit `at` (0: the first byte's top bit), most
// significant first; never beyond `data`.
void PutBits(std::span<std::uint8_t> data, std::size_t at, unsigned bits, unsigned value) {
    for (unsigned i = 0; i < bits; ++i) {
        const std::size_t bit = at + i;
        if (bit / 8 >= data.size())
            return;
        const auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
        if (((value >> (bits - 1 - i)) & 1u) != 0) {
            data[bit / 8] |= mask;
        } else {
            data[bit / 8] &= static_cast<std::uint8_t>(~mask);
        }
    }
}

void PutPin(std::span<std::uint8_t> data, const PinLayout& layout, unsigned offset,
            std::string_view digits) {
    const std::size_t base = std::size_t{offset} * 8;
    const unsigned digitBits = DigitBits(layout.coding);
    std::size_t at = base + layout.blockAt;
    if (layout.rightJustified && layout.blockBytes > 0)
        at += layout.blockBytes * 8u - digits.size() * digitBits;
    for (const char digit : digits) {
        const unsigned value = static_cast<unsigned>(digit - '0');
        PutBits(data, at, digitBits, layout.coding == PinCoding::Ascii ? value + '0' : value);
        at += digitBits;
    }
    if (layout.lengthBits > 0) {
        PutBits(data, base + layout.lengthAt, layout.lengthBits,
                static_cast<unsigned>(digits.size()));
    }
}

} // namespace

Parsed ParseVerify(ByteView given, const ReaderLimits& limits) {
    using S = PIN_VERIFY_STRUCTURE;
    CommonFields f;
    PinRequest request;
    if (auto why = ReadChecked<S>(given, limits, f, request))
        return Refusal{*why};
    PinEntry entry{EntryRole::Pin, std::nullopt};
    if (f.messages > 0)
        entry.message = Field<std::uint8_t>(given, offsetof(S, bMsgIndex));
    request.entries.push_back(entry);
    if (auto why = CheckPlaces(request))
        return Refusal{*why};
    return request;
}

Parsed ParseModify(ByteView given, const ReaderLimits& limits) {
    using S = PIN_MODIFY_STRUCTURE;
    CommonFields f;
    PinRequest request;
    if (auto why = ReadChecked<S>(given, limits, f, request))
        return Refusal{*why};
    const auto confirm = Field<std::uint8_t>(given, offsetof(S, bConfirmPIN));
    if ((confirm & ~kConfirmBits) != 0)
        return Refusal{"bConfirmPIN " + HexByte(confirm) + " has reserved bits set"};
    request.modify = true;
    request.currentOffset = Field<std::uint8_t>(given, offsetof(S, bInsertionOffsetOld));
    request.newOffset = Field<std::uint8_t>(given, offsetof(S, bInsertionOffsetNew));
    const std::uint8_t indexes[] = {Field<std::uint8_t>(given, offsetof(S, bMsgIndex1)),
                                    Field<std::uint8_t>(given, offsetof(S, bMsgIndex2)),
                                    Field<std::uint8_t>(given, offsetof(S, bMsgIndex3))};
    std::vector<EntryRole> roles;
    if ((confirm & kAskCurrent) != 0)
        roles.push_back(EntryRole::CurrentPin);
    roles.push_back(EntryRole::NewPin);
    if ((confirm & kConfirmNew) != 0)
        roles.push_back(EntryRole::Confirm);
    // The entries show the messages in turn, as many as bNumberMessage says.
    for (std::size_t k = 0; k < roles.size(); ++k) {
        PinEntry entry{roles[k], std::nullopt};
        if (k < f.messages)
            entry.message = indexes[k];
        request.entries.push_back(entry);
    }
    if (auto why = CheckPlaces(request))
        return Refusal{*why};
    return request;
}

Bytes CommandWithPins(const PinRequest& request, const TypedPins& pins) {
    Bytes command = request.command;
    const std::span<std::uint8_t> data = std::span(command).subspan(kCommandHeader);
    for (const PinEntry& entry : request.entries) {
        if (entry.role == EntryRole::CurrentPin) {
            PutPin(data, request.layout, request.currentOffset, pins.current);
        } else if (entry.role != EntryRole::Confirm) {
            PutPin(data, request.layout, request.newOffset, pins.pin);
        }
    }
    return command;
}

} // namespace pinpad
