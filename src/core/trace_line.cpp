// The trace file's format.
#include "core/trace_line.h"

#include "core/hex.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace qv {
namespace {

// A line's fields in order, the text between each and the next, and the line's last text: the
// writer puts them together, the reader takes them apart.
enum Field { kStamp, kReader, kPurpose, kSent, kReceived, kResult, kSource, kDuration, kFields };
constexpr std::array<std::string_view, kFields - 1> kBetween{" reader ", " ",      " > ", " < ",
                                                             " result ", " from ", " "};
constexpr std::string_view kEnd = " ms";
constexpr std::string_view kAtrCommentStart = "# reader ";
constexpr std::string_view kAtrCommentMid = " ATR ";
constexpr std::array<const char*, kFields> kFieldNames{
    "the time stamp",     "the reader", "the purpose", "the bytes sent",
    "the bytes received", "the result", "the source",  "the time"};

using Micros = std::chrono::microseconds;

std::string UtcStamp(std::chrono::system_clock::time_point at) {
    const auto micros = std::chrono::duration_cast<Micros>(at.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%06lldZ", static_cast<long long>(micros % 1000000));
    return text;
}

[[noreturn]] void NotATraceLine(const std::string& what) {
    throw std::invalid_argument("not a quorvane-run trace line: " + what);
}

// The fields of a line without its last text, each as written.
std::array<std::string_view, kFields> Fields(std::string_view text) {
    std::array<std::string_view, kFields> fields;
    for (std::size_t k = 0; k < kBetween.size(); ++k) {
        const std::size_t at = text.find(kBetween[k]);
        if (at == std::string_view::npos)
            NotATraceLine(std::string("no '") + std::string(kBetween[k]) + "' after " +
                          kFieldNames[k]);
        fields[k] = text.substr(0, at);
        text.remove_prefix(at + kBetween[k].size());
    }
    fields[kDuration] = text;
    return fields;
}

template <class T> T Number(std::string_view text, const char* what) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        NotATraceLine(std::string(what) + " '" + std::string(text) + "' is no number");
    return value;
}

// "2026-01-02T03:04:05.000006Z".
std::chrono::system_clock::time_point ReadStamp(std::string_view text) {
    constexpr std::string_view kShape = "0000-00-00T00:00:00.000000Z";
    bool fits = text.size() == kShape.size();
    for (std::size_t k = 0; fits && k < kShape.size(); ++k)
        fits = kShape[k] == '0' ? text[k] >= '0' && text[k] <= '9' : text[k] == kShape[k];
    if (!fits)
        NotATraceLine("'" + std::string(text) + "' is no UTC time stamp");
    const auto field = [&text](std::size_t at, std::size_t size) {
        return Number<int>(text.substr(at, size), "a time stamp's field");
    };
    std::tm tm{};
    tm.tm_year = field(0, 4) - 1900;
    tm.tm_mon = field(5, 2) - 1;
    tm.tm_mday = field(8, 2);
    tm.tm_hour = field(11, 2);
    tm.tm_min = field(14, 2);
    tm.tm_sec = field(17, 2);
    return std::chrono::system_clock::from_time_t(timegm(&tm)) + Micros(field(20, 6));
}

// "12.345": milliseconds with three decimals.
std::chrono::nanoseconds ReadMilliseconds(std::string_view text) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || text.size() - dot != 4)
        NotATraceLine("'" + std::string(text) + "' is no time in ms with three decimals");
    const auto whole = Number<long long>(text.substr(0, dot), "a time");
    const auto thousandths = Number<long long>(text.substr(dot + 1), "a time");
    return std::chrono::milliseconds(whole) + Micros(thousandths);
}

} // namespace

std::string WriteTraceLine(const TraceLine& line) {
    char milliseconds[32];
    std::snprintf(milliseconds, sizeof milliseconds, "%.3f",
                  std::chrono::duration<double, std::milli>(line.duration).count());
    const std::array<std::string, kFields> fields{UtcStamp(line.at),
                                                  std::to_string(line.reader),
                                                  line.purpose,
                                                  ToHex(line.sent),
                                                  ToHex(line.received),
                                                  std::to_string(line.result),
                                                  std::to_string(line.source),
                                                  milliseconds};
    std::string text = fields[0];
    for (std::size_t k = 0; k < kBetween.size(); ++k) {
        text += kBetween[k];
        text += fields[k + 1];
    }
    text += kEnd;
    text += '\n';
    return text;
}

TraceLine ReadTraceLine(std::string_view text) {
    if (!text.ends_with(kEnd))
        NotATraceLine(std::string("no '") + std::string(kEnd) + "' at its end");
    const auto fields = Fields(text.substr(0, text.size() - kEnd.size()));
    TraceLine line;
    line.at = ReadStamp(fields[kStamp]);
    line.reader = Number<unsigned>(fields[kReader], kFieldNames[kReader]);
    line.purpose = fields[kPurpose];
    line.sent = FromHex(fields[kSent]);
    line.received = FromHex(fields[kReceived]);
    line.result = Number<int>(fields[kResult], kFieldNames[kResult]);
    line.source = Number<unsigned>(fields[kSource], kFieldNames[kSource]);
    line.duration = ReadMilliseconds(fields[kDuration]);
    return line;
}

std::string WriteAtrComment(unsigned reader, std::span<const std::uint8_t> atr) {
    return std::string(kAtrCommentStart) + std::to_string(reader) + std::string(kAtrCommentMid) +
           ToHex(atr) + "\n";
}

std::optional<AtrComment> ReadAtrComment(std::string_view text) {
    if (!text.starts_with(kAtrCommentStart))
        return std::nullopt;
    text.remove_prefix(kAtrCommentStart.size());
    const std::size_t mid = text.find(kAtrCommentMid);
    if (mid == std::string_view::npos)
        return std::nullopt;
    AtrComment comment;
    const auto [end, error] = std::from_chars(text.data(), text.data() + mid, comment.reader);
    if (error != std::errc{} || end != text.data() + mid)
        return std::nullopt;
    try {
        comment.atr = FromHex(text.substr(mid + kAtrCommentMid.size()));
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
    if (comment.atr.empty())
        return std::nullopt;
    return comment;
}

} // namespace qv
