// REQ files and the test table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

inline constexpr int kMaxTests = 500;
inline constexpr int kNameSize = 200;
inline constexpr std::size_t kApduSize = 65536;

extern std::int32_t gnCommand;
extern char gchApduName[kMaxTests][kNameSize];
extern std::uint8_t gbyCommand[kMaxTests][kApduSize];
extern std::uint32_t gnCommandLength[kMaxTests];
extern std::uint8_t gbyExpected[kMaxTests][kApduSize];
// Non-zero where the expected byte is a wildcard: only "xx" is; a literal 78 is not.
extern std::uint8_t gbyWildcard[kMaxTests][kApduSize];
extern std::uint32_t gnExpectedLength[kMaxTests];

void iResetValues();
void ReturnHex(std::string_view text, std::span<std::uint8_t> out, std::uint32_t* pnCount);
void CTReadReqFile(std::FILE* stream);
