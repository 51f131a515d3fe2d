// The core's small readers: command APDUs by case and form, hex text, blanks at a text's ends,
// and the trace format read back as written.
#include "core/apdu.h"
#include "core/hex.h"
#include "core/text.h"
#include "core/trace_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

using qv::Bytes;
using qv::FromHex;

TEST(CommandApdu, ShortExtendedAndMalformedBodies) {
    struct Case {
        const char* command;
        int apduCase;
        bool extended;
        const char* data;
        std::size_t ne;
    };
    const Case cases[] = {
        {"00 A4 04", 0, false, "", 0},
        {"00 A4 04 00", 1, false, "", 0},
        {"00 B0 00 00 00", 2, false, "", 256},
        {"00 B0 00 00 10", 2, false, "", 16},
        {"00 B0 00 00 00 00 00", 2, true, "", 65536},
        {"00 B0 00 00 00 01 00", 2, true, "", 256},
        {"00 A4 04 00 02 3F 00", 3, false, "3F 00", 0},
        {"00 A4 04 00 02 3F 00 00", 4, false, "3F 00", 256},
        {"00 A4 04 00 00 00 02 3F 00", 3, true, "3F 00", 0},
        {"00 A4 04 00 00 00 02 3F 00 00 00", 4, true, "3F 00", 65536},
        {"00 A4 04 00 00 00 02 3F 00 01", 0, false, "", 0}, // extended Lc, one Le byte
        {"00 A4 04 00 00 02", 0, false, "", 0},
        {"00 A4 04 00 03 3F 00", 0, false, "", 0},
        {"00 A4 04 00 01 3F 00 00", 0, false, "", 0},
    };
    for (const Case& c : cases) {
        const Bytes bytes = FromHex(c.command);
        const qv::CommandApdu apdu = qv::ParseCommandApdu(bytes);
        EXPECT_EQ(apdu.apduCase, c.apduCase) << c.command;
        EXPECT_EQ(apdu.extended, c.extended) << c.command;
        EXPECT_EQ(Bytes(apdu.data.begin(), apdu.data.end()), FromHex(c.data)) << c.command;
        EXPECT_EQ(apdu.ne, c.ne) << c.command;
        if (apdu.Valid()) {
            EXPECT_EQ(apdu.ins, bytes[1]) << c.command;
        }
    }
}

// What a 6Cxx answer is asked again with.
TEST(CommandApdu, WithShortLe) {
    const std::pair<const char*, std::optional<const char*>> cases[] = {
        {"00 A4 04 00", "00 A4 04 00 10"},
        {"00 B0 00 00 00", "00 B0 00 00 10"},
        {"00 A4 04 00 02 3F 00", "00 A4 04 00 02 3F 00 10"},
        {"00 A4 04 00 02 3F 00 00", "00 A4 04 00 02 3F 00 10"},
        {"00 B0 00 00 00 01 00", std::nullopt}, // extended: its Le is two bytes
        {"00 A4 04", std::nullopt},
        {"00 A4 04 00 03 3F 00", std::nullopt},
    };
    for (const auto& [command, corrected] : cases) {
        const std::optional<Bytes> got = qv::WithShortLe(FromHex(command), 0x10);
        ASSERT_EQ(got.has_value(), corrected.has_value()) << command;
        if (got) {
            EXPECT_EQ(*got, FromHex(*corrected)) << command;
        }
    }
}

TEST(Hex, ReadsWhatToHexWritesAndRunTogetherBytes) {
    const Bytes bytes{0x3B, 0x02, 0x14, 0x50, 0x00, 0xFF};
    EXPECT_EQ(FromHex(qv::ToHex(bytes)), bytes);
    EXPECT_EQ(FromHex("3b021450 00ff"), bytes);
    EXPECT_EQ(FromHex("  90\t00 \n"), (Bytes{0x90, 0x00}));
    EXPECT_TRUE(FromHex("").empty());
    for (const char* bad : {"3", "3B 0", "3B 0 2", "GG", "0x3B", "3B,02", "9000x", "xx"}) {
        EXPECT_THROW(FromHex(bad), std::invalid_argument) << bad;
    }
}

TEST(Hex, DigitsWithMasks) {
    struct Case {
        std::string_view digits;
        bool masks;
        qv::HexFault fault;
        Bytes value, care;
    };
    const Case cases[] = {
        {"63Cx", true, qv::HexFault::None, {0x63, 0xC0}, {0xFF, 0xF0}},
        {"xX", true, qv::HexFault::None, {0x00}, {0x00}},
        {"9000", false, qv::HexFault::None, {0x90, 0x00}, {}},
        {"6x", false, qv::HexFault::NotADigit, {}, {}},
        {"900G", true, qv::HexFault::NotADigit, {}, {}}, // nothing of a faulty run is kept
        {"x", true, qv::HexFault::OddDigits, {}, {}},
    };
    for (const Case& c : cases) {
        Bytes value{0xAA}, care{0x55}; // appended to
        EXPECT_EQ(qv::ReadHexDigits(c.digits, value, c.masks ? &care : nullptr), c.fault)
            << c.digits;
        Bytes wantValue = c.value;
        wantValue.insert(wantValue.begin(), 0xAA);
        EXPECT_EQ(value, wantValue) << c.digits;
        if (c.masks) {
            Bytes want = c.care;
            want.insert(want.begin(), 0x55);
            EXPECT_EQ(care, want) << c.digits;
        }
    }
}

TEST(Text, TrimTakesWhatItIsToldTo) {
    struct Case {
        std::string_view text, blanks, trimmed;
    };
    const Case cases[] = {
        {"  a b  ", qv::kBlanks, "a b"},
        {" \ta b\t ", qv::kBlanks, "\ta b\t"}, // a tab stays for the pattern parser to refuse
        {" \ta b\t ", qv::kBlanksAndTabs, "a b"},
        {" \t ", qv::kBlanksAndTabs, ""},
        {"", qv::kBlanks, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(qv::Trim(c.text, c.blanks), c.trimmed) << '"' << c.text << '"';
}

// Lines as quorvane-run writes them: read, then written again, they are the same text.
TEST(TraceLine, ReadsBackWhatItWrites) {
    const char* lines[] = {
        "2026-01-02T03:04:05.000006Z reader 1 command > 00 A4 04 00 02 3F 00 < 90 00 result 0 "
        "from 0 1.234 ms",
        "1999-12-31T23:59:59.999999Z reader 12 GET RESPONSE > 00 C0 00 00 04 < 01 02 03 04 90 00 "
        "result 0 from 0 0.050 ms",
        "2026-01-02T03:04:05.000000Z reader 2 Le corrected > 00 CA 00 66 03 < 0A 0B 0C 90 00 "
        "result 0 from 1 30000.000 ms",
        "2026-01-02T03:04:05.100000Z reader 3 command > 00 B0 00 00 00 <  result -10 from 0 0.000 "
        "ms",
        "2026-01-02T03:04:05.100000Z reader 1 command >  < 6F 00 result 0 from 0 7.001 ms",
    };
    for (const std::string line : lines)
        EXPECT_EQ(qv::WriteTraceLine(qv::ReadTraceLine(line)), line + "\n");

    const qv::TraceLine read = qv::ReadTraceLine(lines[1]);
    EXPECT_EQ(read.reader, 12u);
    EXPECT_EQ(read.purpose, "GET RESPONSE");
    EXPECT_EQ(read.sent, FromHex("00 C0 00 00 04"));
    EXPECT_EQ(read.received, FromHex("01 02 03 04 90 00"));
    EXPECT_EQ(read.duration, std::chrono::microseconds(50));
    EXPECT_EQ(read.at.time_since_epoch(),
              std::chrono::seconds(946684799) + std::chrono::microseconds(999999));
    EXPECT_EQ(qv::ReadTraceLine(lines[3]).result, -10);
}

TEST(TraceLine, WritesWhatItReadsBack) {
    qv::TraceLine line;
    line.at = std::chrono::system_clock::time_point(std::chrono::seconds(1767322800) +
                                                    std::chrono::microseconds(42));
    line.reader = 16;
    line.purpose = "GET RESPONSE";
    line.sent = {0x00, 0xC0, 0x00, 0x00, 0x10};
    line.received.assign(18, 0x5A);
    line.result = 0;
    line.source = 0;
    line.duration = std::chrono::microseconds(123456); // to the microsecond, as written
    std::string text = qv::WriteTraceLine(line);
    ASSERT_TRUE(text.ends_with('\n'));
    text.pop_back();
    const qv::TraceLine back = qv::ReadTraceLine(text);
    EXPECT_EQ(back.at, line.at);
    EXPECT_EQ(back.reader, line.reader);
    EXPECT_EQ(back.purpose, line.purpose);
    EXPECT_EQ(back.sent, line.sent);
    EXPECT_EQ(back.received, line.received);
    EXPECT_EQ(back.result, line.result);
    EXPECT_EQ(back.source, line.source);
    EXPECT_EQ(back.duration, line.duration);
}

TEST(TraceLine, RefusesWhatItDoesNotWrite) {
    for (
        const char* bad : {
            "",
            "stale",
            "2026-01-02T03:04:05.000006Z reader 1 command > 00 A4 < 90 00 result 0 from 0",
            "2026-01-02T03:04:05.000006Z reader 1 command > 00 G4 < 90 00 result 0 from 0 1.0 ms",
            "2026-01-02T03:04:05.000006Z reader 1 command > 00 A4 < 90 00 result 0 from 0 1.5 ms",
            "2026-01-02 03:04:05.000006Z reader 1 command > 00 A4 < 90 00 result 0 from 0 1.000 ms",
            "2026-01-02T03:04:05.000006Z reader x command > 00 A4 < 90 00 result 0 from 0 1.000 ms",
            "2026-01-02T03:04:05.000006Z reader 1 command < 90 00 > 00 A4 result 0 from 0 1.000 ms",
        }) {
        EXPECT_THROW(qv::ReadTraceLine(bad), std::invalid_argument) << bad;
    }
}

// A reader's ATR comment reads back as written; any other comment is no ATR.
TEST(TraceLine, AnAtrCommentReadsBackAndOtherCommentsAreNone) {
    const Bytes atr{0x3B, 0x02, 0x14, 0x50};
    const std::string line = qv::WriteAtrComment(2, atr);
    EXPECT_EQ(line, "# reader 2 ATR 3B 02 14 50\n");
    const auto back = qv::ReadAtrComment(line.substr(0, line.size() - 1));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->reader, 2u);
    EXPECT_EQ(back->atr, atr);
    for (const char* other : {"# a note", "# reader x ATR 3B 02", "# reader 1 ATR",
                              "# reader 1 ATR 3G", "reader 1 ATR 3B 02"})
        EXPECT_FALSE(qv::ReadAtrComment(other)) << other;
}

} // namespace
