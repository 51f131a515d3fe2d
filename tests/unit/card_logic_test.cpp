// The simulated card's answers without a reader: the card script language, command by command;
// the echo command set and its place between a script's rules and its default.
#include "bed/card.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using bed::Bytes;
const auto Hex = &qv::FromHex;

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

// A reply as text: the answer's hex ("xx" for any byte), "pull", "mute", or the answer then
// " then pull"; a delay is appended as " after N ms".
std::string Describe(const bed::Reply& r) {
    std::string text = r.pull ? "pull" : r.mute ? "mute" : qv::ToHex(r.answer);
    if (r.pullAfter)
        text += " then pull";
    if (r.delay.count() > 0)
        text += " after " + std::to_string(r.delay.count()) + " ms";
    return text;
}

// True when `reply` is what `expected` describes, its "xx" matching any byte.
bool Is(const std::string& expected, const bed::Reply& reply) {
    const std::string got = Describe(reply);
    if (got.size() != expected.size())
        return false;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (expected[i] != got[i] && expected[i] != 'x')
            return false;
    }
    return true;
}

TEST(CardScriptLanguage, EachDirectiveCommandByCommand) {
    struct Case {
        const char* what;
        const char* script;
        std::vector<std::pair<const char*, const char*>> exchanges; // command, reply
    };
    const Case cases[] = {
        {"patterns, first match, default",
         "apdu 00 A4 04 00 xx * -> 90 00\napdu 00 A4 * -> 6A 82\ndefault 6E 00\n",
         {{"00 A4 04 00 02 3F 00", "90 00"}, {"00 A4 00 00", "6A 82"}, {"00 B0 00 00", "6E 00"}}},
        {"the default default", "", {{"00 B0 00 00 10", "6D 00"}}},
        {"a delay", "apdu 00 B0 * -> 90 00 delay 250\n", {{"00 B0 00 00", "90 00 after 250 ms"}}},
        {"a mute command", "apdu 00 B0 * -> mute\n", {{"00 A4 00 00", "6D 00"}, {"00 B0", "mute"}}},
        {"a card going mute",
         "mute after 2\ndefault 90 00\n",
         {{"00 01", "90 00"}, {"00 02", "90 00"}, {"00 03", "mute"}, {"00 04", "mute"}}},
        {"pulled at a command",
         "apdu 00 FF * -> pull\napdu 00 FE -> drop delay 40\n",
         {{"00 A4", "6D 00"}, {"00 FF 00 00", "pull"}, {"00 FE", "pull after 40 ms"}}},
        {"pulled after the second command, once",
         "pull after 2\nputback after 100\n",
         {{"00 01", "6D 00"}, {"00 02", "6D 00 then pull"}, {"00 03", "6D 00"}}},
        {"truncated and one-byte answers",
         "apdu 00 B0 -> 01 02 03 04 90 00 truncate 3\napdu 00 B1 -> 90\n",
         {{"00 B0", "01 02 03"}, {"00 B1", "90"}}},
        {"a 61xx chain served by GET RESPONSE",
         "apdu 00 B0 00 00 00 -> 01 02 03 04 05 90 00 chain 2\n",
         {{"00 B0 00 00 00", "61 02"},
          {"00 C0 00 00 02", "01 02 61 02"},
          {"00 C0 00 00 01", "03 61 02"},
          {"00 C0 00 00 02", "04 05 90 00"},
          {"00 C0 00 00 02", "6D 00"}}},
        {"another command ends a chain",
         "apdu 00 B0 -> 01 02 03 90 00 chain 256\n",
         {{"00 B0", "61 03"}, {"00 A4", "6D 00"}, {"00 C0 00 00 03", "6D 00"}}},
        {"6Cxx for a wrong Le",
         "apdu 00 B0 00 00 xx -> 01 02 03 90 00 exact-le\n",
         {{"00 B0 00 00 10", "6C 03"}, {"00 B0 00 00 03", "01 02 03 90 00"}}},
        {"a sequence, its last answer kept",
         "apdu 00 20 * -> 63 C2 | 63 C1 | 69 83\n",
         {{"00 20 00 01", "63 C2"},
          {"00 20 00 01", "63 C1"},
          {"00 20 00 01", "69 83"},
          {"00 20 00 01", "69 83"}}},
        {"a counter",
         "apdu 80 CA -> 5A counter 2, 90 00\n",
         {{"80 CA", "5A 00 01 90 00"}, {"80 CA", "5A 00 02 90 00"}}},
        {"random bytes",
         "apdu 00 84 -> random 3, 90 00\napdu 00 85 -> 01 xx 03 90 00\n",
         {{"00 84", "xx xx xx 90 00"}, {"00 85", "01 xx 03 90 00"}}},
        {"the echo set", "echo\n", {{"80 E1 00 00", "90 00"}, {"80 E6 00 00", "6D 00"}}},
    };
    for (const Case& c : cases) {
        bed::CardLogic card(bed::ParseCardScript(c.script));
        for (const auto& [command, reply] : c.exchanges) {
            const bed::Reply r = card.Respond(Hex(command));
            EXPECT_TRUE(Is(reply, r))
                << c.what << ": " << command << " got " << Describe(r) << ", not " << reply;
        }
    }
}

TEST(CardScriptLanguage, AtrAndPutBack) {
    const bed::CardScript s = bed::ParseCardScript("atr 3B 88 80 01\nputback after 300\n");
    EXPECT_EQ(s.atr, Hex("3B 88 80 01"));
    EXPECT_EQ(s.putBack, std::chrono::milliseconds(300));
}

TEST(CardScriptLanguage, AnErrorNamesItsLine) {
    const std::pair<const char*, const char*> bad[] = {
        {"atr 3B\napdu 00 B0 -> mute 90 00\n", "line 2: mute answers nothing"},
        {"apdu 00 B0 -> pull mute\n", "line 1: a card is either pulled or mute"},
        {"\n\napdu 00 B0 -> 90 00 | \n", "line 3: an empty answer"},
        {"apdu 00 B0 -> counter 9, 90 00\n", "line 1: counter 9 is out of range 1 to 8"},
        {"apdu 00 B0 -> counter 1 counter 1\n", "line 1: one counter an answer"},
        {"apdu 00 B0 -> 90 00 chain 0\n", "line 1: chain 0 is out of range"},
        {"apdu 00 B0 -> 90 00 truncate 0\n", "line 1: truncate 0 is out of range"},
        {"# a comment\npull after\n", "line 2: pull needs 'after N'"},
        {"mute after 0\n", "line 1: after 0 is out of range"},
        {"putback 100\n", "line 1: putback needs 'after MS'"},
        {"echo\necho 1\n", "line 2: echo takes nothing"},
    };
    for (const auto& [text, message] : bad) {
        try {
            bed::ParseCardScript(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

} // namespace
