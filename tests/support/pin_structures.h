// PIN_VERIFY_STRUCTURE and PIN_MODIFY_STRUCTURE (pcsc-lite's reader.h) as an application sends
// them to a PIN-pad reader, from a few fields a test sets; the rest as a typical application
// fills them in.
#pragma once

#include <PCSC/reader.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace pinstruct {

using Bytes = std::vector<std::uint8_t>;

// A command header and `blank` bytes FF for the PINs to go into.
inline Bytes Template(std::uint8_t ins, std::uint8_t blank) {
    Bytes command{0x00, ins, 0x00, 0x01, blank};
    command.resize(command.size() + blank, 0xFF);
    return command;
}

// An ASCII PIN of 4 to 8 digits in an 8-byte block right after Lc; the OK key ends the entry.
struct Verify {
    std::uint8_t timeout = 0;
    std::uint8_t timeout2 = 0;
    std::uint8_t format = 0x82;
    std::uint8_t block = 0x08;
    std::uint8_t lengthFormat = 0x00;
    std::uint8_t minDigits = 4;
    std::uint8_t maxDigits = 8;
    std::uint8_t validation = 0x02;
    std::uint8_t messages = 1;
    std::uint8_t message = 0;
    Bytes command = Template(0x20, 8);
    std::int64_t lengthDelta = 0; // added to ulDataLength, for a structure that lies about it
};

// The current PIN at offset 0, the new one at 8, both ASCII in 8-byte blocks, confirmed; the
// three entries show messages 00, 01 and 02.
struct Modify {
    std::uint8_t format = 0x82;
    std::uint8_t block = 0x08;
    std::uint8_t lengthFormat = 0x00;
    std::uint8_t offsetOld = 0;
    std::uint8_t offsetNew = 8;
    std::uint8_t confirm = 0x03;
    std::uint8_t messages = 3;
    Bytes command = Template(0x24, 16);
};

template <class S> Bytes Serialized(const S& fixed, const Bytes& command) {
    Bytes out(sizeof fixed);
    std::memcpy(out.data(), &fixed, sizeof fixed);
    out.insert(out.end(), command.begin(), command.end());
    return out;
}

inline Bytes Build(const Verify& v) {
    PIN_VERIFY_STRUCTURE s{};
    s.bTimerOut = v.timeout;
    s.bTimerOut2 = v.timeout2;
    s.bmFormatString = v.format;
    s.bmPINBlockString = v.block;
    s.bmPINLengthFormat = v.lengthFormat;
    s.wPINMaxExtraDigit = static_cast<std::uint16_t>(v.minDigits << 8 | v.maxDigits);
    s.bEntryValidationCondition = v.validation;
    s.bNumberMessage = v.messages;
    s.wLangId = 0x0409;
    s.bMsgIndex = v.message;
    s.ulDataLength =
        static_cast<std::uint32_t>(static_cast<std::int64_t>(v.command.size()) + v.lengthDelta);
    return Serialized(s, v.command);
}

inline Bytes Build(const Modify& m) {
    PIN_MODIFY_STRUCTURE s{};
    s.bTimerOut = 15;
    s.bmFormatString = m.format;
    s.bmPINBlockString = m.block;
    s.bmPINLengthFormat = m.lengthFormat;
    s.bInsertionOffsetOld = m.offsetOld;
    s.bInsertionOffsetNew = m.offsetNew;
    s.wPINMaxExtraDigit = 0x0408;
    s.bConfirmPIN = m.confirm;
    s.bEntryValidationCondition = 0x02;
    s.bNumberMessage = m.messages;
    s.wLangId = 0x0409;
    s.bMsgIndex1 = 0;
    s.bMsgIndex2 = 1;
    s.bMsgIndex3 = 2;
    s.ulDataLength = static_cast<std::uint32_t>(m.command.size());
    return Serialized(s, m.command);
}

} // namespace pinstruct
