// Watches this process's PC/SC waits: the test executable defines SCardGetStatusChange itself,
// so the CT-API library's calls come here first and are passed on to pcsc-lite. A test learns
// when a real wait (one with a timeout) has begun, and acts on the reader only then.
#pragma once

#include <chrono>
#include <cstddef>

namespace pcscprobe {

// How many SCardGetStatusChange calls with a non-zero timeout have begun in this process.
std::size_t WaitsBegun();

// Blocks until more than `seen` such calls have begun; false when `patience` passes first.
bool AwaitWaitBeyond(std::size_t seen, std::chrono::milliseconds patience);

} // namespace pcscprobe
