// --baseline: the test times of an earlier run's JUnit report, to compare this run's with.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace qvrun {

class Baseline {
  public:
    // Reads the test cases of a JUnit report (any writer's: the elements testcase with the
    // attributes classname, name and time); throws SetupError when it cannot be read, is no
    // well-formed XML, or holds no timed test case.
    static Baseline Read(const std::string& path);

    const std::string& Path() const { return path_; }
    std::size_t Size() const { return seconds_.size(); }
    // The time of the test case of that class and name, or nothing when the report has none.
    std::optional<double> Seconds(std::string_view className, std::string_view name) const;

  private:
    friend struct BaselineBuilder;
    std::string path_;
    std::map<std::pair<std::string, std::string>, double, std::less<>> seconds_;
};

// Differences smaller than this never fail a test: they are a scheduler's, not the card's.
inline constexpr std::chrono::milliseconds kBaselineSlack{1};

// True when a test that took `now` grew past `factor` times the `then` seconds of its baseline
// by at least kBaselineSlack.
bool GrewPastBaseline(std::chrono::steady_clock::duration now, double then, double factor);

} // namespace qvrun
