// The --trace file.
#include "runner/trace.h"

#include "runner/hex_text.h"
#include "runner/report.h"
#include "runner/setup_error.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace qvrun {
namespace {

std::string UtcStamp(std::chrono::system_clock::time_point at) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%06lldZ", static_cast<long long>(micros % 1000000));
    return text;
}

} // namespace

TraceFile::TraceFile(const std::string& path) : file_(path) {}

void TraceFile::Commit() {
    const std::lock_guard lock(mutex_);
    file_.Commit();
}

void TraceFile::Exchanged(const ReaderSlot& slot, const Exchange& exchange) {
    const std::lock_guard lock(mutex_);
    if (file_.Committed())
        return; // the run has ended: a call left behind that came back late
    std::fprintf(file_.Stream(), "%s reader %u %s > %s < %s result %d from %u %.3f ms\n",
                 UtcStamp(exchange.at).c_str(), slot.reader.position + 1u, exchange.purpose,
                 HexText(exchange.sent).c_str(), HexText(exchange.received).c_str(),
                 exchange.result, exchange.source, Milliseconds(exchange.duration));
    std::fflush(file_.Stream()); // a line as it happens, also when the run is cut short
}

} // namespace qvrun
