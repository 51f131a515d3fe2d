// The card-terminal session: reader list, CT_init, RESET CT, RESET ICC, CT_close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>
#include <winscard.h>

#include "core/ctbcs_commands.h"
#include "pcsc/readers.h"

extern std::uint16_t gnCtn;        // terminal number of every CT_data and CT_close
extern std::uint8_t gucSad;        // HOST (2)
extern std::uint8_t gucDad;        // CT (1), the card terminal
extern SCARDCONTEXT ContextHandle; // the context of the command that runs; -1 when none

// The program's RESET commands, from the core's table of CT-BCS commands.
inline constexpr const auto& ucReset_CT = qv::ctbcs::kMenuResetCt;
inline constexpr const auto& ucReset_ICC = qv::ctbcs::kMenuResetIcc;

std::int8_t DisplayReaderList();
std::int8_t CT_CallInit();
void Reset_CT();
int Reset_Icc();
std::int8_t CT_CallClose();

// The terminal number every CT_data and CT_close is given: the low byte of gnCtn.
std::uint16_t TerminalNumber();

// ---- shared by the reader list and the feature query

// The PC/SC context of one command, which ContextHandle names while the command runs; released
// however the command ends.
class CommandContext {
  public:
    CommandContext() = default;
    CommandContext(const CommandContext&) = delete;
    CommandContext& operator=(const CommandContext&) = delete;
    ~CommandContext() { ContextHandle = -1; }

    // Five attempts 0.3 s apart; false (and the message printed) when none succeeded.
    bool Establish();

  private:
    qv::pcsc::Context owner_;
};

// Fills `names` with ContextHandle's readers and gives 0 (no names when PC/SC calls an empty
// list a success). A list that cannot be had prints its message and gives -2 ("Memory allocated
// failed.") or -3 ("Could not get list of readers", also when PC/SC answers there are none).
std::int8_t ReadReaderList(std::vector<std::string>& names);

// "label", then each byte as "%02X " (kept: two digits and a blank, the last one too), then a
// newline.
void PrintReceived(const char* label, std::span<const std::uint8_t> bytes);

// Flushes standard output however a command ends.
struct FlushOnReturn {
    FlushOnReturn() = default;
    FlushOnReturn(const FlushOnReturn&) = delete;
    FlushOnReturn& operator=(const FlushOnReturn&) = delete;
    ~FlushOnReturn() { std::fflush(stdout); }
};

// Asks " Select Reader :" until the answer lies between 1 and `count`; nothing else ends it.
int SelectReader(std::size_t count);
