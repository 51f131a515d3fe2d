// The JUnit XML report: a test suite per reader, a test case per test and run.
#pragma once

#include "runner/run.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace qvrun {

struct SuiteInput {
    Reader reader;
    Bytes atr;
    const ReaderRun* run = nullptr;
};

// Writes the report; throws SetupError when the file cannot be written.
void WriteJUnit(const std::string& path, const std::vector<SuiteInput>& suites,
                std::chrono::system_clock::time_point started);

// Text fit for an XML attribute or element: markup characters escaped, characters XML 1.0
// cannot hold (control characters, broken UTF-8) replaced by '?'.
std::string XmlText(std::string_view text);

} // namespace qvrun
