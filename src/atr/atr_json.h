// An ATR's decoding as one JSON object, for scripts.
#pragma once

#include "core/atr.h"

#include <nlohmann/json.hpp>

namespace qvatr {

// {"atr", "well_formed", "fault": {"kind", "byte", "text"} or null, "protocols",
//  "protocol_by_default", "fields": [{"byte", "name", "value", "meaning"}]}, keys in that order;
// bytes as spaced hex, byte positions counted from 1 as the text says them.
nlohmann::ordered_json AtrJson(const qv::Atr& atr);

} // namespace qvatr
