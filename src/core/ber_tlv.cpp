// BER-TLV data objects.
#include "core/ber_tlv.h"

#include "core/hex.h"

namespace qv {

namespace {

constexpr std::uint8_t kMoreTagBytes = 0x1F; // the first byte's low five bits: more tag bytes
constexpr std::uint8_t kAnotherTagByte = 0x80;
constexpr std::size_t kLongestTag = 4;
constexpr std::uint8_t kLengthBytes = 0x80; // from 81: that many length bytes follow
constexpr std::size_t kMostLengthBytes = 4;

std::string Hex2(std::uint8_t byte) {
    return ToHex(ByteView(&byte, 1));
}

// The length of the tag that starts at `at`, or 0 when it runs past `end`.
std::size_t TagLength(ByteView bytes, std::size_t at, std::size_t end) {
    if ((bytes[at] & kMoreTagBytes) != kMoreTagBytes)
        return 1;
    std::size_t k = at + 1;
    while (k < end && k - at < kLongestTag && (bytes[k] & kAnotherTagByte) != 0)
        ++k;
    return k < end ? k + 1 - at : 0;
}

} // namespace

std::variant<BerObject, BerFault> ReadBerObject(ByteView bytes, std::size_t at, std::size_t end) {
    BerObject object;
    object.start = at;
    object.tagLength = TagLength(bytes, at, end);
    if (object.tagLength == 0)
        return BerFault{at, "the tag " + Hex2(bytes[at]) + " goes on past the end"};
    std::size_t k = at + object.tagLength;
    if (k >= end)
        return BerFault{k, "the data object " + ToHex(object.Tag(bytes), kHexTight) +
                               " has no length"};
    const std::uint8_t first = bytes[k++];
    std::size_t length = first;
    if (first >= kLengthBytes) {
        const std::size_t count = first - kLengthBytes;
        if (count == 0 || count > kMostLengthBytes)
            return BerFault{k - 1, "the length byte " + Hex2(first) + " is none (80 to 84)"};
        if (end - k < count)
            return BerFault{k - 1, "the length " + Hex2(first) + " runs past the end"};
        length = 0;
        for (std::size_t j = 0; j < count; ++j)
            length = (length << 8) | bytes[k++];
    }
    object.valueStart = k;
    if (end - k < length) {
        const std::size_t left = end - k;
        return BerFault{at + object.tagLength,
                        "the value of " + std::to_string(length) + " bytes runs past the end (" +
                            std::to_string(left) + (left == 1 ? " byte" : " bytes") + " left)"};
    }
    object.end = k + length;
    return object;
}

bool IsBerTag(ByteView tag) {
    return !tag.empty() && TagLength(tag, 0, tag.size()) == tag.size();
}

} // namespace qv
