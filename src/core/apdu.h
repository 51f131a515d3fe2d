// A command APDU's fields (ISO/IEC 7816-4, 5.1): its header, its case, the short or extended
// form of its lengths, its data and the answer length it asks for. Header only, so that the
// CT-API library (a shared object) parses commands with it too.
#pragma once

#include "core/bytes.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace qv {

struct CommandApdu {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    int apduCase = 0;      // 1 to 4; 0 when the bytes are no command APDU (all fields are then 0)
    bool extended = false; // Lc and Le in the extended form: 00 and two bytes, or two bytes
    ByteView data;         // the Nc data bytes, inside the bytes parsed; empty in cases 1 and 2
    std::size_t ne = 0;    // the answer bytes asked for; a zero Le is 256 (65536 extended); 0 in
                           // cases 1 and 3

    bool Valid() const { return apduCase != 0; }
    bool HasLe() const { return apduCase == 2 || apduCase == 4; }
};

// `bytes` read as a command APDU. Fewer than four bytes, or a body after the header whose lengths
// do not add up to its size, give case 0.
inline CommandApdu ParseCommandApdu(ByteView bytes) {
    if (bytes.size() < 4)
        return {};
    CommandApdu apdu;
    apdu.cla = bytes[0];
    apdu.ins = bytes[1];
    apdu.p1 = bytes[2];
    apdu.p2 = bytes[3];
    const ByteView body = bytes.subspan(4);
    const auto two = [&body](std::size_t at) {
        return static_cast<std::size_t>(body[at]) << 8 | body[at + 1];
    };
    const auto le = [](std::size_t value, std::size_t zero) { return value == 0 ? zero : value; };
    if (body.empty()) {
        apdu.apduCase = 1;
    } else if (body.size() == 1) {
        apdu.apduCase = 2;
        apdu.ne = le(body[0], 256);
    } else if (body[0] != 0) {
        // Short Lc: one byte, 1 to 255.
        const std::size_t nc = body[0];
        if (body.size() == 1 + nc) {
            apdu.apduCase = 3;
        } else if (body.size() == 2 + nc) {
            apdu.apduCase = 4;
            apdu.ne = le(body.back(), 256);
        }
        apdu.data = body.subspan(1, std::min(nc, body.size() - 1));
    } else if (body.size() == 3) {
        apdu.apduCase = 2;
        apdu.extended = true;
        apdu.ne = le(two(1), 65536);
    } else if (body.size() > 3 && two(1) != 0) {
        // Extended Lc: 00 and two bytes, 1 to 65535.
        const std::size_t nc = two(1);
        apdu.extended = true;
        if (body.size() == 3 + nc) {
            apdu.apduCase = 3;
        } else if (body.size() == 5 + nc) {
            apdu.apduCase = 4;
            apdu.ne = le(two(body.size() - 2), 65536);
        }
        apdu.data = body.subspan(3, std::min(nc, body.size() - 3));
    }
    return apdu.Valid() ? apdu : CommandApdu{};
}

// The short command `command` again with Le set to `le`: cases 1 and 3 gain an Le byte, cases 2
// and 4 have theirs replaced. Nothing for an extended command or bytes that are no command.
inline std::optional<Bytes> WithShortLe(ByteView command, std::uint8_t le) {
    const CommandApdu apdu = ParseCommandApdu(command);
    if (!apdu.Valid() || apdu.extended)
        return std::nullopt;
    Bytes corrected(command.begin(), command.end());
    if (apdu.HasLe())
        corrected.back() = le;
    else
        corrected.push_back(le);
    return corrected;
}

} // namespace qv
