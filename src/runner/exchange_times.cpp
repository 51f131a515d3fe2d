// Exchange times ranked in fixed memory.
#include "runner/exchange_times.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <type_traits>

namespace qvrun {

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

namespace {

// The buckets of ExchangeTimes. Times of 2^42 ns and more (over an hour) share the last.
constexpr int kExactBits = 10; // times below 2^10 ns have a bucket each
constexpr int kSpanBits = 9;   // 2^9 buckets per power of two above
constexpr int kTopBit = 41;
constexpr std::size_t kExact = 1u << kExactBits;
constexpr std::size_t kPerPower = 1u << kSpanBits;
constexpr std::size_t kBuckets = kExact + (kTopBit - kExactBits + 1) * kPerPower;

std::size_t Bucket(Clock::rep nanoseconds) {
    const auto time = static_cast<std::uint64_t>(std::max<Clock::rep>(nanoseconds, 0));
    if (time < kExact)
        return time;
    const int power = std::bit_width(time) - 1;
    if (power > kTopBit)
        return kBuckets - 1;
    const std::uint64_t mantissa = time >> (power - kSpanBits); // in [2^9, 2^10)
    return kExact + (power - kExactBits) * kPerPower + (mantissa - kPerPower);
}

} // namespace

static_assert(std::is_same_v<Clock::period, std::nano>, "the buckets are of nanoseconds");

ExchangeTimes::ExchangeTimes() : counts_(kBuckets), longest_(kBuckets) {}

void ExchangeTimes::Add(Clock::duration time) {
    const std::size_t bucket = Bucket(time.count());
    ++counts_[bucket];
    longest_[bucket] = std::max(longest_[bucket], time.count());
    ++total_;
}

std::optional<Percentiles> ExchangeTimes::Ranked() const {
    if (total_ == 0)
        return std::nullopt;
    Percentiles p;
    // Nearest rank: the smallest time that at least that share of the exchanges does not pass.
    const auto rank = [&](double share) {
        const auto wanted = std::clamp<std::uint64_t>(
            static_cast<std::uint64_t>(std::ceil(share * static_cast<double>(total_))), 1, total_);
        std::uint64_t seen = 0;
        for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) {
            seen += counts_[bucket];
            if (seen >= wanted)
                return Milliseconds(Clock::duration(longest_[bucket]));
        }
        return 0.0; // not reached: the counts add up to total_
    };
    p.p50 = rank(0.50);
    p.p95 = rank(0.95);
    p.max = rank(1.0);
    return p;
}

} // namespace qvrun
