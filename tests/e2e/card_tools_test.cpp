// quorvane-card and quorvane-bed as a user meets them: programs written elsewhere (pcsc-tools)
// on the simulated card through a pcscd configured as the system's, a suite recorded and then
// run against its replay, each fault a card script can play as quorvane-run sees it, and the
// bed as an ordinary user in a fresh clone.
#include "bed/pcscd.h"
#include "bed_run.h"
#include "pty_screen.h"

#include "temp_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct TempDir {
    fs::path path = temptree::Make("card_tools");
    TempDir() = default;
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() { temptree::Remove(path); }
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(path / name, std::ios::binary) << text;
        return (path / name).string();
    }
    std::string Read(const std::string& name) const {
        std::ostringstream text;
        text << std::ifstream(path / name, std::ios::binary).rdbuf();
        return text.str();
    }
};

bed::RunOptions In(const fs::path& dir) {
    bed::RunOptions options;
    options.workDir = dir.string();
    return options;
}

std::string Tool(const char* name) {
    return bed::BuildPath(std::string("bin/") + name);
}

// `command` in a bed with the card of `script` in slot 0.
bed::RunResult InBed(const std::string& script, std::vector<std::string> command,
                     const std::string& workDir = "") {
    std::vector<std::string> argv{Tool("quorvane-bed"), "--card", "0=" + script, "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    bed::RunOptions options;
    options.workDir = workDir;
    return bed::Run(argv, options);
}

// The command as a shell would show it, for a failure's message.
std::string CommandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& arg : argv)
        line += " " + arg;
    return line;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

#define NEEDS_SANDBOX()                                                                            \
    if (!bed::InSandbox())                                                                         \
    GTEST_SKIP() << "needs testbed/sandbox"

constexpr const char* kPeerCard = "atr 3B 8A 80 01 51 56 52 4E 50 45 45 52 2A\n"
                                  "apdu 00 20 00 01 * -> 63 C2 | 63 C1 | 69 83\n"
                                  "apdu 80 CA 00 00 02 -> counter 2, 90 00\n"
                                  "echo\n";

// pcscd started as the system starts it (its configuration in /etc/reader.conf.d, where
// Debian's vsmartcard-vpcd puts vpcd's), quorvane-card in its first reader, and pcsc-tools'
// pcsc_scan and scriptor as the clients.
TEST(CardTools, PeerClientsOnASystemLikePcscd) {
    NEEDS_SANDBOX();
    if (!fs::exists("/usr/bin/pcsc_scan") || !fs::exists("/usr/bin/scriptor"))
        GTEST_SKIP() << "needs pcsc-tools (scripts/install-deps test installs it)";
    if (!fs::exists("/etc/reader.conf.d/vpcd"))
        GTEST_SKIP() << "needs vsmartcard-vpcd's /etc/reader.conf.d/vpcd";
    const TempDir dir;
    const std::string card = dir.Write("peer.card", kPeerCard);
    const std::string script =
        "/usr/sbin/pcscd --foreground >pcscd.log 2>&1 & pcscd=$!\n"
        "'" +
        Tool("quorvane-card") + "' --slot 0 --verbose '" + card +
        "' >card.log & card=$!\n"
        "'" +
        Tool("bed-readers") +
        "' --wait-card 0 20000 || echo 'no card'\n"
        "pcsc_scan -c -n\n"
        "printf '00 20 00 01 08 31 32 33 34 FF FF FF FF\\n00 20 00 01 00\\n00 20 00 01 00\\n"
        "80 CA 00 00 02\\n80 CA 00 00 02\\n80 E2 00 00 04\\n' | scriptor -r 'Virtual PCD 00 00'\n"
        "kill $card; wait $card; kill $pcscd; wait $pcscd\n";
    const bed::RunResult r = bed::Run({"/bin/sh", "-c", script}, In(dir.path));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(Has(r.out, "no card")) << r.out << dir.Read("pcscd.log");
    EXPECT_TRUE(Has(r.out, "ATR: 3B 8A 80 01 51 56 52 4E 50 45 45 52 2A")) << r.out;
    for (const char* answer : {"< 63 C2", "< 63 C1", "< 69 83", "< 00 01 90 00", "< 00 02 90 00",
                               "< 00 01 02 03 90 00"}) {
        EXPECT_TRUE(Has(r.out, answer)) << answer << " in\n" << r.out;
    }
    // The card's own log of the same exchanges.
    EXPECT_TRUE(Has(dir.Read("card.log"), "> 80 E2 00 00 04\n< 00 01 02 03 90 00\n"))
        << dir.Read("card.log");
}

// Recorded once on the card (the demo card stands in for a real one), the suite passes on the
// replays made from the REQ record and from the trace; with one answer changed in the replay
// it fails at that test and no other.
TEST(CardTools, ARecordedSuiteReplaysAndAnInjectedFaultFailsAtItsTest) {
    NEEDS_SANDBOX();
    const TempDir dir;
    const std::string suite = bed::SourcePath("examples/demo-pass.req");
    const std::string runner = Tool("quorvane-run");
    const std::string record = (dir.path / "golden.req").string();
    const std::string trace = (dir.path / "golden.trace").string();
    const bed::RunResult recorded = InBed(bed::SourcePath("testbed/cards/demo.card"),
                                          {runner, "--record", record, "--trace", trace, suite});
    ASSERT_EQ(recorded.status, 0) << recorded.out;

    // The card's ATR, as the record and the trace keep it.
    const std::string atr = "3B 88 80 01 51 56 52 4E 44 45 4D 4F 11";
    for (const char* from : {"--from-req", "--from-trace"}) {
        const bed::RunResult made =
            bed::Run({"/bin/sh", "-c",
                      "'" + Tool("quorvane-card") + "' " + from + " '" +
                          (std::string(from) == "--from-req" ? record : trace) + "' > replay.card"},
                     In(dir.path));
        ASSERT_EQ(made.status, 0) << made.out;
        const std::string replay = dir.Read("replay.card");
        // The challenge's bytes were wildcards in the suite: random bytes in the replay.
        EXPECT_TRUE(Has(replay, "apdu 00 84 00 00 08 -> xx xx xx xx xx xx xx xx 90 00") ||
                    std::string(from) == "--from-trace")
            << replay;
        const bed::RunResult replayed = InBed((dir.path / "replay.card").string(), {runner, suite});
        EXPECT_EQ(replayed.status, 0) << from << "\n" << replay << replayed.out;
        EXPECT_TRUE(Has(replayed.out, "ATR " + atr)) << replayed.out;
        EXPECT_TRUE(Has(replayed.out, "PASSED: 5 tests, 5 passed, 0 failed")) << replayed.out;
    }

    // The fault: EF 2F00 (test 3) is missing on the replayed card.
    std::string faulty = dir.Read("replay.card");
    const std::string select = "apdu 00 A4 02 0C 02 2F 00 -> 90 00";
    ASSERT_TRUE(Has(faulty, select)) << faulty;
    faulty.replace(faulty.find(select), select.size(), "apdu 00 A4 02 0C 02 2F 00 -> 6A 82");
    const bed::RunResult failed = InBed(dir.Write("faulty.card", faulty), {runner, suite});
    EXPECT_EQ(failed.status, 1) << failed.out;
    EXPECT_TRUE(Has(failed.out, "FAIL     3  Select EF 2F00")) << failed.out;
    EXPECT_TRUE(Has(failed.out, "FAILED: 5 tests, 4 passed, 1 failed")) << failed.out;
}

// A replay takes the card's ATR from the file the run wrote (a --atr given wins, an old file
// without one gets the default) and, from a trace of several readers, the reader chosen, reader
// 1 by default, whichever reader wrote the first line.
TEST(CardTools, AReplayTakesTheCardsAtrAndOneReader) {
    const TempDir dir;
    const std::string select = " command > 00 A4 00 0C 02 3F 00 < ";
    const std::string stamp = "2026-01-02T03:04:05.000006Z reader ";
    const std::string reader2 = stamp + "2" + select + "6A 82 result 0 from 0 0.100 ms\n";
    const std::string reader1 = stamp + "1" + select + "90 00 result 0 from 0 0.100 ms\n";
    const std::string trace =
        dir.Write("new.trace", "# reader 1 ATR 3B 88 80 01 51 56 52 4E 44 45 4D 4F 11\n"
                               "# reader 2 ATR 3B 00\n" +
                                   reader2 + reader1);
    const std::string old = dir.Write("old.trace", reader2 + reader1);
    const std::string record =
        dir.Write("golden.req", "ATR 3B 88 80 01 51 56 52 4E 44 45 4D 4F 11\n# - Select MF\n"
                                "2,0 00 A4 00 0C 02 3F 00\n> 90 00\n\n");
    const std::string card = Tool("quorvane-card");
    const std::string recorded = "atr 3B 88 80 01 51 56 52 4E 44 45 4D 4F 11\n";
    const std::string byDefault = "atr 3B 02 14 50\n";
    const std::string answered = "apdu 00 A4 00 0C 02 3F 00 -> 90 00\n";
    const std::string refused = "apdu 00 A4 00 0C 02 3F 00 -> 6A 82\n";
    const struct {
        std::vector<std::string> argv;
        int status;
        std::vector<std::string> says;
    } cases[] = {
        {{card, "--from-trace", trace},
         0,
         {"quorvane-card: replaying reader 1 of " + trace + "\n", recorded, answered}},
        {{card, "--from-trace", trace, "--reader", "2"},
         0,
         {"replaying reader 2 of", "atr 3B 00\n", refused}},
        {{card, "--from-trace", trace, "--reader", "2", "--atr", "3B 02 14 50"},
         0,
         {byDefault, refused}},
        {{card, "--from-trace", old}, 0, {"replaying reader 1 of", byDefault, answered}},
        {{card, "--from-trace", trace, "--reader", "3"},
         2,
         {"quorvane-card: " + trace + " holds nothing of reader 3 (its readers: 1, 2)\n"}},
        {{card, "--from-req", record}, 0, {recorded, answered}},
        {{card, "--from-req", record, "--reader", "2"},
         2,
         {"--reader chooses a reader of --from-trace"}},
    };
    for (const auto& c : cases) {
        const bed::RunResult r = bed::Run(c.argv, {});
        const std::string line = CommandLine(c.argv);
        EXPECT_EQ(r.status, c.status) << line << "\n" << r.out;
        for (const std::string& text : c.says)
            EXPECT_TRUE(Has(r.out, text)) << line << ": no '" << text << "' in\n" << r.out;
        const std::string other = c.says.back() == answered ? refused : answered;
        EXPECT_FALSE(c.status == 0 && Has(r.out, other)) << line << "\n" << r.out;
    }
}

// A suite that uses quorvane-run's REQ extensions (captures, patterns, commands to the
// terminal): its record keeps them as written and is refused; its trace replays, and the
// extended suite passes on the replay (a trace holds no ATR: the demo card's is given, which the
// suite's tests of the ATR check).
TEST(CardTools, AnExtendedSuiteReplaysFromItsTrace) {
    NEEDS_SANDBOX();
    const TempDir dir;
    const std::string suite = bed::SourcePath("examples/demo-extensions.req");
    const std::string record = (dir.path / "golden.req").string();
    const std::string trace = (dir.path / "golden.trace").string();
    const bed::RunResult recorded =
        InBed(bed::SourcePath("testbed/cards/demo.card"),
              {Tool("quorvane-run"), "--record", record, "--trace", trace, suite});
    ASSERT_EQ(recorded.status, 0) << recorded.out;
    const bed::RunResult refused = bed::Run({Tool("quorvane-card"), "--from-req", record}, {});
    EXPECT_EQ(refused.status, 2) << refused.out;
    EXPECT_TRUE(Has(refused.out, "replay the --trace of the same run instead")) << refused.out;

    const bed::RunResult made =
        bed::Run({"/bin/sh", "-c",
                  "'" + Tool("quorvane-card") + "' --from-trace '" + trace +
                      "' --atr '3B 88 80 01 51 56 52 4E 44 45 4D 4F 11' > replay.card"},
                 In(dir.path));
    ASSERT_EQ(made.status, 0) << made.out;
    const bed::RunResult replayed =
        InBed((dir.path / "replay.card").string(), {Tool("quorvane-run"), suite});
    EXPECT_EQ(replayed.status, 0) << dir.Read("replay.card") << replayed.out;
}

// Each fault a card script plays, as quorvane-run reports it.
TEST(CardTools, EachFaultAsQuorvaneRunSeesIt) {
    NEEDS_SANDBOX();
    struct Case {
        const char* what;
        const char* card;
        std::string req;
        std::vector<std::string> options;
        int status;
        std::vector<std::string> seen;
        std::vector<std::string> notSeen;
        double leastMs = 0; // the time quorvane-run gives test 1, at least
    };
    const Case cases[] = {
        {"a card pulled after its second command",
         "pull after 2\ndefault 90 00\n",
         "# - one\n2,0 00 B0 00 00\n>90 00\n# - two\n2,0 00 B0 00 00\n>90 00\n"
         "# - three\n2,0 00 B0 00 00\n>90 00\n",
         {},
         1,
         {"PASS     1  one", "PASS     2  two"},
         {"PASS     3"}},
        {"a card pulled at a command, put back for the next run",
         "apdu 00 FF 00 00 -> pull\nputback after 100\ndefault 90 00\n",
         "# - one\n2,0 00 B0 00 00\n>90 00\n# - pulled\n2,0 00 FF 00 00\n>90 00\n",
         {},
         1,
         {"PASS     1  one"},
         {"PASS     2"}},
        {"a truncated answer",
         "apdu 00 B0 00 00 04 -> 01 02 03 04 90 00 truncate 3\n",
         "# - read\n2,0 00 B0 00 00 04\n>01 02 03 04 90 00\n",
         {},
         1,
         {"FAIL     1  read", "received  01 02 03"},
         {}},
        // PC/SC hands the one byte over; the CT-API library takes an answer without a status
        // word for a card gone silent.
        {"a one-byte answer",
         "apdu 00 B0 00 00 04 -> 90\n",
         "# - read\n2,0 00 B0 00 00 04\n>90 00\n",
         {},
         1,
         {"ERROR    1  read", "CT_data answered ERR_TRANS"},
         {}},
        {"a 61xx chain, joined with --get-response",
         "apdu 00 B0 00 00 00 -> 01 02 03 04 05 90 00 chain 2\n",
         "# - read\n2,0 00 B0 00 00 00\n>01 02 03 04 05 90 00\n",
         {"--get-response"},
         0,
         {"PASS     1  read"},
         {}},
        {"a 61xx chain, not followed",
         "apdu 00 B0 00 00 00 -> 01 02 03 04 05 90 00 chain 2\n",
         "# - read\n2,0 00 B0 00 00 00\n>01 02 03 04 05 90 00\n",
         {},
         1,
         {"received  61 02"},
         {}},
        {"6Cxx, the Le corrected with --get-response",
         "apdu 00 B0 00 00 xx -> 01 02 03 90 00 exact-le\n",
         "# - read\n2,0 00 B0 00 00 10\n>01 02 03 90 00\n",
         {"--get-response"},
         0,
         {"PASS     1  read"},
         {}},
        // The card's delay is the least the test can take: a lower bound, no speed asked.
        {"a delayed answer",
         "apdu 00 B0 * -> 90 00 delay 300\n",
         "# - slow\n2,0 00 B0 00 00\n>90 00\n",
         {},
         0,
         {"PASS     1  slow  "},
         {},
         300},
        {"a delayed answer over its time limit",
         "apdu 00 B0 * -> 90 00 delay 300\n",
         "@quorvane-run 1\n@time-limit 100 ms\n# - slow\n2,0 00 B0 00 00\n>90 00\n",
         {},
         1,
         {"FAIL     1  slow", "longer than its time limit of 100 ms"},
         {}},
        {"a PIN counting down and a counter",
         "apdu 00 20 00 01 * -> 63 C2 | 63 C1 | 69 83\napdu 80 CA 00 00 02 -> counter 2, 90 00\n",
         "2,0 0020000100\n>63C2\n2,0 0020000100\n>63C1\n2,0 0020000100\n>6983\n"
         "2,0 0020000100\n>6983\n2,0 80CA000002\n>00 01 90 00\n2,0 80CA000002\n>00 02 90 00\n",
         {},
         0,
         {"PASSED: 6 tests, 6 passed"},
         {}},
        {"the echo set",
         "echo\n",
         "2,0 80 E2 00 00 10\n>000102030405060708090A0B0C0D0E0F 9000\n"
         "2,0 80 E5 00 00 02 AA BB\n>00 07 90 00\n",
         {},
         0,
         {"PASSED: 2 tests, 2 passed"},
         {}},
    };
    for (const Case& c : cases) {
        const TempDir dir;
        std::vector<std::string> command{Tool("quorvane-run")};
        command.insert(command.end(), c.options.begin(), c.options.end());
        command.push_back(dir.Write("suite.req", c.req));
        const bed::RunResult r = InBed(dir.Write("fault.card", c.card), command);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out;
        for (const std::string& text : c.seen)
            EXPECT_TRUE(Has(r.out, text)) << c.what << ": no '" << text << "' in\n" << r.out;
        for (const std::string& text : c.notSeen)
            EXPECT_FALSE(Has(r.out, text)) << c.what << ": '" << text << "' in\n" << r.out;
        if (c.leastMs > 0) {
            const auto at = r.out.find(c.seen.front());
            ASSERT_NE(at, std::string::npos) << r.out;
            EXPECT_GE(std::stod(r.out.substr(at + c.seen.front().size())), c.leastMs) << r.out;
        }
    }
}

// The command's status comes back; a script error names its file and line before anything
// starts; two cards in two readers.
TEST(CardTools, BedStatusErrorsAndTwoCards) {
    NEEDS_SANDBOX();
    const TempDir dir;
    const std::string a = dir.Write("a.card", "atr 3B 01 0A\n");
    const std::string b = dir.Write("b.card", "atr 3B 01 0B\n");
    EXPECT_EQ(InBed(a, {"/bin/sh", "-c", "exit 7"}).status, 7);
    EXPECT_EQ(InBed(a, {"/bin/sh", "-c", "kill -TERM $$"}).status, 128 + 15);
    const bed::RunResult bad = InBed(dir.Write("bad.card", "atr 3B\napdu 00 -> 9\n"), {"true"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(Has(bad.out, "bad.card:2: odd number of hex digits")) << bad.out;
    const bed::RunResult usage =
        bed::Run({Tool("quorvane-bed"), "--card", "64=" + a, "--", "true"}, {});
    EXPECT_EQ(usage.status, 2) << usage.out;

    const bed::RunResult two = bed::Run({Tool("quorvane-bed"), "--card", "0=" + a, "--card",
                                         "3=" + b, "--", Tool("quorvane-run"), "--all-readers",
                                         dir.Write("none.req", "2,0 00 B0 00 00\n")},
                                        {});
    EXPECT_TRUE(Has(two.out, "'Virtual PCD 00 00', ATR 3B 01 0A")) << two.out;
    EXPECT_TRUE(Has(two.out, "'Virtual PCD 1 00 01', ATR 3B 01 0B")) << two.out;
}

// Debian's Python, which finds Debian's pyscard (a python3 earlier on PATH may not).
const char* const kDebianPython = "/usr/bin/python3";

// The readers PC/SC lists, then a PIN verify on the first, as a PC/SC application sends it to a
// PIN pad (an ASCII PIN of 4 to 8 digits in an 8-byte block), then the third one's ATR.
const char* const kVerifyOnFirstReader = R"(
import struct
from smartcard.System import readers
from smartcard.util import toHexString
from smartcard.pcsc.PCSCPart10 import getFeatureRequest, hasFeature, FEATURE_VERIFY_PIN_DIRECT
for reader in readers():
    print(reader)
connection = readers()[0].createConnection()
connection.connect()
command = [0x00, 0x20, 0x00, 0x01, 0x08] + [0xFF] * 8
structure = bytes([0, 0, 0x82, 0x08, 0x00]) + struct.pack("<HBBHB", 0x0408, 0x02, 1, 0x0409, 0)
structure += bytes(3) + struct.pack("<I", len(command)) + bytes(command)
verify = hasFeature(getFeatureRequest(connection), FEATURE_VERIFY_PIN_DIRECT)
print(toHexString(connection.control(verify, list(structure))))
third = readers()[2].createConnection()
third.connect()
print(toHexString(third.getATR()))
)";

// A slot of the bed given to the shipped PIN-pad reader: it is listed before vpcd's pair, its
// card gets the PIN its script's first entry types, and the pair's second slot keeps its card.
TEST(CardTools, BedPinPadReaderTypesTheShippedScriptsFirstPin) {
    NEEDS_SANDBOX();
    const TempDir dir;
    const std::string pin = dir.Write("pin.card", "atr 3B 01 0C\n"
                                                  "apdu 00 20 00 01 08 31 32 33 34 FF FF FF FF "
                                                  "-> 90 00\n"
                                                  "default 63 C2\n");
    const std::string plain = dir.Write("plain.card", "atr 3B 01 0D\n");
    const bed::RunResult r = bed::Run({Tool("quorvane-bed"), "--reader",
                                       "0=" + bed::SourcePath("testbed/readers/pinpad.reader"),
                                       "--card", "0=" + pin, "--card", "1=" + plain, "--verbose",
                                       "--", kDebianPython, "-c", kVerifyOnFirstReader},
                                      {});
    EXPECT_EQ(r.status, 0) << r.out;
    // The cards' lines on standard error come between the command's.
    EXPECT_TRUE(Has(r.out, "Quorvane PIN Pad 00 00\nVirtual PCD 00 00\nVirtual PCD 00 01\n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "\n90 00\n3B 01 0D\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "card 0 > 00 20 00 01 08 31 32 33 34 FF FF FF FF\n")) << r.out;
}

// --check says where a script's ATR is not well formed, with the status of a sound script: the
// card plays it all the same, for a terminal must cope with such a card.
TEST(CardTools, CheckWarnsOfAnAtrNotWellFormedThatTheCardPlays) {
    NEEDS_SANDBOX();
    const TempDir dir;
    const std::string good = dir.Write("good.card", "atr 3B 80 01 81\n");
    const std::string bad = dir.Write("bad.card", "# T=1 without its check byte\natr 3B 80 01\n");
    const bed::RunResult quiet = bed::Run({Tool("quorvane-card"), "--check", good}, {});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, good + ": 0 rules, ATR 3B 80 01 81\n");
    const bed::RunResult warned = bed::Run({Tool("quorvane-card"), "--check", bad}, {});
    EXPECT_EQ(warned.status, 0);
    EXPECT_EQ(warned.out, bad + ": 0 rules, ATR 3B 80 01\nquorvane-card: " + bad +
                              ":2: the ATR is not well formed: TCK missing at byte 4: a protocol "
                              "other than T=0 is indicated, so a check byte ends the ATR\n");
    const bed::RunResult played =
        InBed(bad, {Tool("quorvane-run"), dir.Write("none.req", "2,0 00 B0 00 00\n")});
    EXPECT_TRUE(Has(played.out, "'Virtual PCD 00 00', ATR 3B 80 01\n")) << played.out;
}

// The command lines of quorvane-bed and quorvane-card: help, each refused value, an unknown
// option, and the bed leaving a command's own options to the command.
TEST(CardTools, CommandLinesOfTheTools) {
    NEEDS_SANDBOX();
    const TempDir dir;
    const std::string card = dir.Write("a.card", "atr 3B 01 0A\napdu 00 B0 00 00 -> 90 00\n");
    const std::string reader = dir.Write("a.reader", "entry 1234 ok\n");
    const std::string badReader = dir.Write("bad.reader", "lcd 2 16\nkeys 1234\n");
    const std::string bed = Tool("quorvane-bed");
    const std::string sim = Tool("quorvane-card");
    const struct {
        std::vector<std::string> argv;
        int status;
        std::string seen;
    } cases[] = {
        {{bed, "--help"}, 0, "usage: quorvane-bed [--card SLOT=SCRIPT]"},
        {{bed, "-x", "--", "true"}, 2, "quorvane-bed: unknown option\nusage: quorvane-bed"},
        {{bed, "--readers", "65", "--", "true"}, 2, "quorvane-bed: --readers takes 0 to 64"},
        {{bed, "--readers", "2x", "--", "true"}, 2, "quorvane-bed: --readers takes 0 to 64"},
        {{bed, "--card", "3", "--", "true"}, 2, "--card takes SLOT=SCRIPT, SLOT 0 to 63, not '3'"},
        {{bed, "--readers", "16", "--card", "16=" + card, "--", "true"},
         2,
         "slot 16 needs more than 16 readers"},
        {{bed, "--card", "1=" + card, "-c", "1=" + card, "--", "true"}, 2, "two cards for slot 1"},
        {{bed, "--readers", "0"}, 2, "quorvane-bed: no command given"},
        {{bed, "--reader", "0", "--", "true"},
         2,
         "--reader takes SLOT=SCRIPT, SLOT 0 to 15, not '0'"},
        {{bed, "-p", "2=" + reader, "--reader", "2=" + reader, "--", "true"},
         2,
         "two PIN pads for slot 2"},
        {{bed, "-r", "0", "--reader", "0=" + reader, "--", "true"},
         2,
         "--readers 0 holds no card and no PIN pad"},
        {{bed, "--reader", "0=" + badReader, "--", "true"},
         2,
         "quorvane-bed: " + badReader + ": line 2: unknown directive 'keys'\n"},
        {{bed, "--reader", "0=" + dir.Write("a:b.reader", ""), "--", "true"},
         2,
         "a reader script's path holds no ':', blanks or quotes"},
        {{bed, "-r", "0", "/bin/echo", "-v", "--card"}, 0, "-v --card\n"},
        {{sim, "-h"}, 0, "usage: quorvane-card [--slot N | --port PORT]"},
        {{sim, "--slot", "64", card}, 2, "quorvane-card: --slot takes 0 to 63\nusage:"},
        {{sim, "--port", "0", card}, 2, "quorvane-card: --port takes 1 to 65535"},
        {{sim, card, "--bogus"}, 2, "usage: quorvane-card"},
        {{sim, "--slot"}, 2, "usage: quorvane-card"},
        {{sim, card, "--check", card}, 2, "give one script, or one of --from-req"},
        {{sim, "--check", card}, 0, "a.card: 1 rules, ATR 3B 01 0A\n"},
    };
    for (const auto& c : cases) {
        const bed::RunResult r = bed::Run(c.argv, {});
        const std::string line = CommandLine(c.argv);
        EXPECT_EQ(r.status, c.status) << line << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, c.seen)) << line << ": no '" << c.seen << "' in\n" << r.out;
    }
}

// Card scripts that no card can play are refused before anything starts, by --check and by the
// bed alike, naming the file and, for a fault in it, the line: what is no regular file (it may
// never end, or hold nothing), a file past 16 MiB, and answers and ATRs longer than vpcd and the
// CT-API carry. The longest answer that fits is played.
TEST(CardTools, ScriptsNoCardCanPlayAreRefused) {
    NEEDS_SANDBOX();
    const TempDir dir;
    const auto hexBytes = [](std::size_t n) {
        std::string text;
        for (std::size_t k = 0; k < n; ++k)
            text += "5A";
        return text;
    };
    const std::string fifo = (dir.path / "no-writer.card").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = dir.Write("huge.card", "# a card\n");
    fs::resize_file(huge, 16 * 1024 * 1024 + 1);
    const struct {
        std::string script;
        std::string seen; // empty: played
    } cases[] = {
        {"/dev/zero", "cannot read card script /dev/zero: not a regular file"},
        {dir.path.string(), "cannot read card script " + dir.path.string() + ": a folder"},
        {fifo, "cannot read card script " + fifo + ": not a regular file"},
        {huge, "cannot read card script " + huge + ": larger than 16 MiB"},
        {dir.Write("long.card", "atr 3B 00\napdu 00 B0 -> " + hexBytes(65534) + " 90 00\n"),
         "long.card:2: an answer of 65536 bytes; a card answers at most 65535"},
        {dir.Write("random.card", "apdu 00 84 -> random 4294967296, 90 00\n"),
         "random.card:1: random 4294967296 is out of range 0 to 65535"},
        {dir.Write("random2.card", "apdu 00 84 -> random 65534, 90 00\n"),
         "random2.card:1: an answer of 65536 bytes"},
        {dir.Write("default.card", "\ndefault " + hexBytes(65536) + "\n"),
         "default.card:2: an answer of 65536 bytes"},
        {dir.Write("atr.card", "atr 3B " + hexBytes(33) + "\n"),
         "atr.card:1: an ATR of 34 bytes; an ATR has at most 33"},
        {dir.Write("delay.card", "apdu 00 B0 -> 90 00 delay 9223372036854775808\n"),
         "delay.card:1: delay 9223372036854775808 is out of range 0 to 86400000"},
        {dir.Write("fits.card", "apdu 00 B0 -> " + hexBytes(65533) + " 90 00\n"), ""},
    };
    bed::RunOptions patience;
    patience.timeout = 20s;
    for (const auto& c : cases) {
        const bed::RunResult checked =
            bed::Run({Tool("quorvane-card"), "--check", c.script}, patience);
        const bed::RunResult played = bed::Run(
            {Tool("quorvane-bed"), "--card", "0=" + c.script, "--", "echo", "played"}, patience);
        for (const bed::RunResult* r : {&checked, &played}) {
            const std::string what = (r == &checked ? "--check " : "bed ") + c.script;
            if (c.seen.empty()) {
                EXPECT_EQ(r->status, 0) << what << "\n" << r->out;
                continue;
            }
            EXPECT_EQ(r->status, 2) << what << "\n" << r->out;
            EXPECT_TRUE(Has(r->out, c.seen)) << what << ": no '" << c.seen << "' in\n" << r->out;
            EXPECT_FALSE(Has(r->out, "played")) << what;
        }
    }
}

// The bed ends what it started and starts whenever asked; its slots reach past one pcscd. Each
// row a shell script in a folder of its own, with BED, CARD, RUN and READERS the programs and
// a.card, b.card two cards; what it prints is checked.
TEST(CardTools, TheBedEndsWhatItStartedAndStartsWhenever) {
    NEEDS_SANDBOX();
    const struct {
        const char* what;
        const char* script;
        std::vector<std::string> seen;
    } cases[] = {
        // A connection's own end takes a port from this range; one closed first holds it for a
        // minute, and vpcd could not listen there.
        {"no connection takes a vpcd port as its own end",
         "range=/proc/sys/net/ipv4/ip_local_port_range; old=$(cat $range)\n"
         "echo '35965 35966' > $range\n"
         "$BED --card 0=a.card -- true >/dev/null 2>&1\n"
         "$BED --readers 16 -- echo started\n"
         "echo \"$old\" > $range\n",
         {"started"}},
        // Programs that read /proc/self or /proc/PID (a sanitizer's runtime, ps) see their own
        // processes.
        {"the command sees its own processes in /proc",
         "$BED --readers 0 -- sh -c 'read pid rest < /proc/self/stat; echo \"self $pid, shell "
         "$$\"'\n",
         {"self 2, shell 2\n"}},
        {"a process the command left running ends with the bed",
         "$BED --readers 0 -- sh -c 'flock lock sleep 600 >/dev/null 2>&1 & echo started'\n"
         "flock -n lock echo free\n",
         {"started\nfree\n"}},
        {"kill -INT of the bed ends the command, its status the command's",
         "mkfifo up; $BED --readers 0 -- sh -c 'echo > up; exec sleep 600' & bed=$!\n"
         "read x < up; kill -INT $bed; wait $bed; echo \"status $?\"\n",
         {"status 130"}},
        {"kill -TERM of the bed ends the command and what it started",
         "mkfifo up; $BED --readers 0 -- sh -c 'flock lock sleep 600 >/dev/null 2>&1 & echo > up; "
         "wait' & bed=$!\n"
         "read x < up; kill -TERM $bed; wait $bed; echo \"status $?\"; flock -n lock echo free\n",
         {"status 143", "free"}},
        {"a second stop signal kills a command that ignores the first",
         "mkfifo up; $BED --readers 0 -- sh -c 'trap \"\" TERM; echo > up; sleep 600' & bed=$!\n"
         "read x < up; kill -TERM $bed; kill -TERM $bed; wait $bed; echo \"status $?\"\n",
         {"status 137"}},
        {"a second card for a slot that holds one is refused",
         "$BED --card 0=a.card -- $CARD --slot 0 b.card; echo \"status $?\"\n",
         {"reader 'Virtual PCD 00 00' already holds a card: take that card out first", "status 1"}},
        {"quorvane-run leaves no lock file behind, one bed after another",
         "mkdir run; export XDG_RUNTIME_DIR=$PWD/run; echo '2,0 00 A4 00 00' > t.req\n"
         "$BED --card 0=a.card -- $RUN t.req >/dev/null; $BED --card 0=a.card -- $RUN t.req\n"
         "echo \"lock files: $(ls run | wc -l)\"\n",
         {"lock files: 0"}},
        {"a bed inside a bed names the vpcd port in use",
         "$BED --readers 2 -- $BED --readers 2 -- true; echo \"status $?\"\n",
         {"TCP port 35963 of vpcd's slot 0 stayed in use for 10 s", "status 1"}},
        {"32 readers over two pcscds, each slot reached",
         "$BED --readers 32 --card 0=a.card --card 31=b.card -- sh -c '\n"
         "  echo \"sockets $QUORVANE_PCSC_SOCKETS\"\n"
         "  $READERS --wait-card 31 && echo slot 31 holds its card\n"
         "  $CARD --slot 20 a.card & card=$!; $READERS --wait-card 20 && echo slot 20 too\n"
         "  kill $card; wait $card\n"
         "  echo \"service 2: $(PCSCLITE_CSOCK_NAME=${QUORVANE_PCSC_SOCKETS#*:} $READERS) "
         "readers\"'\n",
         {"sockets /run/pcscd/pcscd.comm:/run/pcscd/service-1/pcscd.comm\n",
          "slot 31 holds its card", "slot 20 too", "service 2: 16 readers"}},
        {"a slot past the bed's readers is refused by quorvane-card",
         "$BED --readers 4 -- $CARD --slot 20 a.card; echo \"status $?\"\n",
         {"no PC/SC service holds slot 20 (QUORVANE_PCSC_SOCKETS lists 16 slots)", "status 2"}},
    };
    for (const auto& c : cases) {
        const TempDir dir;
        dir.Write("a.card", "atr 3B 01 0A\n");
        dir.Write("b.card", "atr 3B 01 0B\n");
        bed::RunOptions options = In(dir.path);
        options.timeout = 40s;
        const std::string script = "export BED='" + Tool("quorvane-bed") + "' CARD='" +
                                   Tool("quorvane-card") + "' RUN='" + Tool("quorvane-run") +
                                   "' READERS='" + Tool("bed-readers") + "'\n" + c.script;
        const bed::RunResult r = bed::Run({"/bin/sh", "-c", script}, options);
        for (const std::string& text : c.seen)
            EXPECT_TRUE(Has(r.out, text)) << c.what << ": no '" << text << "' in\n" << r.out;
    }
}

// Ctrl-C at the terminal reaches the command once, and neither the bed nor its pcscd: the card
// is still there for the command after it.
TEST(CardTools, CtrlCAtTheTerminalIsTheCommandsAlone) {
    NEEDS_SANDBOX();
    const TempDir dir;
    const std::string script = "trap 'echo got INT' INT; echo ready; read line; read line; '" +
                               Tool("bed-readers") +
                               "' --wait-card 0 5000 && echo the card is still there";
    ptyscreen::Options options;
    options.workDir = dir.path.string();
    ptyscreen::Screen bed({Tool("quorvane-bed"), "--card",
                           "0=" + dir.Write("a.card", "atr 3B 00\n"), "--", "/bin/sh", "-c",
                           script},
                          options);
    ASSERT_TRUE(bed.WaitForOutput("ready\n")) << bed.Output();
    bed.Type("\x03");
    ASSERT_TRUE(bed.WaitForOutput("got INT\n")) << bed.Output();
    bed.Type("\n\n");
    EXPECT_EQ(bed.Wait(20s), 0) << bed.Output();
    EXPECT_TRUE(Has(bed.Output(), "the card is still there")) << bed.Output();
    const std::string out = bed.Output();
    EXPECT_EQ(out.find("got INT"), out.rfind("got INT")) << "one Ctrl-C, one signal:\n" << out;
}

// Where no namespace can be made (here an unshare that always refuses), the command does not
// run, and the bed says why and how to go on.
TEST(CardTools, BedRefusedItsNamespacesSaysHowToGoOn) {
    NEEDS_SANDBOX();
    const TempDir dir;
    const std::string unshare = dir.Write("unshare", "#!/bin/sh\nexit 1\n");
    fs::permissions(unshare, fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    const bed::RunResult r =
        bed::Run({"/usr/bin/env", "-u", "QUORVANE_SANDBOX",
                  "PATH=" + dir.path.string() + ":" + (path != nullptr ? path : "/usr/bin:/bin"),
                  Tool("quorvane-bed"), "--readers", "0", "--", "/bin/echo", "ran"},
                 {});
    EXPECT_EQ(r.status, 77) << r.out;
    EXPECT_FALSE(Has(r.out, "ran")) << r.out;
    EXPECT_TRUE(Has(r.out, "cannot create a private mount and network namespace")) << r.out;
    EXPECT_TRUE(Has(r.out, "To go on: run it as root")) << r.out;
}

// Where this process can start a program as another user: the bed as an ordinary user, in a
// fresh clone of the sources, built there. As an ordinary user already, the bed runs as this one.
TEST(CardTools, BedAsAnOrdinaryUserInAFreshClone) {
    NEEDS_SANDBOX();
    if (!fs::exists(bed::SourcePath(".git")))
        GTEST_SKIP() << "the sources are no git checkout: nothing to clone";
    std::vector<std::string> asUser;
    if (geteuid() == 0) {
        asUser = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        const bed::RunResult probe = bed::Run(
            [&] {
                auto argv = asUser;
                argv.push_back("/bin/true");
                return argv;
            }(),
            {});
        if (probe.status != 0)
            GTEST_SKIP() << "cannot start a program as uid 65534 here: " << probe.out;
    }
    const TempDir dir;
    fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    const std::string clone = (dir.path / "clone").string();
    bed::RunOptions build;
    build.timeout = 580s;
    const bed::RunResult built = bed::Run(
        {"/bin/sh", "-c",
         "git clone -q '" + bed::SourcePath("") + "' '" + clone + "' && cmake -S '" + clone +
             "' -B '" + clone + "/build' -DQUORVANE_TESTS=OFF >/dev/null && cmake --build '" +
             clone + "/build' --target quorvane-bed bed-readers -j2 >/dev/null"},
        build);
    ASSERT_EQ(built.status, 0) << built.out;
    // Out of this test's own sandbox: the bed must make its namespaces itself.
    std::vector<std::string> argv{"/usr/bin/env", "-u", "QUORVANE_SANDBOX"};
    argv.insert(argv.end(), asUser.begin(), asUser.end());
    for (const std::string& word :
         {clone + "/build/bin/quorvane-bed", std::string("--card"),
          "0=" + clone + "/testbed/cards/demo.card", std::string("--"), std::string("/bin/sh"),
          std::string("-c"),
          "id -u; '" + clone + "/build/bin/bed-readers' --wait-card 0 10000 && echo card"})
        argv.push_back(word);
    const bed::RunResult r = bed::Run(argv, {});
    if (r.status == 77 && Has(r.out, "cannot create a private mount and network namespace"))
        GTEST_SKIP() << "no user namespaces for an ordinary user here: " << r.out;
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "card\n")) << r.out;
}

} // namespace
