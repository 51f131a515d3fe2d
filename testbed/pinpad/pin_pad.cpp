// The PIN pad's answers and its PIN operations: the structure checked, the display and the
// keypad played from the reader script, the PINs put into the command, the card's answer
// returned; the keypad's own outcomes as status words 64 xx, a refused structure as 6B 80.
#include "pinpad/pin_pad.h"

#include "core/hex.h"

#include <PCSC/reader.h>

#include <cstdio>
#include <cstring>

namespace pinpad {
namespace {

const Bytes kTimedOut{0x64, 0x00};
const Bytes kCancelled{0x64, 0x01};
const Bytes kPinsDiffer{0x64, 0x02};
const Bytes kBadLength{0x64, 0x03};
const Bytes kRefused{0x6B, 0x80};

constexpr std::uint8_t kEndAtMaxSize = 0x01;
constexpr std::uint8_t kEndAtOk = 0x02;
constexpr std::uint8_t kEndAtTimeout = 0x04;

constexpr std::uint8_t kFeatures[] = {FEATURE_VERIFY_PIN_DIRECT, FEATURE_MODIFY_PIN_DIRECT,
                                      FEATURE_IFD_PIN_PROPERTIES, FEATURE_GET_TLV_PROPERTIES};

// How one PIN entry ended.
struct Entered {
    enum class End { Pin, Cancelled, TimedOut, BadLength } end = End::TimedOut;
    std::string digits;
    std::size_t keysRead = 0; // the keys the reader took; keys after an entry's end are not
    bool keyPressed = false;  // before the timeout: the second timer was running
};

// The person types `keys` until the entry ends: the OK key, the PIN's largest size or the
// timeout, where `validation` makes them an end, or Cancel. OK is no key where it ends nothing;
// the entry's keys running out is waiting until the timeout.
Entered Enter(const Keys& keys, unsigned minDigits, unsigned maxDigits, std::uint8_t validation) {
    Entered e;
    const auto complete = [&] {
        const bool fits = e.digits.size() >= minDigits && e.digits.size() <= maxDigits;
        e.end = fits ? Entered::End::Pin : Entered::End::BadLength;
        return e;
    };
    for (const KeyPress& press : keys) {
        ++e.keysRead;
        if (press.key == Key::Wait)
            break;
        e.keyPressed = true;
        if (press.key == Key::Cancel) {
            e.end = Entered::End::Cancelled;
            return e;
        }
        if (press.key == Key::Clear)
            e.digits.clear();
        if (press.key == Key::Ok && (validation & kEndAtOk) != 0)
            return complete();
        if (press.key == Key::Digit) {
            e.digits += press.digit;
            if ((validation & kEndAtMaxSize) != 0 && e.digits.size() == maxDigits)
                return complete();
        }
    }
    if ((validation & kEndAtTimeout) != 0 && !e.digits.empty())
        return complete();
    e.end = Entered::End::TimedOut;
    return e;
}

std::string EntryLabel(std::size_t index) {
    return std::to_string(index + 1) + ": ";
}

std::string MessageText(const PinEntry& entry) {
    if (!entry.message)
        return "no message";
    char text[16];
    std::snprintf(text, sizeof text, "message %02X", *entry.message);
    return text;
}

// The keys the reader took, and those it left.
std::string KeysRead(const Keys& keys, std::size_t read) {
    const Keys taken(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(read));
    std::string text = taken.empty() ? "none" : KeysText(taken);
    if (read < keys.size()) {
        const Keys left(keys.begin() + static_cast<std::ptrdiff_t>(read), keys.end());
        text += " (not read: " + KeysText(left) + ")";
    }
    return text;
}

void PutLittleEndian(Bytes& out, std::uint8_t tag, std::uint32_t value, unsigned size) {
    out.push_back(tag);
    out.push_back(static_cast<std::uint8_t>(size));
    for (unsigned i = 0; i < size; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

} // namespace

PinPad::PinPad(ReaderScript script, EventLog log)
    : script_(std::move(script)), log_(std::move(log)) {}

void PinPad::Log(const std::string& line) const {
    if (log_)
        log_(line);
}

Bytes PinPad::Features() {
    Bytes out;
    for (const std::uint8_t tag : kFeatures) {
        const std::uint32_t code = ControlCode(tag);
        out.insert(out.end(),
                   {tag, 4, static_cast<std::uint8_t>(code >> 24),
                    static_cast<std::uint8_t>(code >> 16), static_cast<std::uint8_t>(code >> 8),
                    static_cast<std::uint8_t>(code)});
    }
    return out;
}

Bytes PinPad::PinProperties() const {
    const ReaderProperties& p = script_.properties;
    PIN_PROPERTIES_STRUCTURE properties{};
    properties.wLcdLayout = static_cast<std::uint16_t>(p.lcdLines << 8 | p.lcdCharacters);
    properties.bEntryValidationCondition = p.validation;
    properties.bTimeOut2 = p.timeout2;
    Bytes out(sizeof properties);
    std::memcpy(out.data(), &properties, sizeof properties);
    return out;
}

Bytes PinPad::TlvProperties() const {
    const ReaderProperties& p = script_.properties;
    Bytes out;
    PutLittleEndian(out, PCSCv2_PART10_PROPERTY_wLcdLayout, p.lcdLines << 8 | p.lcdCharacters, 2);
    PutLittleEndian(out, PCSCv2_PART10_PROPERTY_bEntryValidationCondition, p.validation, 1);
    PutLittleEndian(out, PCSCv2_PART10_PROPERTY_bTimeOut2, p.timeout2, 1);
    PutLittleEndian(out, PCSCv2_PART10_PROPERTY_wLcdMaxCharacters, p.lcdCharacters, 2);
    PutLittleEndian(out, PCSCv2_PART10_PROPERTY_wLcdMaxLines, p.lcdLines, 2);
    PutLittleEndian(out, PCSCv2_PART10_PROPERTY_bMinPINSize, p.limits.minDigits, 1);
    PutLittleEndian(out, PCSCv2_PART10_PROPERTY_bMaxPINSize, p.limits.maxDigits, 1);
    out.push_back(PCSCv2_PART10_PROPERTY_sFirmwareID);
    out.push_back(static_cast<std::uint8_t>(p.firmware.size()));
    out.insert(out.end(), p.firmware.begin(), p.firmware.end());
    PutLittleEndian(out, PCSCv2_PART10_PROPERTY_bPPDUSupport, 0, 1);
    PutLittleEndian(out, PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize, p.maxApduData, 4);
    PutLittleEndian(out, PCSCv2_PART10_PROPERTY_wIdVendor, p.vendorId, 2);
    PutLittleEndian(out, PCSCv2_PART10_PROPERTY_wIdProduct, p.productId, 2);
    return out;
}

PinAnswer PinPad::Verify(ByteView structure, CardPort& card) {
    Log("verify");
    return Perform(ParseVerify(structure, script_.properties.limits), card);
}

PinAnswer PinPad::Modify(ByteView structure, CardPort& card) {
    Log("modify");
    return Perform(ParseModify(structure, script_.properties.limits), card);
}

PinAnswer PinPad::Finish(Bytes answer, std::string_view why) {
    std::string line = "answer " + qv::ToHex(answer);
    if (!why.empty())
        line += " " + std::string(why);
    Log(line);
    return {PinAnswer::Outcome::Answered, std::move(answer)};
}

PinAnswer PinPad::Perform(const Parsed& parsed, CardPort& card) {
    if (const auto* refusal = std::get_if<Refusal>(&parsed))
        return Finish(kRefused, "refused: " + refusal->why);
    const PinRequest& request = std::get<PinRequest>(parsed);
    if (!card.Present()) {
        Log("no card");
        return {PinAnswer::Outcome::NoCard, {}};
    }
    TypedPins pins;
    if (std::optional<PinAnswer> keypad = TypePins(request, pins))
        return *keypad;
    const Bytes command = CommandWithPins(request, pins);
    Log("> " + qv::ToHex(command));
    std::optional<Bytes> answer = card.Exchange(command);
    if (!answer) {
        Log("card lost");
        return {PinAnswer::Outcome::CardLost, {}};
    }
    Log("< " + qv::ToHex(*answer));
    return Finish(std::move(*answer));
}

// Each entry of the request from the script's next entry; the keypad's answer when one ends
// the operation, nothing when all PINs were typed.
std::optional<PinAnswer> PinPad::TypePins(const PinRequest& request, TypedPins& pins) {
    const std::uint8_t timeout =
        request.timeout != 0 ? request.timeout : script_.properties.defaultTimeout;
    for (std::size_t k = 0; k < request.entries.size(); ++k) {
        const PinEntry& entry = request.entries[k];
        Log("display " + EntryLabel(k) + MessageText(entry));
        if (nextEntry_ >= script_.entries.size()) {
            Log("keys " + EntryLabel(k) + "none left in the script");
            return Finish(kTimedOut, "timeout after " + std::to_string(timeout) + " s");
        }
        const Keys& keys = script_.entries[nextEntry_++];
        const Entered e = Enter(keys, request.minDigits, request.maxDigits, request.validation);
        Log("keys " + EntryLabel(k) + KeysRead(keys, e.keysRead));
        switch (e.end) {
        case Entered::End::Cancelled:
            return Finish(kCancelled, "cancelled");
        case Entered::End::TimedOut: {
            // After the first key the second timer runs, where the structure sets one.
            const unsigned seconds =
                e.keyPressed && request.timeout2 != 0 ? request.timeout2 : timeout;
            return Finish(kTimedOut, "timeout after " + std::to_string(seconds) + " s");
        }
        case Entered::End::BadLength:
            return Finish(kBadLength, "PIN length " + std::to_string(e.digits.size()) +
                                          " out of range " + std::to_string(request.minDigits) +
                                          " to " + std::to_string(request.maxDigits));
        case Entered::End::Pin:
            break;
        }
        if (entry.role == EntryRole::CurrentPin) {
            pins.current = e.digits;
        } else if (entry.role != EntryRole::Confirm) {
            pins.pin = e.digits;
        } else if (e.digits != pins.pin) {
            return Finish(kPinsDiffer, "new PINs differ");
        }
    }
    return std::nullopt;
}

} // namespace pinpad
