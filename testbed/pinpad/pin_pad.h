// The simulated PIN-pad reader without pcscd: its answers about itself, and a PIN verify or
// modify carried out with the keys its reader script types, against a card it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "pinpad/pin_block.h"
#include "pinpad/reader_script.h"

namespace pinpad {

// The control code of a feature: 0x42330000 + its tag, which is SCARD_CTL_CODE(0x330000 + tag)
// for pcsc-lite.
constexpr std::uint32_t ControlCode(std::uint8_t feature) {
    return 0x42330000u + feature;
}

// The card as the reader reaches it.
class CardPort {
  public:
    virtual ~CardPort() = default;
    virtual bool Present() = 0;
    // The card's answer, or nothing when the card went away instead of answering.
    virtual std::optional<Bytes> Exchange(ByteView command) = 0;
};

// One line for each event of a PIN operation (man/quorvane-reader.5 lists them).
using EventLog = std::function<void(const std::string& line)>;

struct PinAnswer {
    enum class Outcome { Answered, NoCard, CardLost };
    Outcome outcome = Outcome::Answered;
    Bytes answer; // the card's answer, or the reader's own status word
};

// Not thread-safe: the driver holds one a reader, under the reader's lock.
class PinPad {
  public:
    explicit PinPad(ReaderScript script, EventLog log = {});

    const ReaderProperties& Properties() const { return script_.properties; }

    // CM_IOCTL_GET_FEATURE_REQUEST: each feature's tag, 4 and its control code (big-endian).
    static Bytes Features();
    Bytes PinProperties() const; // PIN_PROPERTIES_STRUCTURE
    Bytes TlvProperties() const; // tag, length, little-endian value

    PinAnswer Verify(ByteView structure, CardPort& card);
    PinAnswer Modify(ByteView structure, CardPort& card);

  private:
    PinAnswer Perform(const Parsed& parsed, CardPort& card);
    std::optional<PinAnswer> TypePins(const PinRequest& request, TypedPins& pins);
    PinAnswer Finish(Bytes answer, std::string_view why = {});
    void Log(const std::string& line) const;

    ReaderScript script_;
    EventLog log_;
    std::size_t nextEntry_ = 0;
};

} // namespace pinpad
