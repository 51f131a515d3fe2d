// What the runner prints: a line per test, the detail of a failure, a summary; and the same
// facts for the trace file.
#pragma once

#include "runner/options.h"
#include "runner/run.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace qvrun {

// "00 A4 04 00"; "xx" for the bytes that `wildcard` marks (a mark k for byte k, where present).
std::string HexText(std::span<const std::uint8_t> bytes,
                    std::span<const std::uint8_t> wildcard = {});

// The lines that explain a failed test: command sent, expected response (wildcards as xx),
// response received, the first differing byte marked; or the CT-API result.
std::vector<std::string> FailureDetail(const Outcome& outcome);

// One line for the failure's kind, as JUnit's failure message.
std::string FailureMessage(const Outcome& outcome);

struct Percentiles {
    double p50 = 0, p95 = 0, max = 0; // milliseconds
};
Percentiles ExchangePercentiles(std::vector<Clock::duration> times);

double Milliseconds(Clock::duration duration);

// The runner's standard output, shared by the readers' threads.
class Console {
  public:
    Console(std::FILE* out, Verbosity verbosity, bool severalReaders, bool progress,
            std::size_t testsInAll);

    void ReaderReady(const Reader& reader, const Bytes& atr, bool reset);
    void Warning(const std::string& line);
    void TestDone(const Reader& reader, const Outcome& outcome,
                  const std::vector<Exchange>& exchanges);
    void Summary(const std::vector<Reader>& readers, const std::vector<ReaderRun>& runs,
                 Clock::duration wall);

  private:
    void ClearProgress();
    void ShowProgress();
    std::string Prefix(const Reader& reader) const;

    std::mutex mutex_;
    std::FILE* out_;
    Verbosity verbosity_;
    bool severalReaders_;
    bool progress_;
    std::size_t testsInAll_;
    std::size_t testsDone_ = 0;
    std::size_t testsFailed_ = 0;
    std::map<std::uint16_t, std::pair<const Scenario*, unsigned>> block_; // per reader
};

// The --trace file: one line per exchange.
class TraceFile {
  public:
    explicit TraceFile(const std::string& path); // throws SetupError
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    void Write(const Reader& reader, const Exchange& exchange);

  private:
    std::mutex mutex_;
    std::FILE* file_;
};

} // namespace qvrun
