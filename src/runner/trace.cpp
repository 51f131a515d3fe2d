// The --trace file.
#include "runner/trace.h"

#include <cstdio>

namespace qvrun {

TraceFile::TraceFile(const std::string& path) : file_(path) {}

void TraceFile::Commit() {
    const std::lock_guard lock(mutex_);
    // Last, so that the exchanges stand from the first line on as they happened.
    for (const auto& [reader, atr] : atrs_)
        file_.Put(qv::WriteAtrComment(reader, atr));
    file_.Commit();
}

void TraceFile::ReaderReady(const ReaderSlot& slot) {
    const std::lock_guard lock(mutex_);
    if (!slot.atr.empty()) // --no-reset: no ATR was read
        atrs_.emplace_back(static_cast<unsigned>(slot.reader.position + 1), slot.atr);
}

void TraceFile::Exchanged(const ReaderSlot& slot, const Exchange& exchange) {
    const std::lock_guard lock(mutex_);
    if (file_.Committed())
        return; // the trace is in place: the run has ended
    line_.at = exchange.at;
    line_.reader = static_cast<unsigned>(slot.reader.place + 1);
    line_.purpose = exchange.purpose;
    line_.sent.assign(exchange.sent.begin(), exchange.sent.end());
    line_.received.assign(exchange.received.begin(), exchange.received.end());
    line_.result = exchange.result;
    line_.source = exchange.source;
    line_.duration = exchange.duration;
    const std::string text = qv::WriteTraceLine(line_);
    file_.Put(text);
    file_.Flush(); // a line as it happens, also when the run is cut short
}

} // namespace qvrun
