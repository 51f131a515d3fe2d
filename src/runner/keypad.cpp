#include "runner/keypad.h"

#include "core/ctbcs_commands.h"
#include "pcsc/readers.h"
#include "runner/pcsc_service.h"

#include <PCSC/winscard.h>
#include <ctapi.h>

#include <algorithm>
#include <vector>

namespace qvrun {

bool AsksForPin(const Test& test) {
    // A command that captures complete is not known before it is sent; a PIN command has none.
    const Bytes& command = test.command;
    return test.destination == CT && !test.commandTemplate && command.size() >= 2 &&
           command[0] == qv::ctbcs::kClaCtbcs &&
           (command[1] == qv::ctbcs::kInsPerformVerification ||
            command[1] == qv::ctbcs::kInsModifyVerification);
}

namespace {

// bEntryValidationCondition's bits by what ends an entry.
std::string EntryEnds(std::uint8_t condition) {
    std::vector<std::string> ends;
    if (condition & 0x01)
        ends.push_back("the largest size");
    if (condition & 0x02)
        ends.push_back("OK");
    if (condition & 0x04)
        ends.push_back("the timeout");
    std::string text;
    for (const std::string& end : ends)
        text += (text.empty() ? "" : " or ") + end;
    return text;
}

} // namespace

std::string KeypadText(const qv::pcsc::FeatureCodes& features,
                       const qv::pcsc::PinProperties& properties) {
    if (features.empty())
        return "no features";
    std::string text = "features";
    for (const auto& [tag, code] : features)
        text += " " + qv::pcsc::FeatureName(tag);
    if (properties.minPinSize && properties.maxPinSize)
        text += ", PIN " + std::to_string(*properties.minPinSize) + " to " +
                std::to_string(*properties.maxPinSize) + " digits";
    if (properties.lcdLayout) {
        const unsigned lines = *properties.lcdLayout >> 8,
                       characters = *properties.lcdLayout & 0xFF;
        text += *properties.lcdLayout == 0
                    ? ", no display"
                    : ", display " + std::to_string(lines) + " x " + std::to_string(characters);
    }
    if (properties.entryValidation && *properties.entryValidation != 0)
        text += ", entry ends with " + EntryEnds(*properties.entryValidation);
    if (properties.timeOut2 && *properties.timeOut2 != 0)
        text += ", " + std::to_string(*properties.timeOut2) + " s after the first key";
    return text;
}

namespace {

// The text for the reader `name` of the service this process reaches.
std::string ReadKeypadText(const std::string& name) {
    qv::pcsc::Context context;
    if (context.Establish() != SCARD_S_SUCCESS)
        return {};
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (SCardConnect(context.Handle(), name.c_str(), SCARD_SHARE_DIRECT, 0, &card, &protocol) !=
        SCARD_S_SUCCESS)
        return {};
    const qv::pcsc::FeatureCodes features = qv::pcsc::ReadFeatures(card);
    const std::string text = KeypadText(features, qv::pcsc::ReadPinProperties(card, features));
    (void)SCardDisconnect(card, SCARD_LEAVE_CARD); // the context's release ends it anyway
    return text;
}

} // namespace

std::vector<std::string> ReadKeypadTexts(const std::vector<Reader>& readers) {
    std::vector<std::string> services;
    for (const Reader& reader : readers) {
        if (std::find(services.begin(), services.end(), reader.service) == services.end())
            services.push_back(reader.service);
    }
    std::vector<std::string> texts(readers.size());
    for (const std::string& service : services) {
        std::vector<std::size_t> its; // the readers of this service, asked in one process
        for (std::size_t k = 0; k < readers.size(); ++k) {
            if (readers[k].service == service)
                its.push_back(k);
        }
        const std::vector<std::string> answers = AskService(service, [&readers, &its] {
            std::vector<std::string> read;
            for (const std::size_t k : its)
                read.push_back(ReadKeypadText(readers[k].name));
            return read;
        });
        for (std::size_t k = 0; k < its.size() && k < answers.size(); ++k)
            texts[its[k]] = answers[k];
    }
    return texts;
}

} // namespace qvrun
