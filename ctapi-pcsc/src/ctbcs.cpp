#include "ctbcs.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <ctapi.h>

#include "core/apdu.h"
#include "core/ctbcs_commands.h"
#include "pin_structure.h"

namespace ctapi {

std::optional<Apdu> ParseShortApdu(ByteView command) {
    const Apdu apdu = qv::ParseCommandApdu(command);
    if (!apdu.Valid() || apdu.extended)
        return std::nullopt;
    return apdu;
}

namespace {

constexpr std::uint8_t kTagTime = 0x80, kTagCommandToPerform = 0x52;

struct DataObject {
    std::uint8_t tag;
    ByteView value;
};

// The data objects of a command's data field, each a tag, one length byte and the value, in
// their order; nullopt when one is cut short.
std::optional<std::vector<DataObject>> DataObjects(ByteView data) {
    std::vector<DataObject> objects;
    while (!data.empty()) {
        if (data.size() < 2 || data[1] > data.size() - 2)
            return std::nullopt; // a tag without its length or value
        objects.push_back({data[0], data.subspan(2, data[1])});
        data = data.subspan(2 + data[1]);
    }
    return objects;
}

// The first time object's seconds (0 without one); nullopt when any time object is not one byte.
// Display texts (tag 50) and unknown objects carry nothing for the library.
std::optional<std::uint8_t> Seconds(const std::vector<DataObject>& objects) {
    std::optional<std::uint8_t> seconds;
    for (const auto& object : objects) {
        if (object.tag != kTagTime)
            continue;
        if (object.value.size() != 1)
            return std::nullopt;
        if (!seconds)
            seconds = object.value[0];
    }
    return seconds.value_or(0);
}

} // namespace

std::optional<std::chrono::seconds> ParseWaitTime(ByteView data) {
    if (data.size() == 1)
        return std::chrono::seconds(data[0]);
    const auto objects = DataObjects(data);
    if (!objects)
        return std::nullopt;
    const auto seconds = Seconds(*objects);
    if (!seconds)
        return std::nullopt;
    return std::chrono::seconds(*seconds);
}

std::size_t PinBytes(PinCoding coding, std::uint8_t digits) {
    switch (coding) {
    case PinCoding::Bcd:
        return (digits + 1u) / 2u;
    case PinCoding::Ascii:
        return digits;
    case PinCoding::Format2:
        break;
    }
    return 8; // control nibble 2, the length, the digits, F fill
}

namespace {

// Format 2 PIN blocks hold 4 to 12 digits (ISO 9564-1).
constexpr std::uint8_t kFormat2Fewest = 4, kFormat2Most = 12;
constexpr std::size_t kFirstDataPosition = 6; // CLA is position 1, Lc position 5

// The field of a PIN at `position` (counted from 1 at CLA) in a command with `dataSize` data
// bytes, reaching up to `other` (the other PIN's position, 0 for none) when that lies behind it.
std::optional<PinField> FieldAt(std::size_t position, std::size_t other, std::size_t dataSize) {
    if (position < kFirstDataPosition || position - kFirstDataPosition >= dataSize)
        return std::nullopt;
    const std::size_t end = other > position ? other - kFirstDataPosition : dataSize;
    return PinField{position - kFirstDataPosition, end - (position - kFirstDataPosition)};
}

// Whether a PIN of the command's length and coding fits its field.
bool Fits(const PinCommand& command, const PinField& field) {
    if (command.coding == PinCoding::Format2 && command.digits != 0 &&
        (command.digits < kFormat2Fewest || command.digits > kFormat2Most))
        return false;
    const std::size_t least = command.digits == 0 && command.coding != PinCoding::Format2
                                  ? 1
                                  : PinBytes(command.coding, command.digits);
    return least <= field.room;
}

} // namespace

std::optional<PinCommand> ParsePinCommand(PinEntry entry, ByteView data) {
    const auto objects = DataObjects(data);
    if (!objects)
        return std::nullopt;
    const auto seconds = Seconds(*objects);
    const auto toPerform = std::find_if(objects->begin(), objects->end(), [](const auto& object) {
        return object.tag == kTagCommandToPerform;
    });
    if (!seconds || toPerform == objects->end())
        return std::nullopt;
    // The control byte, the PIN's position (MODIFY: the old PIN's, then the new one's), then the
    // card's command.
    const ByteView value = toPerform->value;
    const std::size_t positions = entry == PinEntry::Modify ? 2 : 1;
    if (value.size() < 1 + positions)
        return std::nullopt;
    const std::uint8_t control = value[0];
    if ((control & 0x0C) != 0 || (control & 0x03) == 0x03)
        return std::nullopt; // reserved bits, reserved coding
    PinCommand command;
    command.entry = entry;
    command.coding = static_cast<PinCoding>(control & 0x03);
    command.digits = control >> 4;
    command.seconds = *seconds;
    command.apdu = value.subspan(1 + positions);
    const auto apdu = ParseShortApdu(command.apdu);
    if (!apdu || apdu->data.empty())
        return std::nullopt; // the PINs go into the command's data
    const std::size_t first = value[1], second = positions == 2 ? value[2] : 0;
    const auto current = FieldAt(first, second, apdu->data.size());
    if (!current || !Fits(command, *current))
        return std::nullopt;
    command.current = *current;
    if (entry == PinEntry::Modify) {
        const auto next = FieldAt(second, first, apdu->data.size());
        if (!next || second == first || !Fits(command, *next))
            return std::nullopt;
        command.next = *next;
    }
    return command;
}

ByteView HistoricalBytes(ByteView atr) {
    if (atr.size() < 2)
        return {};
    const std::size_t count = atr[1] & 0x0F;
    std::uint8_t indicator = atr[1] >> 4; // which of TA TB TC TD follow
    std::size_t pos = 2;
    while (true) {
        pos += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(indicator)));
        if (!(indicator & 0x08) || pos > atr.size())
            break;
        indicator = atr[pos - 1] >> 4; // TDi announces the next group
    }
    if (pos >= atr.size())
        return {};
    return atr.subspan(pos, std::min(count, atr.size() - pos));
}

bool IsSynchronous(ByteView atr) {
    if (atr.empty() || (atr[0] != 0x3B && atr[0] != 0x3F))
        return true;
    // 3B 04 and four bytes: the ATR readers report for memory cards whose own answer to reset
    // (ISO 7816-10) is no asynchronous ATR.
    if (atr.size() == 6 && atr[0] == 0x3B && atr[1] == 0x04)
        return true;
    static constexpr std::array<std::uint8_t, 5> kStorageCardRid{0xA0, 0x00, 0x00, 0x03, 0x06};
    const auto history = HistoricalBytes(atr);
    // Iterator algorithms rather than ranges: the fuzz build's clang cannot read libstdc++'s.
    return std::search(history.begin(), history.end(), kStorageCardRid.begin(),
                       kStorageCardRid.end()) != history.end();
}

namespace {

// One fixed-width field of the manufacturer object: printable ASCII only (the program prints
// the bytes as characters), blank-padded, or the fallback when nothing printable is known.
void AppendField(Bytes& out, std::string_view text, std::string_view fallback, std::size_t width) {
    std::string field;
    for (const char c : text) {
        if (field.size() == width)
            break;
        if (c >= 0x20 && c <= 0x7E)
            field.push_back(c);
    }
    while (!field.empty() && field.back() == ' ')
        field.pop_back();
    if (field.empty())
        field = fallback;
    field.resize(width, ' ');
    out.insert(out.end(), field.begin(), field.end());
}

std::string VersionText(std::optional<std::uint32_t> version) {
    if (!version)
        return {};
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%u.%02u", static_cast<unsigned>(*version >> 24),
                  static_cast<unsigned>((*version >> 16) & 0xFF));
    return text.data();
}

} // namespace

Bytes ManufacturerDataObject(const ReaderIdentity& identity) {
    Bytes out{0x46, 0x0F};
    AppendField(out, {}, "ZZ", 2); // no reader reports a country
    AppendField(out, identity.vendor, "QRV", 3);
    AppendField(out, identity.ifdType, "PC/SC", 5);
    AppendField(out, VersionText(identity.ifdVersion), "1.0.0", 5);
    return out;
}

bool IsCtbcsCommand(ByteView command) {
    if (command.size() < 2 || command[0] != kClaCtbcs)
        return false;
    switch (command[1]) {
    case kInsResetOld:
    case kInsReset:
    case kInsRequestIcc:
    case kInsGetStatus:
    case kInsEjectIcc:
    case kInsPerformVerification:
    case kInsModifyVerification:
        return true;
    default:
        return false;
    }
}

Reply Terminal::Data(std::uint8_t destination, ByteView command) {
    if (destination == ICC1 && !IsCtbcsCommand(command)) {
        // Without an activated card there is no answer to give: one made up here would pass
        // for the card's.
        if (!slot_.Connected())
            throw CtError{ERR_TRANS};
        // Without its four header bytes it is no command APDU; a reader driver may even take a
        // single byte for a control message of its own and wait for ever.
        if (command.size() < 4)
            throw CtError{ERR_INVALID};
        return {ICC1, slot_.Transmit(command)};
    }
    return {CT, CtbcsCommand(command)};
}

ByteView Terminal::CtbcsCommand(ByteView command) {
    if (command.size() < 4)
        return Answer({0x67, 0x00});
    if (command[0] != kClaCtbcs)
        return Answer({0x6E, 0x00});
    const auto apdu = ParseShortApdu(command);
    if (!apdu)
        return Answer({0x67, 0x00});
    switch (apdu->ins) {
    case kInsResetOld:
    case kInsReset:
        return Reset(*apdu);
    case kInsRequestIcc:
        return RequestIcc(*apdu);
    case kInsGetStatus:
        return GetStatus(*apdu);
    case kInsEjectIcc:
        return EjectIcc(*apdu);
    case kInsPerformVerification:
    case kInsModifyVerification:
        return PinCommandAnswer(*apdu);
    default:
        return Answer({0x6D, 0x00});
    }
}

namespace {
constexpr std::uint8_t kP1Terminal = 0x00;
constexpr std::uint8_t kP1Slot1 = 0x01;
// P2's low nibble of RESET and REQUEST ICC: what the answer carries besides the status word.
constexpr std::uint8_t kNoData = 0, kWholeAtr = 1, kHistoricalBytes = 2;
// The functional units GET STATUS names.
constexpr std::uint8_t kUnitIcc1 = 0x01, kUnitDisplay = 0x40, kUnitKeypad = 0x50;
// P2 of the PIN commands: the PIN comes from the keypad.
constexpr std::uint8_t kP2Keypad = 0x00;
} // namespace

ByteView Terminal::Reset(const Apdu& apdu) {
    if (!apdu.data.empty())
        return Answer({0x67, 0x00});
    if (apdu.p1 == kP1Terminal && (apdu.p2 & 0x0F) == kNoData) {
        slot_.Deactivate();
        slot_.State(); // notices a terminal that has gone
        return Answer({0x90, 0x00});
    }
    if (apdu.p1 == kP1Slot1 && (apdu.p2 & 0x0F) <= kHistoricalBytes)
        return ActivateAndAnswer(apdu.p2);
    return Answer({0x6A, 0x00});
}

ByteView Terminal::RequestIcc(const Apdu& apdu) {
    // P1 00 (any slot, the older form) and 01 both mean the one slot.
    if ((apdu.p1 != kP1Terminal && apdu.p1 != kP1Slot1) || (apdu.p2 & 0x0F) > kHistoricalBytes)
        return Answer({0x6A, 0x00});
    const auto wait = ParseWaitTime(apdu.data);
    if (!wait)
        return Answer({0x67, 0x00});
    const auto state = slot_.State();
    if (state == CardState::Active)
        return Answer({0x62, 0x01});
    if (state == CardState::Absent && !slot_.WaitFor(true, *wait))
        return Answer({0x62, 0x00});
    return ActivateAndAnswer(apdu.p2);
}

ByteView Terminal::GetStatus(const Apdu& apdu) {
    if (apdu.p1 != kP1Terminal)
        return Answer({0x6A, 0x00});
    if (!apdu.data.empty())
        return Answer({0x67, 0x00});
    switch (apdu.p2) {
    case 0x46:
        out_ = ManufacturerDataObject(slot_.Identity());
        out_.insert(out_.end(), {0x90, 0x00});
        return out_;
    case 0x80: {
        const auto state = slot_.State();
        const std::uint8_t status = state == CardState::Absent    ? 0x00
                                    : state == CardState::Present ? 0x03
                                                                  : 0x05;
        return Answer({0x80, 0x01, status, 0x90, 0x00});
    }
    case 0x81: {
        // The functional units: the card slot, then the display and the keypad the reader has.
        const auto pad = slot_.Keypad();
        out_ = {0x81, 0x01, kUnitIcc1};
        if (pad.display)
            out_.push_back(kUnitDisplay);
        if (pad.verify)
            out_.push_back(kUnitKeypad);
        out_[1] = static_cast<std::uint8_t>(out_.size() - 2);
        out_.insert(out_.end(), {0x90, 0x00});
        return out_;
    }
    default:
        return Answer({0x6A, 0x00});
    }
}

ByteView Terminal::EjectIcc(const Apdu& apdu) {
    if (apdu.p1 != kP1Slot1)
        return Answer({0x6A, 0x00});
    const auto wait = ParseWaitTime(apdu.data);
    if (!wait)
        return Answer({0x67, 0x00});
    slot_.Eject();
    if (slot_.WaitFor(false, *wait))
        return Answer({0x90, 0x01});
    return *wait == std::chrono::seconds(0) ? Answer({0x90, 0x00}) : Answer({0x62, 0x00});
}

ByteView Terminal::PinCommandAnswer(const Apdu& apdu) {
    const PinEntry entry = apdu.ins == kInsModifyVerification ? PinEntry::Modify : PinEntry::Verify;
    const auto pad = slot_.Keypad();
    // A terminal without a PIN pad lacks the command, as one that never had it.
    if (!(entry == PinEntry::Modify ? pad.modify : pad.verify))
        return Answer({0x6D, 0x00});
    if (apdu.p1 != kP1Slot1 || apdu.p2 != kP2Keypad)
        return Answer({0x6A, 0x00});
    const auto command = ParsePinCommand(entry, apdu.data);
    const auto structure = command ? PinStructure(*command, pad.sizes) : std::nullopt;
    if (!structure)
        return Answer({0x6A, 0x80});
    // The card gets the command: as for a card APDU, no answer without an activated card.
    if (!slot_.Connected())
        throw CtError{ERR_TRANS};
    return slot_.EnterPin(entry, *structure);
}

ByteView Terminal::ActivateAndAnswer(std::uint8_t p2) {
    Bytes atr;
    switch (slot_.Activate(atr)) {
    case ActivateResult::NoCard:
        return Answer({0x64, 0xA1});
    case ActivateResult::Failed:
        return Answer({0x64, 0x00});
    case ActivateResult::InUse:
        return Answer({qv::ctbcs::kCardInUse[0], qv::ctbcs::kCardInUse[1]});
    case ActivateResult::Ok:
        break;
    }
    out_.clear();
    if ((p2 & 0x0F) == kWholeAtr)
        out_ = atr;
    else if ((p2 & 0x0F) == kHistoricalBytes) {
        const auto history = HistoricalBytes(atr);
        out_.assign(history.begin(), history.end());
    }
    if (IsSynchronous(atr))
        out_.insert(out_.end(), {0x90, 0x00});
    else
        out_.insert(out_.end(), {0x90, 0x01});
    return out_;
}

ByteView Terminal::Answer(std::initializer_list<std::uint8_t> bytes) {
    out_.assign(bytes);
    return out_;
}

} // namespace ctapi
