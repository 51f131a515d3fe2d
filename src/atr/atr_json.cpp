#include "atr/atr_json.h"

#include "core/hex.h"

namespace qvatr {

nlohmann::ordered_json AtrJson(const qv::Atr& atr) {
    nlohmann::ordered_json out;
    out["atr"] = qv::ToHex(atr.bytes);
    out["well_formed"] = atr.verdict.WellFormed();
    if (atr.verdict.WellFormed()) {
        out["fault"] = nullptr;
    } else {
        out["fault"] = {{"kind", qv::AtrFaultName(atr.verdict.fault)},
                        {"byte", atr.verdict.at + 1},
                        {"text", atr.verdict.text}};
    }
    out["protocols"] = atr.protocols;
    out["protocol_by_default"] = atr.protocolByDefault;
    out["fields"] = nlohmann::ordered_json::array();
    for (const qv::AtrField& field : atr.fields) {
        out["fields"].push_back({{"byte", field.at + 1},
                                 {"name", field.name},
                                 {"value", qv::ToHex(field.raw)},
                                 {"meaning", field.meaning}});
    }
    return out;
}

} // namespace qvatr
