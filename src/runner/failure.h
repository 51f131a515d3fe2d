// Why a test failed, in words and in the bytes sent and received.
#pragma once

#include "runner/result.h"

#include <string>
#include <vector>

namespace qvrun {

// The lines that explain a failed test: command sent, expected response (wildcards as xx),
// response received, the first differing byte marked; or the CT-API result.
std::vector<std::string> FailureDetail(const TestResult& result);

// One line for the failure's kind, as JUnit's failure message.
std::string FailureMessage(const TestResult& result);

} // namespace qvrun
