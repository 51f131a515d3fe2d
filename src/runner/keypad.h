// A person at a reader's keypad: which tests have them type a PIN, and what quorvane-run -v says
// of a reader's PIN pad, read through PC/SC.
#pragma once

#include "pcsc/features.h"
#include "runner/readers.h"
#include "runner/suite.h"

#include <string>
#include <vector>

namespace qvrun {

// PERFORM VERIFICATION or MODIFY VERIFICATION DATA to the card terminal: the terminal asks the
// person at its keypad for the PIN.
bool AsksForPin(const Test& test);

// "features VERIFY_PIN_DIRECT MODIFY_PIN_DIRECT, PIN 4 to 8 digits, display 2 x 16, entry ends
// with OK": the features by name, then the PIN properties the driver returns; "no features" for a
// reader that lists none.
std::string KeypadText(const qv::pcsc::FeatureCodes& features,
                       const qv::pcsc::PinProperties& properties);

// The text above for each of `readers`, in their order, asked over a direct connection from a
// process for each of their services (pcsc_service.h); empty for a reader that cannot be asked
// (another program holds it, say).
std::vector<std::string> ReadKeypadTexts(const std::vector<Reader>& readers);

} // namespace qvrun
