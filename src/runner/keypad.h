// A person at a reader's keypad: which tests have them type a PIN, and what quorvane-run -v says
// of a reader's PIN pad, read through PC/SC.
#pragma once

#include "pcsc/features.h"
#include "runner/suite.h"

#include <string>

namespace qvrun {

// PERFORM VERIFICATION or MODIFY VERIFICATION DATA to the card terminal: the terminal asks the
// person at its keypad for the PIN.
bool AsksForPin(const Test& test);

// "features VERIFY_PIN_DIRECT MODIFY_PIN_DIRECT, PIN 4 to 8 digits, display 2 x 16, entry ends
// with OK": the features by name, then the PIN properties the driver returns; "no features" for a
// reader that lists none.
std::string KeypadText(const qv::pcsc::FeatureCodes& features,
                       const qv::pcsc::PinProperties& properties);

// The text above for the PC/SC reader `name`, asked over a direct connection; empty when the
// reader cannot be asked (another program holds it, say).
std::string ReadKeypadText(const std::string& name);

} // namespace qvrun
