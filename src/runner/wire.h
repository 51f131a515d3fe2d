// What a reader's process sends to the run over a pipe: records, their framing, and the two
// ends that write them (ReaderReport, in the reader's process) and turn them back into the
// events of result.h (ReaderFeed, in the run's process). A process that asks a PC/SC service for
// the run answers in the same records (pcsc_service.h).
//
// Framing. A record is a 4-byte header and a payload. The header is one 32-bit word in the
// machine's byte order (both ends are one program on one machine): the record's type in the top
// 8 bits, the payload's length in bytes in the low 24 bits (at most 16 MiB - 1). The payload's
// fields follow one another without padding: integers and doubles of fixed width in the
// machine's byte order, byte strings and text as a 32-bit length and then the bytes. A time is
// an int64 count of nanoseconds (the steady clock, which all processes share, or the system
// clock for the time an exchange was sent).
//
// Batching. The reader's process gathers records in a buffer and writes the buffer in one
// write before each CT-API call and at its end: one system call per exchange however many
// records it holds, and whatever came before a call is in the pipe when the library ends the
// process in that call. A record cut short by the process's end is dropped.
#pragma once

#include "runner/result.h"
#include "runner/terminal.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qvrun {

// The records and their payloads. A position is three uint32: the run (1-based), the file and
// the test (0-based).
enum class Record : std::uint8_t {
    Call = 1,  // uint8 CtCall, time since: a call of the terminal's own begins (terminal.h)
    Returned,  // nothing: that call came back
    Ready,     // bytes ATR (empty without a reset): the terminal is open
    Failed,    // text: why the terminal could not be opened (a set-up error); the process ends
    Started,   // position: a test begins
    Sending,   // time since, time sent (system clock), uint8 purpose, bytes command: one of the
               // test's exchanges begins
    Exchanged, // int8 result, uint8 source, time taken, bytes response: it came back
    Done,      // the result of the test under way (ReaderReport::Done)
    NotRun,    // position, text reason: the tests from there on are not run
    Finished,  // time the reader's tests took: the last record before CT_close
    Answer,    // text: one answer of a PC/SC service asked (pcsc_service.h; Failed for an error)
};

inline constexpr std::size_t kMaxPayload = (std::size_t{1} << 24) - 1;

// Gathers records and writes them to a pipe.
class RecordWriter {
  public:
    explicit RecordWriter(int fd) : fd_(fd) {}

    void Begin(Record type);
    template <typename T> void Put(T value) {
        static_assert(std::is_arithmetic_v<T> || std::is_enum_v<T>);
        const std::size_t at = buffer_.size();
        buffer_.resize(at + sizeof value);
        std::memcpy(buffer_.data() + at, &value, sizeof value);
    }
    void PutBytes(std::span<const std::uint8_t> bytes);
    void PutText(std::string_view text);
    // The record's length so far, for a writer that must stay within kMaxPayload.
    std::size_t Written() const { return buffer_.size() - start_ - 4; }
    void End();
    // Writes every record gathered; false when the pipe is gone (what was gathered is dropped).
    bool Flush();

  private:
    int fd_;
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0; // the header of the record being gathered
};

// A record's payload read field by field. A field that would reach past the payload's end reads
// as zero or empty and marks the payload bad: nothing beyond what was received is read.
class RecordFields {
  public:
    explicit RecordFields(std::span<const std::uint8_t> payload) : rest_(payload) {}

    template <typename T> T Get() {
        T value{};
        if (rest_.size() < sizeof value) {
            bad_ = true;
            return value;
        }
        std::memcpy(&value, rest_.data(), sizeof value);
        rest_ = rest_.subspan(sizeof value);
        return value;
    }
    std::span<const std::uint8_t> GetBytes();
    std::string_view GetText();
    // Every field read so far was there.
    bool Ok() const { return !bad_; }
    // Every field was there, and nothing is left over.
    bool Whole() const { return !bad_ && rest_.empty(); }

  private:
    std::span<const std::uint8_t> rest_;
    bool bad_ = false;
};

// Splits what comes out of a pipe into records.
class RecordStream {
  public:
    enum class Read { Some, None, End };
    // One read of what `fd` (non-blocking) holds: Some, None yet, or End (EOF or an error).
    Read ReadFrom(int fd);
    // The next whole record that has come, valid until the next ReadFrom.
    struct Item {
        Record type;
        std::span<const std::uint8_t> payload;
    };
    std::optional<Item> Next();

  private:
    std::vector<std::uint8_t> held_;
    std::size_t used_ = 0;  // bytes of held_ that were read from the pipe
    std::size_t taken_ = 0; // of those, the ones Next has handed out
};

// The reader's process's end: each event as a record, written out before each call.
class ReaderReport : public CallListener {
  public:
    explicit ReaderReport(int fd) : writer_(fd) {}

    void Calling(CtCall call) override; // written out at once
    void Returned() override;           // written out at once
    void Ready(std::span<const std::uint8_t> atr);
    void Failed(std::string_view why);
    void Started(const Position& position);
    // Before and after one exchange of a test; Sending writes out what was gathered.
    void Sending(const Exchange& exchange, Clock::time_point since);
    void Exchanged(const Exchange& exchange);
    void Done(const TestResult& result); // of the test under way
    void NotRun(const Position& position, std::string_view reason);
    void Finished(Clock::duration wall);
    bool Flush() { return writer_.Flush(); }

  private:
    void PutPosition(const Position& position);

    RecordWriter writer_;
};

// The run's end for one reader: its records turned back into events for `observer`, and what
// the reader's process had under way, for when the process ends early.
class ReaderFeed {
  public:
    // `scenarios` and `observer` must outlive the feed.
    ReaderFeed(std::size_t index, const Reader& reader, const std::vector<Scenario>& scenarios,
               unsigned repeat, RunObserver& observer);

    // Takes one record: ReaderReady is the caller's to tell (it keeps the readers' order), the
    // other events go to the observer as they come. False for a record that cannot be read.
    bool Take(Record type, std::span<const std::uint8_t> payload);

    const ReaderSlot& Slot() const { return slot_; }
    bool IsReady() const { return ready_; }
    const std::optional<std::string>& SetupFailure() const { return failure_; }
    bool IsFinished() const { return finished_; }
    // The CT-API call under way: which, and since when.
    struct Call {
        CtCall call;
        Clock::time_point since;
    };
    const std::optional<Call>& CallUnderWay() const { return call_; }
    // Why the reader's process stopped before its last test, as it said it; empty when it did
    // not.
    const std::string& EndedFor() const { return endedFor_; }
    // Where the reader stands, for the reason its run ended early: "test 3 of a.req".
    std::string Where() const;
    // Ends the run of a reader whose process ended before it finished: the test under way is an
    // error `why` (with `why` empty it is not run), the tests from there are not run for
    // `reason`, and the reader is done, its time counted from `start`.
    void EndEarly(const std::string& why, const std::string& reason, Clock::time_point start);
    const ReaderTotals& Totals() const { return totals_; }

  private:
    bool TakeDone(RecordFields& fields);
    bool TakePosition(RecordFields& fields, Position& position) const;
    void Tell(const TestResult& result);

    ReaderSlot slot_;
    const std::vector<Scenario>& scenarios_;
    unsigned repeat_;
    RunObserver& observer_;
    bool ready_ = false, finished_ = false;
    std::optional<std::string> failure_;
    std::optional<Call> call_;
    Position position_;               // the first test not done
    std::optional<Position> test_;    // the test under way
    std::vector<Exchange> exchanges_; // the first used_ are the test's, the next one is being sent
    std::size_t used_ = 0;
    bool sending_ = false;
    Bytes command_, received_; // the test's command as sent first, its response as judged
    std::string why_, judged_, endedFor_;
    qv::Captures captures_;
    ReaderTotals totals_;
};

} // namespace qvrun
