// quorvane-atr as a tester and a script meet it: the whole output for ATRs given as arguments
// and on standard input, in text and JSON, and the exit status for well formed ATRs, faulty ones
// and text that is no ATR.
#include "bed_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string input;  // standard input (used when no ATR is given as an argument)
    std::string output; // standard output and standard error, as written
    int status;
};

const std::string kTwoBytes = "ATR 3B 00\n"
                              "  byte 1   TS  3B  direct convention\n"
                              "  byte 2   T0  00  Y1 = 0000: no interface bytes follow; K = 0 "
                              "historical bytes\n"
                              "  protocols: T=0 (by default: no TD names one)\n"
                              "  verdict: well formed\n";

const std::string kTckMissing =
    "ATR 3B 80 01\n"
    "  byte 1   TS   3B  direct convention\n"
    "  byte 2   T0   80  Y1 = 1000: TD1 follows; K = 0 historical bytes\n"
    "  byte 3   TD1  01  protocol T=1 (blocks); Y2 = 0000: no interface bytes follow\n"
    "  protocols: T=1\n"
    "  verdict: TCK missing at byte 4: a protocol other than T=0 is indicated, so a check byte "
    "ends the ATR\n";

const std::string kTruncated = "ATR 3B 10\n"
                               "  byte 1   TS  3B  direct convention\n"
                               "  byte 2   T0  10  Y1 = 0001: TA1 follows; K = 0 historical bytes\n"
                               "  protocols: T=0 (by default: no TD names one)\n"
                               "  verdict: truncated at byte 3: TA1 expected, 2 bytes received\n";

const std::string kT1Card =
    "ATR 3B F8 13 00 00 81 31 FE 45 51 56 54 45 53 54 30 31 F0\n"
    "  byte 1   TS          3B  direct convention\n"
    "  byte 2   T0          F8  Y1 = 1111: TA1 TB1 TC1 TD1 follow; K = 8 historical bytes\n"
    "  byte 3   TA1         13  Fi = 372, f max = 5 MHz; Di = 4\n"
    "  byte 4   TB1         00  no programming voltage (VPP not connected)\n"
    "  byte 5   TC1         00  N = 0: no extra guard time\n"
    "  byte 6   TD1         81  protocol T=1 (blocks); Y2 = 1000: TD2 follows\n"
    "  byte 7   TD2         31  protocol T=1 (blocks); Y3 = 0011: TA3 TB3 follow\n"
    "  byte 8   TA3         FE  T=1 IFSC = 254 bytes\n"
    "  byte 9   TB3         45  T=1 BWI = 4 (BWT = 11 etu + 15360 x 372 / f), CWI = 5 (CWT = 43 "
    "etu)\n"
    "  byte 10  historical  51 56 54 45 53 54 30 31  proprietary (category 51) \"QVTEST01\"\n"
    "  byte 18  TCK         F0  check byte, correct\n"
    "  protocols: T=1\n"
    "  verdict: well formed\n";

const std::string kJson =
    R"({"atr":"3B 00","well_formed":true,"fault":null,"protocols":[0],"protocol_by_default":true,)"
    R"("fields":[{"byte":1,"name":"TS","value":"3B","meaning":"direct convention"},)"
    R"({"byte":2,"name":"T0","value":"00","meaning":"Y1 = 0000: no interface bytes follow; K = 0 )"
    R"(historical bytes"}]})"
    "\n"
    R"({"atr":"3B 80 01","well_formed":false,"fault":{"kind":"tck-missing","byte":4,"text":"TCK )"
    R"(missing at byte 4: a protocol other than T=0 is indicated, so a check byte ends the ATR"},)"
    R"("protocols":[1],"protocol_by_default":false,"fields":[{"byte":1,"name":"TS","value":"3B",)"
    R"("meaning":"direct convention"},{"byte":2,"name":"T0","value":"80","meaning":"Y1 = 1000: )"
    R"(TD1 follows; K = 0 historical bytes"},{"byte":3,"name":"TD1","value":"01","meaning":)"
    R"("protocol T=1 (blocks); Y2 = 0000: no interface bytes follow"}]})"
    "\n";

TEST(AtrCommand, WholeOutputAndStatus) {
    const std::string hugeLine(5000, 'A');
    const Case cases[] = {
        {"a T=1 card, well formed",
         {"3B F8 13 00 00 81 31 FE 45 51 56 54 45 53 54 30 31 F0"},
         "",
         kT1Card,
         0},
        {"with blanks", {"3B 80 01"}, "", kTckMissing, 1},
        {"without blanks", {"3B8001"}, "", kTckMissing, 1},
        {"two arguments, one faulty", {"3b00", "3B 10"}, "", kTwoBytes + "\n" + kTruncated, 1},
        {"JSON, a line each", {"--json", "3B00", "3B 80 01"}, "", kJson, 1},
        {"standard input, blank lines and CR LF",
         {},
         "3B 00\r\n\n \t \n3B00\n",
         kTwoBytes + "\n" + kTwoBytes,
         0},
        {"standard input without a last line end", {}, "3B 80 01", kTckMissing, 1},
        {"a line that is no hex is said and skipped",
         {},
         "3B 00\nzz\n3B 10\n",
         kTwoBytes + "quorvane-atr: line 2: no ATR in hex: not a hex byte: 'zz'\n\n" + kTruncated,
         2},
        {"a huge line is refused whole",
         {},
         hugeLine + "\n3B 00\n",
         "quorvane-atr: line 1: longer than 1024 characters: no ATR\n" + kTwoBytes,
         2},
        {"an argument that is no hex prints nothing else",
         {"3B 00", "3B0"},
         "",
         "quorvane-atr: argument 2: no ATR in hex: odd number of hex digits in '3B0'\n",
         2},
        {"no wildcard digits",
         {"3B x0"},
         "",
         "quorvane-atr: argument 1: no ATR in hex: not a hex byte: 'x0'\n",
         2},
        {"an empty argument", {""}, "", "quorvane-atr: argument 1: no ATR in hex: no bytes\n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv{bed::BuildPath("bin/quorvane-atr")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        bed::RunOptions options;
        options.input = c.input;
        const bed::RunResult r = bed::Run(argv, options);
        EXPECT_EQ(r.out, c.output);
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(AtrCommand, UsageAndHelp) {
    const bed::RunResult unknown = bed::Run({bed::BuildPath("bin/quorvane-atr"), "--bogus"}, {});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.out.find("Usage: quorvane-atr [--json] [HEX...]"), std::string::npos);
    const bed::RunResult help = bed::Run({bed::BuildPath("bin/quorvane-atr"), "--help"}, {});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: quorvane-atr", 0), 0u) << help.out;
}

} // namespace
