// The PIN-pad reader without pcscd: structures refused or taken, PINs written into the command
// in every coding and place, the keypad's outcomes and what the log shows of them, the reader
// script and the DEVICENAME forms, and the reader's answers about itself.
#include "pinpad/pin_pad.h"

#include "core/hex.h"
#include "pin_structures.h"

#include <PCSC/reader.h>
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

const auto Hex = &qv::FromHex;
using pinpad::Bytes;
using pinstruct::Build;
using pinstruct::Modify;
using pinstruct::Verify;

// A card that answers 90 00 and keeps what it was sent.
class Card final : public pinpad::CardPort {
  public:
    bool present = true;
    std::vector<std::string> received;
    bool Present() override { return present; }
    std::optional<Bytes> Exchange(pinpad::ByteView command) override {
        received.push_back(qv::ToHex(command));
        return Hex("90 00");
    }
};

// A pad with the script's entries, its log kept.
struct Pad {
    explicit Pad(const std::string& script)
        : pad(pinpad::ParseReaderScript(script),
              [this](const std::string& line) { log.push_back(line); }) {}
    std::vector<std::string> log;
    pinpad::PinPad pad;
};

std::string Refusal(const Bytes& structure, bool modify = false) {
    const pinpad::ReaderLimits limits{4, 12};
    const pinpad::Parsed parsed =
        modify ? pinpad::ParseModify(structure, limits) : pinpad::ParseVerify(structure, limits);
    const auto* refusal = std::get_if<pinpad::Refusal>(&parsed);
    return refusal ? refusal->why : "";
}

TEST(PinStructure, RefusesWhatACarefulReaderRefusesAndTakesTheRest) {
    const auto with = [](auto change) {
        Verify v;
        change(v);
        return Build(v);
    };
    Bytes cut = Build(Verify{});
    cut.resize(18);
    struct Case {
        const char* what;
        Bytes structure;
        const char* refusal; // empty: taken
    };
    const Case cases[] = {
        {"sound", Build(Verify{}), ""},
        {"shorter than its fixed part", cut, "18 bytes, fewer than the structure's 19"},
        {"ulDataLength one more", with([](Verify& v) { v.lengthDelta = 1; }),
         "ulDataLength 14 + 19 is not the 32 bytes given"},
        {"ulDataLength one less", with([](Verify& v) { v.lengthDelta = -1; }),
         "ulDataLength 12 + 19 is not the 32 bytes given"},
        {"ulDataLength past 4 GiB", with([](Verify& v) { v.lengthDelta = -14; }),
         "ulDataLength 4294967295 + 19 is not the 32 bytes given"},
        {"no data after Lc", with([](Verify& v) { v.command = Hex("00 20 00 01 00"); }),
         "a command of 5 bytes has no data for a PIN"},
        {"four messages", with([](Verify& v) { v.messages = 4; }),
         "bNumberMessage 4 is more than 3"},
        {"three messages", with([](Verify& v) { v.messages = 3; }), ""},
        {"no entry end", with([](Verify& v) { v.validation = 0; }),
         "bEntryValidationCondition 00 asks for no known end"},
        {"an unknown entry end", with([](Verify& v) { v.validation = 0x0A; }),
         "bEntryValidationCondition 0A asks for no known end"},
        {"coding 3", with([](Verify& v) { v.format = 0x83; }),
         "bmFormatString 83 names no PIN coding"},
        {"length format reserved bits", with([](Verify& v) { v.lengthFormat = 0x20; }),
         "bmPINLengthFormat 20 has reserved bits set"},
        {"minimum above maximum", with([](Verify& v) { v.minDigits = 9; }),
         "wPINMaxExtraDigit 0908 allows no PIN size the reader (4 to 12 digits) takes"},
        {"range below the reader's", with([](Verify& v) { v.maxDigits = 3; }),
         "wPINMaxExtraDigit 0403 allows no PIN size the reader (4 to 12 digits) takes"},
        {"range past the reader's is narrowed", with([](Verify& v) { v.maxDigits = 40; }),
         "a PIN of 12 digits does not fit the 8-byte PIN block"},
        {"BCD block holds 16 digits", with([](Verify& v) {
             v.format = 0x81;
             v.maxDigits = 12;
         }),
         ""},
        {"block past the command", with([](Verify& v) { v.format = 0x8A; }),
         "the PIN block at byte 0 bit 8 runs past the command's 8 data bytes"},
        {"length field past the command", with([](Verify& v) {
             v.format = 0x81;
             v.block = 0x47;
             v.lengthFormat = 0x1F;
         }),
         "the PIN length field at byte 0 bit 120 runs past the command's 8 data bytes"},
        {"length too large for its field", with([](Verify& v) {
             v.format = 0x89;
             v.block = 0x27;
             v.lengthFormat = 0x04;
         }),
         "a length of 8 does not fit 2 bits"},
        {"no block: the PIN alone must fit", with([](Verify& v) {
             v.block = 0x00;
             v.command = Hex("00 20 00 01 04 FF FF FF FF");
         }),
         "the PIN block at byte 0 bit 0 runs past the command's 4 data bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Refusal(c.structure), c.refusal);
    }
}

TEST(PinStructure, ModifyRefusesReservedConfirmBitsAndChecksOnlyTheOffsetsItUses) {
    const auto with = [](auto change) {
        Modify m;
        change(m);
        return Build(m);
    };
    Bytes cut = Build(Modify{});
    cut.resize(23);
    EXPECT_EQ(Refusal(Build(Modify{}), true), "");
    EXPECT_EQ(Refusal(cut, true), "23 bytes, fewer than the structure's 24");
    EXPECT_EQ(Refusal(with([](Modify& m) { m.confirm = 0x04; }), true),
              "bConfirmPIN 04 has reserved bits set");
    EXPECT_EQ(Refusal(with([](Modify& m) { m.offsetNew = 9; }), true),
              "the PIN block at byte 9 bit 0 runs past the command's 16 data bytes");
    EXPECT_EQ(Refusal(with([](Modify& m) { m.offsetOld = 9; }), true),
              "the PIN block at byte 9 bit 0 runs past the command's 16 data bytes");
    // Without the current PIN its offset is never used.
    EXPECT_EQ(Refusal(with([](Modify& m) {
                          m.offsetOld = 200;
                          m.confirm = 0x01;
                      }),
                      true),
              "");
}

TEST(PinInsertion, EveryCodingJustificationAndLengthFieldLandsWhereTheStructureSays) {
    struct Case {
        const char* what;
        std::uint8_t format, block, lengthFormat;
        const char* data; // after 00 20 00 01 08
        const char* pin;
        const char* sent; // the data the card receives
    };
    const Case cases[] = {
        {"ASCII, left", 0x82, 0x08, 0x00, "FF FF FF FF FF FF FF FF", "1234",
         "31 32 33 34 FF FF FF FF"},
        {"ASCII, right", 0x86, 0x08, 0x00, "FF FF FF FF FF FF FF FF", "1234",
         "FF FF FF FF 31 32 33 34"},
        {"BCD, left, odd", 0x81, 0x08, 0x00, "FF FF FF FF FF FF FF FF", "12345",
         "12 34 5F FF FF FF FF FF"},
        {"BCD, right, odd", 0x85, 0x08, 0x00, "00 00 00 00 00 00 00 00", "12345",
         "00 00 00 00 00 01 23 45"},
        {"binary", 0x80, 0x08, 0x00, "FF FF FF FF FF FF FF FF", "0907", "00 09 00 07 FF FF FF FF"},
        {"format 2: length nibble, BCD from byte 1", 0x89, 0x47, 0x04, "2F FF FF FF FF FF FF FF",
         "1234", "24 12 34 FF FF FF FF FF"},
        {"length byte first, ASCII after it", 0x8A, 0x87, 0x10, "00 FF FF FF FF FF FF FF", "123456",
         "06 31 32 33 34 35 36 FF"},
        {"bits as unit: BCD from bit 4", 0x21, 0x00, 0x00, "FF FF FF FF FF FF FF FF", "1234",
         "F1 23 4F FF FF FF FF FF"},
        {"no block: the digits alone", 0x92, 0x00, 0x00, "FF FF FF FF FF FF FF FF", "1234",
         "FF FF 31 32 33 34 FF FF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Verify v;
        v.maxDigits = 6;
        v.format = c.format;
        v.block = c.block;
        v.lengthFormat = c.lengthFormat;
        v.command = Hex(std::string("00 20 00 01 08 ") + c.data);
        const pinpad::Parsed parsed = pinpad::ParseVerify(Build(v), {4, 12});
        ASSERT_TRUE(std::holds_alternative<pinpad::PinRequest>(parsed))
            << std::get<pinpad::Refusal>(parsed).why;
        const Bytes sent =
            pinpad::CommandWithPins(std::get<pinpad::PinRequest>(parsed), {c.pin, ""});
        EXPECT_EQ(qv::ToHex(sent), std::string("00 20 00 01 08 ") + c.sent);
    }
}

// One PIN operation after another from one script: each row's keys are the script's next
// entries, and each row says what the card got, what the application got and the log.
TEST(Keypad, EachEntryEndsAsItsKeysAndTheStructureSay) {
    struct Case {
        const char* what;
        Bytes structure;
        bool modify;
        const char* keys; // the script's entries for this row, one a line
        const char* answer;
        const char* sent; // empty: nothing reaches the card
        std::vector<std::string> log;
    };
    Verify verifyAtMaxSize;
    verifyAtMaxSize.validation = 0x01;
    verifyAtMaxSize.maxDigits = 6;
    Verify verifyOnTimeout;
    verifyOnTimeout.validation = 0x04;
    verifyOnTimeout.timeout2 = 5;
    Verify verifySecondTimer;
    verifySecondTimer.timeout = 20;
    verifySecondTimer.timeout2 = 5;
    Verify noMessage;
    noMessage.messages = 0;
    Modify newOnly;
    newOnly.confirm = 0x00;
    newOnly.messages = 1;
    const Case cases[] = {
        {"verify",
         Build(Verify{}),
         false,
         "entry 1234 ok",
         "90 00",
         "00 20 00 01 08 31 32 33 34 FF FF FF FF",
         {"verify", "display 1: message 00", "keys 1: 1234 ok",
          "> 00 20 00 01 08 31 32 33 34 FF FF FF FF", "< 90 00", "answer 90 00"}},
        {"clear and type again",
         Build(noMessage),
         false,
         "entry 99 clear 4321 ok",
         "90 00",
         "00 20 00 01 08 34 33 32 31 FF FF FF FF",
         {"verify", "display 1: no message", "keys 1: 99 clear 4321 ok",
          "> 00 20 00 01 08 34 33 32 31 FF FF FF FF", "< 90 00", "answer 90 00"}},
        {"cancel",
         Build(Verify{}),
         false,
         "entry 12 cancel",
         "64 01",
         "",
         {"verify", "display 1: message 00", "keys 1: 12 cancel", "answer 64 01 cancelled"}},
        {"nothing more typed, the reader's default timeout",
         Build(Verify{}),
         false,
         "entry 12 timeout",
         "64 00",
         "",
         {"verify", "display 1: message 00", "keys 1: 12 timeout",
          "answer 64 00 timeout after 30 s"}},
        {"keys running out wait as well; after a key the second timer",
         Build(verifySecondTimer),
         false,
         "entry 12",
         "64 00",
         "",
         {"verify", "display 1: message 00", "keys 1: 12", "answer 64 00 timeout after 5 s"}},
        {"too short",
         Build(Verify{}),
         false,
         "entry 123 ok",
         "64 03",
         "",
         {"verify", "display 1: message 00", "keys 1: 123 ok",
          "answer 64 03 PIN length 3 out of range 4 to 8"}},
        {"too long",
         Build(Verify{}),
         false,
         "entry 123456789 ok",
         "64 03",
         "",
         {"verify", "display 1: message 00", "keys 1: 123456789 ok",
          "answer 64 03 PIN length 9 out of range 4 to 8"}},
        {"the largest size ends the entry, later keys unread",
         Build(verifyAtMaxSize),
         false,
         "entry 12345678 ok",
         "90 00",
         "00 20 00 01 08 31 32 33 34 35 36 FF FF",
         {"verify", "display 1: message 00", "keys 1: 123456 (not read: 78 ok)",
          "> 00 20 00 01 08 31 32 33 34 35 36 FF FF", "< 90 00", "answer 90 00"}},
        {"OK ends nothing without the OK condition",
         Build(verifyAtMaxSize),
         false,
         "entry 1234 ok timeout",
         "64 00",
         "",
         {"verify", "display 1: message 00", "keys 1: 1234 ok timeout",
          "answer 64 00 timeout after 30 s"}},
        {"the timeout ends it where the structure says so",
         Build(verifyOnTimeout),
         false,
         "entry 4711 timeout",
         "90 00",
         "00 20 00 01 08 34 37 31 31 FF FF FF FF",
         {"verify", "display 1: message 00", "keys 1: 4711 timeout",
          "> 00 20 00 01 08 34 37 31 31 FF FF FF FF", "< 90 00", "answer 90 00"}},
        {"modify with confirmation",
         Build(Modify{}),
         true,
         "entry 1234 ok\nentry 5678 ok\nentry 5678 ok",
         "90 00",
         "00 24 00 01 10 31 32 33 34 FF FF FF FF 35 36 37 38 FF FF FF FF",
         {"modify", "display 1: message 00", "keys 1: 1234 ok", "display 2: message 01",
          "keys 2: 5678 ok", "display 3: message 02", "keys 3: 5678 ok",
          "> 00 24 00 01 10 31 32 33 34 FF FF FF FF 35 36 37 38 FF FF FF FF", "< 90 00",
          "answer 90 00"}},
        {"new PINs differ",
         Build(Modify{}),
         true,
         "entry 1234 ok\nentry 5678 ok\nentry 8765 ok",
         "64 02",
         "",
         {"modify", "display 1: message 00", "keys 1: 1234 ok", "display 2: message 01",
          "keys 2: 5678 ok", "display 3: message 02", "keys 3: 8765 ok",
          "answer 64 02 new PINs differ"}},
        {"cancel at the current PIN asks for no more",
         Build(Modify{}),
         true,
         "entry cancel",
         "64 01",
         "",
         {"modify", "display 1: message 00", "keys 1: cancel", "answer 64 01 cancelled"}},
        {"new PIN only, first message only",
         Build(newOnly),
         true,
         "entry 2468 ok",
         "90 00",
         "00 24 00 01 10 FF FF FF FF FF FF FF FF 32 34 36 38 FF FF FF FF",
         {"modify", "display 1: message 00", "keys 1: 2468 ok",
          "> 00 24 00 01 10 FF FF FF FF FF FF FF FF 32 34 36 38 FF FF FF FF", "< 90 00",
          "answer 90 00"}},
        {"a refused structure takes no entry",
         Build(Verify{.messages = 4}),
         false,
         "",
         "6B 80",
         "",
         {"verify", "answer 6B 80 refused: bNumberMessage 4 is more than 3"}},
        {"the script's entries used up",
         Build(Verify{}),
         false,
         "",
         "64 00",
         "",
         {"verify", "display 1: message 00", "keys 1: none left in the script",
          "answer 64 00 timeout after 30 s"}},
    };
    std::string script = "timeout 30\npin-size 4 12\n";
    for (const Case& c : cases)
        script += std::string(c.keys) + "\n";
    Pad pad(script);
    Card card;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        pad.log.clear();
        card.received.clear();
        const pinpad::PinAnswer answer =
            c.modify ? pad.pad.Modify(c.structure, card) : pad.pad.Verify(c.structure, card);
        EXPECT_EQ(answer.outcome, pinpad::PinAnswer::Outcome::Answered);
        EXPECT_EQ(qv::ToHex(answer.answer), c.answer);
        EXPECT_EQ(card.received, std::string(c.sent).empty() ? std::vector<std::string>{}
                                                             : std::vector<std::string>{c.sent});
        EXPECT_EQ(pad.log, c.log);
    }
}

TEST(Keypad, WithoutACardNoEntryIsTakenAndALostCardIsSaid) {
    Pad pad("entry 1234 ok\n");
    Card card;
    card.present = false;
    EXPECT_EQ(pad.pad.Verify(Build(Verify{}), card).outcome, pinpad::PinAnswer::Outcome::NoCard);
    EXPECT_EQ(pad.log, (std::vector<std::string>{"verify", "no card"}));

    // The entry is still the script's next one.
    class Gone final : public pinpad::CardPort {
        bool Present() override { return true; }
        std::optional<Bytes> Exchange(pinpad::ByteView) override { return std::nullopt; }
    } gone;
    pad.log.clear();
    EXPECT_EQ(pad.pad.Verify(Build(Verify{}), gone).outcome, pinpad::PinAnswer::Outcome::CardLost);
    EXPECT_EQ(pad.log.back(), "card lost");
    EXPECT_EQ(pad.log[2], "keys 1: 1234 ok");
}

TEST(ReaderScript, ReadsEveryDirectiveAndNamesTheLineOfAMistake) {
    const pinpad::ReaderScript script =
        pinpad::ParseReaderScript("# a comment\n"
                                  "lcd 4 20\n"
                                  "validation max-size ok timeout   # all three\n"
                                  "timeout 45\n"
                                  "timeout2 7\n"
                                  "pin-size 6 10\n"
                                  "max-apdu 1024\n"
                                  "firmware  Pad 2.0 (test)  \n"
                                  "usb-id 08e6:3437\n"
                                  "log events.log\n"
                                  "entry 12 34 ok\n"
                                  "entry\n");
    const pinpad::ReaderProperties& p = script.properties;
    EXPECT_EQ(p.lcdLines, 4u);
    EXPECT_EQ(p.lcdCharacters, 20u);
    EXPECT_EQ(p.validation, 0x07);
    EXPECT_EQ(p.defaultTimeout, 45);
    EXPECT_EQ(p.timeout2, 7);
    EXPECT_EQ(p.limits.minDigits, 6u);
    EXPECT_EQ(p.limits.maxDigits, 10u);
    EXPECT_EQ(p.maxApduData, 1024u);
    EXPECT_EQ(p.firmware, "Pad 2.0 (test)");
    EXPECT_EQ(p.vendorId, 0x08E6);
    EXPECT_EQ(p.productId, 0x3437);
    EXPECT_EQ(script.log, "events.log");
    ASSERT_EQ(script.entries.size(), 2u);
    EXPECT_EQ(pinpad::KeysText(script.entries[0]), "1234 ok");
    EXPECT_TRUE(script.entries[1].empty());

    const std::pair<const char*, const char*> mistakes[] = {
        {"lcd 2", "line 1: lcd takes LINES CHARACTERS"},
        {"lcd 0 16", "line 1: a display without lines or characters is written 'lcd 0 0'"},
        {"\nvalidation enter", "line 2: validation knows max-size, ok and timeout, not 'enter'"},
        {"timeout 0", "line 1: timeout must be a number from 1 to 255, not '0'"},
        {"pin-size 8 4", "line 1: the largest PIN size must be a number from 8 to 255, not '4'"},
        {"usb-id 8E6:3437", "line 1: usb-id takes VENDOR:PRODUCT, four hex digits each, not "
                            "'8E6:3437'"},
        {"entry 12 #3 ok\nentry 1a", "line 2: an entry's keys are digits, ok, cancel, clear and "
                                     "timeout, not '1a'"},
        {"entry cancel 12", "line 1: nothing is typed after cancel"},
        {"entry timeout ok", "line 1: nothing is typed after timeout"},
        {"keys 1234", "line 1: unknown directive 'keys'"},
    };
    for (const auto& [text, why] : mistakes) {
        SCOPED_TRACE(text);
        try {
            pinpad::ParseReaderScript(text);
            ADD_FAILURE() << "taken";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), why);
        }
    }
}

TEST(ReaderScript, DeviceNameCarriesScriptPortAndLog) {
    const pinpad::DeviceName full = pinpad::ParseDeviceName("/etc/pad.reader:35990:/tmp/a:b.log");
    EXPECT_EQ(full.script, "/etc/pad.reader");
    EXPECT_EQ(full.port, 35990);
    EXPECT_EQ(full.log, "/tmp/a:b.log");
    const pinpad::DeviceName bare = pinpad::ParseDeviceName("pad.reader:1");
    EXPECT_EQ(bare.port, 1);
    EXPECT_EQ(bare.log, "");
    for (const char* bad : {"pad.reader", "pad.reader:", ":35990", "pad.reader:65536",
                            "pad.reader:0", "pad.reader:35990:", "pad.reader:x1:log"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(pinpad::ParseDeviceName(bad), std::invalid_argument);
    }
}

TEST(ReaderAnswers, FeaturesAndPropertiesAsARealReaderGivesThem) {
    Pad pad("lcd 2 16\nvalidation ok\ntimeout2 3\npin-size 4 8\nfirmware FW\n"
            "usb-id 1234:ABCD\n");
    EXPECT_EQ(qv::ToHex(pinpad::PinPad::Features()),
              "06 04 42 33 00 06 07 04 42 33 00 07 0A 04 42 33 00 0A 12 04 42 33 00 12");
    // wLcdLayout 0x0210 (2 lines of 16) in the host's order, the OK key, bTimeOut2.
    PIN_PROPERTIES_STRUCTURE expected{0x0210, 0x02, 3};
    Bytes raw(sizeof expected);
    std::memcpy(raw.data(), &expected, sizeof expected);
    EXPECT_EQ(pad.pad.PinProperties(), raw);
    EXPECT_EQ(qv::ToHex(pad.pad.TlvProperties()), "01 02 10 02 "       // wLcdLayout
                                                  "02 01 02 "          // validation
                                                  "03 01 03 "          // bTimeOut2
                                                  "04 02 10 00 "       // characters
                                                  "05 02 02 00 "       // lines
                                                  "06 01 04 07 01 08 " // PIN sizes
                                                  "08 02 46 57 "       // firmware
                                                  "09 01 00 "          // no PPDU
                                                  "0A 04 05 01 00 00 " // 261
                                                  "0B 02 34 12 0C 02 CD AB");
}

} // namespace
