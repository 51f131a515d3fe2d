// BER-TLV data objects as ISO/IEC 7816-4 writes them in FCP, FCI and other templates: a tag of one
// byte, or more when the first byte's low five bits are all 1 (each further byte with bit 8 set
// says one more follows); a length of one byte below 80, or 81 to 84 and that many bytes of a
// big-endian length. The reader reads only the bytes it is given.
#pragma once

#include "core/bytes.h"

#include <cstddef>
#include <string>
#include <variant>

namespace qv {

// One data object within the bytes it was read from: [start, valueStart) is its tag and length,
// [valueStart, end) its value.
struct BerObject {
    std::size_t start = 0;
    std::size_t tagLength = 0;
    std::size_t valueStart = 0;
    std::size_t end = 0;

    ByteView Tag(ByteView bytes) const { return bytes.subspan(start, tagLength); }
    ByteView Value(ByteView bytes) const { return bytes.subspan(valueStart, end - valueStart); }
    // Whether its value holds data objects (bit 6 of the tag's first byte).
    bool Constructed(ByteView bytes) const { return (bytes[start] & 0x20) != 0; }
};

// Where bytes are no data object, and why: "the length 0C runs past the end (5 bytes left)".
struct BerFault {
    std::size_t at = 0; // the index of the byte at fault
    std::string text;
};

// The data object that starts at `at` and ends at or before `end` (within `bytes`).
std::variant<BerObject, BerFault> ReadBerObject(ByteView bytes, std::size_t at, std::size_t end);

// Whether `tag` is one whole BER-TLV tag (one byte, or more as above).
bool IsBerTag(ByteView tag);

} // namespace qv
