// The --trace file: one line per exchange, as it happens, in the core's trace format
// (core/trace_line.h).
#pragma once

#include "core/trace_line.h"
#include "runner/output.h"
#include "runner/result.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace qvrun {

// Each line is written out as its exchange ends, into the trace's temporary file.
class TraceFile : public RunObserver {
  public:
    explicit TraceFile(const std::string& path); // throws SetupError

    void Exchanged(const ReaderSlot& slot, const Exchange& exchange) override;
    // Puts the trace in place; throws SetupError on a write error.
    void Commit();

  private:
    std::mutex mutex_;
    OutputFile file_;
    qv::TraceLine line_; // the line being written, its room kept for the next
};

} // namespace qvrun
