// quorvane-run's parts that need no reader: the command line, the failure detail of long
// responses, XML text, the percentiles of the summary, the readers' lock files, and what it says
// of a PIN pad and of the tests that have a person type on it.
#include "runner/junit.h"
#include "runner/keypad.h"
#include "runner/options.h"
#include "runner/output.h"
#include "runner/pcsc_service.h"
#include "runner/reader_lock.h"
#include "runner/readers.h"
#include "runner/record.h"
#include "runner/exchange_times.h"
#include "runner/failure.h"
#include "runner/result.h"

#include "temp_tree.h"

#include <ctapi.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace qvrun;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

Options Parse(std::vector<const char*> args) {
    return ParseOptions(args);
}

TEST(RunnerOptions, EveryFormOfTheCommandLine) {
    const Options o = Parse({"-r", "2", "--readers=3,,Gem", "--ctapi", "/x/lib.so", "--no-reset",
                             "--junit=j.xml", "--trace", "t.txt", "--record", "r.req", "--repeat",
                             "3", "--fail-fast", "--get-response", "-v", "a.req", "--", "-b.req"});
    EXPECT_EQ(o.choices.at(0).readers, (std::vector<std::string>{"2", "3", "Gem"}));
    EXPECT_EQ(o.ctapiLibrary, "/x/lib.so");
    EXPECT_FALSE(o.reset);
    EXPECT_EQ(o.junitPath, "j.xml");
    EXPECT_EQ(o.tracePath, "t.txt");
    EXPECT_EQ(o.recordPath, "r.req");
    EXPECT_EQ(o.repeat, 3u);
    EXPECT_TRUE(o.failFast && o.getResponse);
    EXPECT_EQ(o.verbosity, Verbosity::Verbose);
    EXPECT_EQ(o.files, (std::vector<std::string>{"a.req", "-b.req"}));
    EXPECT_TRUE(Parse({"--version"}).version) << "needs no file";
    EXPECT_EQ(Parse({"-q", "x.req"}).verbosity, Verbosity::Quiet);
    const Options timed = Parse({"--baseline", "b.xml", "--baseline-factor=1.5", "a.req"});
    EXPECT_EQ(timed.baselinePath, "b.xml");
    EXPECT_EQ(timed.baselineFactor, 1.5);
    EXPECT_FALSE(Parse({"--baseline=b.xml", "a.req"}).baselineFactor);
    EXPECT_EQ(Parse({"a.req"}).waitReader, 0s);
    EXPECT_EQ(Parse({"--wait-reader=86400", "a.req"}).waitReader, 24h);
    EXPECT_EQ(Parse({"a.req"}).timeout, 60) << "no exchange waits without a limit by default";
    EXPECT_EQ(Parse({"--timeout", "0.25", "a.req"}).timeout, 0.25);
    EXPECT_EQ(Parse({"--timeout=0", "a.req"}).timeout, 0) << "no limit";

    const std::vector<std::vector<const char*>> refused = {
        {},
        {"--all-readers", "-r", "1", "a.req"},
        {"--pcsc-socket", "/s", "-r", "1", "--all-readers", "a.req"},
        {"--pcsc-socket=", "a.req"},
        {"--repeat", "0", "a.req"},
        {"--repeat", "2x", "a.req"},
        {"--repeat", "-1", "a.req"},
        {"--repeat", "99999999999", "a.req"},
        {"--fail-fast=yes", "a.req"},
        {"--readers", ",", "a.req"},
        {"a.req", "-r"},
        {"-x", "a.req"},
        {"--baseline-factor", "0.5", "--baseline", "b.xml", "a.req"},
        {"--baseline-factor", "2x", "--baseline", "b.xml", "a.req"},
        {"--baseline-factor", "nan", "--baseline", "b.xml", "a.req"},
        {"--baseline-factor", "3", "a.req"},
        {"--wait-reader", "-1", "a.req"},
        {"--wait-reader", "86401", "a.req"},
        {"--wait-reader", "1.5", "a.req"},
        {"--wait-reader=", "a.req"},
        {"--timeout", "-1", "a.req"},
        {"--timeout", "5s", "a.req"},
        {"--timeout", "nan", "a.req"},
        {"--timeout", "1e9", "a.req"},
    };
    for (const auto& args : refused)
        EXPECT_THROW(Parse(args), SetupError) << testing::PrintToString(args);
}

// getopt_long's refusals keep the runner's own words; a long option is written whole.
TEST(RunnerOptions, RefusalsSayWhatIsWrong) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"a.req", "--junit"}, "option --junit needs a value"},
        {{"a.req", "-r"}, "option -r needs a value"},
        {{"a.req", "--reader"}, "option --reader needs a value"},
        {{"--fail-fast=yes", "a.req"}, "option --fail-fast takes no value"},
        {{"--quiet=1", "a.req"}, "option --quiet takes no value"},
        {{"--frobnicate", "a.req"}, "unknown option --frobnicate (see --help)"},
        {{"--jun", "j.xml", "a.req"}, "unknown option --jun (see --help)"},
        {{"--fail", "a.req"}, "unknown option --fail (see --help)"},
        {{"-x", "a.req"}, "unknown option -x (see --help)"},
    };
    for (const auto& [args, says] : cases) {
        try {
            Parse(args);
            ADD_FAILURE() << "accepted: " << testing::PrintToString(args);
        } catch (const SetupError& error) {
            EXPECT_EQ(error.what(), says) << testing::PrintToString(args);
        }
    }
    EXPECT_EQ(Parse({"-qr2", "a.req", "--repeat=2"}).choices.at(0).readers,
              std::vector<std::string>{"2"});
}

// The reader options after a --pcsc-socket choose in its service, those before any in the
// default services; a choice of the default services that holds no reader option goes.
TEST(RunnerOptions, ReaderOptionsChooseInTheServiceBeforeThem) {
    const struct {
        std::vector<const char*> args;
        std::vector<std::string> sockets; // of the choices, in order ("" the default services)
        std::vector<std::string> readers; // of each choice, joined by '+'
        std::vector<bool> all;
    } cases[] = {
        {{"a.req"}, {""}, {""}, {false}},
        {{"--all-readers", "a.req"}, {""}, {""}, {true}},
        {{"--pcsc-socket", "/s", "a.req"}, {"/s"}, {""}, {false}},
        {{"-r", "2", "--pcsc-socket=/s", "--readers", "1,3", "--pcsc-socket", "/t", "--all-readers",
          "a.req"},
         {"", "/s", "/t"},
         {"2", "1+3", ""},
         {false, false, true}},
        {{"--pcsc-socket", "/s", "-r", "1", "--pcsc-socket", "/s", "-r", "2", "a.req"},
         {"/s", "/s"},
         {"1", "2"},
         {false, false}},
    };
    for (const auto& c : cases) {
        const Options o = Parse(c.args);
        std::vector<std::string> sockets, readers;
        std::vector<bool> all;
        for (const ReaderChoice& choice : o.choices) {
            sockets.push_back(choice.socket);
            std::string joined;
            for (const std::string& reader : choice.readers)
                joined += (joined.empty() ? "" : "+") + reader;
            readers.push_back(joined);
            all.push_back(choice.all);
        }
        EXPECT_EQ(sockets, c.sockets) << testing::PrintToString(c.args);
        EXPECT_EQ(readers, c.readers) << testing::PrintToString(c.args);
        EXPECT_EQ(all, c.all) << testing::PrintToString(c.args);
    }
}

// Without --pcsc-socket: a socket the caller set for PC/SC is the one service, else the bed's
// list in its order, else PC/SC's own ("").
TEST(RunnerReaders, TheDefaultServices) {
    const struct {
        const char* own;    // PCSCLITE_CSOCK_NAME
        const char* listed; // QUORVANE_PCSC_SOCKETS
        std::vector<std::string> services;
    } cases[] = {
        {nullptr, nullptr, {""}},
        {nullptr, "/a:/b", {"/a", "/b"}},
        {nullptr, ":/a::/b:", {"/a", "/b"}},
        {nullptr, "", {""}},
        {"/own", "/a:/b", {""}},
        {"", "/a", {"/a"}},
    };
    for (const auto& c : cases) {
        for (const auto& [name, value] : {std::pair{"PCSCLITE_CSOCK_NAME", c.own},
                                          std::pair{"QUORVANE_PCSC_SOCKETS", c.listed}}) {
            if (value != nullptr)
                setenv(name, value, 1);
            else
                unsetenv(name);
        }
        EXPECT_EQ(DefaultServices(), c.services)
            << (c.own ? c.own : "(unset)") << " " << (c.listed ? c.listed : "(unset)");
    }
    unsetenv("PCSCLITE_CSOCK_NAME");
    unsetenv("QUORVANE_PCSC_SOCKETS");
}

// A service is asked from a process of its own: the socket is set there and not here, what the
// question throws or how its process ends comes back as a SetupError.
TEST(RunnerReaders, AServiceIsAskedFromAProcessOfItsOwn) {
    unsetenv("PCSCLITE_CSOCK_NAME");
    const auto socketThere = [] {
        const char* socket = getenv("PCSCLITE_CSOCK_NAME");
        return std::vector<std::string>{socket != nullptr ? socket : "(unset)",
                                        std::string(3, '\0')};
    };
    EXPECT_EQ(AskService("/there", socketThere),
              (std::vector<std::string>{"/there", std::string(3, '\0')}));
    EXPECT_EQ(AskService("", socketThere),
              (std::vector<std::string>{"(unset)", std::string(3, '\0')}));
    EXPECT_EQ(getenv("PCSCLITE_CSOCK_NAME"), nullptr);
    const auto says = [](const std::function<std::vector<std::string>()>& ask) {
        try {
            AskService("/there", ask);
        } catch (const SetupError& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(says([]() -> std::vector<std::string> { throw SetupError("no reader"); }),
              "no reader");
    EXPECT_EQ(says([]() -> std::vector<std::string> { abort(); }),
              "the process that asked the PC/SC service at /there ended by SIGABRT");
    EXPECT_EQ(says([]() -> std::vector<std::string> { _exit(3); }),
              "the process that asked the PC/SC service at /there ended with status 3");
}

TEST(RunnerReport, LongResponsesShowAWindowWithTheMarkUnderTheDifference) {
    qvrun::Test test;
    test.command = {0x00, 0xB0, 0x00, 0x00, 0x00};
    test.expected.assign(300, 0xAA);
    test.expected.push_back(0x90);
    test.expected.push_back(0x00);
    test.wildcard.assign(test.expected.size(), 0);
    test.wildcard[201] = 1;
    Bytes received = test.expected;
    received[200] = 0xAB;
    const Scenario scenario;
    const TestResult outcome{scenario, test, 1,  qv::Judge(test.Expected(), {OK, 0, received, {}}),
                             received, OK,   {}, {}};
    ASSERT_EQ(outcome.judgement.differs, 200u);
    const std::vector<std::string> lines = FailureDetail(outcome);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[1].starts_with("expected  ... AA ")) << lines[1];
    EXPECT_NE(lines[1].find(" AA xx AA "), std::string::npos) << lines[1];
    EXPECT_TRUE(lines[2].ends_with(" ...")) << lines[2];
    const std::size_t mark = lines[3].find("^^");
    EXPECT_EQ(lines[2].substr(mark, 2), "AB") << lines[2] << "\n" << lines[3];
    EXPECT_NE(lines[3].find("response differs at byte 201"), std::string::npos);
}

TEST(RunnerReport, XmlTextKeepsWhatXmlCanHold) {
    EXPECT_EQ(XmlText("a<b>&\"c\"\n\td"), "a&lt;b&gt;&amp;&quot;c&quot;&#10;&#9;d");
    EXPECT_EQ(XmlText("K\xC3\xA4se \xE2\x82\xAC"), "K\xC3\xA4se \xE2\x82\xAC") << "UTF-8 kept";
    EXPECT_EQ(XmlText(std::string("a\0b\x01\x7F", 5)), "a?b??");
    EXPECT_EQ(XmlText("\xC3(\xE2\x82 \xED\xA0\x80\xF5\x80\x80\x80"), "?(?? ???????");
}

std::optional<Percentiles> ExchangePercentiles(const std::vector<Clock::duration>& times) {
    ExchangeTimes all;
    for (const Clock::duration time : times)
        all.Add(time);
    return all.Ranked();
}

TEST(RunnerReport, PercentilesByNearestRank) {
    std::vector<Clock::duration> times;
    for (int ms = 100; ms >= 1; --ms)
        times.push_back(std::chrono::milliseconds(ms));
    const Percentiles p = *ExchangePercentiles(times);
    EXPECT_DOUBLE_EQ(p.p50, 50);
    EXPECT_DOUBLE_EQ(p.p95, 95);
    EXPECT_DOUBLE_EQ(p.max, 100);
    const Percentiles one = *ExchangePercentiles({3ms});
    EXPECT_DOUBLE_EQ(one.p50, 3);
    EXPECT_DOUBLE_EQ(one.p95, 3);
    EXPECT_FALSE(ExchangePercentiles({})) << "no time was measured: no figure to give";
}

// One lock a reader of one PC/SC service: readers whose names differ only in what the file name
// cannot hold, and readers of one name listed by two services (a test bed's and the system's),
// have locks apart; a reader locked is refused to the next run at once and free once let go.
TEST(RunnerReaders, OneLockPerReaderOfOneService) {
    const std::filesystem::path dir = testing::TempDir() + "runner_locks";
    std::filesystem::create_directories(dir);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1); // this test's process only
    std::ofstream(dir / "service-a") << "a";
    std::ofstream(dir / "service-b") << "b";
    setenv("PCSCLITE_CSOCK_NAME", (dir / "service-a").c_str(), 1);
    const std::string a = ReaderLockPath("Gem/Card 00 00");
    EXPECT_EQ(std::filesystem::path(a).parent_path(), dir);
    EXPECT_EQ(ReaderLockPath("Gem/Card 00 00"), a);
    EXPECT_NE(ReaderLockPath("Gem:Card 00 00"), a);
    // A name as long as any stays a file name the file system takes.
    EXPECT_LT(
        std::filesystem::path(ReaderLockPath(std::string(4096, 'x'))).filename().string().size(),
        256u);
    setenv("PCSCLITE_CSOCK_NAME", (dir / "service-b").c_str(), 1);
    EXPECT_NE(ReaderLockPath("Gem/Card 00 00"), a);

    const std::vector<Reader> readers{{0, "Gem/Card 00 00", true, {}, 0},
                                      {1, "Another 00 01", true, {}, 1}};
    {
        const ReaderLocks held(readers, 0s);
        // A second owner in this process is refused as one in another process would be.
        EXPECT_THROW(ReaderLocks(std::vector<Reader>{readers[1]}, 0s), SetupError);
    }
    EXPECT_NO_THROW(ReaderLocks(readers, 0s));
    unsetenv("PCSCLITE_CSOCK_NAME");
    std::filesystem::remove_all(dir);
}

// A lock file goes with the run that held it, and still excludes: a run that waited for the
// reader while its holder let go (its descriptor on the removed file) takes the file made next,
// and a third run is refused while it holds that one.
TEST(RunnerReaders, ALockFileGoesWithItsHolderAndStillExcludes) {
    const std::filesystem::path dir = testing::TempDir() + "runner_lock_files";
    std::filesystem::create_directories(dir);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1); // this test's process only
    const std::vector<Reader> reader{{0, "Card 00 00", true, {}, 0}};
    const std::string path = ReaderLockPath(reader[0].name);
    // How many descriptors of this process have the lock file open.
    const auto openers = [&path] {
        int n = 0;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            n += std::filesystem::read_symlink(fd.path(), error) == path ? 1 : 0;
        }
        return n;
    };
    std::mutex mutex;
    std::condition_variable changed;
    bool taken = false, done = false;
    std::optional<ReaderLocks> first(std::in_place, reader, 0s);
    std::thread waiter([&] {
        const ReaderLocks second(reader, 20s);
        std::unique_lock lock(mutex);
        taken = true;
        changed.notify_all();
        changed.wait(lock, [&] { return done; });
    });
    while (openers() < 2) // the waiter has the file open, and waits for its lock
        std::this_thread::yield();
    first.reset();
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return taken; });
    }
    EXPECT_TRUE(std::filesystem::exists(path)) << "the waiter's lock is on the file there";
    EXPECT_THROW(ReaderLocks(reader, 0s), SetupError);
    {
        const std::lock_guard lock(mutex);
        done = true;
    }
    changed.notify_all();
    waiter.join();
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_NO_THROW(ReaderLocks(reader, 0s));
    EXPECT_TRUE(std::filesystem::is_empty(dir)) << "no lock file left behind";
    std::filesystem::remove_all(dir);
}

// A long run's times in their fixed buckets: each figure a time that was measured, at most a
// bucket's span (0.2 %) above the exact nearest rank; the longest exact, hours long too.
TEST(RunnerReport, PercentilesOfAMillionTimesStayWithinTheirBucket) {
    std::mt19937_64 random(20);
    struct Spread {
        const char* what;
        std::int64_t least, most; // nanoseconds
    };
    for (const Spread& spread :
         {Spread{"below a microsecond", 1, 1023}, Spread{"a fast card", 40'000, 400'000},
          Spread{"a slow card, a stall", 5'000'000, 90'000'000'000},
          Spread{"hours", 3'600'000'000'000, 9'000'000'000'000}}) {
        std::uniform_int_distribution<std::int64_t> pick(spread.least, spread.most);
        std::vector<Clock::duration> times(1'000'000);
        for (Clock::duration& time : times)
            time = Clock::duration(pick(random));
        const Percentiles p = *ExchangePercentiles(times);
        std::sort(times.begin(), times.end());
        EXPECT_DOUBLE_EQ(p.max, Milliseconds(times.back())) << spread.what;
        if (spread.most > (std::int64_t{1} << 42))
            continue; // past 2^42 ns the times share one bucket
        for (const auto& [figure, share] : {std::pair{p.p50, 0.50}, std::pair{p.p95, 0.95}}) {
            const double exact = Milliseconds(times[static_cast<std::size_t>(share * 1e6) - 1]);
            EXPECT_GE(figure, exact) << spread.what << " " << share;
            EXPECT_LE(figure, exact * (1 + 1.0 / 512)) << spread.what << " " << share;
        }
    }
}

// The record as the engine's results reach it: the card's answer as each expected response, a
// test's own where the card's answer holds nothing to expect, and no file short of a test: the
// golden file that stood there stays.
TEST(RunnerRecord, AGoldenFileIsWholeAndNeverLooserOrTheOldOneStays) {
    const fs::path dir = temptree::Make("runner-record");
    const std::string path = (dir / "golden.req").string();
    const std::string old = "# - Earlier\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n\n";
    std::vector<Scenario> scenarios(1);
    scenarios[0].path = "suite.req";
    const auto add = [&](const char* name, Bytes command, Bytes expected) {
        qvrun::Test& test = scenarios[0].tests.emplace_back();
        test.number = scenarios[0].tests.size();
        test.name = name;
        test.command = std::move(command);
        test.wildcard.assign(expected.size(), 0);
        test.expected = std::move(expected);
    };
    add("Select", {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, {0x90, 0x00});
    add("Read", {0x00, 0xB0, 0x00, 0x00, 0x02}, {0x12, 0x34, 0x90, 0x00});
    struct Case {
        const char* what;
        std::vector<std::optional<Bytes>> answers; // the card's, a test each; none: no answer given
        std::string written;                       // empty: refused
    };
    const Case cases[] = {
        {"every test answered",
         {Bytes{0x90, 0x00}, Bytes{0x12, 0x35, 0x90, 0x00}},
         "# - Select\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n\n"
         "# - Read\n2,0 00 B0 00 00 02\n> 12 35 90 00\n\n"},
        {"an answer of no bytes from a library",
         {Bytes{0x90, 0x00}, Bytes{}},
         "# - Select\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n\n"
         "# - Read\n2,0 00 B0 00 00 02\n> 12 34 90 00\n\n"},
        {"a test never told", {Bytes{0x90, 0x00}, std::nullopt}, ""},
    };
    const ReaderSlot slot{};
    for (const Case& c : cases) {
        std::ofstream(path) << old;
        {
            OutputFile file(path);
            RecordFile record(scenarios, file);
            for (std::size_t k = 0; k < c.answers.size(); ++k) {
                if (!c.answers[k])
                    continue;
                const qvrun::Test& test = scenarios[0].tests[k];
                const Bytes& answer = *c.answers[k];
                const TestResult result{scenarios[0], test, 1,
                                        qv::Judge(test.Expected(), {OK, 0, answer, {}}), answer};
                record.TestDone(slot, result);
            }
            if (c.written.empty()) {
                try {
                    record.Write();
                    ADD_FAILURE() << c.what << ": written";
                } catch (const SetupError& error) {
                    EXPECT_EQ(std::string(error.what()),
                              "--record " + path +
                                  " not written: 1 of the 2 tests were recorded; the file there "
                                  "stays as it was")
                        << c.what;
                }
            } else {
                record.Write();
            }
        }
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        EXPECT_EQ(text.str(), c.written.empty() ? old : c.written) << c.what;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1)
            << c.what << ": nothing left beside it";
    }
    temptree::Remove(dir);
}

TEST(RunnerKeypad, WhichTestsAskForAPin) {
    struct Case {
        std::uint8_t destination;
        Bytes command;
        bool asks;
    };
    for (const Case& c : {Case{CT, {0x20, 0x18, 0x01, 0x00, 0x02, 0x52, 0x00}, true},
                          Case{CT, {0x20, 0x19, 0x01, 0x00}, true},
                          Case{ICC1, {0x20, 0x18, 0x01, 0x00}, false}, // to the card
                          Case{CT, {0x20, 0x13, 0x00, 0x81, 0x00}, false},
                          Case{CT, {0x00, 0x18, 0x01, 0x00}, false}, Case{CT, {0x20}, false}}) {
        qvrun::Test test;
        test.destination = c.destination;
        test.command = c.command;
        EXPECT_EQ(AsksForPin(test), c.asks) << testing::PrintToString(c.command);
    }
}

TEST(RunnerKeypad, WhatAPinPadOffers) {
    using qv::pcsc::PinProperties;
    const qv::pcsc::FeatureCodes pad{{0x06, 0x42330006}, {0x07, 0x42330007}, {0x12, 0x42330012}};
    PinProperties full;
    full.minPinSize = 4;
    full.maxPinSize = 8;
    full.lcdLayout = 0x0210;
    full.entryValidation = 0x03;
    full.timeOut2 = 5;
    PinProperties blind;
    blind.lcdLayout = 0;
    blind.entryValidation = 0x02;
    struct Case {
        qv::pcsc::FeatureCodes features;
        PinProperties properties;
        std::string text;
    };
    for (const Case& c :
         {Case{
              pad, full,
              "features VERIFY_PIN_DIRECT MODIFY_PIN_DIRECT GET_TLV_PROPERTIES, PIN 4 to 8 digits, "
              "display 2 x 16, entry ends with the largest size or OK, 5 s after the first key"},
          Case{{{0x06, 0x42000DAC}},
               blind,
               "features VERIFY_PIN_DIRECT, no display, entry ends "
               "with OK"},
          Case{{{0x12, 0x42330012}, {0x7E, 0x1}}, {}, "features GET_TLV_PROPERTIES 7E"},
          Case{{}, full, "no features"}}) {
        EXPECT_EQ(KeypadText(c.features, c.properties), c.text);
    }
}

} // namespace
