// The hidden main-menu choice 11 on the test bed: the vpcd driver, which has no features, our
// own feature-answering driver (named and serial-style configurations, a long reader name), a
// refused connection, and pcscd without readers or absent altogether.
#include "transcripts.h"
#include "bed/sim_card.h"
#include "bed/pcscd.h"
#include "bed_run.h"

#include <gtest/gtest.h>

#include <winscard.h>

#include <chrono>
#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;

const std::string& kMain = transcript::kMainMenu;

const std::string kSelect = " Select Reader :";
const std::string kIoctl = " ioctl is 42000d48 \n";
// Verify PIN direct (06) and modify PIN direct (07), control codes 42000DAC and 42000DAD.
const std::string kTwelveBytes = "[06][04][42][00][0D][AC][07][04][42][00][0D][AD]\n";

std::string DriverPath() {
    return bed::BuildPath("lib/libifdfeature.so");
}

// A reader.conf.d entry for our driver; without a device name pcscd opens it by channel only.
// pcscd insists that a named device exists: the name goes after an existing file and a colon.
std::string FeatureReaderConf(const std::string& friendlyName, const std::string& device,
                              int channel) {
    std::string conf = "FRIENDLYNAME \"" + friendlyName + "\"\n";
    if (!device.empty()) {
        conf += "DEVICENAME /dev/null:" + device + "\n";
    }
    return conf + "LIBPATH " + DriverPath() + "\nCHANNELID " + std::to_string(channel) + "\n";
}

// pcscd numbers the readers of an entry: its friendly name, then reader and slot index.
std::string ReaderOf(const std::string& friendlyName) {
    return friendlyName + " 00 00";
}

struct Timed {
    std::string out;
    std::chrono::milliseconds elapsed;
};

Timed RunTimed(const std::string& input) {
    bed::RunOptions options;
    options.input = input;
    options.timeout = 30s;
    const auto start = std::chrono::steady_clock::now();
    const bed::RunResult r = bed::Run({bed::ProgramPath()}, options);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.status, 255) << r.out;
    return {r.out, elapsed};
}

std::string RunProgram(const std::string& input) {
    return RunTimed(input).out;
}

std::string Listed(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        out += "  " + std::to_string(i + 1) + ". " + names[i] + "\n";
    }
    return out;
}

std::string Chosen(int number, const std::string& name) {
    return "ret is =" + std::to_string(number) + "=,=" + name + "=\n";
}

TEST(FeatureQueryOnVpcd, DriverWithoutFeaturesGivesLengthZeroAndAnEmptyLine) {
    const bed::Pcscd pcscd;
    const std::vector<std::string> readers{bed::ReaderName(0), bed::ReaderName(1)};
    EXPECT_EQ(RunProgram("11\n2\nq\n"), kMain + Listed(readers) + kSelect + Chosen(2, readers[1]) +
                                            kIoctl + "returned 0 length of data is \n\n" + kMain);
}

TEST(FeatureQueryOnVpcd, SelectionAsksAgainUntilAListedNumber) {
    const bed::Pcscd pcscd;
    const std::string out = RunProgram("11\n0\n3\n257\n\nx\nq\n-1\n1\nq\n");
    std::string prompts;
    for (int i = 0; i < 8; ++i) {
        prompts += kSelect;
    }
    EXPECT_EQ(out, kMain + Listed({bed::ReaderName(0), bed::ReaderName(1)}) + prompts +
                       Chosen(1, bed::ReaderName(0)) + kIoctl +
                       "returned 0 length of data is \n\n" + kMain);
}

TEST(FeatureQueryOnVpcd, RefusedConnectionPrintsThePcscText) {
    const bed::Pcscd pcscd;
    bed::SimCard card(bed::CardScript{});
    card.Insert();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    // Held exclusively by this process, the reader refuses the program's direct connection.
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
              SCARD_S_SUCCESS);
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardConnect(context, bed::ReaderName(0).c_str(), SCARD_SHARE_EXCLUSIVE,
                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol),
              SCARD_S_SUCCESS);
    const std::string out = RunProgram("11\n1\nq\n");
    EXPECT_EQ(SCardDisconnect(handle, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
    EXPECT_EQ(out, kMain + Listed({bed::ReaderName(0), bed::ReaderName(1)}) + kSelect +
                       Chosen(1, bed::ReaderName(0)) + "SCardConnect Failure (" +
                       pcsc_stringify_error(SCARD_E_SHARING_VIOLATION) + ")\n" + kMain);
}

class FeatureQueryOnOwnDriver : public ::testing::Test {
  protected:
    static std::unique_ptr<bed::Pcscd> Start(std::vector<std::string> confs) {
        bed::PcscdOptions options;
        options.withVpcd = false;
        options.extraReaderConf = std::move(confs);
        return std::make_unique<bed::Pcscd>(options);
    }
};

TEST_F(FeatureQueryOnOwnDriver, NamedDeviceAnswersTwoFeatures) {
    const auto pcscd = Start({FeatureReaderConf("Feature Reader", "feature0", 1)});
    const std::string reader = ReaderOf("Feature Reader");
    EXPECT_EQ(RunProgram("11\n1\nq\n"), kMain + Listed({reader}) + kSelect + Chosen(1, reader) +
                                            kIoctl + "returned 12 length of data is \n" +
                                            kTwelveBytes + kMain)
        << pcscd->Log();
}

TEST_F(FeatureQueryOnOwnDriver, SerialStyleEntryAndLongNameAreListedAndReached) {
    // A name well beyond 99 characters, and a second reader opened by channel only.
    const std::string longName(110, 'L');
    const auto pcscd = Start(
        {FeatureReaderConf("Serial Feature", "", 2), FeatureReaderConf(longName, "feature1", 3)});
    const std::string out = RunProgram("11\n2\n11\n1\nq\n");
    const std::string list = Listed({ReaderOf("Serial Feature"), ReaderOf(longName)});
    // pcscd may list the two in either order; the program prints them as listed.
    const std::string other = Listed({ReaderOf(longName), ReaderOf("Serial Feature")});
    const std::string& shown = out.find(list) != std::string::npos ? list : other;
    const std::string second = shown == list ? ReaderOf(longName) : ReaderOf("Serial Feature");
    const std::string first = shown == list ? ReaderOf("Serial Feature") : ReaderOf(longName);
    EXPECT_EQ(out, kMain + shown + kSelect + Chosen(2, second) + kIoctl +
                       "returned 12 length of data is \n" + kTwelveBytes + kMain + shown + kSelect +
                       Chosen(1, first) + kIoctl + "returned 12 length of data is \n" +
                       kTwelveBytes + kMain)
        << pcscd->Log();
}

TEST(FeatureQueryWithoutReaders, ReaderlessPcscdFailsTheListAsChoiceOneDoes) {
    bed::PcscdOptions options;
    options.withVpcd = false;
    const bed::Pcscd pcscd(options);
    const Timed t = RunTimed("11\nq\n");
    EXPECT_EQ(t.out, kMain + "Could not get list of readers\n" + kMain);
}

TEST(FeatureQueryWithoutReaders, NoPcscdGivesUpAfterFiveAttempts) {
    const Timed t = RunTimed("11\nq\n");
    EXPECT_EQ(t.out, kMain + "Could not get list of readers\n" + kMain);
    EXPECT_GE(t.elapsed, 1400ms); // five waits of 0.3 s
}

} // namespace
