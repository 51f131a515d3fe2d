// quorvane-run's parts that need no reader: the command line, the verdict of an exchange, the
// failure detail of long responses, XML text, and the percentiles of the summary.
#include "runner/junit.h"
#include "runner/options.h"
#include "runner/report.h"
#include "runner/run.h"

#include <ctapi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace qvrun;
using namespace std::chrono_literals;

Options Parse(std::vector<const char*> args) {
    return ParseOptions(args);
}

TEST(RunnerOptions, EveryFormOfTheCommandLine) {
    const Options o = Parse({"-r", "2", "--readers=3,,Gem", "--ctapi", "/x/lib.so", "--no-reset",
                             "--junit=j.xml", "--trace", "t.txt", "--record", "r.req", "--repeat",
                             "3", "--fail-fast", "--get-response", "-v", "a.req", "--", "-b.req"});
    EXPECT_EQ(o.readers, (std::vector<std::string>{"2", "3", "Gem"}));
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

    const std::vector<std::vector<const char*>> refused = {
        {},
        {"--all-readers", "-r", "1", "a.req"},
        {"--repeat", "0", "a.req"},
        {"--repeat", "2x", "a.req"},
        {"--repeat", "-1", "a.req"},
        {"--repeat", "99999999999", "a.req"},
        {"--fail-fast=yes", "a.req"},
        {"--readers", ",", "a.req"},
        {"a.req", "-r"},
        {"-x", "a.req"},
    };
    for (const auto& args : refused)
        EXPECT_THROW(Parse(args), SetupError) << testing::PrintToString(args);
}

TEST(RunnerVerdict, OnlyTheCardsMatchingAnswerPasses) {
    qvrun::Test test;
    test.command = {0x00, 0xB0, 0x00, 0x00, 0x02};
    test.expected = {0x12, 0x78, 0x90, 0x00};
    test.wildcard = {0, 1, 0, 0};
    struct Case {
        std::int8_t result;
        std::uint8_t source;
        Bytes received;
        Verdict verdict;
        std::optional<std::size_t> differs;
    };
    const Case cases[] = {
        {OK, 0, {0x12, 0x34, 0x90, 0x00}, Verdict::Passed, std::nullopt},
        {OK, 0, {0x12, 0x34, 0x6A, 0x82}, Verdict::Mismatch, 2},
        {OK, 0, {0x12, 0x34, 0x90}, Verdict::Mismatch, 3},
        {OK, 0, {0x12, 0x34, 0x90, 0x00, 0x00}, Verdict::Mismatch, 4},
        {OK, 1, {0x12, 0x34, 0x90, 0x00}, Verdict::TerminalReply, std::nullopt},
        {ERR_TRANS, 0, {}, Verdict::CtError, std::nullopt},
    };
    for (const Case& c : cases) {
        Exchange last;
        last.result = c.result;
        last.source = c.source;
        last.received = c.received;
        const Outcome outcome = Judge(test, last);
        EXPECT_EQ(outcome.verdict, c.verdict) << HexText(c.received);
        EXPECT_EQ(outcome.differs, c.differs) << HexText(c.received);
    }
    test.expected.clear();
    test.wildcard.clear();
    Exchange any;
    any.received = {0x6D, 0x00};
    EXPECT_TRUE(Judge(test, any).Passed()) << "no expected response takes any answer";
}

TEST(RunnerReport, LongResponsesShowAWindowWithTheMarkUnderTheDifference) {
    qvrun::Test test;
    test.command = {0x00, 0xB0, 0x00, 0x00, 0x00};
    test.expected.assign(300, 0xAA);
    test.expected.push_back(0x90);
    test.expected.push_back(0x00);
    test.wildcard.assign(test.expected.size(), 0);
    test.wildcard[201] = 1;
    Exchange last;
    last.received = test.expected;
    last.received[200] = 0xAB;
    const Outcome outcome = Judge(test, last);
    ASSERT_EQ(outcome.differs, 200u);
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

TEST(RunnerReport, PercentilesByNearestRank) {
    std::vector<Clock::duration> times;
    for (int ms = 100; ms >= 1; --ms)
        times.push_back(std::chrono::milliseconds(ms));
    const Percentiles p = ExchangePercentiles(times);
    EXPECT_DOUBLE_EQ(p.p50, 50);
    EXPECT_DOUBLE_EQ(p.p95, 95);
    EXPECT_DOUBLE_EQ(p.max, 100);
    const Percentiles one = ExchangePercentiles({3ms});
    EXPECT_DOUBLE_EQ(one.p50, 3);
    EXPECT_DOUBLE_EQ(one.p95, 3);
    EXPECT_DOUBLE_EQ(ExchangePercentiles({}).max, 0);
}

} // namespace
