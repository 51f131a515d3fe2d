// A CT-BCS PIN command in the form a PC/SC reader with a PIN pad carries it out: the
// PIN_VERIFY_STRUCTURE or PIN_MODIFY_STRUCTURE of pcsc-lite's reader.h, as bytes for
// SCardControl. No PC/SC call is made here; the slot sends what this builds.
#pragma once

#include <optional>

#include "ctbcs.h"

namespace ctapi {

// The structure for `command` (whose fields ParsePinCommand has checked against the card's
// command); `reader` narrows the sizes of a PIN of any length to what the keypad takes. nullopt
// when the structure cannot say it: a verified PIN more than 15 bytes into the data (a format 2
// block more than one), or no PIN size both the command and the keypad allow.
std::optional<Bytes> PinStructure(const PinCommand& command, std::optional<PinSizes> reader);

} // namespace ctapi
