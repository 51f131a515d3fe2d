// The card-terminal session: reader list, CT_init, RESET CT, RESET ICC, CT_close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>
#include <winscard.h>

#include "core/reader_names.h"

extern std::uint16_t gnCtn;        // terminal number of every CT_data and CT_close
extern std::uint8_t gucSad;        // 2, the host
extern std::uint8_t gucDad;        // 1, the card terminal
extern SCARDCONTEXT ContextHandle; // -1 until a context is established

extern const std::uint8_t ucReset_CT[5];
extern const std::uint8_t ucReset_ICC[5];

std::int8_t DisplayReaderList();
std::int8_t CT_CallInit();
void Reset_CT();
int Reset_Icc();
std::int8_t CT_CallClose();

// The terminal number every CT_data and CT_close is given: the low byte of gnCtn.
std::uint16_t TerminalNumber();

// ---- shared by the reader list and the feature query

// Establishes ContextHandle with five attempts 0.3 s apart; false (and the message printed)
// when none succeeded.
bool EstablishContextWithRetry();

// Releases ContextHandle on whichever road the command that established it ends.
class ContextRelease {
  public:
    ContextRelease() = default;
    ContextRelease(const ContextRelease&) = delete;
    ContextRelease& operator=(const ContextRelease&) = delete;
    ~ContextRelease();
};

void PrintListFailure();

// Reader lists are split by the core's splitter, shared with the runner.
using qv::SplitReaderNames;

// Flushes standard output on whichever road a command ends.
struct FlushOnReturn {
    FlushOnReturn() = default;
    FlushOnReturn(const FlushOnReturn&) = delete;
    FlushOnReturn& operator=(const FlushOnReturn&) = delete;
    ~FlushOnReturn() { std::fflush(stdout); }
};

// Asks " Select Reader :" until the answer lies between 1 and `count`; nothing else ends it.
int SelectReader(std::size_t count);
