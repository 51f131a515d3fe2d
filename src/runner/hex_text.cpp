// Bytes as the runner prints them.
#include "runner/hex_text.h"

namespace qvrun {

std::string HexText(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> wildcard) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        if (!text.empty())
            text += ' ';
        const bool any = k < wildcard.size() && wildcard[k] != 0;
        text += any ? 'x' : kDigits[bytes[k] >> 4];
        text += any ? 'x' : kDigits[bytes[k] & 0x0F];
    }
    return text;
}

} // namespace qvrun
