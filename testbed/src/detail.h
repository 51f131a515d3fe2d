// Internal helpers shared by the bed's sources.
#pragma once

#include <string>

namespace bed::detail {

// True when pcscd runs and reports a card in `reader` (false for an unknown reader).
bool CardReported(const std::string& reader);

} // namespace bed::detail
