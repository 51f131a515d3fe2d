// The ATR decoding as a tester reads it.
#include "core/atr.h"
#include "core/hex.h"

#include <algorithm>

namespace qv {

std::string AtrText(const Atr& atr) {
    std::size_t nameWidth = 0;
    for (const AtrField& field : atr.fields)
        nameWidth = std::max(nameWidth, field.name.size());
    std::string text = "ATR " + ToHex(atr.bytes) + "\n";
    for (const AtrField& field : atr.fields) {
        std::string place = "byte " + std::to_string(field.at + 1);
        place.resize(std::max<std::size_t>(place.size(), 7), ' ');
        std::string name = field.name;
        name.resize(nameWidth, ' ');
        text += "  " + place + "  " + name + "  " + ToHex(field.raw) + "  " + field.meaning + "\n";
    }
    text +=
        atr.protocols.empty() ? "  protocols: unknown (the ATR ends before a TD)" : "  protocols: ";
    for (std::size_t k = 0; k < atr.protocols.size(); ++k)
        text += (k > 0 ? ", T=" : "T=") + std::to_string(atr.protocols[k]);
    text += atr.protocolByDefault ? " (by default: no TD names one)\n" : "\n";
    text += "  verdict: " + AtrVerdictText(atr.verdict) + "\n";
    return text;
}

std::string AtrVerdictText(const AtrVerdict& verdict) {
    return verdict.WellFormed() ? std::string("well formed") : verdict.text;
}

} // namespace qv
