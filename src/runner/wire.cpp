// What a reader's process sends to the run.
#include "runner/wire.h"

#include "req/test_verdict.h"
#include "runner/signals.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace qvrun {
namespace {

constexpr std::size_t kHeader = 4;
constexpr std::size_t kReadRoom = 64 * 1024; // a pipe's usual capacity

std::int64_t Count(Clock::duration duration) {
    return duration.count();
}

std::int64_t Count(Clock::time_point at) {
    return at.time_since_epoch().count();
}

std::int64_t Count(std::chrono::system_clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

Clock::time_point SteadyAt(std::int64_t count) {
    return Clock::time_point(Clock::duration(count));
}

std::uint8_t PurposeIndex(const char* purpose) {
    for (std::size_t k = 0; k < kPurposes.size(); ++k) {
        if (std::strcmp(purpose, kPurposes[k]) == 0)
            return static_cast<std::uint8_t>(k);
    }
    return 0;
}

// A verdict as its byte, and back: nothing for a byte no verdict has.
std::optional<Verdict> VerdictOf(std::uint8_t byte) {
    if (byte > static_cast<std::uint8_t>(Verdict::CaptureMissing))
        return std::nullopt;
    return static_cast<Verdict>(byte);
}

} // namespace

void RecordWriter::Begin(Record type) {
    start_ = buffer_.size();
    buffer_.resize(start_ + kHeader);
    buffer_[start_ + 3] = static_cast<std::uint8_t>(type); // the top byte, written whole in End
}

void RecordWriter::PutBytes(std::span<const std::uint8_t> bytes) {
    Put(static_cast<std::uint32_t>(bytes.size()));
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void RecordWriter::PutText(std::string_view text) {
    PutBytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

void RecordWriter::End() {
    const auto type = static_cast<std::uint32_t>(buffer_[start_ + 3]);
    const auto length = static_cast<std::uint32_t>(std::min(Written(), kMaxPayload));
    const std::uint32_t header = type << 24 | length;
    std::memcpy(buffer_.data() + start_, &header, sizeof header);
    start_ = buffer_.size();
}

bool RecordWriter::Flush() {
    std::size_t sent = 0;
    while (sent < buffer_.size()) {
        const ssize_t n = write(fd_, buffer_.data() + sent, buffer_.size() - sent);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    const bool whole = sent == buffer_.size();
    buffer_.clear();
    start_ = 0;
    return whole;
}

std::span<const std::uint8_t> RecordFields::GetBytes() {
    const auto size = Get<std::uint32_t>();
    if (rest_.size() < size) {
        bad_ = true;
        return {};
    }
    const std::span<const std::uint8_t> bytes = rest_.first(size);
    rest_ = rest_.subspan(size);
    return bytes;
}

std::string_view RecordFields::GetText() {
    const std::span<const std::uint8_t> bytes = GetBytes();
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

RecordStream::Read RecordStream::ReadFrom(int fd) {
    if (taken_ > 0) {
        std::copy(held_.begin() + static_cast<std::ptrdiff_t>(taken_),
                  held_.begin() + static_cast<std::ptrdiff_t>(used_), held_.begin());
        used_ -= taken_;
        taken_ = 0;
    }
    if (held_.size() - used_ < kReadRoom)
        held_.resize(used_ + kReadRoom);
    const ssize_t n = read(fd, held_.data() + used_, held_.size() - used_);
    if (n > 0) {
        used_ += static_cast<std::size_t>(n);
        return Read::Some;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return Read::None;
    return Read::End;
}

std::optional<RecordStream::Item> RecordStream::Next() {
    if (used_ - taken_ < kHeader)
        return std::nullopt;
    std::uint32_t header = 0;
    std::memcpy(&header, held_.data() + taken_, sizeof header);
    const std::size_t length = header & kMaxPayload;
    if (used_ - taken_ - kHeader < length)
        return std::nullopt;
    const Item item{static_cast<Record>(header >> 24), {held_.data() + taken_ + kHeader, length}};
    taken_ += kHeader + length;
    return item;
}

void ReaderReport::Calling(CtCall call) {
    writer_.Begin(Record::Call);
    writer_.Put(static_cast<std::uint8_t>(call));
    writer_.Put(Count(Clock::now()));
    writer_.End();
    Flush();
}

void ReaderReport::Returned() {
    writer_.Begin(Record::Returned);
    writer_.End();
    Flush();
}

void ReaderReport::Ready(std::span<const std::uint8_t> atr) {
    writer_.Begin(Record::Ready);
    writer_.PutBytes(atr);
    writer_.End();
    Flush();
}

void ReaderReport::Failed(std::string_view why) {
    writer_.Begin(Record::Failed);
    writer_.PutText(why);
    writer_.End();
    Flush();
}

void ReaderReport::PutPosition(const Position& position) {
    writer_.Put(static_cast<std::uint32_t>(position.run));
    writer_.Put(static_cast<std::uint32_t>(position.file));
    writer_.Put(static_cast<std::uint32_t>(position.test));
}

void ReaderReport::Started(const Position& position) {
    writer_.Begin(Record::Started);
    PutPosition(position);
    writer_.End();
}

void ReaderReport::Sending(const Exchange& exchange, Clock::time_point since) {
    writer_.Begin(Record::Sending);
    writer_.Put(Count(since));
    writer_.Put(Count(exchange.at));
    writer_.Put(PurposeIndex(exchange.purpose));
    writer_.PutBytes(exchange.sent);
    writer_.End();
    Flush();
}

void ReaderReport::Exchanged(const Exchange& exchange) {
    writer_.Begin(Record::Exchanged);
    writer_.Put(exchange.result);
    writer_.Put(exchange.source);
    writer_.Put(Count(exchange.duration));
    writer_.PutBytes(exchange.received);
    writer_.End();
}

// The result of the test under way: the verdict, where the response differs, the pattern's
// reason, the response (unless it is the last exchange's), the last CT_data result, the time,
// the command (unless it is the test's own), the engine's reason, the baseline's word, and for a
// failed test that reads captures their values.
void ReaderReport::Done(const TestResult& result) {
    writer_.Begin(Record::Done);
    writer_.Put(static_cast<std::uint8_t>(result.judgement.verdict));
    writer_.Put(static_cast<std::uint8_t>(result.judgement.differs.has_value()));
    writer_.Put(static_cast<std::uint64_t>(result.judgement.differs.value_or(0)));
    writer_.PutText(result.judgement.why);
    const std::span<const std::uint8_t> last =
        result.exchanges.empty() ? std::span<const std::uint8_t>{}
                                 : std::span<const std::uint8_t>(result.exchanges.back().received);
    const bool ownResponse = !std::ranges::equal(result.received, last);
    writer_.Put(static_cast<std::uint8_t>(ownResponse));
    if (ownResponse)
        writer_.PutBytes(result.received);
    writer_.Put(result.result);
    writer_.Put(Count(result.duration));
    const bool ownCommand = !std::ranges::equal(result.command, result.test.command);
    writer_.Put(static_cast<std::uint8_t>(ownCommand));
    if (ownCommand)
        writer_.PutBytes(result.command);
    writer_.PutText(result.why);
    writer_.Put(static_cast<std::uint8_t>(result.inBaseline));
    writer_.Put(result.baseline);
    const bool captures = result.captures != nullptr && !result.Passed();
    writer_.Put(static_cast<std::uint8_t>(captures));
    if (captures) {
        // As many as the record holds: they only add to the failure's detail.
        std::vector<std::pair<std::string, const Bytes*>> values;
        std::size_t room = kMaxPayload - writer_.Written() - sizeof(std::uint32_t);
        for (const std::string& name : qv::CaptureUses(result.test)) {
            const auto held = result.captures->find(name);
            if (held == result.captures->end() || 8 + name.size() + held->second.size() > room)
                continue;
            room -= 8 + name.size() + held->second.size();
            values.emplace_back(name, &held->second);
        }
        writer_.Put(static_cast<std::uint32_t>(values.size()));
        for (const auto& [name, value] : values) {
            writer_.PutText(name);
            writer_.PutBytes(*value);
        }
    }
    writer_.End();
}

void ReaderReport::NotRun(const Position& position, std::string_view reason) {
    writer_.Begin(Record::NotRun);
    PutPosition(position);
    writer_.PutText(reason);
    writer_.End();
}

void ReaderReport::Finished(Clock::duration wall) {
    writer_.Begin(Record::Finished);
    writer_.Put(Count(wall));
    writer_.End();
    Flush();
}

ReaderFeed::ReaderFeed(std::size_t index, const Reader& reader,
                       const std::vector<Scenario>& scenarios, unsigned repeat,
                       RunObserver& observer)
    : slot_{index, reader, {}}, scenarios_(scenarios), repeat_(repeat), observer_(observer) {}

// A position of a test that exists.
bool ReaderFeed::TakePosition(RecordFields& fields, Position& position) const {
    position.run = fields.Get<std::uint32_t>();
    position.file = fields.Get<std::uint32_t>();
    position.test = fields.Get<std::uint32_t>();
    return position.run >= 1 && position.run <= repeat_ && position.file < scenarios_.size() &&
           position.test < scenarios_[position.file].tests.size();
}

bool ReaderFeed::Take(Record type, std::span<const std::uint8_t> payload) {
    RecordFields fields(payload);
    switch (type) {
    case Record::Call: {
        const auto call = fields.Get<std::uint8_t>();
        const auto since = fields.Get<std::int64_t>();
        if (!fields.Whole() || call > static_cast<std::uint8_t>(CtCall::Close))
            return false;
        call_ = Call{static_cast<CtCall>(call), SteadyAt(since)};
        return true;
    }
    case Record::Returned:
        call_.reset();
        return fields.Whole();
    case Record::Ready: {
        const std::span<const std::uint8_t> atr = fields.GetBytes();
        slot_.atr.assign(atr.begin(), atr.end());
        ready_ = true;
        return fields.Whole();
    }
    case Record::Failed:
        failure_ = std::string(fields.GetText());
        return fields.Whole();
    case Record::Started: {
        Position position;
        if (!TakePosition(fields, position) || !fields.Whole() || test_)
            return false;
        test_ = position;
        used_ = 0;
        command_.clear();
        const Scenario& scenario = scenarios_[position.file];
        observer_.TestStarted(slot_, scenario, scenario.tests[position.test]);
        return true;
    }
    case Record::Sending: {
        const auto since = fields.Get<std::int64_t>();
        const auto at = fields.Get<std::int64_t>();
        const auto purpose = fields.Get<std::uint8_t>();
        const std::span<const std::uint8_t> sent = fields.GetBytes();
        if (!fields.Whole() || !test_ || sending_ || purpose >= kPurposes.size())
            return false;
        if (used_ == exchanges_.size())
            exchanges_.emplace_back();
        Exchange& exchange = exchanges_[used_];
        exchange.at = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::nanoseconds(at)));
        exchange.purpose = kPurposes[purpose];
        exchange.sent.assign(sent.begin(), sent.end());
        if (used_ == 0)
            command_.assign(sent.begin(), sent.end());
        sending_ = true;
        call_ = Call{CtCall::Data, SteadyAt(since)};
        return true;
    }
    case Record::Exchanged: {
        const auto result = fields.Get<std::int8_t>();
        const auto source = fields.Get<std::uint8_t>();
        const auto duration = fields.Get<std::int64_t>();
        const std::span<const std::uint8_t> received = fields.GetBytes();
        if (!fields.Whole() || !sending_)
            return false;
        Exchange& exchange = exchanges_[used_++];
        exchange.result = result;
        exchange.source = source;
        exchange.duration = Clock::duration(duration);
        exchange.received.assign(received.begin(), received.end());
        sending_ = false;
        call_.reset();
        observer_.Exchanged(slot_, exchange);
        return true;
    }
    case Record::Done:
        return TakeDone(fields);
    case Record::NotRun: {
        Position from;
        from.run = fields.Get<std::uint32_t>();
        from.file = fields.Get<std::uint32_t>();
        from.test = fields.Get<std::uint32_t>();
        const std::string_view reason = fields.GetText();
        if (!fields.Whole() || test_ || from.run < 1 || from.file > scenarios_.size())
            return false;
        endedFor_ = reason;
        const NotRun notRun{scenarios_, repeat_, from, endedFor_, EndingSignal()};
        if (notRun.Count() > 0) {
            totals_.Count(notRun);
            observer_.TestsNotRun(slot_, notRun);
        }
        return true;
    }
    case Record::Finished: {
        const auto wall = fields.Get<std::int64_t>();
        if (!fields.Whole() || test_ || finished_)
            return false;
        totals_.wall = Clock::duration(wall);
        finished_ = true;
        observer_.ReaderDone(slot_, totals_);
        return true;
    }
    case Record::Answer: // a reader's process sends none
        return false;
    }
    return false;
}

bool ReaderFeed::TakeDone(RecordFields& fields) {
    if (!test_ || sending_)
        return false;
    const Scenario& scenario = scenarios_[test_->file];
    const Test& test = scenario.tests[test_->test];
    TestResult result{.scenario = scenario, .test = test, .run = test_->run};
    const std::optional<Verdict> verdict = VerdictOf(fields.Get<std::uint8_t>());
    const bool differs = fields.Get<std::uint8_t>() != 0;
    const auto at = fields.Get<std::uint64_t>();
    judged_ = fields.GetText();
    result.exchanges = std::span<const Exchange>(exchanges_.data(), used_);
    if (fields.Get<std::uint8_t>() != 0) {
        const std::span<const std::uint8_t> received = fields.GetBytes();
        received_.assign(received.begin(), received.end());
        result.received = received_;
    } else if (used_ > 0) {
        result.received = exchanges_[used_ - 1].received;
    }
    result.result = fields.Get<std::int8_t>();
    result.duration = Clock::duration(fields.Get<std::int64_t>());
    result.command = test.command;
    if (fields.Get<std::uint8_t>() != 0) {
        const std::span<const std::uint8_t> command = fields.GetBytes();
        command_.assign(command.begin(), command.end());
        result.command = command_;
    }
    why_ = fields.GetText();
    const auto inBaseline = fields.Get<std::uint8_t>();
    result.baseline = fields.Get<double>();
    captures_.clear();
    if (fields.Get<std::uint8_t>() != 0) {
        const auto count = fields.Get<std::uint32_t>();
        for (std::uint32_t k = 0; k < count && fields.Ok(); ++k) {
            const std::string_view name = fields.GetText();
            const std::span<const std::uint8_t> value = fields.GetBytes();
            captures_.insert_or_assign(std::string(name), Bytes(value.begin(), value.end()));
        }
        result.captures = &captures_;
    }
    if (!fields.Whole() || !verdict ||
        inBaseline > static_cast<std::uint8_t>(TestResult::InBaseline::Missing)) {
        return false;
    }
    result.judgement.verdict = *verdict;
    if (differs)
        result.judgement.differs = static_cast<std::size_t>(at);
    result.judgement.why = judged_;
    result.why = why_;
    result.inBaseline = static_cast<TestResult::InBaseline>(inBaseline);
    Tell(result);
    return true;
}

// Counts and hands on the result of the test under way; the next test is the one after it.
void ReaderFeed::Tell(const TestResult& result) {
    totals_.Count(result);
    observer_.TestDone(slot_, result);
    position_ = *test_;
    ++position_.test;
    test_.reset();
}

std::string ReaderFeed::Where() const {
    const Position& at = test_ ? *test_ : position_;
    const Scenario& scenario = scenarios_[std::min(at.file, scenarios_.size() - 1)];
    const std::size_t number = test_ ? scenario.tests[test_->test].number : position_.test;
    return "test " + std::to_string(number) + " of " + scenario.path;
}

void ReaderFeed::EndEarly(const std::string& why, const std::string& reason,
                          Clock::time_point start) {
    const Clock::time_point now = Clock::now();
    if (test_ && !why.empty()) {
        const Scenario& scenario = scenarios_[test_->file];
        const Test& test = scenario.tests[test_->test];
        TestResult result{.scenario = scenario, .test = test, .run = test_->run};
        result.judgement.verdict = Verdict::CtError;
        // Not sent yet: the command as it would have been, runs spelled out.
        if (command_.empty())
            result.command = qv::CommandToSend(test, {}, command_);
        else
            result.command = command_;
        result.why = why;
        // Those that came back; the last one did not.
        result.exchanges = std::span<const Exchange>(exchanges_.data(), used_);
        result.duration = call_ ? now - call_->since : Clock::duration::zero();
        Tell(result);
    } else if (test_) {
        position_ = *test_;
        test_.reset();
    }
    call_.reset();
    sending_ = false;
    const NotRun notRun{scenarios_, repeat_, position_, reason, EndingSignal()};
    if (notRun.Count() > 0) {
        totals_.Count(notRun);
        observer_.TestsNotRun(slot_, notRun);
    }
    totals_.wall = now - start;
    finished_ = true;
    observer_.ReaderDone(slot_, totals_);
}

} // namespace qvrun
