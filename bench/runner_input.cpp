// quorvane-run reading files a hostile lab might hand it: its peak RSS and wall time for an
// include fan-out (ten files of 176 bytes, each including the one below ten times: 10^9 tests)
// and for one test of 4000 alternatives of 65535-byte runs (52 KB), run against a card.
//   build/bin/bench_runner_input  (re-runs itself inside testbed/sandbox)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"
#include "core/hex.h"
#include "sandbox.h"
#include "spawned.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "bench_runner_input: %s\n", what.c_str());
    std::exit(1);
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    if (!(file << text).flush())
        Fail("cannot write " + path);
}

std::string Repeated(const std::string& text, int times) {
    std::string all;
    for (int k = 0; k < times; ++k)
        all += text;
    return all;
}

struct Measured {
    int status = -1;
    double seconds = 0;
    double peakRssMb = 0;
    std::string firstLine; // of its output
};

// quorvane-run -q on `file`: its exit status, wall time, own peak RSS and first line of output.
// Its address space is held to 2 GiB, so that a file that costs more than its text ends in a
// figure, not in a machine out of memory.
Measured RunOn(const std::string& file) {
    const std::string log = "/run/pcscd/bench-input-output.txt";
    Spawned spawned;
    try {
        spawned = SpawnAndWait({"/bin/sh", "-c", "ulimit -v 2097152 && exec \"$@\"", "sh",
                                bed::BuildPath("bin/quorvane-run"), "-q", file},
                               log);
    } catch (const std::runtime_error& error) {
        Fail(error.what());
    }
    Measured m;
    m.status =
        WIFEXITED(spawned.status) ? WEXITSTATUS(spawned.status) : 128 + WTERMSIG(spawned.status);
    m.seconds = spawned.seconds;
    m.peakRssMb = spawned.peakRssMb;
    std::ifstream output(log);
    std::getline(output, m.firstLine);
    return m;
}

void Report(const char* what, const Measured& m) {
    std::printf("%s: status %d in %.3f s\n  %s\n", what, m.status, m.seconds, m.firstLine.c_str());
    std::printf("peak RSS reading %s: %.1f MB (goal < 64 MB, or refused in < 1 s)\n", what,
                m.peakRssMb);
}

} // namespace

int main(int argc, char** argv) {
    (void)argc;
    if (!bed::InSandbox())
        return ReexecInSandbox(argv);
    bed::Pcscd pcscd;
    bed::CardScript script;
    script.rules = {{"00 A4 00 0C 02 3F 00", qv::FromHex("90 00")}};
    bed::SimCard card(script, 0);
    card.Insert();
    if (!bed::WaitForCard(bed::ReaderName(0), true))
        Fail("the reader does not see its card");

    const std::string dir = "/run/pcscd/";
    WriteFile(dir + "l0.req", "# - leaf\n2,0 00 A4 00 0C 02 3F 00\n> 90 00\n");
    for (int level = 1; level <= 9; ++level) {
        WriteFile(dir + "l" + std::to_string(level) + ".req",
                  "@quorvane-run 1\n" +
                      Repeated("@include l" + std::to_string(level - 1) + ".req\n", 10));
    }
    Report("the 10-level include fan-out file", RunOn(dir + "l9.req"));

    WriteFile(dir + "runs.req", "@quorvane-run 1\n# - Runs\n2,0 00 A4 00 0C 02 3F 00\n> " +
                                    Repeated("{65535*xx} | ", 3999) + "90 00\n");
    Report("the 4000 byte-run alternatives file", RunOn(dir + "runs.req"));
    return 0;
}
