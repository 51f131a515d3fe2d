// The --record file: a REQ file whose expected responses are the responses received.
#pragma once

#include "runner/run.h"

#include <string>
#include <vector>

namespace qvrun {

// Writes each outcome's test (name, command) with its response as the expected one; a test
// that got no response from the card is written without one (any response passes). Throws
// SetupError when the file cannot be written.
void WriteRecord(const std::string& path, const std::vector<Outcome>& outcomes);

} // namespace qvrun
