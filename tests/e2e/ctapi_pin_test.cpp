// PIN entry through our CT-API library on the test bed: the PIN-pad reader in a pcscd of the
// test's own with the shipped PIN-checking card in it, and CT-BCS PERFORM VERIFICATION (20 18)
// and MODIFY VERIFICATION DATA (20 19) sent to the terminal. Each keypad case and each bad data
// object with the terminal's answer and what the card received; the functional units of
// terminals with and without display and keypad; quorvane-run telling a person at the keypad
// when to type and, with -v, what the PIN pad offers; and the shipped PIN-pad suite by the
// command its README gives.
#include <ctapi.h>
#include <gtest/gtest.h>

#include <PCSC/winscard.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bed/card.h"
#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"
#include "core/hex.h"
#include "pty_screen.h"
#include "temp_tree.h"
#include "text_files.h"

namespace {

namespace fs = std::filesystem;
using bed::Bytes;
using namespace std::chrono_literals;
using qv::FromHex;
using qv::ToHex;

// The terminal at `reader`'s place in PC/SC's list, as CT_init numbers them; -1 when unlisted.
int TerminalOf(const std::string& reader) {
    const auto names = bed::ListReaders().names;
    for (std::size_t n = 0; n < names.size(); ++n) {
        if (names[n] == reader)
            return static_cast<int>(n);
    }
    return -1;
}

// The terminal's answer to a CT-BCS command, or "CT_data N" when the call fails.
std::string ToTerminal(std::uint16_t ctn, const std::string& command) {
    Bytes bytes = FromHex(command), response(512);
    std::uint8_t dad = CT, sad = HOST;
    std::uint16_t len = static_cast<std::uint16_t>(response.size());
    const std::int8_t rv = CT_data(ctn, &dad, &sad, static_cast<std::uint16_t>(bytes.size()),
                                   bytes.data(), &len, response.data());
    if (rv != OK)
        return "CT_data " + std::to_string(rv);
    response.resize(len);
    return ToHex(response);
}

class PinEntryThroughTheLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bed::InSandbox())
            GTEST_SKIP() << "needs testbed/sandbox";
        dir_ = temptree::Make("ctapi_pin");
    }
    void TearDown() override {
        card_.reset();
        pcscd_.reset();
        temptree::Remove(dir_);
    }

    // pcscd with the PIN-pad reader of `keys` (a reader script's lines) in slot 0 and the
    // shipped PIN-checking card in it; vpcd's slot 1 stays empty.
    void Start(const std::string& keys) {
        const fs::path script = dir_ / "pad.reader";
        textfile::Write(script, "pin-size 4 8\nlog events.log\n" + keys);
        options_.pinPads[0] = script.string();
        pcscd_ = std::make_unique<bed::Pcscd>(options_);
        card_ = std::make_unique<bed::SimCard>(
            bed::LoadCardScript(bed::SourcePath("testbed/cards/pin.card")),
            bed::SlotPlace(options_, 0));
        card_->Insert();
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(options_, 0), true)) << pcscd_->Log();
    }

    // The commands the reader sent the card from the `from`-th on, as its log lists them.
    std::vector<std::string> LoggedCommands(std::size_t& from) const {
        const std::string log = textfile::Read(dir_ / "events.log");
        std::vector<std::string> sent;
        std::size_t at = 0, line = 0;
        for (std::size_t end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
            if (log.compare(at, 2, "> ") == 0 && line++ >= from)
                sent.push_back(log.substr(at + 2, end - at - 2));
        }
        from = line;
        return sent;
    }

    fs::path dir_;
    bed::PcscdOptions options_;
    std::unique_ptr<bed::Pcscd> pcscd_;
    std::unique_ptr<bed::SimCard> card_;
};

TEST_F(PinEntryThroughTheLibrary, EachKeypadCaseAndEachBadDataObject) {
    struct Row {
        const char* what;
        std::vector<const char*> keys; // the reader script's entries this row takes
        const char* command;           // to the terminal
        const char* answer;
        const char* received; // by the card; empty: nothing
    };
    // The card (testbed/cards/pin.card) knows the PIN 1234 under P2 81 (ASCII), 82 (BCD) and
    // 83 (format 2), 84 (ASCII behind two bytes), and 4712 for CHANGE CHV of class A0.
    const char* const kAscii = "20 18 01 00 11 52 0F 41 06 00 20 00 81 08 FF FF FF FF FF FF FF FF";
    const char* const kModify = "20 19 01 00 1A 52 18 41 06 0E 00 24 00 81 10 FF FF FF FF FF FF FF "
                                "FF FF FF FF FF FF FF FF FF";
    const Row rows[] = {
        {"ASCII, the right PIN",
         {"1234 ok"},
         kAscii,
         "90 00",
         "00 20 00 81 08 31 32 33 34 FF FF FF FF"},
        {"ASCII, a wrong PIN: the card's answer",
         {"9999 ok"},
         kAscii,
         "63 C2",
         "00 20 00 81 08 39 39 39 39 FF FF FF FF"},
        {"cancelled", {"12 cancel"}, kAscii, "64 01", ""},
        {"nothing typed within the time object's second",
         {"12 timeout"},
         "20 18 01 00 14 80 01 01 52 0F 41 06 00 20 00 81 08 FF FF FF FF FF FF FF FF",
         "64 00",
         ""},
        {"too short", {"12 ok"}, kAscii, "64 03", ""},
        {"BCD, the right PIN",
         {"1234 ok"},
         "20 18 01 00 11 52 0F 40 06 00 20 00 82 08 FF FF FF FF FF FF FF FF",
         "90 00",
         "00 20 00 82 08 12 34 FF FF FF FF FF FF"},
        {"BCD, five digits: the last nibble keeps its F",
         {"12345 ok"},
         "20 18 01 00 11 52 0F 50 06 00 20 00 82 08 FF FF FF FF FF FF FF FF",
         "63 C2",
         "00 20 00 82 08 12 34 5F FF FF FF FF FF"},
        {"format 2, any length: four digits",
         {"1234 ok"},
         "20 18 01 00 11 52 0F 02 06 00 20 00 83 08 00 00 00 00 00 00 00 00",
         "90 00",
         "00 20 00 83 08 24 12 34 FF FF FF FF FF"},
        {"format 2, any length: six digits",
         {"123456 ok"},
         "20 18 01 00 11 52 0F 02 06 00 20 00 83 08 00 00 00 00 00 00 00 00",
         "63 C2",
         "00 20 00 83 08 26 12 34 56 FF FF FF FF"},
        {"ASCII at position 8, behind two bytes of the card's own",
         {"1234 ok"},
         "20 18 01 00 13 52 11 41 08 00 20 00 84 0A A1 A2 FF FF FF FF FF FF FF FF",
         "90 00",
         "00 20 00 84 0A A1 A2 31 32 33 34 FF FF FF FF"},
        {"MODIFY, confirmed alike",
         {"1234 ok", "5678 ok", "5678 ok"},
         kModify,
         "90 00",
         "00 24 00 81 10 31 32 33 34 FF FF FF FF 35 36 37 38 FF FF FF FF"},
        {"MODIFY, the confirmation differs",
         {"1234 ok", "5678 ok", "8765 ok"},
         kModify,
         "64 02",
         ""},
        {"MODIFY, a terminal maker's example: BCD, old PIN at 6, new at 14",
         {"4712 ok", "2315 ok", "2315 ok"},
         "20 19 01 00 1A 52 18 40 06 0E A0 24 00 01 10 FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
         "FF FF",
         "90 00",
         "A0 24 00 01 10 47 12 FF FF FF FF FF FF 23 15 FF FF FF FF FF FF"},
        {"a PIN length the keypad does not take (3): the reader's 6B 80",
         {},
         "20 18 01 00 11 52 0F 31 06 00 20 00 81 08 FF FF FF FF FF FF FF FF",
         "6B 80",
         ""},
        // Refused by the terminal before the keypad is asked: no entry taken.
        {"a position past the card command's data",
         {},
         "20 18 01 00 11 52 0F 41 10 00 20 00 81 08 FF FF FF FF FF FF FF FF",
         "6A 80",
         ""},
        {"nine ASCII digits in eight bytes",
         {},
         "20 18 01 00 11 52 0F 91 06 00 20 00 81 08 FF FF FF FF FF FF FF FF",
         "6A 80",
         ""},
        {"the command to perform cut short",
         {},
         "20 18 01 00 11 52 1F 41 06 00 20 00 81 08 FF FF FF FF FF FF FF FF",
         "6A 80",
         ""},
        {"MODIFY, the two PINs at one place",
         {},
         "20 19 01 00 0E 52 0C 41 06 06 00 24 00 81 04 "
         "FF FF FF FF",
         "6A 80",
         ""},
    };
    std::string keys;
    for (const Row& row : rows) {
        for (const char* entry : row.keys)
            keys += std::string("entry ") + entry + "\n";
    }
    Start(keys);
    const int ctn = TerminalOf(bed::ReaderName(options_, 0));
    ASSERT_GE(ctn, 0);
    const auto terminal = static_cast<std::uint16_t>(ctn);
    ASSERT_EQ(CT_init(terminal, 1), OK);
    ASSERT_EQ(ToTerminal(terminal, "20 11 01 00 00"), "90 01");

    std::size_t logged = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::size_t before = card_->ReceivedApdus().size();
        EXPECT_EQ(ToTerminal(terminal, row.command), row.answer);
        const std::vector<Bytes> apdus = card_->ReceivedApdus();
        std::vector<std::string> received;
        for (std::size_t k = before; k < apdus.size(); ++k)
            received.push_back(ToHex(apdus[k]));
        const auto expected =
            *row.received ? std::vector<std::string>{row.received} : std::vector<std::string>{};
        EXPECT_EQ(received, expected);
        // The reader's log shows the same: the PIN went nowhere else.
        EXPECT_EQ(LoggedCommands(logged), expected);
    }
    EXPECT_EQ(CT_close(terminal), OK);
}

// GET STATUS names the display and the keypad a reader has; a reader without a keypad lacks the
// PIN commands (6D 00), a keypad is not asked without an activated card.
TEST_F(PinEntryThroughTheLibrary, FunctionalUnitsAndTerminalsWithoutAKeypad) {
    options_.pinPads[1] = (dir_ / "no-display.reader").string();
    textfile::Write(options_.pinPads[1], "lcd 0 0\nentry 1234 ok\n");
    options_.vpcdReaders = 4;
    Start("entry 1234 ok\n");
    struct Row {
        std::string reader;
        const char* units;
        const char* verify; // PERFORM VERIFICATION without an activated card
    };
    const char* const kVerify = "20 18 01 00 11 52 0F 41 06 00 20 00 81 08 FF FF FF FF FF FF FF FF";
    for (const Row& row : {
             Row{bed::ReaderName(options_, 1), "81 02 01 50 90 00", "CT_data -10"},
             Row{bed::ReaderName(options_, 3), "81 01 01 90 00", "6D 00"},
             Row{bed::ReaderName(options_, 0), "81 03 01 40 50 90 00", "CT_data -10"},
         }) {
        SCOPED_TRACE(row.reader);
        const int ctn = TerminalOf(row.reader);
        ASSERT_GE(ctn, 0);
        const auto terminal = static_cast<std::uint16_t>(ctn);
        ASSERT_EQ(CT_init(terminal, 0), OK);
        EXPECT_EQ(ToTerminal(terminal, "20 13 00 81 00"), row.units);
        EXPECT_EQ(ToTerminal(terminal, kVerify), row.verify);
        EXPECT_EQ(CT_close(terminal), OK);
    }
    EXPECT_TRUE(card_->ReceivedApdus().empty());
}

// A person at the keypad learns from quorvane-run, on standard error when that is a terminal,
// which test waits for the PIN; -v says on the reader line what the PIN pad offers.
TEST_F(PinEntryThroughTheLibrary, QuorvaneRunSaysWhenToTypeAndWhatThePadOffers) {
    Start("entry 1234 ok\nentry 1234 ok\n");
    const fs::path suite = dir_ / "keypad.req";
    textfile::Write(suite, "@quorvane-run 1\n"
                           "# - the functional units\n"
                           "2,1 20 13 00 81 00\n"
                           "> 81 03 01 40 50 90 00\n"
                           "# - the PIN\n"
                           "2,1 20 18 01 00 11 52 0F 41 06 00 20 00 81 08 FF FF FF FF FF FF FF FF\n"
                           "> 90 00\n"
                           "# - a card command\n"
                           "2,0 00 B0 00 00 04\n"
                           "> 6D 00\n");
    const std::string runner = bed::BuildPath("bin/quorvane-run");
    const std::string prompt = "quorvane-run: test 2 'the PIN': type the PIN on the keypad of "
                               "reader 1 '" +
                               bed::ReaderName(options_, 0) + "'";
    ptyscreen::Options wide;
    wide.cols = 240;
    ptyscreen::Screen screen({runner, "-v", suite.string()}, wide);
    ASSERT_EQ(screen.Wait(60s), 0) << screen.Output();
    const std::string out = screen.Output();
    EXPECT_EQ(textfile::Count(out, "type the PIN"), 1u) << out;
    const std::size_t asked = out.find(prompt);
    EXPECT_NE(asked, std::string::npos) << out;
    EXPECT_LT(asked, out.find("PASS     2")) << out;
    EXPECT_NE(out.find(", features VERIFY_PIN_DIRECT MODIFY_PIN_DIRECT IFD_PIN_PROPERTIES "
                       "GET_TLV_PROPERTIES, PIN 4 to 8 digits, display 2 x 16, entry ends with OK"),
              std::string::npos)
        << out;

    // Into a pipe: no person is asked to type.
    const bed::RunResult piped = bed::Run({runner, suite.string()}, {});
    EXPECT_EQ(piped.status, 0) << piped.out;
    EXPECT_EQ(piped.out.find("type the PIN"), std::string::npos) << piped.out;
}

// The README's command: the shipped suite, reader script and card on a bed of their own.
TEST(ShippedPinPadSuite, PassesOnOurLibrary) {
    if (!bed::InSandbox())
        GTEST_SKIP() << "needs testbed/sandbox";
    const bed::RunResult r = bed::Run({bed::BuildPath("bin/quorvane-bed"), "--reader",
                                       "0=" + bed::SourcePath("testbed/readers/pinpad.reader"),
                                       "--card", "0=" + bed::SourcePath("testbed/cards/pin.card"),
                                       "--", bed::BuildPath("bin/quorvane-run"),
                                       bed::SourcePath("examples/conformance/pinpad.req")},
                                      {});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("PASSED: 13 tests, 13 passed, 0 failed"), std::string::npos) << r.out;
}

} // namespace
