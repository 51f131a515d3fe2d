// A reader's PC/SC features for secure PIN entry, as its driver answers SCardControl: the feature
// list (CM_IOCTL_GET_FEATURE_REQUEST) and the PIN properties. Shared by the CT-API library and
// quorvane-run.
#pragma once

#include <PCSC/winscard.h>

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qv::pcsc {

// The features a driver lists: tag (FEATURE_VERIFY_PIN_DIRECT and the like) to control code.
using FeatureCodes = std::map<std::uint8_t, DWORD>;

// The list's entries are a tag, a length of 4 and a big-endian control code; an entry of another
// length is skipped, one cut short ends the list.
FeatureCodes ParseFeatureList(std::span<const BYTE> list);

// The name of a feature tag as reader.h spells it without FEATURE_ ("VERIFY_PIN_DIRECT"); the
// tag in hex for one it does not know.
std::string FeatureName(std::uint8_t tag);

// What a reader says of its PIN pad, from FEATURE_IFD_PIN_PROPERTIES and
// FEATURE_GET_TLV_PROPERTIES; a field is empty when the driver does not tell.
struct PinProperties {
    std::optional<std::uint16_t> lcdLayout; // lines in the high byte, characters in the low
    std::optional<std::uint8_t> entryValidation, timeOut2, minPinSize, maxPinSize;
    std::optional<std::uint32_t> maxApduDataSize;
    std::optional<std::string> firmwareId;
};

// PIN_PROPERTIES_STRUCTURE's fields into `properties`; a shorter answer is ignored.
void ReadPinPropertiesStructure(std::span<const BYTE> answer, PinProperties& properties);
// The TLV properties (tag, length, little-endian value) into `properties`; unknown tags skipped,
// the list ends where an entry is cut short.
void ReadTlvProperties(std::span<const BYTE> answer, PinProperties& properties);

// Asks the driver behind `card` (a connection of any kind, direct included).
FeatureCodes ReadFeatures(SCARDHANDLE card);
PinProperties ReadPinProperties(SCARDHANDLE card, const FeatureCodes& features);

} // namespace qv::pcsc
