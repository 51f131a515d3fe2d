#include "pcsc/features.h"

#include <PCSC/reader.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

namespace qv::pcsc {

namespace {

constexpr std::size_t kCodeLength = 4;

// The tags of FEATURE_GET_TLV_PROPERTIES' answer.
enum : std::uint8_t {
    kLcdLayout = 0x01,
    kEntryValidationCondition = 0x02,
    kTimeOut2 = 0x03,
    kMinPinSize = 0x06,
    kMaxPinSize = 0x07,
    kFirmwareId = 0x08,
    kMaxApduDataSize = 0x0A,
};

// Little-endian, as the properties come.
std::uint32_t LittleEndian(std::span<const BYTE> value) {
    std::uint32_t number = 0;
    for (std::size_t i = value.size(); i-- > 0;)
        number = number << 8 | value[i];
    return number;
}

// The entries of a tag-length-value list up to the end or the first one cut short.
template <typename Each> void ForEachEntry(std::span<const BYTE> list, Each&& each) {
    while (list.size() >= 2 && list[1] <= list.size() - 2) {
        each(list[0], list.subspan(2, list[1]));
        list = list.subspan(2 + list[1]);
    }
}

// The answer of one control request, empty when the driver refuses it.
std::vector<BYTE> Control(SCARDHANDLE card, DWORD code) {
    std::vector<BYTE> answer(MAX_BUFFER_SIZE);
    DWORD received = 0;
    if (SCardControl(card, code, nullptr, 0, answer.data(), static_cast<DWORD>(answer.size()),
                     &received) != SCARD_S_SUCCESS)
        return {};
    answer.resize(std::min<std::size_t>(received, answer.size()));
    return answer;
}

} // namespace

FeatureCodes ParseFeatureList(std::span<const BYTE> list) {
    FeatureCodes codes;
    ForEachEntry(list, [&](std::uint8_t tag, std::span<const BYTE> value) {
        if (value.size() != kCodeLength)
            return;
        DWORD code = 0;
        for (const BYTE b : value)
            code = code << 8 | b;
        codes.emplace(tag, code);
    });
    return codes;
}

std::string FeatureName(std::uint8_t tag) {
    static constexpr std::array<std::pair<std::uint8_t, std::string_view>, 20> kNames{{
        {FEATURE_VERIFY_PIN_START, "VERIFY_PIN_START"},
        {FEATURE_VERIFY_PIN_FINISH, "VERIFY_PIN_FINISH"},
        {FEATURE_MODIFY_PIN_START, "MODIFY_PIN_START"},
        {FEATURE_MODIFY_PIN_FINISH, "MODIFY_PIN_FINISH"},
        {FEATURE_GET_KEY_PRESSED, "GET_KEY_PRESSED"},
        {FEATURE_VERIFY_PIN_DIRECT, "VERIFY_PIN_DIRECT"},
        {FEATURE_MODIFY_PIN_DIRECT, "MODIFY_PIN_DIRECT"},
        {FEATURE_MCT_READER_DIRECT, "MCT_READER_DIRECT"},
        {FEATURE_MCT_UNIVERSAL, "MCT_UNIVERSAL"},
        {FEATURE_IFD_PIN_PROPERTIES, "IFD_PIN_PROPERTIES"},
        {FEATURE_ABORT, "ABORT"},
        {FEATURE_SET_SPE_MESSAGE, "SET_SPE_MESSAGE"},
        {FEATURE_VERIFY_PIN_DIRECT_APP_ID, "VERIFY_PIN_DIRECT_APP_ID"},
        {FEATURE_MODIFY_PIN_DIRECT_APP_ID, "MODIFY_PIN_DIRECT_APP_ID"},
        {FEATURE_WRITE_DISPLAY, "WRITE_DISPLAY"},
        {FEATURE_GET_KEY, "GET_KEY"},
        {FEATURE_IFD_DISPLAY_PROPERTIES, "IFD_DISPLAY_PROPERTIES"},
        {FEATURE_GET_TLV_PROPERTIES, "GET_TLV_PROPERTIES"},
        {FEATURE_CCID_ESC_COMMAND, "CCID_ESC_COMMAND"},
        {FEATURE_EXECUTE_PACE, "EXECUTE_PACE"},
    }};
    const auto it = std::find_if(kNames.begin(), kNames.end(),
                                 [&](const auto& entry) { return entry.first == tag; });
    if (it != kNames.end())
        return std::string(it->second);
    std::array<char, 8> hex{};
    std::snprintf(hex.data(), hex.size(), "%02X", static_cast<unsigned>(tag));
    return hex.data();
}

void ReadPinPropertiesStructure(std::span<const BYTE> answer, PinProperties& properties) {
    if (answer.size() < sizeof(PIN_PROPERTIES_STRUCTURE))
        return;
    properties.lcdLayout = static_cast<std::uint16_t>(LittleEndian(answer.first(2)));
    properties.entryValidation = answer[2];
    properties.timeOut2 = answer[3];
}

void ReadTlvProperties(std::span<const BYTE> answer, PinProperties& properties) {
    ForEachEntry(answer, [&](std::uint8_t tag, std::span<const BYTE> value) {
        if (value.empty())
            return;
        const std::uint32_t number =
            LittleEndian(value.first(std::min<std::size_t>(4, value.size())));
        switch (tag) {
        case kLcdLayout:
            properties.lcdLayout = static_cast<std::uint16_t>(number);
            break;
        case kEntryValidationCondition:
            properties.entryValidation = static_cast<std::uint8_t>(number);
            break;
        case kTimeOut2:
            properties.timeOut2 = static_cast<std::uint8_t>(number);
            break;
        case kMinPinSize:
            properties.minPinSize = static_cast<std::uint8_t>(number);
            break;
        case kMaxPinSize:
            properties.maxPinSize = static_cast<std::uint8_t>(number);
            break;
        case kMaxApduDataSize:
            properties.maxApduDataSize = number;
            break;
        case kFirmwareId:
            properties.firmwareId.emplace(value.begin(), value.end());
            break;
        default:
            break;
        }
    });
}

FeatureCodes ReadFeatures(SCARDHANDLE card) {
    return ParseFeatureList(Control(card, CM_IOCTL_GET_FEATURE_REQUEST));
}

PinProperties ReadPinProperties(SCARDHANDLE card, const FeatureCodes& features) {
    PinProperties properties;
    if (const auto it = features.find(FEATURE_IFD_PIN_PROPERTIES); it != features.end())
        ReadPinPropertiesStructure(Control(card, it->second), properties);
    // The TLV properties are the fuller answer; where both tell, they win.
    if (const auto it = features.find(FEATURE_GET_TLV_PROPERTIES); it != features.end())
        ReadTlvProperties(Control(card, it->second), properties);
    return properties;
}

} // namespace qv::pcsc
