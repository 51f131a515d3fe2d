// What a reader's process sends to the run: every event written as records comes back as the
// same event, a stream cut anywhere yields only the records that came whole, and a record that
// does not hold what its type says is refused.
#include "runner/hex_text.h"
#include "runner/suite.h"
#include "runner/wire.h"

#include "temp_tree.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace qvrun;
namespace fs = std::filesystem;

std::string Hex(std::span<const std::uint8_t> bytes) {
    return HexText(bytes);
}

// Every event as a line of text, with all that the consumers read of it.
class Transcript : public RunObserver {
  public:
    void TestStarted(const ReaderSlot&, const Scenario&, const Test& test) override {
        lines.push_back("started " + std::to_string(test.number));
    }
    void Exchanged(const ReaderSlot&, const Exchange& exchange) override {
        lines.push_back("exchanged " + Line(exchange));
    }
    void TestDone(const ReaderSlot&, const TestResult& r) override {
        std::string line =
            "done " + std::to_string(r.test.number) + " run " + std::to_string(r.run) +
            " verdict " + std::to_string(static_cast<int>(r.judgement.verdict)) + " differs " +
            (r.judgement.differs ? std::to_string(*r.judgement.differs) : "-") + " [" +
            r.judgement.why + "] received " + Hex(r.received) + " result " +
            std::to_string(r.result) + " took " + std::to_string(r.duration.count()) + " command " +
            Hex(r.command) + " [" + r.why + "] baseline " +
            std::to_string(static_cast<int>(r.inBaseline)) + " " + std::to_string(r.baseline) +
            " captures";
        if (r.captures != nullptr) {
            for (const std::string& name : r.test.pattern->Uses()) {
                const auto held = r.captures->find(name);
                line += " " + name + "=" + (held == r.captures->end() ? "-" : Hex(held->second));
            }
        }
        for (const Exchange& exchange : r.exchanges)
            line += " | " + Line(exchange);
        lines.push_back(line);
    }
    void TestsNotRun(const ReaderSlot&, const NotRun& n) override {
        lines.push_back("not run " + std::to_string(n.Count()) + " from run " +
                        std::to_string(n.from.run) + " file " + std::to_string(n.from.file) +
                        " test " + std::to_string(n.from.test) + ": " + std::string(n.reason));
    }
    void ReaderDone(const ReaderSlot& slot, const ReaderTotals& t) override {
        lines.push_back("reader " + slot.reader.name + " done: " + std::to_string(t.tests) +
                        " tests, " + std::to_string(t.Failed()) + " failed, " +
                        std::to_string(t.notRun) + " not run, in " +
                        std::to_string(t.wall.count()));
    }

    std::vector<std::string> lines;

  private:
    static std::string Line(const Exchange& e) {
        return std::to_string(e.at.time_since_epoch().count()) + " " + e.purpose + " > " +
               Hex(e.sent) + " < " + Hex(e.received) + " result " + std::to_string(e.result) +
               " from " + std::to_string(e.source) + " in " + std::to_string(e.duration.count());
    }
};

// Everything written into the pipe `fds`, once its writing end is closed.
std::string Drained(int (&fds)[2]) {
    close(fds[1]);
    std::string bytes;
    char block[4096];
    for (ssize_t n = 0; (n = read(fds[0], block, sizeof block)) > 0;)
        bytes.append(block, static_cast<std::size_t>(n));
    close(fds[0]);
    return bytes;
}

class RunnerWire : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = temptree::Make("runner_wire");
        std::ofstream(dir_ / "t.req") << "@quorvane-run 1\n"
                                         "# - Read the counter\n2,0 00 CA 01 01 00\n"
                                         "> 01 02 {uses:2} 90 00\n"
                                         "# - The counter again\n2,0 00 CA 01 {uses} 00\n"
                                         "> 01 02 {uses} 90 00\n";
        scenarios_.push_back(LoadScenario((dir_ / "t.req").string()));
        reader_.name = "Reader A";
    }
    void TearDown() override { temptree::Remove(dir_); }

    Exchange MakeExchange(const char* purpose, const Bytes& sent, const Bytes& received) const {
        Exchange e;
        e.at = std::chrono::system_clock::time_point(std::chrono::microseconds(1700000000123456));
        e.purpose = purpose;
        e.sent = sent;
        e.received = received;
        e.result = 0;
        e.source = 0;
        e.duration = std::chrono::microseconds(250);
        return e;
    }

    // Two runs of the file: the first test passes, the second fails after a GET RESPONSE with a
    // joined response, its command with a capture put in; the second run is not run. Each event
    // goes to `report` and, as it was, to `expected`.
    void Events(ReaderReport& report, Transcript& expected) {
        const ReaderSlot slot{0, reader_, {}};
        const Scenario& scenario = scenarios_[0];
        const Exchange first = MakeExchange(kPurposeCommand, {0x00, 0xCA, 0x01, 0x01, 0x00},
                                            {0x01, 0x02, 0x00, 0x2A, 0x90, 0x00});
        report.Started({1, 0, 0});
        expected.TestStarted(slot, scenario, scenario.tests[0]);
        report.Sending(first, Clock::now());
        report.Exchanged(first);
        expected.Exchanged(slot, first);
        TestResult passed{.scenario = scenario, .test = scenario.tests[0], .run = 1};
        passed.received = first.received;
        passed.exchanges = std::span(&first, 1);
        passed.duration = first.duration;
        passed.command = scenario.tests[0].command;
        report.Done(passed);
        expected.TestDone(slot, passed);

        const std::vector<Exchange> second = {
            MakeExchange(kPurposeCommand, {0x00, 0xCA, 0x01, 0x00, 0x2A, 0x00}, {0x61, 0x04}),
            MakeExchange(kPurposeGetResponse, {0x00, 0xC0, 0x00, 0x00, 0x04},
                         {0x01, 0x02, 0x00, 0x2B, 0x90, 0x00})};
        report.Started({1, 0, 1});
        expected.TestStarted(slot, scenario, scenario.tests[1]);
        for (const Exchange& exchange : second) {
            report.Sending(exchange, Clock::now());
            report.Exchanged(exchange);
            expected.Exchanged(slot, exchange);
        }
        const Bytes joined = {0x01, 0x02, 0x00, 0x2B, 0x90, 0x00, 0x77};
        qv::Captures captures = {{"uses", {0x00, 0x2A}}, {"unread", {0x01}}};
        TestResult failed{.scenario = scenario, .test = scenario.tests[1], .run = 1};
        failed.judgement = {Verdict::Mismatch, 3, "the pattern's reason"};
        failed.received = joined;
        failed.result = -10;
        failed.exchanges = second;
        failed.duration = std::chrono::microseconds(500);
        failed.command = second[0].sent;
        failed.captures = &captures;
        failed.why = "the engine's reason";
        failed.inBaseline = TestResult::InBaseline::Found;
        failed.baseline = 0.25;
        report.Done(failed);
        captures.erase("unread"); // not sent: the test does not read it
        expected.TestDone(slot, failed);

        const NotRun notRun{scenarios_, 2, {2, 0, 0}, "stopped at the first failure (--fail-fast)"};
        report.NotRun(notRun.from, notRun.reason);
        expected.TestsNotRun(slot, notRun);
        report.Finished(std::chrono::milliseconds(7));
        ReaderTotals totals;
        totals.Count(passed);
        totals.Count(failed);
        totals.Count(notRun);
        totals.wall = std::chrono::milliseconds(7);
        expected.ReaderDone(slot, totals);
    }

    // What `events` writes, as the bytes on the pipe.
    std::string Written(Transcript& expected) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        ReaderReport report(fds[1]);
        Events(report, expected);
        report.Flush();
        return Drained(fds);
    }

    // Feeds `bytes` through a pipe to a new feed; false once a record is refused.
    bool Feed(const std::string& bytes, Transcript& decoded, ReaderFeed*& kept) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fds[1]);
        feed_ = std::make_unique<ReaderFeed>(0, reader_, scenarios_, 2, decoded);
        kept = feed_.get();
        RecordStream stream;
        bool taken = true;
        while (stream.ReadFrom(fds[0]) == RecordStream::Read::Some) {
            while (const auto item = stream.Next())
                taken = taken && feed_->Take(item->type, item->payload);
        }
        close(fds[0]);
        return taken;
    }

    fs::path dir_;
    std::vector<Scenario> scenarios_;
    Reader reader_;
    std::unique_ptr<ReaderFeed> feed_;
};

TEST_F(RunnerWire, EveryEventComesBackAsItWasAndACutStreamGivesTheWholeRecordsOnly) {
    Transcript expected;
    const std::string bytes = Written(expected);
    ASSERT_EQ(expected.lines.size(), 9u);
    Transcript decoded;
    ReaderFeed* feed = nullptr;
    ASSERT_TRUE(Feed(bytes, decoded, feed));
    EXPECT_EQ(decoded.lines, expected.lines);
    EXPECT_TRUE(feed->IsFinished());
    EXPECT_EQ(feed->Totals().tests, 4u);

    // Cut anywhere, as by a process that ends while it writes: a prefix of the events, never a
    // record read beyond what came.
    std::size_t seen = 0;
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        Transcript part;
        ASSERT_TRUE(Feed(bytes.substr(0, cut), part, feed)) << cut;
        ASSERT_LE(part.lines.size(), expected.lines.size());
        EXPECT_TRUE(std::equal(part.lines.begin(), part.lines.end(), expected.lines.begin()));
        EXPECT_GE(part.lines.size(), seen);
        seen = part.lines.size();
    }
    EXPECT_EQ(seen, expected.lines.size());
}

TEST_F(RunnerWire, TheCallUnderWayTheReaderReadyAndASetUpFailureAreKept) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ReaderReport report(fds[1]);
    report.Calling(CtCall::Init);
    report.Returned();
    report.Ready(Bytes{0x3B, 0x02, 0x14, 0x50});
    report.Calling(CtCall::Close);
    report.Failed("no card in reader 'Reader A'");
    Transcript none;
    ReaderFeed* feed = nullptr;
    ASSERT_TRUE(Feed(Drained(fds), none, feed));
    EXPECT_TRUE(feed->IsReady());
    EXPECT_EQ(Hex(feed->Slot().atr), "3B 02 14 50");
    ASSERT_TRUE(feed->CallUnderWay());
    EXPECT_EQ(feed->CallUnderWay()->call, CtCall::Close);
    EXPECT_EQ(feed->SetupFailure(), "no card in reader 'Reader A'");
    EXPECT_TRUE(none.lines.empty());
}

// A header and a payload, as RecordWriter frames them.
std::string Framed(Record type, const std::string& payload) {
    const std::uint32_t header = static_cast<std::uint32_t>(type) << 24 | payload.size();
    return std::string(reinterpret_cast<const char*>(&header), sizeof header) + payload;
}

std::string Uint32s(std::initializer_list<std::uint32_t> values) {
    std::string text;
    for (const std::uint32_t value : values)
        text.append(reinterpret_cast<const char*>(&value), sizeof value);
    return text;
}

TEST_F(RunnerWire, ARecordThatDoesNotHoldWhatItsTypeSaysIsRefused) {
    const std::string started = Framed(Record::Started, Uint32s({1, 0, 0}));
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"a field short", Framed(Record::Started, Uint32s({1, 0}))},
        {"a byte too many", Framed(Record::Started, Uint32s({1, 0, 0}) + "x")},
        {"a test that does not exist", Framed(Record::Started, Uint32s({1, 0, 2}))},
        {"a run past the last", Framed(Record::Started, Uint32s({3, 0, 0}))},
        {"a type no record has", Framed(static_cast<Record>(200), "")},
        {"bytes longer than the payload",
         started + Framed(Record::Sending, std::string(17, '\0') + Uint32s({1000}))},
        {"a result without its test", Framed(Record::Done, "")},
        {"a result cut short", started + Framed(Record::Done, std::string(1, 0))},
    };
    for (const auto& c : cases) {
        Transcript decoded;
        ReaderFeed* feed = nullptr;
        EXPECT_FALSE(Feed(c.bytes, decoded, feed)) << c.what;
    }
}

} // namespace
