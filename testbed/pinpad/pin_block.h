// The PIN-pad reader's reading of PIN_VERIFY_STRUCTURE and PIN_MODIFY_STRUCTURE (pcsc-lite's
// reader.h), and the PINs typed on its keypad put into the command they carry. No PC/SC and no
// sockets here: the driver, its unit tests and its fuzz target share it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/bytes.h"

namespace pinpad {

using qv::Bytes;
using qv::ByteView;

// How each digit is written: one byte 0 to 9, a nibble, or the character '0' to '9'.
enum class PinCoding : std::uint8_t { Binary = 0, Bcd = 1, Ascii = 2 };

// Where a PIN goes, in bits from its insertion point (the command's first data byte after Lc,
// plus the insertion offset of a modify), and how it is written there.
struct PinLayout {
    PinCoding coding = PinCoding::Ascii;
    unsigned blockAt = 0;    // the PIN block's first bit (bmFormatString's position)
    unsigned blockBytes = 0; // its size; 0: the PIN alone, left where it starts
    bool rightJustified = false;
    unsigned lengthAt = 0;   // the PIN length field's first bit (bmPINLengthFormat's position)
    unsigned lengthBits = 0; // its size; 0: no length written
};

// What one PIN entry on the keypad is for.
enum class EntryRole : std::uint8_t {
    Pin,        // the PIN of a verify
    CurrentPin, // a modify's old PIN
    NewPin,     // a modify's new PIN
    Confirm,    // the new PIN once more
};

struct PinEntry {
    EntryRole role = EntryRole::Pin;
    std::optional<std::uint8_t> message; // the message index the display shows, if any
};

// The reader's own limits, which a structure may narrow but never widen.
struct ReaderLimits {
    unsigned minDigits = 1;
    unsigned maxDigits = 16;
};

// A structure found sound: the entries to ask for in turn and the command to complete.
struct PinRequest {
    bool modify = false;
    std::uint8_t timeout = 0;    // bTimerOut, seconds; 0: the reader's default
    std::uint8_t timeout2 = 0;   // bTimerOut2, after the first key
    std::uint8_t validation = 0; // bEntryValidationCondition
    unsigned minDigits = 0;      // the structure's range within the reader's
    unsigned maxDigits = 0;
    std::uint16_t langId = 0;
    PinLayout layout;
    unsigned currentOffset = 0; // bytes from the first data byte: the old PIN (modify)
    unsigned newOffset = 0;     // the verified or new PIN
    std::vector<PinEntry> entries;
    Bytes command; // the command to the card, as the application filled it in
};

// Why a structure is refused (6B 80), in words for the reader's log.
struct Refusal {
    std::string why;
};

using Parsed = std::variant<PinRequest, Refusal>;

// The structure as `given` (exactly the bytes the application sent, never more is read), its
// multi-byte fields in the host's byte order as reader.h's types hold them.
Parsed ParseVerify(ByteView given, const ReaderLimits& limits);
Parsed ParseModify(ByteView given, const ReaderLimits& limits);

// The digits typed for each entry that places a PIN, by role.
struct TypedPins {
    std::string pin; // verify; a modify's new PIN
    std::string current;
};

// `request.command` with the PINs written in (and their lengths where asked): bits outside the
// PIN blocks and length fields stay as the application sent them. `pins` hold digits only, each
// no longer than request.maxDigits (what the keypad lets through).
Bytes CommandWithPins(const PinRequest& request, const TypedPins& pins);

} // namespace pinpad
