// quorvane-run over a test bed of 32 readers, two pcscds of 16: --all-readers runs on every
// reader of both, each reader's process on its own service's reader and card; --pcsc-socket
// chooses among one service's readers; a reader owned through one way of naming it is owned through
// the other.
#include "temp_tree.h"
#include "text_files.h"

#include "bed/pcscd.h"
#include "bed_run.h"
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kSlots = 32;
const std::string kSecond = "/run/pcscd/service-1/pcscd.comm";

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The card in slot `slot` says which it is in its ATR's last byte.
std::string Atr(int slot) {
    char text[16];
    std::snprintf(text, sizeof text, "3B 02 14 %02X", slot);
    return text;
}

// "[17] reader 17 'Virtual PCD 8 00 00', ATR 3B 02 14 10": the run's reader `number` is the
// reader of `slot`, and its process has reset that slot's card.
std::string ReadyLine(int number, int slot) {
    const std::string n = std::to_string(number);
    return "[" + n + "] reader " + n + " '" + bed::ReaderName(slot) + "', ATR " + Atr(slot) + "\n";
}

class TwoServices : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bed::InSandbox())
            GTEST_SKIP() << "needs testbed/sandbox";
        dir_ = temptree::Make("runner_services");
        for (int slot = 0; slot < kSlots; ++slot) {
            const std::string card = (dir_ / ("slot" + std::to_string(slot) + ".card")).string();
            textfile::Write(card, "atr " + Atr(slot) +
                                      "\napdu 00 A4 00 0C 02 3F 00 -> 90 00\n"
                                      "apdu 00 FF 00 00 -> mute\n");
            cards_.push_back("--card");
            cards_.push_back(std::to_string(slot) + "=" + card);
        }
        textfile::Write(dir_ / "select.req", "# - Select MF\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n");
        textfile::Write(dir_ / "hang.req", "# - Never answered\n2,0 00 FF 00 00\n> 90 00\n");
    }
    void TearDown() override {
        if (!dir_.empty())
            temptree::Remove(dir_);
    }

    // `script` run by sh in a bed of 32 readers with a card in each, $RUN the runner, in dir_.
    bed::RunResult InBed(const std::string& script) const {
        std::vector<std::string> argv{bed::BuildPath("bin/quorvane-bed"), "--readers",
                                      std::to_string(kSlots)};
        argv.insert(argv.end(), cards_.begin(), cards_.end());
        argv.insert(argv.end(), {"--", "/bin/sh", "-c",
                                 "RUN='" + bed::BuildPath("bin/quorvane-run") + "'\n" + script});
        bed::RunOptions options;
        options.workDir = dir_.string();
        return bed::Run(argv, options);
    }

    fs::path dir_;
    std::vector<std::string> cards_;
};

// One run on all 32 readers: every reader numbered over both services in slot order, every
// reader's process reset its own slot's card and passed.
TEST_F(TwoServices, AllReadersOfEveryService) {
    const bed::RunResult r = InBed("\"$RUN\" --all-readers select.req");
    EXPECT_EQ(r.status, 0) << r.out;
    for (int slot = 0; slot < kSlots; ++slot)
        EXPECT_TRUE(Has(r.out, ReadyLine(slot + 1, slot))) << slot << ":\n" << r.out;
    EXPECT_TRUE(Has(r.out, "PASSED: 32 tests, 32 passed, 0 failed")) << r.out;
}

// --pcsc-socket: the reader options after it count among that service's readers, numbered on
// after the readers listed before; a reader named both ways is given twice; a socket
// without a service is said.
TEST_F(TwoServices, ReaderOptionsAfterASocketChooseInItsService) {
    const struct {
        std::string args;
        int status;
        std::vector<std::string> seen;
    } cases[] = {
        {"--pcsc-socket " + kSecond + " --all-readers",
         0,
         {ReadyLine(1, 16), ReadyLine(16, 31), "PASSED: 16 tests, 16 passed"}},
        {"--pcsc-socket " + kSecond + " -r 2", 0, {"reader 2 '" + bed::ReaderName(17) + "'"}},
        {"-r 17 --pcsc-socket " + kSecond + " -r 16",
         0,
         {ReadyLine(17, 16), ReadyLine(48, 31), "PASSED: 2 tests, 2 passed"}},
        {"-r 17 --pcsc-socket " + kSecond + " -r 1",
         2,
         {"quorvane-run: reader '" + bed::ReaderName(16) + "' is given twice\n"}},
        {"--pcsc-socket /run/pcscd/none.comm -r 1",
         2,
         {"quorvane-run: no PC/SC service at /run/pcscd/none.comm (is pcscd running?)"}},
        {"--pcsc-socket " + kSecond + " --all-readers -r 1",
         2,
         {"exclude each other after --pcsc-socket " + kSecond + "\n"}},
    };
    for (const auto& c : cases) {
        const bed::RunResult r = InBed("\"$RUN\" " + c.args + " select.req");
        EXPECT_EQ(r.status, c.status) << c.args << ":\n" << r.out;
        for (const std::string& part : c.seen)
            EXPECT_TRUE(Has(r.out, part)) << c.args << ": no " << part << " in\n" << r.out;
    }
}

// A socket whose server accepts and never answers: the run stops on it with status 2 instead of
// waiting without end.
TEST_F(TwoServices, AServiceThatNeverAnswersIsGivenUpOn) {
    const bed::RunResult r =
        InBed("python3 -c 'import socket, time\n"
              "s = socket.socket(socket.AF_UNIX); s.bind(\"mute.comm\"); s.listen()\n"
              "print(\"up\", flush=True); c = s.accept(); time.sleep(600)' > up.txt & mute=$!\n"
              "until grep -q up up.txt || ! kill -0 $mute; do sleep 0.05; done\n"
              "\"$RUN\" --pcsc-socket \"$PWD/mute.comm\" -r 1 select.req; echo \"status $?\"\n"
              "kill $mute\n");
    EXPECT_TRUE(Has(r.out, "did not answer within 10 s")) << r.out;
    EXPECT_TRUE(Has(r.out, "status 2\n")) << r.out;
}

// A run that owns the second service's first reader through --pcsc-socket keeps a run that
// names it as reader 17 off it.
TEST_F(TwoServices, AReaderIsOwnedWhicheverRoadNamesIt) {
    const bed::RunResult r =
        InBed("\"$RUN\" --pcsc-socket " + kSecond +
              " -r 1 hang.req > first.out 2>&1 & first=$!\n"
              "until grep -q 'ATR' first.out || ! kill -0 $first; do sleep 0.05; done\n"
              "\"$RUN\" -r 17 select.req; echo \"second $?\"\n"
              "kill $first; wait $first; echo \"first $?\"\n");
    EXPECT_TRUE(Has(r.out, "quorvane-run: reader '" + bed::ReaderName(16) +
                               "' is in use by another quorvane-run"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "second 2\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "first 143\n")) << r.out;
}

} // namespace
