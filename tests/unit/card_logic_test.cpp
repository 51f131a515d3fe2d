// The simulated card's answers without a reader: the echo command set and its place between a
// script's rules and its default, and the command length forms it reads.
#include "bed/bed.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using bed::Bytes;
using bed::Hex;

// Bytes 00 01 02 ... of length n, then 90 00: what E2 answers.
Bytes Counting(std::size_t n) {
    Bytes b(n);
    for (std::size_t k = 0; k < n; ++k)
        b[k] = static_cast<std::uint8_t>(k);
    b.push_back(0x90);
    b.push_back(0x00);
    return b;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An extended case 3 or 4 command of class 80 with `n` data bytes 00 01 02 ...
Bytes ExtendedWithData(std::uint8_t ins, std::size_t n, const char* le) {
    Bytes data = Counting(n);
    data.resize(n);
    const Bytes header{0x80,
                       ins,
                       0x00,
                       0x00,
                       0x00,
                       static_cast<std::uint8_t>(n >> 8),
                       static_cast<std::uint8_t>(n)};
    return Cat(Cat(header, data), Hex(le));
}

TEST(EchoSet, AnswersEveryCaseAndLengthForm) {
    struct Case {
        const char* what;
        Bytes command;
        Bytes answer;
    };
    const Case cases[] = {
        {"E1 case 1", Hex("80 E1 00 00"), Hex("90 00")},
        {"E1 with an Le", Hex("80 E1 00 00 01"), Hex("67 00")},
        {"E1 with P2", Hex("80 E1 00 01"), Hex("6B 00")},
        {"E2 with P1", Hex("80 E2 01 00 05"), Hex("6B 00")},
        {"E2 short Le", Hex("80 E2 00 00 05"), Counting(5)},
        {"E2 short Le 00 is 256", Hex("80 E2 00 00 00"), Counting(256)},
        {"E2 extended Le", Hex("80 E2 00 00 00 01 2C"), Counting(300)},
        {"E2 extended Le 00 00 capped", Hex("80 E2 00 00 00 00 00"), Counting(65533)},
        {"E2 extended Le FF FF capped", Hex("80 E2 00 00 00 FF FF"), Counting(65533)},
        {"E2 without Le", Hex("80 E2 00 00"), Hex("67 00")},
        {"E2 with data", Hex("80 E2 00 00 01 AA 05"), Hex("67 00")},
        {"E3 short", Hex("80 E3 00 00 03 0A 0B 0C"), Hex("90 00")},
        {"E3 one byte short", Hex("80 E3 00 00 03 0A 0B"), Hex("67 00")},
        {"E3 one byte over", Hex("80 E3 00 00 03 0A 0B 0C 0D 0E"), Hex("67 00")},
        {"E3 extended", ExtendedWithData(0xE3, 300, ""), Hex("90 00")},
        {"E3 extended Lc 00 00", Hex("80 E3 00 00 00 00 00 01"), Hex("67 00")},
        {"E3 a lone 00 and one byte", Hex("80 E3 00 00 00 01"), Hex("67 00")},
        {"E3 as case 4", Hex("80 E3 00 00 01 0A 01"), Hex("67 00")},
        {"E4 short, Le shorter", Hex("80 E4 00 00 03 0A 0B 0C 02"), Hex("0A 0B 90 00")},
        {"E4 short, Le 00", Hex("80 E4 00 00 03 0A 0B 0C 00"), Hex("0A 0B 0C 90 00")},
        {"E4 extended, Le 00 00", ExtendedWithData(0xE4, 300, "00 00"), Counting(300)},
        {"E4 extended, Le 00 10", ExtendedWithData(0xE4, 300, "00 10"), Counting(16)},
        {"E4 extended data, short Le", ExtendedWithData(0xE4, 3, "10"), Hex("67 00")},
        {"E4 as case 3", Hex("80 E4 00 00 02 0A 0B"), Hex("67 00")},
        {"E5 case 1", Hex("80 E5 00 00"), Hex("00 04 90 00")},
        {"E5 case 3", Hex("80 E5 00 00 02 0A 0B"), Hex("00 07 90 00")},
        {"E5 extended case 3", ExtendedWithData(0xE5, 300, ""), Hex("01 33 90 00")},
        {"E5 case 2", Hex("80 E5 00 00 10"), Hex("67 00")},
        {"E5 case 4", Hex("80 E5 00 00 01 0A 10"), Hex("67 00")},
        {"an INS beside the set", Hex("80 E6 00 00"), Hex("6D 00")},
        {"another class", Hex("00 E1 00 00"), Hex("6D 00")},
        {"under four bytes", Hex("80 E1 00"), Hex("6D 00")},
        {"a rule comes first", Hex("80 E3 00 00 01 FF"), Hex("6A 80")},
        {"a rule's wildcard too", Hex("80 E4 77 00 01 FF 00"), Hex("63 00")},
    };
    bed::CardLogic card(bed::ParseCardScript("apdu 80 E3 00 00 01 FF -> 6A 80\n"
                                             "apdu 80 E4 77 * -> 63 00\n"
                                             "echo\n"));
    for (const Case& c : cases) {
        const bed::Reply r = card.Respond(c.command);
        EXPECT_FALSE(r.pull) << c.what;
        EXPECT_EQ(r.answer, c.answer) << c.what;
    }
}

TEST(EchoSet, OnlyWhenTheScriptSaysEcho) {
    bed::CardLogic plain(bed::ParseCardScript("default 6E 00\n"));
    EXPECT_EQ(plain.Respond(Hex("80 E1 00 00")).answer, Hex("6E 00"));
    bed::CardLogic echo(bed::ParseCardScript("default 6E 00\necho   # on\n"));
    EXPECT_EQ(echo.Respond(Hex("80 E1 00 00")).answer, Hex("90 00"));
    EXPECT_EQ(echo.Respond(Hex("80 E7 00 00")).answer, Hex("6E 00"));
    EXPECT_THROW(bed::ParseCardScript("echo on\n"), std::invalid_argument);
}

TEST(CommandLengths, ShortExtendedAndMalformedBodies) {
    struct Case {
        const char* command;
        int apduCase;
        bool extended;
        std::size_t nc, ne;
    };
    const Case cases[] = {
        {"00 A4 04", 0, false, 0, 0},
        {"00 A4 04 00", 1, false, 0, 0},
        {"00 B0 00 00 00", 2, false, 0, 256},
        {"00 B0 00 00 00 00 00", 2, true, 0, 65536},
        {"00 B0 00 00 00 01 00", 2, true, 0, 256},
        {"00 A4 04 00 02 3F 00", 3, false, 2, 0},
        {"00 A4 04 00 02 3F 00 00", 4, false, 2, 256},
        {"00 A4 04 00 00 00 02 3F 00", 3, true, 2, 0},
        {"00 A4 04 00 00 00 02 3F 00 00 00", 4, true, 2, 65536},
        {"00 A4 04 00 00 00 02 3F 00 01", 0, false, 0, 0}, // extended Lc, one Le byte
        {"00 A4 04 00 00 02", 0, false, 0, 0},
        {"00 A4 04 00 03 3F 00", 0, false, 0, 0},
    };
    for (const Case& c : cases) {
        const bed::CommandLengths l = bed::ParseLengths(Hex(c.command));
        EXPECT_EQ(l.apduCase, c.apduCase) << c.command;
        EXPECT_EQ(l.extended, c.extended) << c.command;
        EXPECT_EQ(l.nc, c.nc) << c.command;
        EXPECT_EQ(l.ne, c.ne) << c.command;
    }
}

} // namespace
