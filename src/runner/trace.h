// The --trace file: one line per exchange, as it happens, in the core's trace format
// (core/trace_line.h).
#pragma once

#include "core/trace_line.h"
#include "runner/output.h"
#include "runner/result.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qvrun {

// Each line is written out as its exchange ends, into the trace's temporary file.
class TraceFile : public RunObserver {
  public:
    explicit TraceFile(const std::string& path); // throws SetupError

    // The reader's ATR, written as a comment line after the last exchange.
    void ReaderReady(const ReaderSlot& slot) override;
    void Exchanged(const ReaderSlot& slot, const Exchange& exchange) override;
    // Puts the trace in place; throws SetupError on a write error.
    void Commit();

  private:
    std::mutex mutex_;
    OutputFile file_;
    qv::TraceLine line_; // the line being written, its room kept for the next
    std::vector<std::pair<unsigned, Bytes>> atrs_; // each reader's (from 1), as found
};

} // namespace qvrun
