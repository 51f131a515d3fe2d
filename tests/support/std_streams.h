// Runs a piece of code with standard input fed from a string and standard output captured.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace teststd {

// Standard output written by `body` (C stdio and the file descriptor alike).
std::string CaptureStdout(const std::function<void()>& body);

// Replaces standard input by `text`; what is not read stays for the next reads.
void FeedStdin(std::string_view text);

} // namespace teststd
