// Placeholder until the REQ reader is built.
#include "scenario/req_file.h"

std::int32_t gnCommand = 0;
char gchApduName[kMaxTests][kNameSize];
std::uint8_t gbyCommand[kMaxTests][kApduSize];
std::uint32_t gnCommandLength[kMaxTests];
std::uint8_t gbyExpected[kMaxTests][kApduSize];
std::uint32_t gnExpectedLength[kMaxTests];

void iResetValues() {}
void ReturnHex(std::string_view, std::span<std::uint8_t>, std::uint32_t* pnCount) { *pnCount = 0; }
void CTReadReqFile(std::FILE* stream) { std::fclose(stream); }
