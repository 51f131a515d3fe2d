// The ATR decoder against ATRs of real shapes and broken ones: each row names the verdict with its
// byte and, where a decoder is easily led astray, the fields read and one meaning.
#include "core/atr.h"
#include "core/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace {

using qv::AtrFault;

struct Row {
    const char* what;
    const char* atr;
    AtrFault fault;
    std::size_t at;      // byte of the fault, counted from 1; 0 when well formed
    const char* names;   // every field's name in order; empty: not checked
    const char* field;   // a field to look into ("verdict" and "protocols" too), or empty
    const char* meaning; // what that field's meaning holds
};

constexpr AtrFault kOk = AtrFault::None;

// clang-format off
const Row kRows[] = {
    // Well formed, and the traps of reading them.
    {"two bytes are a whole ATR", "3B 00", kOk, 0, "TS T0", "protocols", "0 by default"},
    {"inverse convention", "3F 00", kOk, 0, "TS T0", "TS", "inverse convention"},
    {"T=0 without TCK, proprietary history", "3B 02 14 50", kOk, 0, "TS T0 historical", "historical", "proprietary (category 14)"},
    {"T=1, objects of every length", "3B 88 01 80 01 AA 40 83 05 90 00 F4", kOk, 0,
     "TS T0 TD1 category unknown tag initial access status TCK", "status", "operational state (activated); SW1 SW2 = 90 00"},
    {"history as text", "3B 88 80 01 51 56 52 4E 44 45 4D 4F 11", kOk, 0, "TS T0 TD1 TD2 historical TCK", "historical", "\"QVRNDEMO\""},
    {"Y1 is a bit mask: TB1 alone", "3B 20 00", kOk, 0, "TS T0 TB1", "TB1", "VPP not connected"},
    {"Y1 is a bit mask: TC1 alone", "3B 40 05", kOk, 0, "TS T0 TC1", "TC1", "N = 5: 5 etu extra guard time"},
    {"Y1 is a bit mask: TA1 and TC1", "3B 50 11 02", kOk, 0, "TS T0 TA1 TC1", "TC1", "N = 2"},
    {"Y2 is a bit mask too", "3B 80 40 FA", kOk, 0, "TS T0 TD1 TC2", "", ""},
    {"N from TC1, not from TD1", "3B C0 FF 01 3E", kOk, 0, "TS T0 TC1 TD1 TCK", "TC1", "N = 255: the least guard time (12 etu under T=0, 11 etu under T=1)"},
    {"TC2 is a whole byte", "3B 80 40 FA", kOk, 0, "", "TC2", "WI = 250"},
    {"TA2 after a T=1 TD is the specific mode", "3B 80 91 01 11 FE FF", kOk, 0, "TS T0 TD1 TA2 TD2 TA3 TCK", "TA2", "specific mode, protocol T=1; able to change mode; Fi and Di from TA1"},
    {"IFSC from the first TA after T=1", "3B 80 91 01 11 FE FF", kOk, 0, "", "TA3", "T=1 IFSC = 254 bytes"},
    {"error detection from TC3, not TC1", "3B C0 01 81 71 20 45 00 54", kOk, 0, "TS T0 TC1 TD1 TD2 TA3 TB3 TC3 TCK", "TC3", "T=1 error detection: LRC"},
    {"TC1 stays N beside T=1", "3B C0 01 81 71 20 45 00 54", kOk, 0, "", "TC1", "N = 1: 1 etu extra guard time"},
    {"CRC", "3B 80 81 71 20 45 01 14", kOk, 0, "", "TC3", "T=1 error detection: CRC"},
    {"BWI and CWI", "3B 80 81 71 20 45 01 14", kOk, 0, "", "TB3", "T=1 BWI = 4 (BWT = 11 etu + 15360 x 372 / f), CWI = 5 (CWT = 43 etu)"},
    {"only the first T=1 group is T=1's", "3B 80 81 91 20 11 FE 5F", kOk, 0, "TS T0 TD1 TD2 TA3 TD3 TA4 TCK", "TA4", "no meaning for T=1 in this place"},
    {"a T=0 group after T=1", "3B 80 81 10 55 44", kOk, 0, "", "TA3", "no meaning for T=0 in this place"},
    {"T=15: clock stop and class", "3B 80 81 1F C3 DD", kOk, 0, "", "TA3", "clock stop no preference; class A (5 V), B (3 V)"},
    {"T=15: every class", "3B 80 81 1F 07 19", kOk, 0, "", "TA3", "clock stop not supported; class A (5 V), B (3 V), C (1.8 V)"},
    {"T=15: contact C6", "3B 80 81 2F 80 AE", kOk, 0, "", "TB3", "contact C6 for proprietary use"},
    {"T=0 and T=15 want a TCK", "3B 80 80 1F 03 1C", kOk, 0, "", "protocols", "0"},
    {"T=14 is allowed", "3B 80 0E 8E", kOk, 0, "", "TD1", "protocol T=14 (not standardised by ISO)"},
    {"inverse convention with T=1", "3F 80 01 81", kOk, 0, "TS T0 TD1 TCK", "protocols", "1"},
    {"T=0 and T=1, the TCK correct", "3B F8 13 00 00 81 31 FE 45 51 56 54 45 53 54 30 31 F0", kOk, 0,
     "TS T0 TA1 TB1 TC1 TD1 TD2 TA3 TB3 historical TCK", "TCK", "check byte, correct"},
    {"category 80 objects", "3B 8E 80 01 80 31 80 66 B0 84 0C 01 6E 01 83 00 90 00 1D", kOk, 0,
     "TS T0 TD1 TD2 category card service pre-issuing status TCK", "pre-issuing", "pre-issuing data: B0 84 0C 01 6E 01"},
    {"country, card service, capabilities, AID", "3B 8F 01 80 12 02 76 31 E0 73 C0 01 93 F4 A0 00 00 00 CC", kOk, 0,
     "TS T0 TD1 category country card service capabilities AID TCK", "capabilities",
     "selection: DF by full name, DF by partial name; one-time write, data unit 2 quartets; command chaining, logical channels up to 4"},
    {"card service data", "3B 8F 01 80 12 02 76 31 E0 73 C0 01 93 F4 A0 00 00 00 CC", kOk, 0, "", "card service",
     "selection by full DF name, selection by partial DF name, data objects in EF.DIR; EF.DIR/EF.ATR read by READ RECORD; with an MF"},
    {"AID", "3B 8F 01 80 12 02 76 31 E0 73 C0 01 93 F4 A0 00 00 00 CC", kOk, 0, "", "AID", "application identifier: A0 00 00 00"},
    {"category 00, status in the last 3 bytes", "3B 84 01 00 05 90 00 10", kOk, 0, "TS T0 TD1 category status TCK", "status", "operational state (activated); SW1 SW2 = 90 00"},
    {"category 10", "3B 02 10 05", kOk, 0, "TS T0 category DIR reference", "DIR reference", "DIR data reference 05"},
    // TA1: every Fi and Di code that has a value.
    {"Fi 372 4 MHz, Di 1", "3B 10 01", kOk, 0, "TS T0 TA1", "TA1", "Fi = 372, f max = 4 MHz; Di = 1"},
    {"Fi 558, Di 2", "3B 10 22", kOk, 0, "", "TA1", "Fi = 558, f max = 6 MHz; Di = 2"},
    {"Fi 744, Di 4", "3B 10 33", kOk, 0, "", "TA1", "Fi = 744, f max = 8 MHz; Di = 4"},
    {"Fi 1116, Di 8", "3B 10 44", kOk, 0, "", "TA1", "Fi = 1116, f max = 12 MHz; Di = 8"},
    {"Fi 1488, Di 16", "3B 10 55", kOk, 0, "", "TA1", "Fi = 1488, f max = 16 MHz; Di = 16"},
    {"Fi 1860, Di 32", "3B 10 66", kOk, 0, "", "TA1", "Fi = 1860, f max = 20 MHz; Di = 32"},
    {"Fi 512, Di 64", "3B 10 97", kOk, 0, "", "TA1", "Fi = 512, f max = 5 MHz; Di = 64"},
    {"Fi 768, Di 12", "3B 10 A8", kOk, 0, "", "TA1", "Fi = 768, f max = 7.5 MHz; Di = 12"},
    {"Fi 1024, Di 20", "3B 10 B9", kOk, 0, "", "TA1", "Fi = 1024, f max = 10 MHz; Di = 20"},
    {"Fi 1536", "3B 10 C1", kOk, 0, "", "TA1", "Fi = 1536, f max = 15 MHz; Di = 1"},
    {"Fi 2048", "3B 10 D1", kOk, 0, "", "TA1", "Fi = 2048, f max = 20 MHz; Di = 1"},
    {"Fi 372 5 MHz, Di 12", "3B 10 18", kOk, 0, "", "TA1", "Fi = 372, f max = 5 MHz; Di = 12"},

    // Cut short, and the fault at the byte that is missing.
    {"no bytes", "", AtrFault::Truncated, 1, "", "verdict", "truncated at byte 1: TS expected, 0 bytes received"},
    {"TS alone", "3B", AtrFault::Truncated, 2, "TS", "verdict", "T0 expected"},
    {"TA1 announced, none", "3B 10", AtrFault::Truncated, 3, "TS T0", "verdict", "truncated at byte 3: TA1 expected, 2 bytes received"},
    {"TD after TD, then none", "3B 80 80 80", AtrFault::Truncated, 5, "TS T0 TD1 TD2", "verdict", "truncated at byte 5: TD3 expected"},
    {"TB1 announced, none", "3B 70 11", AtrFault::Truncated, 4, "TS T0 TA1", "", ""},
    {"historical bytes cut short", "3B 05 80 31", AtrFault::Truncated, 5, "TS T0 historical", "verdict", "historical byte 3 expected"},
    {"TCK missing", "3B 80 01", AtrFault::TckMissing, 4, "TS T0 TD1", "verdict", "TCK missing at byte 4"},
    {"TCK missing after T=0 and T=15", "3B 80 80 1F 03", AtrFault::TckMissing, 6, "", "", ""},
    {"TCK missing after the history", "3B 81 01 55", AtrFault::TckMissing, 5, "", "", ""},

    // Wrong bytes.
    {"TCK wrong", "3B 80 01 00", AtrFault::TckWrong, 4, "TS T0 TD1 TCK", "verdict", "TCK wrong at byte 4: 00, 81 expected"},
    {"TCK wrong on a long ATR", "3B F8 13 00 00 81 31 FE 45 51 56 54 45 53 54 30 31 F1", AtrFault::TckWrong, 18, "", "verdict", "F1, F0 expected"},
    {"TCK after only T=0 is extra", "3B 00 00", AtrFault::ExtraBytes, 3, "TS T0", "verdict", "1 extra byte after the ATR, from byte 3 (only T=0 is indicated: no TCK)"},
    {"bytes after the TCK", "3B 80 01 81 00 00", AtrFault::ExtraBytes, 5, "TS T0 TD1 TCK", "verdict", "2 extra bytes"},
    {"the first fault wins: extra bytes before 33", "3B 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", AtrFault::ExtraBytes, 3, "", "", ""},
    {"more than 33 bytes", "3B FF 96 00 00 F1 00 00 0A F1 FE 45 00 F1 00 00 00 01 80 31 C0 66 00 00 00 00 00 00 00 00 00 00 00 3F",
     AtrFault::TooLong, 34, "", "verdict", "longer than 33 bytes: TCK would be byte 34"},
    {"TS neither 3B nor 3F", "3A 00", AtrFault::BadTs, 1, "TS T0", "verdict", "TS at byte 1 is 3A, neither 3B (direct) nor 3F (inverse)"},
    {"inverse TS read the direct way", "03 00", AtrFault::BadTs, 1, "", "", ""},
    {"Di code 0", "3B 10 10", AtrFault::Reserved, 3, "", "verdict", "reserved value at byte 3: TA1's Di code 0 is reserved"},
    {"Di code A", "3B 10 1A", AtrFault::Reserved, 3, "", "TA1", "Di reserved (code 10)"},
    {"Fi code 7", "3B 10 71", AtrFault::Reserved, 3, "", "verdict", "TA1's Fi code 7 is reserved"},
    {"Fi code F", "3B 10 F1", AtrFault::Reserved, 3, "", "", ""},
    {"T=15 in TD1", "3B 80 0F 8F", AtrFault::Reserved, 3, "", "verdict", "T=15 is invalid in TD1"},
    {"a reserved protocol", "3B 80 02 82", AtrFault::Reserved, 3, "", "verdict", "protocol T=2 is reserved"},
    {"TA2's reserved bits", "3B 80 10 61", AtrFault::Reserved, 4, "", "", ""},
    {"WI 0", "3B 80 40 00", AtrFault::Reserved, 4, "", "verdict", "TC2's WI 0 is reserved"},
    {"IFSC 00", "3B 80 81 11 00 10", AtrFault::Reserved, 5, "", "", ""},
    {"BWI above 9", "3B 80 81 21 A5 85", AtrFault::Reserved, 5, "", "verdict", "T=1's BWI 10 is reserved"},
    {"error detection's reserved bits", "3B 80 81 41 02 42", AtrFault::Reserved, 5, "", "", ""},
    {"classes A and C without B", "3B 80 81 1F 05 1B", AtrFault::Reserved, 5, "", "", ""},
    {"a reserved category", "3B 01 85", AtrFault::Reserved, 3, "", "", ""},
    {"the first fault wins: reserved before TCK wrong", "3B 90 10 01 00", AtrFault::Reserved, 3, "", "", ""},

    // Historical bytes that are no compact-TLV objects: said, never read past.
    {"an object longer than the history", "3B 03 80 5F 01", AtrFault::Historical, 4, "TS T0 category rest", "verdict",
     "historical bytes at byte 4: compact-TLV object 5F announces 15 bytes, 1 left"},
    {"the first fault wins: history before TCK", "3B 82 01 80 5F 00", AtrFault::Historical, 5, "TS T0 TD1 category rest TCK", "", ""},
    {"category 00 without room for the status", "3B 02 00 90", AtrFault::Historical, 3, "TS T0 category rest", "", ""},
    {"category 00 objects into the status", "3B DF 18 00 81 31 FE 7D 00 6B 15 0C 01 81 01 11 01 43 4E 53 10 31 80 E8", AtrFault::Historical, 10,
     "TS T0 TA1 TC1 TD1 TD2 TA3 TB3 category rest status TCK", "TB3", "CWI = 13 (CWT = 8203 etu)"},
};
// clang-format on

std::string Names(const qv::Atr& atr) {
    std::string names;
    for (const qv::AtrField& field : atr.fields)
        names += (names.empty() ? "" : " ") + field.name;
    return names;
}

std::string Protocols(const qv::Atr& atr) {
    std::string text;
    for (const int t : atr.protocols)
        text += (text.empty() ? "" : " ") + std::to_string(t);
    return text + (atr.protocolByDefault ? " by default" : "");
}

std::string Meaning(const qv::Atr& atr, std::string_view name) {
    if (name == "verdict")
        return atr.verdict.text;
    for (const qv::AtrField& field : atr.fields) {
        if (field.name == name)
            return field.meaning;
    }
    return "(no field " + std::string(name) + ")";
}

TEST(Atr, EachRow) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(std::string(row.what) + ": " + row.atr);
        const qv::Bytes bytes = qv::FromHex(row.atr);
        const qv::Atr atr = qv::DecodeAtr(bytes);
        EXPECT_EQ(qv::AtrFaultName(atr.verdict.fault), qv::AtrFaultName(row.fault));
        EXPECT_EQ(atr.verdict.WellFormed() ? 0 : atr.verdict.at + 1, row.at);
        EXPECT_EQ(atr.verdict.text.empty(), row.fault == kOk);
        if (*row.names != '\0') {
            EXPECT_EQ(Names(atr), row.names);
        }
        if (std::string_view(row.field) == "protocols") {
            EXPECT_EQ(Protocols(atr), row.meaning);
        } else if (*row.field != '\0') {
            EXPECT_NE(Meaning(atr, row.field).find(row.meaning), std::string::npos)
                << Meaning(atr, row.field);
        }
        // The fields lie one after the other over the bytes received, never past them.
        std::size_t next = 0;
        for (const qv::AtrField& field : atr.fields) {
            EXPECT_EQ(field.at, next) << field.name;
            ASSERT_LE(field.at + field.raw.size(), bytes.size()) << field.name;
            EXPECT_TRUE(std::equal(field.raw.begin(), field.raw.end(), bytes.begin() + field.at))
                << field.name;
            next = field.at + field.raw.size();
        }
    }
}

} // namespace
