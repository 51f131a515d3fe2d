// Placeholder until the card-terminal session is built.
#include "ct/card_terminal.h"

std::uint16_t gnCtn = 0;
std::uint8_t gucSad = 2;
std::uint8_t gucDad = 1;
SCARDCONTEXT ContextHandle = -1;
const std::uint8_t ucReset_CT[5] = {0x20, 0x10, 0x00, 0x00, 0x00};
const std::uint8_t ucReset_ICC[5] = {0x20, 0x10, 0x01, 0x01, 0x00};

std::int8_t DisplayReaderList() { return 0; }
std::int8_t CT_CallInit() { return 0; }
void Reset_CT() {}
int Reset_Icc() { return -1; }
std::int8_t CT_CallClose() { return 0; }
void FreeMemory() {}
bool EstablishContextWithRetry() { return false; }
