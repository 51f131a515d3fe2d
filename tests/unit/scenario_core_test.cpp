// The scenario core on its own: the REQ reader with a sink of its own, the matcher, the verdict,
// and the exchange with a CT_data given as a parameter.
#include "core/exchange.h"
#include "req/match.h"
#include "req/req_reader.h"
#include "req/verdict.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- the REQ reader ------------------------------------------------------------------------

struct Collected {
    std::size_t number;
    std::size_t line;
    std::string title;
    Bytes command;
    Bytes expected;
    Bytes wildcard;
    bool operator==(const Collected&) const = default;
};

Collected Copy(const qv::ReqTest& t) {
    return {t.number, t.line, std::string(t.Title()), t.command, t.expected, t.wildcard};
}

// A sink like the runner's: every test kept, no limit.
class ListSink : public qv::ReqSink {
  public:
    void Test(const qv::ReqTest& test) override { tests.push_back(Copy(test)); }
    void Unfinished(const qv::ReqTest& test) override { unfinished = Copy(test); }

    std::vector<Collected> tests;
    std::optional<Collected> unfinished;
};

ListSink FromText(const std::string& text) {
    ListSink sink;
    qv::ReadReqText(text, sink);
    return sink;
}

ListSink FromStream(std::string text) {
    ListSink sink;
    std::FILE* f = fmemopen(text.data(), text.size(), "r");
    EXPECT_NE(f, nullptr);
    EXPECT_TRUE(qv::ReadReqStream(f, sink));
    std::fclose(f);
    return sink;
}

TEST(ReqReader, HandsOverWholeTestsWithNumbersLinesAndTitles) {
    const ListSink sink = FromText("# - Select MF\r\n"
                                   "1,2,0: 00 A4 00 00 02 3F 00\r\n"
                                   "> 90 00\r\n"
                                   "\n"
                                   "#Get challenge\n"
                                   "2,0 0084000008\n"
                                   ">xx xx 78 9000\n"
                                   "2,0 00B0\n"
                                   "2,0 00CA\n"
                                   "#pending\n"
                                   "2,0 01");
    ASSERT_EQ(sink.tests.size(), 3u);
    EXPECT_EQ(
        sink.tests[0],
        (Collected{
            1, 2, "Select MF", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, {0x90, 0x00}, {0, 0}}));
    EXPECT_EQ(sink.tests[1], (Collected{2,
                                        6,
                                        "Get challenge",
                                        {0x00, 0x84, 0x00, 0x00, 0x08},
                                        {0x78, 0x78, 0x78, 0x90, 0x00},
                                        {1, 1, 0, 0, 0}}));
    // The second command line replaced the first; the name line closed the test without a
    // response and named it.
    EXPECT_EQ(sink.tests[2], (Collected{3, 9, "pending", {0x00, 0xCA}, {}, {}}));
    // The last command line has no line end: reported, not counted.
    ASSERT_TRUE(sink.unfinished.has_value());
    EXPECT_EQ(*sink.unfinished, (Collected{4, 11, "", {0x01}, {}, {}}));
}

TEST(ReqReader, HasNoTestLimitAndNoLineLimit) {
    std::string text;
    for (int i = 0; i < 1200; ++i) {
        text += "2,0 " + std::string(i == 700 ? 300000 : 4, 'A') + "\n>9000\n";
    }
    const ListSink sink = FromText(text);
    ASSERT_EQ(sink.tests.size(), 1200u);
    EXPECT_EQ(sink.tests[700].command.size(), 150000u);
    EXPECT_EQ(sink.tests[1199].number, 1200u);
    EXPECT_FALSE(sink.unfinished.has_value());
}

TEST(ReqReader, StreamAndTextAgreeAcrossReadBlocks) {
    // Lines of every length around the stream's read blocks, continued responses, CR LF and
    // NULs: the stream is read in blocks, the text at once; both must yield the same tests.
    std::string text;
    for (int i = 0; i < 90; ++i) {
        text += "#t" + std::to_string(i) + (i % 3 == 0 ? "\r\n" : "\n");
        text += "2,0 " + std::string(1000 + 977 * i * (i % 7), "0123456789abcdefxX"[i % 18]);
        text += i % 5 == 0 ? std::string("\0 12\n", 5) : "\n";
        text += ">" + std::string(i * 311, 'x') + (i % 4 == 0 ? "\\\n33" : "") + "9000\n";
    }
    const ListSink fromText = FromText(text);
    const ListSink fromStream = FromStream(text);
    EXPECT_EQ(fromText.tests.size(), 90u);
    EXPECT_TRUE(fromText.tests == fromStream.tests);
    EXPECT_EQ(FromText(text + "2,0 7").unfinished, FromStream(text + "2,0 7").unfinished);
}

TEST(ReqReader, AStreamInErrorEndsTheRead) {
    ListSink sink;
    std::FILE* dir = std::fopen(".", "r");
    ASSERT_NE(dir, nullptr);
    EXPECT_FALSE(qv::ReadReqStream(dir, sink));
    std::fclose(dir);
    EXPECT_TRUE(sink.tests.empty());
}

// One policy for a NUL, asked of the sink once: the rules cut the line at it and read on; a sink
// that refuses what is not text stops the reading there, from a text and a stream alike.
TEST(ReqReader, TheFirstNulAsksTheSinkOnce) {
    class NulSink : public ListSink {
      public:
        explicit NulSink(bool readOn) : readOn_(readOn) {}
        bool ReadOnAfterNul(std::size_t line) override {
            lines.push_back(line);
            return readOn_;
        }
        std::vector<std::size_t> lines;

      private:
        bool readOn_;
    };
    const std::string text = std::string("2,0 00 A4\n> 90 00\n2,0 00 B0\0 12\n> 90\0 00\n", 41) +
                             "2,0 00 C0\n> 6A 82\n#pending";
    for (const bool readOn : {true, false}) {
        NulSink fromText(readOn), fromStream(readOn);
        qv::ReadReqText(text, fromText);
        std::string copy = text;
        std::FILE* f = fmemopen(copy.data(), copy.size(), "r");
        ASSERT_NE(f, nullptr);
        EXPECT_TRUE(qv::ReadReqStream(f, fromStream));
        std::fclose(f);
        for (const NulSink* sink : {&fromText, &fromStream}) {
            EXPECT_EQ(sink->lines, std::vector<std::size_t>{3}) << readOn;
            ASSERT_EQ(sink->tests.size(), readOn ? 3u : 1u) << readOn;
            EXPECT_EQ(sink->unfinished.has_value(), readOn) << "not called after a stop";
            if (readOn) {
                EXPECT_EQ(sink->tests[1].command, (Bytes{0x00, 0xB0}));
                EXPECT_EQ(sink->tests[1].expected, (Bytes{0x90}));
            }
        }
    }
}

// ---- the verdict -----------------------------------------------------------------------------

TEST(Verdict, OnlyTheCardsMatchingAnswerPasses) {
    const Bytes expected{0x12, 0x78, 0x90, 0x00};
    const Bytes wildcard{0, 1, 0, 0};
    struct Case {
        std::int8_t result;
        std::uint8_t source;
        Bytes received;
        qv::Verdict verdict;
        std::optional<std::size_t> differs;
    };
    const Case cases[] = {
        {OK, 0, {0x12, 0x34, 0x90, 0x00}, qv::Verdict::Passed, std::nullopt},
        {OK, 0, {0x12, 0x34, 0x6A, 0x82}, qv::Verdict::Mismatch, 2},
        {OK, 0, {0x12, 0x34, 0x90}, qv::Verdict::Mismatch, 3},
        {OK, 0, {0x12, 0x34, 0x90, 0x00, 0x00}, qv::Verdict::Mismatch, 4},
        // The terminal's reply is recognised as such, its bytes judged all the same.
        {OK, 1, {0x12, 0x34, 0x90, 0x00}, qv::Verdict::TerminalReply, std::nullopt},
        {OK, 1, {0x6D, 0x00}, qv::Verdict::TerminalReply, 0},
        {ERR_TRANS, 0, {}, qv::Verdict::CtError, std::nullopt},
    };
    for (const Case& c : cases) {
        const qv::Judgement j =
            qv::Judge({expected, wildcard}, {c.result, c.source, c.received, {}});
        EXPECT_EQ(j.verdict, c.verdict) << c.received.size();
        EXPECT_EQ(j.differs, c.differs) << c.received.size();
    }
    const Bytes any{0x6D, 0x00};
    EXPECT_TRUE(qv::Judge({}, {OK, 0, any, {}}).Passed()) << "no expected response takes any";
}

// ---- the matcher -----------------------------------------------------------------------------

struct MatchCase {
    const char* what;
    Bytes expected;
    Bytes wildcard;
    Bytes received;
    std::optional<std::size_t> difference;
};

class Matcher : public ::testing::TestWithParam<MatchCase> {};

TEST_P(Matcher, FindsTheFirstDifference) {
    const MatchCase& c = GetParam();
    EXPECT_EQ(qv::FirstDifference({c.expected, c.wildcard}, c.received), c.difference) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Matcher,
    ::testing::Values(
        MatchCase{"equal", {0x90, 0x00}, {0, 0}, {0x90, 0x00}, std::nullopt},
        MatchCase{
            "wildcards take any byte", {0x78, 0x78, 0x90}, {1, 1, 0}, {1, 2, 0x90}, std::nullopt},
        MatchCase{"a literal 78 is no wildcard", {0x78, 0x00}, {0, 0}, {0x12, 0x00}, 0},
        MatchCase{"a literal 78 matches 78", {0x78}, {0}, {0x78}, std::nullopt},
        MatchCase{"first difference after a wildcard", {0x78, 0x01, 0x02}, {1, 0, 0}, {9, 1, 3}, 2},
        MatchCase{"received shorter", {0x01, 0x02, 0x03}, {0, 0, 0}, {0x01, 0x02}, 2},
        MatchCase{"received longer", {0x78, 0x78}, {1, 1}, {1, 2, 3}, 2},
        MatchCase{"differs before the length does", {0x01, 0x02}, {0, 0}, {0x05}, 0},
        MatchCase{"nothing received", {0x90, 0x00}, {0, 0}, {}, 0},
        MatchCase{"no expected response takes anything", {}, {}, {0x6A, 0x82}, std::nullopt},
        MatchCase{"no expected response takes nothing", {}, {}, {}, std::nullopt},
        MatchCase{"missing flags are literal", {0x78, 0x78}, {1}, {0x01, 0x02}, 1}));

// ---- the exchange ----------------------------------------------------------------------------

struct SeenCall {
    std::uint16_t ctn = 0;
    std::uint8_t dad = 0;
    std::uint8_t sad = 0;
    Bytes command;
    std::uint16_t room = 0;
    int calls = 0;
};
SeenCall gSeen;
Bytes gReply;
std::uint16_t gReportedLength = 0; // the length the fake reports back

// A CT_data that records what it was given, scribbles over the command, answers gReply from the
// terminal (source 1) and reports gReportedLength.
std::int8_t FakeCtData(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                       std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response) {
    gSeen = {ctn, *dad, *sad, Bytes(command, command + lenc), *lenr, gSeen.calls + 1};
    for (std::uint16_t i = 0; i < lenc; ++i) {
        command[i] = 0xEE;
    }
    std::copy(gReply.begin(), gReply.end(), response);
    *lenr = gReportedLength;
    *sad = 1;
    *dad = 2;
    return OK;
}

std::int8_t FailingCtData(std::uint16_t, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t,
                          std::uint8_t*, std::uint16_t*, std::uint8_t*) {
    *sad = 0;
    *dad = 2;
    return ERR_TRANS;
}

TEST(Exchange, SendsThroughTheGivenEntryAndHandsBackTheReply) {
    gSeen = {};
    gReply = {0x3B, 0x02, 0x90, 0x00};
    gReportedLength = 4;
    const Bytes command = {0x20, 0x10, 0x01, 0x01, 0x00};
    Bytes room(33, 0);
    const qv::ExchangeResult r = qv::SendCommand(0x0103, 1, 2, command, room, FakeCtData);
    EXPECT_EQ(r.result, OK);
    EXPECT_EQ(gSeen.ctn, 0x0103);
    EXPECT_EQ(gSeen.dad, 1);
    EXPECT_EQ(gSeen.sad, 2);
    EXPECT_EQ(gSeen.room, 33);
    EXPECT_EQ(gSeen.command, command);
    EXPECT_EQ(command[0], 0x20) << "the library wrote into the caller's command";
    EXPECT_EQ(r.source, 1);
    EXPECT_EQ(Bytes(r.received.begin(), r.received.end()), gReply);
    EXPECT_EQ(r.received.data(), room.data());
    EXPECT_GE(r.duration.count(), 0);
}

TEST(Exchange, BelievesALengthOnlyUpToTheRoomAndCapsTheRoom) {
    gSeen = {};
    gReply = {1, 2, 3};
    gReportedLength = 200;
    Bytes room(3);
    EXPECT_EQ(qv::SendCommand(0, 0, 2, Bytes{1}, room, FakeCtData).received.size(), 3u);

    gReply.clear();
    gReportedLength = 0;
    Bytes large(70000);
    EXPECT_EQ(qv::SendCommand(0, 0, 2, Bytes{1}, large, FakeCtData).result, OK);
    EXPECT_EQ(gSeen.room, qv::kMaxCtLength);
}

TEST(Exchange, RefusesACommandTooLongForTheCtApi) {
    gSeen = {};
    Bytes room(8);
    const qv::ExchangeResult r =
        qv::SendCommand(0, 0, 2, Bytes(qv::kMaxCtLength + 1, 0), room, FakeCtData);
    EXPECT_EQ(r.result, ERR_INVALID);
    EXPECT_EQ(gSeen.calls, 0);
    EXPECT_TRUE(r.received.empty());
}

TEST(Exchange, AFailureHandsBackNoBytes) {
    Bytes room(8, 0x11);
    const qv::ExchangeResult r = qv::SendCommand(0, 0, 2, Bytes{1}, room, FailingCtData);
    EXPECT_EQ(r.result, ERR_TRANS);
    EXPECT_TRUE(r.received.empty());
}

} // namespace
