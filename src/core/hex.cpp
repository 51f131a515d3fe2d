// The one hex writer and the one hex reader.
#include "core/hex.h"

#include "core/text.h"

#include <stdexcept>

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

HexFault ReadHexDigits(std::string_view digits, Bytes& value, Bytes* care) {
    if (digits.size() % 2 != 0)
        return HexFault::OddDigits;
    const std::size_t start = value.size();
    for (std::size_t k = 0; k < digits.size(); k += 2) {
        int byte = 0, mask = 0;
        for (const char c : digits.substr(k, 2)) {
            const bool any = care != nullptr && (c == 'x' || c == 'X');
            const int digit = HexDigitValue(c);
            if (digit < 0 && !any) {
                value.resize(start);
                if (care != nullptr)
                    care->resize(start);
                return HexFault::NotADigit;
            }
            byte = byte << 4 | (any ? 0 : digit);
            mask = mask << 4 | (any ? 0 : 0xF);
        }
        value.push_back(static_cast<std::uint8_t>(byte));
        if (care != nullptr)
            care->push_back(static_cast<std::uint8_t>(mask));
    }
    return HexFault::None;
}

Bytes FromHex(std::string_view text) {
    Bytes bytes;
    for (const std::string_view run : Words(text)) {
        switch (ReadHexDigits(run, bytes)) {
        case HexFault::None:
            break;
        case HexFault::OddDigits:
            throw std::invalid_argument("odd number of hex digits in '" + std::string(run) + "'");
        case HexFault::NotADigit:
            throw std::invalid_argument("not a hex byte: '" + std::string(run) + "'");
        }
    }
    return bytes;
}

} // namespace qv
