// The run's exchange times, for the summary's percentiles.
#pragma once

#include "runner/result.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace qvrun {

struct Percentiles {
    double p50 = 0, p95 = 0, max = 0; // milliseconds
};

// The exchange times of a run of any length in a fixed few hundred kilobytes: a bucket per
// nanosecond below 1024 ns, above that 512 buckets per power of two (each spanning less than
// 0.2 % of its times), each bucket with its count and its longest time. A percentile by nearest
// rank is then a time that was measured: exact where no other time shares its bucket, and never
// more than its bucket's span above the exact one.
class ExchangeTimes {
  public:
    ExchangeTimes();
    void Add(Clock::duration time);
    // Nothing when no exchange was timed.
    std::optional<Percentiles> Ranked() const;

  private:
    std::vector<std::uint64_t> counts_;
    std::vector<Clock::rep> longest_;
    std::uint64_t total_ = 0;
};

double Milliseconds(Clock::duration duration);

} // namespace qvrun
