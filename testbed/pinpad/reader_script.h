// The reader script (man/quorvane-reader.5): what the simulated PIN-pad reader says it is, and
// what the person at its keypad types for each PIN entry in turn.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pinpad/pin_block.h"

namespace pinpad {

// One key on the keypad; `Wait` is the person typing nothing more until the reader gives up.
enum class Key : std::uint8_t { Digit, Ok, Cancel, Clear, Wait };

struct KeyPress {
    Key key = Key::Digit;
    char digit = 0; // '0' to '9' for Key::Digit
};

// The keys of one PIN entry, in the order typed.
using Keys = std::vector<KeyPress>;

// What the reader answers about itself (IFD_PIN_PROPERTIES, GET_TLV_PROPERTIES).
struct ReaderProperties {
    unsigned lcdLines = 2; // 0 lines and 0 characters: no display
    unsigned lcdCharacters = 16;
    std::uint8_t validation = 0x02;   // the entry ends it offers: the OK key
    std::uint8_t defaultTimeout = 30; // seconds, when a structure's bTimerOut is 0
    std::uint8_t timeout2 = 0;        // bTimeOut2
    ReaderLimits limits{4, 12};
    std::uint32_t maxApduData = 261;
    std::string firmware = "Quorvane PIN pad 1.0";
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};

struct ReaderScript {
    ReaderProperties properties;
    std::vector<Keys> entries; // taken one per PIN entry, in turn
    std::string log;           // the event log's path; empty: none
};

// Throws std::invalid_argument naming the line and what is wrong with it.
ReaderScript ParseReaderScript(std::string_view text);
// The file's script; a relative log path is taken from the script's folder.
ReaderScript LoadReaderScript(const std::string& path);

// A reader.conf entry's DEVICENAME for the driver: "SCRIPT:PORT" or "SCRIPT:PORT:LOG", the
// reader script (a path without ':'), the TCP port its card connects to, and an event log that
// takes the place of the script's.
struct DeviceName {
    std::string script;
    int port = 0;
    std::string log;
};
// Throws std::invalid_argument saying the form.
DeviceName ParseDeviceName(std::string_view text);

// The keys as the script writes them ("1234 ok"): digits run together, other keys by name.
std::string KeysText(const Keys& keys);

} // namespace pinpad
