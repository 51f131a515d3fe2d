// The PIN-pad reader driver loaded into a pcscd of the test's own, with a simulated card in it,
// driven through SCardControl as an application drives a PIN pad: the feature list, each
// keypad case and each bad structure with what the application got, what the card received
// and what the reader's log says the display showed; one copy of the driver serving two
// readers; a verify without a card. Then with programs written elsewhere: Debian's pyscard reads
// the reader's features and properties and sends a verify, to vicc's card in it.
#include "bed/card.h"
#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"
#include "pcsc_connection.h"
#include "pin_structures.h"
#include "temp_tree.h"
#include "text_files.h"
#include "vicc.h"

#include <gtest/gtest.h>

#include <PCSC/reader.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
const auto Hex = &qv::FromHex;
using pinstruct::Build;
using pinstruct::Bytes;
using pinstruct::Modify;
using pinstruct::Verify;
using namespace std::chrono_literals;

constexpr int kFirstPort = 35990;
constexpr DWORD kVerify = 0x42330006;
constexpr DWORD kModify = 0x42330007;

// A card whose PIN is 1234 (ASCII) and whose PIN changes always succeed.
constexpr const char* kCardScript = "apdu 00 20 00 01 08 31 32 33 34 FF FF FF FF -> 90 00\n"
                                    "apdu 00 20 00 01 * -> 63 C2\n"
                                    "apdu 00 24 00 01 * -> 90 00\n";

// Reader n's name as pcscd lists it: pcscd numbers the readers of one driver in the order it
// reads their entries, which is not the order they were written in.
std::string ReaderName(int n) {
    const std::string friendly = "PIN Pad " + std::to_string(n) + " ";
    qv::pcsc::Context context;
    if (context.Establish() == SCARD_S_SUCCESS) {
        for (const std::string& name : bed::ListReaders(context.Handle()).names) {
            if (name.starts_with(friendly))
                return name;
        }
    }
    return friendly + "(not listed)";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

class PinPadReader : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = temptree::Make("pinpad"); }
    void TearDown() override {
        cards_.clear();
        pcscd_.reset();
        temptree::Remove(dir_);
    }

    // pcscd with one PIN-pad reader a script, reader n listening on kFirstPort + n.
    void StartReaders(const std::vector<std::string>& scripts) {
        bed::PcscdOptions options;
        options.withVpcd = false;
        for (std::size_t n = 0; n < scripts.size(); ++n) {
            const fs::path script = dir_ / ("pad" + std::to_string(n) + ".reader");
            textfile::Write(script, scripts[n]);
            options.extraReaderConf.push_back("FRIENDLYNAME \"PIN Pad " + std::to_string(n) +
                                              "\"\nDEVICENAME " + script.string() + ":" +
                                              std::to_string(kFirstPort + n) + ":" +
                                              LogPath(static_cast<int>(n)).string() + "\nLIBPATH " +
                                              bed::PinPadDriverPath() + "\n");
        }
        pcscd_ = std::make_unique<bed::Pcscd>(options);
    }

    void InsertCard(int n) {
        cards_.push_back(std::make_unique<bed::SimCard>(
            bed::ParseCardScript(kCardScript),
            bed::CardPlace{"127.0.0.1", kFirstPort + n, ReaderName(n)}));
        cards_.back()->Insert();
        ASSERT_TRUE(bed::WaitForCard(ReaderName(n), true)) << pcscd_->Log();
    }

    fs::path LogPath(int n) const { return dir_ / ("events" + std::to_string(n) + ".log"); }
    std::vector<std::string> Log(int n) const { return Lines(textfile::Read(LogPath(n))); }

    fs::path dir_;
    std::unique_ptr<bed::Pcscd> pcscd_;
    std::vector<std::unique_ptr<bed::SimCard>> cards_;
};

TEST_F(PinPadReader, AnswersEachKeypadCaseAndRefusesEachBadStructure) {
    Verify formatTwo;
    formatTwo.format = 0x89;
    formatTwo.block = 0x47;
    formatTwo.lengthFormat = 0x04;
    formatTwo.command = Hex("00 20 00 01 08 2F FF FF FF FF FF FF FF");
    Bytes cut = Build(Verify{});
    cut.resize(10);
    struct Case {
        const char* what;
        DWORD code;
        Bytes structure;
        std::vector<const char*> keys; // the entries the reader takes for this row
        const char* answer;
        const char* sent; // what the card receives; empty: nothing
        std::vector<const char*> shown;
    };
    const Case cases[] = {
        {"the right PIN",
         kVerify,
         Build(Verify{}),
         {"1234 ok"},
         "90 00",
         "00 20 00 01 08 31 32 33 34 FF FF FF FF",
         {"message 00"}},
        {"a wrong PIN: the card's own answer",
         kVerify,
         Build(Verify{}),
         {"9999 ok"},
         "63 C2",
         "00 20 00 01 08 39 39 39 39 FF FF FF FF",
         {"message 00"}},
        {"cancelled", kVerify, Build(Verify{}), {"12 cancel"}, "64 01", "", {"message 00"}},
        {"nothing typed until the timeout",
         kVerify,
         Build(Verify{}),
         {"timeout"},
         "64 00",
         "",
         {"message 00"}},
        {"too short", kVerify, Build(Verify{}), {"12 ok"}, "64 03", "", {"message 00"}},
        {"too long", kVerify, Build(Verify{}), {"123456789 ok"}, "64 03", "", {"message 00"}},
        {"format 2",
         kVerify,
         Build(formatTwo),
         {"1234 ok"},
         "63 C2",
         "00 20 00 01 08 24 12 34 FF FF FF FF FF",
         {"message 00"}},
        {"modify",
         kModify,
         Build(Modify{}),
         {"1234 ok", "5678 ok", "5678 ok"},
         "90 00",
         "00 24 00 01 10 31 32 33 34 FF FF FF FF 35 36 37 38 FF FF FF FF",
         {"message 00", "message 01", "message 02"}},
        {"modify, the confirmation differs",
         kModify,
         Build(Modify{}),
         {"1234 ok", "5678 ok", "5679 ok"},
         "64 02",
         "",
         {"message 00", "message 01", "message 02"}},
        {"ulDataLength says one more",
         kVerify,
         Build(Verify{.lengthDelta = 1}),
         {},
         "6B 80",
         "",
         {}},
        {"four messages", kVerify, Build(Verify{.messages = 4}), {}, "6B 80", "", {}},
        {"cut in its fixed part", kVerify, cut, {}, "6B 80", "", {}},
        {"a verify structure to modify", kModify, Build(Verify{}), {}, "6B 80", "", {}},
        {"reserved confirmation bits",
         kModify,
         Build(Modify{.confirm = 0x07}),
         {},
         "6B 80",
         "",
         {}},
    };
    std::string script = "pin-size 4 8\n";
    for (const Case& c : cases) {
        for (const char* keys : c.keys)
            script += std::string("entry ") + keys + "\n";
    }
    StartReaders({script});
    InsertCard(0);
    pcsctest::Connection connection(ReaderName(0));
    ASSERT_EQ(connection.Result(), SCARD_S_SUCCESS);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t logged = Log(0).size();
        const std::size_t received = cards_[0]->ReceivedApdus().size();
        LONG rv = 0;
        const std::optional<Bytes> answer = connection.Control(c.code, c.structure, &rv);
        EXPECT_EQ(rv, SCARD_S_SUCCESS) << pcsc_stringify_error(rv);
        EXPECT_EQ(answer ? qv::ToHex(*answer) : "none", c.answer);

        const std::vector<Bytes> apdus = cards_[0]->ReceivedApdus();
        std::vector<std::string> sent;
        for (std::size_t k = received; k < apdus.size(); ++k)
            sent.push_back(qv::ToHex(apdus[k]));
        const std::vector<std::string> expectSent =
            *c.sent ? std::vector<std::string>{c.sent} : std::vector<std::string>{};
        EXPECT_EQ(sent, expectSent);

        // The log says the same, and what the display showed for each entry.
        const std::vector<std::string> log = Log(0);
        std::vector<std::string> shown;
        std::vector<std::string> logSent;
        for (std::size_t k = logged; k < log.size(); ++k) {
            if (log[k].starts_with("display "))
                shown.push_back(log[k].substr(log[k].find(": ") + 2));
            if (log[k].starts_with("> "))
                logSent.push_back(log[k].substr(2));
        }
        EXPECT_EQ(shown, std::vector<std::string>(c.shown.begin(), c.shown.end()));
        EXPECT_EQ(logSent, expectSent);
        ASSERT_FALSE(log.empty());
        EXPECT_TRUE(log.back().starts_with(std::string("answer ") + c.answer)) << log.back();
    }
}

TEST_F(PinPadReader, ListsItsFeaturesAndRefusesOtherCodesAndShortBuffers) {
    StartReaders({"entry 1234 ok\n"});
    InsertCard(0);
    pcsctest::Connection connection(ReaderName(0));
    ASSERT_EQ(connection.Result(), SCARD_S_SUCCESS);
    EXPECT_EQ(qv::ToHex(connection.Control(CM_IOCTL_GET_FEATURE_REQUEST, {}).value_or(Bytes{})),
              "06 04 42 33 00 06 07 04 42 33 00 07 0A 04 42 33 00 0A 12 04 42 33 00 12");
    LONG rv = 0;
    EXPECT_FALSE(connection.Control(0x42330001, {}, &rv));
    EXPECT_EQ(rv, SCARD_E_UNSUPPORTED_FEATURE);
    EXPECT_FALSE(connection.Control(CM_IOCTL_GET_FEATURE_REQUEST, {}, &rv, 23));
    EXPECT_EQ(rv, SCARD_E_INSUFFICIENT_BUFFER);
}

TEST_F(PinPadReader, OneDriverServesTwoReadersEachWithItsOwnKeypadAndCard) {
    StartReaders({"entry 1234 ok\n", "entry 9876 ok\n"});
    InsertCard(0);
    InsertCard(1);
    for (int n : {1, 0}) {
        SCOPED_TRACE(n);
        pcsctest::Connection connection(ReaderName(n));
        ASSERT_EQ(connection.Result(), SCARD_S_SUCCESS);
        EXPECT_EQ(qv::ToHex(connection.Control(kVerify, Build(Verify{})).value_or(Bytes{})),
                  n == 0 ? "90 00" : "63 C2");
        ASSERT_EQ(cards_[n]->ReceivedApdus().size(), 1u);
        EXPECT_EQ(qv::ToHex(cards_[n]->ReceivedApdus()[0]),
                  n == 0 ? "00 20 00 01 08 31 32 33 34 FF FF FF FF"
                         : "00 20 00 01 08 39 38 37 36 FF FF FF FF");
        EXPECT_EQ(Log(n).size(), 6u);
    }
}

TEST_F(PinPadReader, WithoutACardAVerifyFailsAndTakesNoEntry) {
    StartReaders({"entry 1234 ok\n"});
    {
        pcsctest::Connection direct(ReaderName(0), SCARD_SHARE_DIRECT);
        ASSERT_EQ(direct.Result(), SCARD_S_SUCCESS);
        LONG rv = 0;
        EXPECT_FALSE(direct.Control(kVerify, Build(Verify{}), &rv));
        EXPECT_EQ(rv, SCARD_E_NOT_TRANSACTED) << pcsc_stringify_error(rv);
        // A structure is checked before the card is looked for.
        EXPECT_EQ(
            qv::ToHex(direct.Control(kVerify, Build(Verify{.messages = 9})).value_or(Bytes{})),
            "6B 80");
    }
    InsertCard(0);
    pcsctest::Connection connection(ReaderName(0));
    EXPECT_EQ(qv::ToHex(connection.Control(kVerify, Build(Verify{})).value_or(Bytes{})), "90 00");
    EXPECT_EQ(Log(0), (std::vector<std::string>{
                          "verify", "no card", "verify",
                          "answer 6B 80 refused: bNumberMessage 9 is more than 3", "verify",
                          "display 1: message 00", "keys 1: 1234 ok",
                          "> 00 20 00 01 08 31 32 33 34 FF FF FF FF", "< 90 00", "answer 90 00"}));
}

// The bed's slots with PIN pads among vpcd's pairs: listed in slot order, each reader's card
// where SlotPlace says, a pair of PIN pads without vpcd, each PIN pad with its own keys, plain
// commands through it as through vpcd.
TEST_F(PinPadReader, TheBedsPinPadSlotsAmongVpcdsPairs) {
    bed::PcscdOptions options;
    options.vpcdReaders = 2;
    for (int slot : {0, 3, 4, 5}) {
        const fs::path script = dir_ / ("slot" + std::to_string(slot) + ".reader");
        textfile::Write(script, "entry " + std::string(4, static_cast<char>('0' + slot)) + " ok\n");
        options.pinPads[slot] = script.string();
    }
    pcscd_ = std::make_unique<bed::Pcscd>(options);
    qv::pcsc::Context context;
    ASSERT_EQ(context.Establish(), SCARD_S_SUCCESS);
    EXPECT_EQ(bed::ListReaders(context.Handle()).names,
              (std::vector<std::string>{"Quorvane PIN Pad 00 00", "Virtual PCD 00 00",
                                        "Virtual PCD 00 01", "Virtual PCD 1 00 00",
                                        "Virtual PCD 1 00 01", "Quorvane PIN Pad 01 00",
                                        "Quorvane PIN Pad 02 00", "Quorvane PIN Pad 03 00"}));
    for (int slot : {0, 1, 3, 5}) {
        SCOPED_TRACE(slot);
        const bed::CardPlace place = bed::SlotPlace(options, slot);
        EXPECT_EQ(place.reader, bed::ReaderName(options, slot));
        cards_.push_back(
            std::make_unique<bed::SimCard>(bed::ParseCardScript("default 90 00\n"), place));
        cards_.back()->Insert();
        ASSERT_TRUE(bed::WaitForCard(place.reader, true));
    }
    // A command of its own passes as through any reader, then the PIN pad's verify.
    pcsctest::Connection connection(bed::ReaderName(options, 5));
    EXPECT_EQ(connection.Transmit(Hex("00 A4 04 00 02 3F 00")), Hex("90 00"));
    EXPECT_EQ(qv::ToHex(connection.Control(kVerify, Build(Verify{})).value_or(Bytes{})), "90 00");
    ASSERT_EQ(cards_.back()->ReceivedApdus().size(), 2u);
    EXPECT_EQ(qv::ToHex(cards_.back()->ReceivedApdus()[1]),
              "00 20 00 01 08 35 35 35 35 FF FF FF FF");
}

// Debian's Python, which finds Debian's pyscard (a python3 earlier on PATH may not).
const char* const kDebianPython = "/usr/bin/python3";

// Opens the reader whose name starts with argv[1] for direct use, as a PC/SC Part 10 client
// does, then runs the rest of the script.
const std::string kOpen = R"(
import struct, sys
from smartcard.System import readers
from smartcard.scard import SCARD_SHARE_DIRECT
from smartcard.util import toHexString
from smartcard.pcsc.PCSCPart10 import *
reader = [r for r in readers() if str(r).startswith(sys.argv[1])][0]
connection = reader.createConnection()
connection.connect(mode=SCARD_SHARE_DIRECT if sys.argv[2] == "direct" else None)
features = getFeatureRequest(connection)
)";

bed::RunResult Python(const std::string& script, const std::string& mode) {
    return bed::Run({kDebianPython, "-c", kOpen + script, "PIN Pad 0 ", mode}, {});
}

TEST_F(PinPadReader, PyscardReadsTheFeaturesAndBothPropertyForms) {
    StartReaders({"lcd 4 20\nvalidation max-size ok\ntimeout2 5\npin-size 6 10\n"
                  "firmware Pad 2.1\nusb-id 1234:5678\n"});
    const bed::RunResult r = Python(R"(
for name, code in features:
    print(name, hex(code))
for name, value in sorted(getPinProperties(connection, features).items()):
    if name != "raw":
        print(name, value)
for name, value in sorted(getTlvProperties(connection, features).items()):
    if name != "raw":
        print(name.removeprefix("PCSCv2_PART10_PROPERTY_"), value)
)",
                                    "direct");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "FEATURE_VERIFY_PIN_DIRECT 0x42330006\n"
                     "FEATURE_MODIFY_PIN_DIRECT 0x42330007\n"
                     "FEATURE_IFD_PIN_PROPERTIES 0x4233000a\n"
                     "FEATURE_GET_TLV_PROPERTIES 0x42330012\n"
                     "EntryValidationCondition 3\n"
                     "LcdLayoutX 20\n"
                     "LcdLayoutY 4\n"
                     "TimeOut2 5\n"
                     "bEntryValidationCondition 3\n"
                     "bMaxPINSize 10\n"
                     "bMinPINSize 6\n"
                     "bPPDUSupport 0\n"
                     "bTimeOut2 5\n"
                     "dwMaxAPDUDataSize 261\n"
                     "sFirmwareID Pad 2.1\n"
                     "wIdProduct 22136\n"
                     "wIdVendor 4660\n"
                     "wLcdLayout 1044\n"
                     "wLcdMaxCharacters 20\n"
                     "wLcdMaxLines 4\n");
}

TEST_F(PinPadReader, ViccsCardTakesAVerifyPyscardSends) {
    if (!vicc::Installed())
        GTEST_SKIP() << "vicc (vsmartcard-vpicc) or python3-pycryptodome not installed";
    StartReaders({"entry 1234 ok\n"});
    const vicc::Card card(kFirstPort);
    ASSERT_TRUE(card.Started());
    // A Python card takes a while to start.
    ASSERT_TRUE(bed::WaitForCard(ReaderName(0), true, 20s)) << pcscd_->Log();
    const bed::RunResult r = Python(R"(
command = [0x00, 0x20, 0x00, 0x01, 0x08] + [0xFF] * 8
structure = bytes([0, 0, 0x82, 0x08, 0x00]) + struct.pack("<HBBHB", 0x0408, 0x02, 1, 0x0409, 0)
structure += bytes(3) + struct.pack("<I", len(command)) + bytes(command)
verify = hasFeature(features, FEATURE_VERIFY_PIN_DIRECT)
print(toHexString(connection.control(verify, list(structure))))
)",
                                    "shared");
    EXPECT_EQ(r.status, 0) << r.out;
    const std::vector<std::string> log = Log(0);
    ASSERT_EQ(log.size(), 6u) << r.out;
    EXPECT_EQ(log[3], "> 00 20 00 01 08 31 32 33 34 FF FF FF FF");
    // Whatever vicc's card answers reaches the application unchanged.
    EXPECT_EQ("< " + r.out, log[4] + "\n");
    EXPECT_EQ(log[5], "answer " + log[4].substr(2));
}

} // namespace
