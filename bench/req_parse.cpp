// REQ reader figures: load time of a small scenario, peak RSS of a process that loads it, and the
// load time of the largest file the program takes (500 tests, each a command and an expected
// response of 65536 bytes), digits only and with a blank after every byte. Prints the figures;
// asserts nothing.
//   bench_req_parse            all figures
//   bench_req_parse --rss FILE (internal) load FILE, print this process's peak RSS in KiB
#include "quiet_stdout.h"

#include "menu/scenario/req_file.h"

#include <sys/resource.h>
#include <time.h>
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

// 500 tests, each a command and an expected response of `bytes` bytes.
std::string LargeScenario(std::size_t bytes, bool spaced) {
    const std::size_t chars = spaced ? 3 * bytes - 1 : 2 * bytes;
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

// The CPU time this process has used (user and system), in seconds: on a machine shared with
// other work it tells what a load costs, where the wall time also tells how long it waited.
double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct LoadTime {
    double wall; // seconds
    double cpu;  // seconds
};

// One whole load: open, read, count line, close.
LoadTime LoadOnce(const std::string& path) {
    const auto start = Clock::now();
    const double cpuStart = CpuSeconds();
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    CTReadReqFile(f);
    return {std::chrono::duration<double>(Clock::now() - start).count(), CpuSeconds() - cpuStart};
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::vector<LoadTime> LoadTimes(const std::string& path, int repetitions) {
    QuietStdout quiet;
    std::vector<LoadTime> times;
    for (int i = 0; i < repetitions; ++i) {
        times.push_back(LoadOnce(path));
    }
    return times;
}

// The median wall and CPU times of `times` from `first` on.
LoadTime MedianFrom(const std::vector<LoadTime>& times, std::size_t first) {
    std::vector<double> wall;
    std::vector<double> cpu;
    for (std::size_t i = first; i < times.size(); ++i) {
        wall.push_back(times[i].wall);
        cpu.push_back(times[i].cpu);
    }
    return {Median(wall), Median(cpu)};
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

void LargeFigures(std::size_t bytes, bool spaced) {
    const std::string text = LargeScenario(bytes, spaced);
    const std::string large = WriteTemp(text, "large.req");
    const std::vector<LoadTime> times = LoadTimes(large, 9);
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::printf("largest file: %d tests of %zu-byte commands and responses%s, %.1f MB\n", kMaxTests,
                bytes, spaced ? " (a blank after every byte)" : " (digits only)", mb);
    std::printf("  first load: %.1f ms wall, %.1f ms CPU   (goal < 500 ms)\n", times[0].wall * 1e3,
                times[0].cpu * 1e3);
    const LoadTime median = MedianFrom(times, 1);
    std::printf("  later loads (median of %zu): %.1f ms wall, %.1f ms CPU, %.2f GB/s of CPU   "
                "(goal < 500 ms)\n",
                times.size() - 1, median.wall * 1e3, median.cpu * 1e3, mb / 1e3 / median.cpu);
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
    const double smallMs = MedianFrom(LoadTimes(small, 2000), 0).wall * 1e3;
    std::printf("10-test file load (median of 2000): %.4f ms   (goal < 1 ms)\n", smallMs);

    const long rss = ChildPeakRss(small);
    std::printf("peak RSS of a process after loading it: %.2f MB   (goal < 8 MB)\n", rss / 1024.0);
    std::filesystem::remove(small);

    // The first load of the process faults the table's pages in; later loads reuse them.
    LargeFigures(kApduSize, false);
    LargeFigures(kApduSize, true);
    return 0;
}
