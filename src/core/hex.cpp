// The one hex writer.
#include "core/hex.h"

namespace qv {

std::string ToHex(std::span<const std::uint8_t> bytes, const HexLayout& layout,
                  std::span<const std::uint8_t> wildcard) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() *
                 (2 + layout.before.size() + layout.after.size() + layout.between.size()));
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        if (k > 0)
            text += layout.between;
        text += layout.before;
        const bool any = k < wildcard.size() && wildcard[k] != 0;
        text += any ? 'x' : kDigits[bytes[k] >> 4];
        text += any ? 'x' : kDigits[bytes[k] & 0x0F];
        text += layout.after;
    }
    return text;
}

} // namespace qv
