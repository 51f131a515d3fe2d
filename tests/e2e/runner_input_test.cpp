// What quorvane-run reads, end to end on the test bed: files a hostile lab might hand it (an
// include fan-out, byte runs by the thousand, named pipes), which must cost no more than their text
// and never wait for ever; and quorvane-card's replay of a recorded file says where its bytes are
// made up.
#include "temp_tree.h"
#include "text_files.h"

#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using textfile::Count;

const char* const kCard = "atr 3B 02 14 50\n"
                          "apdu 00 A4 00 0C 02 3F 00 -> 90 00\n"
                          "apdu 00 20 00 01 * -> 63 C3\n"
                          "apdu 00 A4 04 00 * -> 6A 82\n"
                          "echo\n";

// A file's name and text; the text kFifo makes it a named pipe that no one writes.
using Files = std::vector<std::pair<std::string, std::string>>;
const std::string kFifo = "(a named pipe)";

std::string Repeated(const std::string& text, std::size_t times) {
    std::string all;
    all.reserve(text.size() * times);
    for (std::size_t k = 0; k < times; ++k)
        all += text;
    return all;
}

// Ten files, each including the one below it ten times, `leaf` at the bottom: l9.req stands for
// 10^9 copies of the leaf in 1.6 KB of files.
Files FanOut(const std::string& leaf) {
    Files files{{"l0.req", leaf}};
    for (int level = 1; level <= 9; ++level) {
        const std::string below = "@include l" + std::to_string(level - 1) + ".req\n";
        files.emplace_back("l" + std::to_string(level) + ".req",
                           "@quorvane-run 1\n" + Repeated(below, 10));
    }
    return files;
}

// One test whose expected response has 4000 alternatives of 65535 bytes each (52 KB of text),
// the last of them the card's answer.
std::string ByteRunTest(int number) {
    return "# - Runs " + std::to_string(number) + "\n2,0 00 A4 00 0C 02 3F 00\n> " +
           Repeated("{65535*xx} | ", 3999) + "90 00\n";
}

class RunnerInput : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bed::InSandbox())
            GTEST_SKIP() << "needs testbed/sandbox";
        dir_ = temptree::Make("runner-input");
        pcscd_ = std::make_unique<bed::Pcscd>();
        card_ = std::make_unique<bed::SimCard>(bed::ParseCardScript(kCard), 0);
        card_->Insert();
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    }
    void TearDown() override {
        card_.reset();
        pcscd_.reset();
        temptree::Remove(dir_);
    }

    void Write(const Files& files) const {
        for (const auto& [name, text] : files) {
            fs::remove(dir_ / name);
            if (text == kFifo)
                ASSERT_EQ(mkfifo((dir_ / name).c_str(), 0600), 0) << name;
            else
                textfile::Write(dir_ / name, text);
        }
    }

    // quorvane-run in the test's folder. With `bounded` its address space is held to 512 MiB,
    // so that a file that costs more than its text fails the test instead of the machine
    // (AddressSanitizer reserves far more than that for itself).
    bed::RunResult Run(const std::vector<std::string>& args,
                       [[maybe_unused]] bool bounded = false) const {
        std::vector<std::string> argv{bed::BuildPath("bin/quorvane-run")};
#ifndef __SANITIZE_ADDRESS__
        if (bounded)
            argv.insert(argv.begin(), {"/bin/sh", "-c", "ulimit -v 524288 && exec \"$@\"", "sh"});
#endif
        argv.insert(argv.end(), args.begin(), args.end());
        bed::RunOptions options;
        options.workDir = dir_.string();
        return bed::Run(argv, options);
    }

    fs::path dir_;
    std::unique_ptr<bed::Pcscd> pcscd_;
    std::unique_ptr<bed::SimCard> card_;
};

TEST_F(RunnerInput, WhatAFileCostsFollowsItsTextAndNothingWaitsForEver) {
    const std::string select = "# - Select MF\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n";
    struct Case {
        const char* what;
        Files files;
        std::vector<std::string> args;
        int status;
        std::vector<std::string> says;
    };
    Case cases[] = {
        {"an include fan-out of 10^9 tests",
         FanOut(select),
         {"l9.req"},
         2,
         {"quorvane-run: l", "l9.req and what it includes pass 64 MiB of REQ text"}},
        {"an include fan-out of files without tests",
         FanOut("# nothing here\n"),
         {"l9.req"},
         2,
         {"quorvane-run: l", "l9.req and what it includes pass 64 MiB of REQ text"}},
        {"4000 byte runs in one expected response",
         {{"runs.req", "@quorvane-run 1\n" + ByteRunTest(1)}},
         {"runs.req"},
         0,
         {"PASSED: 1 tests, 1 passed"}},
        {"1 MB of such tests",
         {{"runs.req", "@quorvane-run 1\n"}},
         {"-q", "runs.req"},
         0,
         {"PASSED: 20 tests, 20 passed"}},
        {"a named pipe as the REQ file",
         {{"fifo", kFifo}},
         {"fifo"},
         2,
         {"quorvane-run: cannot read fifo: a pipe other than standard input"}},
        {"a named pipe as an include",
         {{"fifo", kFifo}, {"inc.req", "@quorvane-run 1\n@include fifo\n"}},
         {"inc.req"},
         2,
         {"quorvane-run: inc.req:2: cannot include fifo: a pipe other than standard input"}},
        {"a named pipe as the baseline",
         {{"fifo", kFifo}, {"select.req", select}},
         {"--baseline", "fifo", "select.req"},
         2,
         {"quorvane-run: cannot read the baseline fifo: a pipe other than standard input"}},
    };
    for (int k = 1; k <= 20; ++k)
        cases[3].files[0].second += ByteRunTest(k);
    for (const Case& c : cases) {
        Write(c.files);
        const std::size_t sent = card_->ReceivedApdus().size();
        const bed::RunResult r = Run(c.args, true);
        EXPECT_FALSE(r.timedOut) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what << ":\n" << r.out.substr(0, 2000);
        for (const std::string& line : c.says)
            EXPECT_NE(r.out.find(line), std::string::npos) << c.what << ": " << line << "\n"
                                                           << r.out.substr(0, 2000);
        EXPECT_EQ(r.out.find("bad_alloc"), std::string::npos) << c.what << ":\n" << r.out;
        if (c.status == 2) {
            EXPECT_EQ(Count(r.out, "\n"), 1u) << c.what << ":\n" << r.out.substr(0, 2000);
            EXPECT_EQ(card_->ReceivedApdus().size(), sent) << c.what << ": nothing is sent";
        }
    }
}

// A record is a REQ file like any other: read back under the rules its switch line selects, it
// holds the tests it recorded with their commands, or it is not written and the golden file
// that stood there stays.
TEST_F(RunnerInput, ARecordReadsBackAsTheTestsItRecorded) {
    const std::string extended = "@quorvane-run 1\n@include base.req\n"
                                 "# - Tries\n2,0 00 20 00 01 02 31 32\n> 63 Cx\n";
    const std::string old = "# - An earlier recording\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n\n";
    struct Case {
        const char* what;
        Files files;
        int status;
        std::vector<std::string> says;
        std::vector<std::string> recorded; // lines of the record; none: the old one stays
        std::size_t tests;                 // as many as the record reads back with
    };
    const Case cases[] = {
        {"a base-rules include named with 2,0 in its first line",
         {{"base.req", "# Suite 2,0 for ACME card\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n"},
          {"suite.req", extended}},
         2,
         {"quorvane-run: --record golden.req not written: test 1 (base.req:2) would read back "
          "otherwise: golden.req:3: a name line holding \"2,0\"",
          "the file there stays as it was\n"},
         {},
         0},
        {"an included command with no bytes",
         {{"base.req", "# - Nothing\n2,0\n> 90 00\n"}, {"suite.req", extended}},
         2,
         {"quorvane-run: --record golden.req not written: test 1 (base.req:2) would read back "
          "otherwise: golden.req:4: a command line with no bytes",
          "the file there stays as it was\n"},
         {},
         0},
        {"byte runs, kept as written",
         {{"suite.req", "@quorvane-run 1\n# - Echo a run\n2,0 80 E4 00 00 06 {6*31} 06\n"
                        "> {6*31} 90 00\n"}},
         0,
         {"PASSED: 1 tests, 1 passed"},
         {"2,0 80 E4 00 00 06 {6*31} 06\n", "> {6*31} 90 00\n"},
         1},
    };
    for (const Case& c : cases) {
        Write(c.files);
        Write({{"golden.req", old}});
        const bed::RunResult r = Run({"--record", "golden.req", "suite.req"});
        EXPECT_EQ(r.status, c.status) << c.what << ":\n" << r.out;
        for (const std::string& line : c.says)
            EXPECT_NE(r.out.find(line), std::string::npos) << c.what << ": " << line << "\n"
                                                           << r.out;
        const std::string golden = textfile::Read(dir_ / "golden.req");
        if (c.recorded.empty()) {
            EXPECT_EQ(golden, old) << c.what;
            continue;
        }
        for (const std::string& line : c.recorded)
            EXPECT_NE(golden.find(line), std::string::npos) << c.what << ": " << line << "\n"
                                                            << golden;
        const bed::RunResult replay = Run({"golden.req"});
        EXPECT_EQ(replay.status, 0) << c.what << ":\n" << golden << replay.out;
        const std::string passed = std::to_string(c.tests);
        EXPECT_NE(replay.out.find("PASSED: " + passed + " tests, " + passed + " passed"),
                  std::string::npos)
            << c.what << ":\n"
            << replay.out;
    }
}

// A base-rules file replayed as a card: bytes the base rules made up where the author wrote
// an extension are said, as quorvane-run says them.
TEST_F(RunnerInput, AReplayOfABaseRulesFileSaysWhereItsBytesAreMadeUp) {
    struct Case {
        const char* what;
        std::string text;
        std::string says;
    };
    const Case cases[] = {
        {"a length in braces", "2,0 00 B0 00 00 10\n> {16}\n",
         "quorvane-card: base.req:2: '{' in hex text takes a digit's place\n"},
        {"a mask in a nibble", "2,0 00 20 00 01\n> 63 Cx\n",
         "quorvane-card: base.req:2: a single x in a byte: only xx matches any byte\n"},
    };
    for (const Case& c : cases) {
        Write({{"base.req", c.text}});
        bed::RunOptions options;
        options.workDir = dir_.string();
        const bed::RunResult r =
            bed::Run({bed::BuildPath("bin/quorvane-card"), "--from-req", "base.req"}, options);
        EXPECT_EQ(r.status, 0) << c.what << ":\n" << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << c.what << ":\n" << r.out;
        EXPECT_NE(r.out.find("apdu "), std::string::npos) << c.what << ":\n" << r.out;
    }
}

} // namespace
