// libFuzzer target over the ATR decoder: the input as the bytes a card answered, and as the hex
// text a tester types. Whatever the bytes announce, the fields lie one after the other within
// what was received, an ATR longer than 33 bytes is never well formed, and a fault's byte is
// at most one past what was received.
#include "core/atr.h"
#include "core/hex.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace {

void Check(qv::ByteView bytes) {
    const qv::Atr atr = qv::DecodeAtr(bytes);
    std::size_t next = 0;
    for (const qv::AtrField& field : atr.fields) {
        if (field.at != next || field.at + field.raw.size() > bytes.size() || field.name.empty() ||
            !std::equal(field.raw.begin(), field.raw.end(), bytes.begin() + field.at))
            __builtin_trap();
        next = field.at + field.raw.size();
    }
    if (atr.verdict.WellFormed() && (bytes.size() > qv::kMaxAtrLength || bytes.size() < 2))
        __builtin_trap();
    if (!atr.verdict.WellFormed() && (atr.verdict.at > bytes.size() || atr.verdict.text.empty()))
        __builtin_trap();
    if (qv::AtrText(atr).empty())
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Check(qv::ByteView(data, size));
    try {
        Check(qv::FromHex(std::string_view(reinterpret_cast<const char*>(data), size)));
    } catch (const std::invalid_argument&) {
        // text that is no hex: refused, as it should be
    }
    return 0;
}
