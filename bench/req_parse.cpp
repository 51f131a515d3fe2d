// REQ reader figures: load time of a small scenario, peak RSS of a process that loads it, and
// parse throughput on a large generated scenario. Prints the figures; asserts nothing.
//   bench_req_parse            all figures
//   bench_req_parse --rss FILE (internal) load FILE, print this process's peak RSS in KiB
#include "quiet_stdout.h"

#include "scenario/req_file.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string HexText(std::size_t digits, unsigned seed) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s(digits, '0');
    for (std::size_t i = 0; i < digits; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = kDigits[(seed >> 16) & 15];
    }
    return s;
}

std::string SmallScenario() {
    std::string text;
    for (int i = 0; i < 10; ++i) {
        text += "# - Test " + std::to_string(i) + "\n";
        text += "1,2,0: 00 A4 04 00 07 A0 00 00 02 47 10 01\n";
        text += "> xx xx 90 00\n";
    }
    return text;
}

// Hexadecimal digits, with a blank after every byte when `spaced`.
std::string HexLine(std::size_t chars, unsigned seed, bool spaced) {
    std::string s = HexText(chars, seed);
    if (spaced) {
        for (std::size_t i = 2; i < s.size(); i += 3) {
            s[i] = ' ';
        }
    }
    return s;
}

// 500 tests, each a command and an expected response of `chars` characters.
std::string LargeScenario(std::size_t chars, bool spaced) {
    std::string text;
    text.reserve(500 * (2 * chars + 32));
    for (int i = 0; i < kMaxTests; ++i) {
        text += "# - long test " + std::to_string(i) + "\n";
        text += "2,0 " + HexLine(chars, static_cast<unsigned>(i), spaced) + "\n";
        text += ">" + HexLine(chars, static_cast<unsigned>(i + 1000), spaced) + "\n";
    }
    return text;
}

std::string WriteTemp(const std::string& text, const char* name) {
    const std::string path =
        (std::filesystem::temp_directory_path() /
         (std::string("quorvane-bench-") + std::to_string(getpid()) + "-" + name))
            .string();
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size()) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fclose(f);
    return path;
}

// Seconds for one whole load: open, read, count line, close.
double LoadOnce(const std::string& path) {
    const auto start = Clock::now();
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    CTReadReqFile(f);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::vector<double> LoadTimes(const std::string& path, int repetitions) {
    QuietStdout quiet;
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) {
        times.push_back(LoadOnce(path));
    }
    return times;
}

int RssChild(const char* path) {
    {
        QuietStdout quiet;
        LoadOnce(path);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%ld\n", usage.ru_maxrss);
    return 0;
}

// Peak RSS in KiB of a fresh process of this program that loads `path` (and nothing else).
long ChildPeakRss(const std::string& path) {
    const std::string command = "/proc/" + std::to_string(getpid()) + "/exe --rss '" + path + "'";
    std::FILE* p = popen(command.c_str(), "r");
    long kib = -1;
    if (p == nullptr || std::fscanf(p, "%ld", &kib) != 1) {
        kib = -1;
    }
    if (p != nullptr) {
        pclose(p);
    }
    return kib;
}

void LargeFigures(std::size_t chars, bool spaced) {
    const std::string text = LargeScenario(chars, spaced);
    const std::string large = WriteTemp(text, "large.req");
    const std::vector<double> times = LoadTimes(large, 9);
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::printf("large file: %d tests, lines of %zu characters%s, %.1f MB\n", kMaxTests, chars,
                spaced ? " (a blank after every byte)" : " (digits only)", mb);
    std::printf("  first load: %.1f ms, %.2f GB/s\n", times[0] * 1e3, mb / 1e3 / times[0]);
    const double median = Median(std::vector<double>(times.begin() + 1, times.end()));
    std::printf("  later loads (median of %zu): %.1f ms, %.2f GB/s   (goal >= 1 GB/s)\n",
                times.size() - 1, median * 1e3, mb / 1e3 / median);
    std::printf("  loaded %d tests, command length %u, expected length %u\n", gnCommand,
                gnCommandLength[0], gnExpectedLength[0]);
    std::filesystem::remove(large);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--rss") == 0) {
        return RssChild(argv[2]);
    }

    const std::string small = WriteTemp(SmallScenario(), "small.req");
    const double smallMs = Median(LoadTimes(small, 2000)) * 1e3;
    std::printf("10-test file load (median of 2000): %.4f ms   (goal < 1 ms)\n", smallMs);

    const long rss = ChildPeakRss(small);
    std::printf("peak RSS of a process after loading it: %.2f MB   (goal < 8 MB)\n", rss / 1024.0);
    std::filesystem::remove(small);

    // The first load of the process faults the table's pages in; later loads reuse them.
    LargeFigures(60000, false);
    LargeFigures(60000, true);
    return 0;
}
