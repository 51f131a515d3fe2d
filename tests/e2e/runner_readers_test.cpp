// quorvane-run owns its readers, on the test bed: a second run on a reader in use is refused
// before it sends anything, or waits for it with --wait-reader; a card that another program
// holds is said to be in use by that program, with our library and with another vendor's.
#include "pcsc_connection.h"
#include "temp_tree.h"
#include "text_files.h"

#include "bed/sim_card.h"
#include "bed/pcscd.h"
#include "bed_run.h"
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Select MF answers at once; 00 FF never (until the card leaves the reader).
const std::string kCard = "atr 3B 02 14 50\n"
                          "apdu 00 A4 00 0C 02 3F 00 -> 90 00\n"
                          "apdu 00 FF 00 00 -> mute\n";
const std::string kReady = "reader 1 'Virtual PCD 00 00', ATR 3B 02 14 50\n";
const std::string kLockedOut = "quorvane-run: reader 'Virtual PCD 00 00' is in use by another "
                               "quorvane-run";
const std::string kHeldOut = "quorvane-run: the card in reader 'Virtual PCD 00 00' is in use by "
                             "another program";

std::string Runner() {
    return bed::BuildPath("bin/quorvane-run");
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class ReaderOwnership : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bed::InSandbox())
            GTEST_SKIP() << "needs testbed/sandbox";
        dir_ = temptree::Make("runner_readers");
        pcscd_ = std::make_unique<bed::Pcscd>();
        card_ = std::make_unique<bed::SimCard>(bed::ParseCardScript(kCard), 0);
        card_->Insert();
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
        textfile::Write(dir_ / "select.req", "# - Select MF\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n");
        textfile::Write(dir_ / "hang.req", "# - Never answered\n2,0 00 FF 00 00\n> 90 00\n");
    }
    void TearDown() override {
        card_.reset();
        pcscd_.reset();
        temptree::Remove(dir_);
    }

    std::string Path(const char* name) const { return (dir_ / name).string(); }

    fs::path dir_;
    std::unique_ptr<bed::Pcscd> pcscd_;
    std::unique_ptr<bed::SimCard> card_;
};

// While a first run waits for the card's answer, every second run on that reader is refused
// with status 2 before it sends anything, whatever its library and options.
TEST_F(ReaderOwnership, ASecondRunOnAReaderInUseIsRefused) {
    const struct {
        std::vector<std::string> args;
        std::string seen;
    } cases[] = {
        {{}, kLockedOut + " (--wait-reader SECONDS waits for it)\n"},
        {{"--ctapi", CTAPI_ONE_WRONG}, kLockedOut + " (--wait-reader SECONDS waits for it)\n"},
        {{"--no-reset"}, kLockedOut + " (--wait-reader SECONDS waits for it)\n"},
        {{"--wait-reader", "1"},
         kLockedOut + "; waiting up to 1 s\n" + kLockedOut + " (waited 1 s)\n"},
    };
    std::vector<bed::RunResult> second;
    std::size_t sentBefore = 0, sentAfter = 0, powerOnsBefore = 0, powerOnsAfter = 0;
    bed::RunOptions first;
    first.whenOutputHas = kReady; // reset, and sending the test the card never answers
    first.whileRunning = [&] {
        // The ATR is printed before the test is sent: wait until the card holds it.
        for (int k = 0; k < 3000 && card_->ReceivedApdus().empty(); ++k)
            std::this_thread::sleep_for(10ms);
        sentBefore = card_->ReceivedApdus().size();
        powerOnsBefore = card_->PowerOns();
        for (const auto& c : cases) {
            std::vector<std::string> argv{Runner()};
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            argv.push_back(Path("select.req"));
            second.push_back(bed::Run(argv, {}));
        }
        sentAfter = card_->ReceivedApdus().size();
        powerOnsAfter = card_->PowerOns();
        card_->Remove(); // the first run's test ends
    };
    const bed::RunResult r = bed::Run({Runner(), Path("hang.req")}, first);
    EXPECT_EQ(r.status, 1) << r.out;
    ASSERT_EQ(second.size(), std::size(cases)) << r.out;
    for (std::size_t k = 0; k < second.size(); ++k) {
        EXPECT_EQ(second[k].status, 2) << k << ":\n" << second[k].out;
        EXPECT_TRUE(Has(second[k].out, cases[k].seen)) << k << ":\n" << second[k].out;
    }
    EXPECT_EQ(sentBefore, 1u);
    EXPECT_EQ(sentAfter, sentBefore);
    EXPECT_EQ(powerOnsAfter, powerOnsBefore);
}

// With --wait-reader the second run waits; once the first has ended (by a signal here), it
// takes the reader and runs its test.
TEST_F(ReaderOwnership, ASecondRunWaitsForTheFirst) {
    const std::string pidFile = Path("first.pid");
    bed::RunResult second;
    bed::RunOptions first;
    first.whenOutputHas = kReady;
    first.whileRunning = [&] {
        bed::RunOptions waiting;
        waiting.whenOutputHas = kLockedOut + "; waiting up to 60 s\n";
        waiting.whileRunning = [&] { kill(std::stoi(textfile::Read(pidFile)), SIGTERM); };
        second = bed::Run({Runner(), "--wait-reader", "60", Path("select.req")}, waiting);
    };
    // The first run sends its test over and over, until the signal.
    const bed::RunResult r = bed::Run({"/bin/sh", "-c",
                                       "echo $$ > '" + pidFile + "'; exec '" + Runner() +
                                           "' --repeat 1000000 '" + Path("select.req") + "'"},
                                      first);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.out.substr(0, 2000);
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_TRUE(Has(second.out, kLockedOut + "; waiting up to 60 s\n")) << second.out;
    EXPECT_TRUE(Has(second.out, kReady)) << second.out;
    EXPECT_TRUE(Has(second.out, "PASSED: 1 tests, 1 passed, 0 failed")) << second.out;
}

// A card another program holds for itself: "in use by another program", not a card that does
// not answer the reset, through our library (its exclusive terminal) and another vendor's
// (a shared one); with --wait-reader the run goes on once the other program lets go.
TEST_F(ReaderOwnership, ACardHeldByAnotherProgramIsSaidSo) {
    const std::string reader = bed::ReaderName(0);
    for (const DWORD share : {DWORD{SCARD_SHARE_EXCLUSIVE}, DWORD{SCARD_SHARE_SHARED}}) {
        for (const std::string library : {"", CTAPI_ONE_WRONG}) {
            // Only our exclusive terminal keeps out of a card another program shares.
            if (share == SCARD_SHARE_SHARED && !library.empty())
                continue;
            SCOPED_TRACE(testing::Message()
                         << "share " << share << ", library '" << library << "'");
            const pcsctest::Connection holder(reader, share);
            ASSERT_EQ(holder.Result(), SCARD_S_SUCCESS);
            std::vector<std::string> argv{Runner(), Path("select.req")};
            if (!library.empty())
                argv.insert(argv.begin() + 1, {"--ctapi", library});
            const bed::RunResult r = bed::Run(argv, {});
            EXPECT_EQ(r.status, 2) << r.out;
            EXPECT_TRUE(Has(r.out, kHeldOut + " (--wait-reader SECONDS waits for it)\n")) << r.out;
            EXPECT_FALSE(Has(r.out, "does not answer the reset")) << r.out;
        }
    }

    auto holder = std::make_unique<pcsctest::Connection>(reader, SCARD_SHARE_EXCLUSIVE);
    ASSERT_EQ(holder->Result(), SCARD_S_SUCCESS);
    bed::RunOptions waiting;
    waiting.whenOutputHas = kHeldOut + "; waiting up to 60 s\n";
    waiting.whileRunning = [&] { holder.reset(); };
    const bed::RunResult r =
        bed::Run({Runner(), "--wait-reader", "60", Path("select.req")}, waiting);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, kHeldOut + "; waiting up to 60 s\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "PASSED: 1 tests, 1 passed, 0 failed")) << r.out;
}

} // namespace
