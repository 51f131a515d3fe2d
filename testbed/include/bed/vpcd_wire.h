// vpcd's wire, both ends of it: the simulated card and the PIN-pad reader. Every message is a
// two-byte big-endian length and that many bytes; a one-byte message is a control code, a longer
// one an APDU or its answer.
#pragma once

#include <cstdint>

#include "core/bytes.h"

namespace bed::vpcd {

enum Control : std::uint8_t { kPowerOff = 0x00, kPowerOn = 0x01, kReset = 0x02, kGetAtr = 0x04 };

// One message's payload into `payload`; false when the peer closed or the read failed.
bool ReadMessage(int fd, qv::Bytes& payload);
// Length and payload in one write, so that the peer reads the whole message from one segment.
bool SendMessage(int fd, qv::ByteView payload);

} // namespace bed::vpcd
