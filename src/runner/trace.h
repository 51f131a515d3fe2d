// The --trace file: one line per exchange, as it happens.
#pragma once

#include "runner/result.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace qvrun {

class TraceFile : public RunObserver {
  public:
    explicit TraceFile(const std::string& path); // throws SetupError
    ~TraceFile() override;
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    void Exchanged(const ReaderSlot& slot, const Exchange& exchange) override;

  private:
    std::mutex mutex_;
    std::FILE* file_;
};

} // namespace qvrun
