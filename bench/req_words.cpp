// quorvane-run's REQ language figures: the time to read the largest REQ file a run takes (64 MiB
// of tests of 65535-byte commands and responses, a BER-TLV template in each response), and
// 64 MiB of short tests (the most text a run reads: templates with captures, a part of one in the
// next command, a length read from one); and the time to match a 65535-byte response, an FCP of
// some 8000 data objects, against a template that finds its children among them. Prints the
// figures; asserts nothing.
#include "req/req_pattern.h"
#include "req/req_script.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Time {
    double wall = 0, cpu = 0; // milliseconds
};

// The median wall and CPU times of `runs` calls of `what`.
template <typename What> Time Median(int runs, const What& what) {
    std::vector<double> wall, cpu;
    for (int k = 0; k < runs; ++k) {
        const auto start = Clock::now();
        const double cpuStart = CpuSeconds();
        what();
        wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        cpu.push_back((CpuSeconds() - cpuStart) * 1000);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

// Hex digits, a blank after every byte.
std::string SpacedHex(std::size_t bytes, unsigned seed) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(3 * bytes);
    for (std::size_t k = 0; k < bytes; ++k) {
        seed = seed * 1103515245u + 12345u;
        text += kDigits[(seed >> 16) & 15];
        text += kDigits[(seed >> 20) & 15];
        text += ' ';
    }
    return text;
}

// The largest file a run reads: as many tests as fit in its 64 MiB, each a command of 65535
// bytes and a response of a template and 65500 bytes.
std::string LargestFile() {
    std::string text(qv::kSwitchLine);
    for (unsigned k = 0;; ++k) {
        const std::string test =
            "# - Test " + std::to_string(k) + "\n2,0 " + SpacedHex(65535, k) +
            "\n> {tlv 62: 80 = {size:2}, 82 = 01, 83 = 2F 00, A5 = {tlv: 88 = {sfi:1}, ...}, "
            "...} " +
            SpacedHex(65500, k + 1000) + "\n";
        if (text.size() + test.size() > qv::kMaxRunText)
            return text;
        text += test;
    }
}

// Two tests after another, as often as fit in the most text a run reads.
std::string BoundFile() {
    const std::string tests = "# - Select with FCP\n"
                              "2,0 00 A4 02 04 02 2F 00 00\n"
                              "> {tlv 62: 80 = {size:2}, 82 = 01, 83 = 2F 00, 8A = {state:1}, "
                              "A5 = {tlv: 88 = {sfi:1}, ...}, ...} 90 00 | 6A 82\n"
                              "# - Read what the FCP says\n"
                              "2,0 00 B0 00 00 {size[1]}\n"
                              "> {data:size} 90 00 | {n:1} {rest:n} 62 82\n";
    std::string text(qv::kSwitchLine);
    while (text.size() + tests.size() <= qv::kMaxRunText)
        text += tests;
    return text;
}

// 62 82 FF F9, then data objects C1 of 6 bytes, with 80, 82 and 83 among the last, then 90 00:
// 65535 bytes in all.
qv::Bytes LargestResponse() {
    qv::Bytes value;
    const qv::Bytes named = {0x83, 0x02, 0x2F, 0x00, 0x80, 0x02, 0x00, 0x10, 0x82, 0x01, 0x01};
    const std::size_t size = 65535 - 4 - 2;
    while (value.size() + 8 <= size - named.size())
        value.insert(value.end(),
                     {0xC1, 0x06, 1, 2, 3, 4, 5, static_cast<std::uint8_t>(value.size())});
    while (value.size() + named.size() < size)
        value.insert(value.end(), {0xC2, 0x00});
    value.insert(value.end(), named.begin(), named.end());
    qv::Bytes response = {0x62, 0x82, static_cast<std::uint8_t>(value.size() >> 8),
                          static_cast<std::uint8_t>(value.size())};
    response.insert(response.end(), value.begin(), value.end());
    response.insert(response.end(), {0x90, 0x00});
    return response;
}

// The median time of reading `text` as quorvane-run does, and its count of tests.
Time Read(const std::string& text, std::size_t& tests) {
    return Median(3, [&] {
        tests = qv::ParseScript("largest.req", text, [](const std::string&) -> std::string {
                    return {};
                }).tests.size();
    });
}

} // namespace

int main() {
    std::size_t tests = 0;
    const std::string largest = LargestFile();
    const Time read = Read(largest, tests);
    std::printf("reading the largest REQ file (%.1f MiB, %zu tests of 65535-byte commands and "
                "responses with templates): %.0f ms wall, %.0f ms CPU\n",
                static_cast<double>(largest.size()) / (1 << 20), tests, read.wall, read.cpu);
    const std::string bound = BoundFile();
    const Time dense = Read(bound, tests);
    std::printf("reading 64 MiB of short tests (%zu tests of templates and captures, the most "
                "text a run reads): %.0f ms wall, %.0f ms CPU\n",
                tests, dense.wall, dense.cpu);

    const qv::Bytes response = LargestResponse();
    const qv::Pattern pattern =
        qv::ParsePattern("{tlv 62: 82 = 01, 83 = 2F 00, 80 = {size:2}, C1 = {first:6}, ...} 90 00");
    bool matched = false;
    const Time match =
        Median(101, [&] { matched = qv::MatchPattern(pattern, response, {}).matched; });
    std::printf("matching a %zu-byte response (a template of %zu data objects) against a "
                "template pattern: %.3f ms wall, %.3f ms CPU (%s)\n",
                response.size(), (response.size() - 6) / 8, match.wall, match.cpu,
                matched ? "matched" : "NOT MATCHED");
    return matched ? 0 : 1;
}
