// The CT-BCS commands the programs send to a card terminal (CLA 20), each byte for byte.
#pragma once

#include <array>
#include <cstdint>

namespace qv::ctbcs {

// RESET CT as the menu program sends it: INS 10, the older RESET instruction that terminals
// still take, kept because the program's transcripts pin it; P1 00 the terminal itself, P2 00
// no data in the reply, Le 00.
inline constexpr std::array<std::uint8_t, 5> kMenuResetCt{0x20, 0x10, 0x00, 0x00, 0x00};
// RESET ICC as the menu program sends it: INS 10 as above; P1 01 card slot 1, P2 01 the
// complete ATR in the reply, Le 00.
inline constexpr std::array<std::uint8_t, 5> kMenuResetIcc{0x20, 0x10, 0x01, 0x01, 0x00};

// RESET CT in CT-BCS's own form (INS 11), as quorvane-run sends it: P1 00 the terminal, P2 00
// no data in the reply, Le 00.
inline constexpr std::array<std::uint8_t, 5> kResetCt{0x20, 0x11, 0x00, 0x00, 0x00};
// RESET ICC in CT-BCS's own form (INS 11): P1 01 card slot 1, P2 01 the complete ATR, Le 00.
inline constexpr std::array<std::uint8_t, 5> kResetIcc{0x20, 0x11, 0x01, 0x01, 0x00};

// GET STATUS (INS 13), P1 00; P2 the tag of the data object asked for: 46 the terminal's
// manufacturer data (CT Info), 80 the card status (ICC Status); Le 00.
inline constexpr std::array<std::uint8_t, 5> kGetStatusCt{0x20, 0x13, 0x00, 0x46, 0x00};
inline constexpr std::array<std::uint8_t, 5> kGetStatusIcc{0x20, 0x13, 0x00, 0x80, 0x00};

// REQUEST ICC (INS 12): P1 01 card slot 1, P2 01 the complete ATR, then Lc 03 and the time data
// object 80 01 00, no waiting inside the terminal (the menu waits before sending instead).
inline constexpr std::array<std::uint8_t, 8> kRequestIcc{0x20, 0x12, 0x01, 0x01,
                                                         0x03, 0x80, 0x01, 0x00};
// EJECT ICC (INS 15): P1 01 card slot 1, P2 00, the same time data object. The menu sends it
// to the card's address, not the terminal's.
inline constexpr std::array<std::uint8_t, 8> kEjectIcc{0x20, 0x15, 0x01, 0x00,
                                                       0x03, 0x80, 0x01, 0x00};

// The class of the CT-BCS commands, and the instructions of PERFORM VERIFICATION and MODIFY
// VERIFICATION DATA: the terminal takes the PIN on its own keypad and sends it to the card.
inline constexpr std::uint8_t kClaCtbcs = 0x20;
inline constexpr std::uint8_t kInsPerformVerification = 0x18;
inline constexpr std::uint8_t kInsModifyVerification = 0x19;

// The status word with which our CT-API library answers RESET ICC and REQUEST ICC when another
// program holds the card (conditions of use not satisfied): nothing was done, the card is
// untouched, and the command may be repeated once the other program has let go.
inline constexpr std::array<std::uint8_t, 2> kCardInUse{0x69, 0x85};

} // namespace qv::ctbcs
