// quorvane-run on the bed: its time per exchange against a bare SCardTransmit loop on the same
// card, 8 and 16 readers with slow cards against one, 32 over a bed's two pcscds against one,
// and its peak RSS over a 500-test file and over a million exchanges with a JUnit report.
//   build/bin/bench_runner [TESTS [EXCHANGES]]  (re-runs itself inside testbed/sandbox)
//   bench_runner --bare APDUS                    (inside the sandbox: the bare loop alone)
//   bench_runner --two-services TESTS            (inside quorvane-bed --readers 32: that row)
#include <PCSC/winscard.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"
#include "core/hex.h"
#include "sandbox.h"
#include "spawned.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

const bed::Bytes kApdu = qv::FromHex("00 B0 00 00 04");
const bed::Bytes kAnswer = qv::FromHex("01 02 03 04 90 00");
constexpr int kRounds = 15;
constexpr int kReaders = bed::kMaxReaders;
constexpr auto kSlowCard = 5ms;
// The long run's file: its tests repeated until the exchanges asked for are sent.
constexpr int kLongRunTests = 10;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "bench_runner: %s\n", what.c_str());
    std::exit(1);
}

// A REQ file of `tests` tests, each `command` answered by `answer`.
std::string WriteReq(const std::string& name, int tests, const bed::Bytes& command,
                     const bed::Bytes& answer) {
    const auto hex = [](const bed::Bytes& bytes) {
        std::string text;
        for (const auto b : bytes) {
            char byte[4];
            std::snprintf(byte, sizeof byte, "%02X ", b);
            text += byte;
        }
        return text;
    };
    const std::string path = "/run/pcscd/" + name;
    std::ofstream req(path);
    for (int i = 1; i <= tests; ++i)
        req << "# - test " << i << "\n2,0 " << hex(command) << "\n> " << hex(answer) << "\n";
    if (!req.flush())
        Fail("cannot write " + path);
    return path;
}

// A directory of the build tree for the reports: a million test cases do not belong on the
// sandbox's tmpfs.
std::string ReportDir() {
    static const std::string dir = [] {
        std::string name = bed::BuildPath("bench-runner.XXXXXX");
        if (mkdtemp(name.data()) == nullptr)
            Fail("cannot make " + name);
        return name;
    }();
    return dir;
}

struct RunnerRun {
    double seconds = 0; // the tests' time, from the JUnit report
    double peakRssMb = 0;
};

// Runs quorvane-run -q with a JUnit report, its output into a file; the seconds its tests took
// (the longest reader's run, from the report, so that start-up and the card reset do not
// count) and its own peak RSS.
RunnerRun RunRunner(std::vector<std::string> args) {
    const std::string junit = ReportDir() + "/report.xml", log = ReportDir() + "/output.txt";
    args.insert(args.begin(), {bed::BuildPath("bin/quorvane-run"), "-q", "--junit", junit});
    Spawned spawned;
    try {
        spawned = SpawnAndWait(args, log);
    } catch (const std::runtime_error& error) {
        Fail(error.what());
    }
    if (!WIFEXITED(spawned.status) || WEXITSTATUS(spawned.status) != 0) {
        std::ifstream output(log);
        Fail("quorvane-run failed (" + std::to_string(spawned.status) + "):\n" +
             std::string(std::istreambuf_iterator<char>(output), {}));
    }
    RunnerRun run;
    run.peakRssMb = spawned.peakRssMb;
    std::ifstream xml(junit);
    std::string line;
    while (std::getline(xml, line)) {
        const std::size_t at = line.find("<testsuites ");
        const std::size_t time = line.find(" time=\"");
        if (at != std::string::npos && time != std::string::npos) {
            run.seconds = std::atof(line.c_str() + time + 7);
            return run;
        }
    }
    Fail("no time in the JUnit report");
}

double RunnerSeconds(std::vector<std::string> args) {
    return RunRunner(std::move(args)).seconds;
}

// Seconds for `apdus` bare SCardTransmit calls on a fresh connection to the first reader, in
// this process.
double BareLoop(int apdus) {
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS ||
        SCardConnect(context, bed::ReaderName(0).c_str(), SCARD_SHARE_SHARED,
                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol) != SCARD_S_SUCCESS) {
        Fail("cannot connect to the card");
    }
    bed::Bytes response(MAX_BUFFER_SIZE_EXTENDED);
    const auto start = Clock::now();
    for (int i = 0; i < apdus; ++i) {
        DWORD length = static_cast<DWORD>(response.size());
        if (SCardTransmit(card, protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1,
                          kApdu.data(), static_cast<DWORD>(kApdu.size()), nullptr, response.data(),
                          &length) != SCARD_S_SUCCESS ||
            !std::equal(kAnswer.begin(), kAnswer.end(), response.begin(),
                        response.begin() + length)) {
            Fail("a bare SCardTransmit failed");
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
    return seconds;
}

// The same in a process of its own, as the runner is: the simulated card's thread lives in this
// one and would otherwise compete with the loop alone.
double BareSeconds(int apdus) {
    const bed::RunResult r = bed::Run({"/proc/self/exe", "--bare", std::to_string(apdus)}, {});
    if (r.status != 0)
        Fail("the bare loop failed:\n" + r.out);
    return std::atof(r.out.c_str());
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::vector<std::unique_ptr<bed::SimCard>> InsertCards(const std::vector<int>& slots,
                                                       const bed::CardScript& script) {
    std::vector<std::unique_ptr<bed::SimCard>> cards;
    for (const int slot : slots) {
        cards.push_back(std::make_unique<bed::SimCard>(script, slot));
        cards.back()->Insert();
        if (!bed::WaitForCard(bed::ReaderName(slot), true))
            Fail("reader " + bed::ReaderName(slot) + " does not see its card");
    }
    return cards;
}

// Peak RSS of quorvane-run over 500 tests of 255-byte commands and 256-byte responses.
void PeakRss() {
    bed::CardScript script;
    bed::Bytes record(258, 0x5A);
    record[256] = 0x90;
    record[257] = 0x00;
    script.rules = {{"00 D6 *", qv::FromHex("90 00")}, {"00 B0 00 00 00", record}};
    const auto cards = InsertCards({0}, script);
    bed::Bytes update = qv::FromHex("00 D6 00 00 FF");
    update.resize(update.size() + 255, 0xA5);
    const std::string updates = WriteReq("bench-rss-1.req", 250, update, qv::FromHex("90 00"));
    const std::string reads =
        WriteReq("bench-rss-2.req", 250, qv::FromHex("00 B0 00 00 00"), record);
    const RunnerRun run = RunRunner({updates, reads});
    std::printf("500 tests run in:           %.3f s\n", run.seconds);
    std::printf("peak RSS:                   %.1f MB (goal < 16 MB)\n", run.peakRssMb);
}

// Peak RSS of quorvane-run over `exchanges` exchanges, a small file repeated, with a JUnit
// report of a test case each: what it keeps must not grow with the results.
void PeakRssLongRun(int exchanges) {
    bed::CardScript script;
    script.rules = {{"00 B0 00 00 04", kAnswer}};
    const auto cards = InsertCards({0}, script);
    const std::string req = WriteReq("bench-long.req", kLongRunTests, kApdu, kAnswer);
    const int repeat = std::max(1, exchanges / kLongRunTests);
    const RunnerRun run = RunRunner({"--repeat", std::to_string(repeat), req});
    std::printf("%d exchanges run in:   %.3f s\n", repeat * kLongRunTests, run.seconds);
    std::printf("peak RSS over %d exchanges with --junit: %.1f MB (goal < 16 MB)\n",
                repeat * kLongRunTests, run.peakRssMb);
}

void AgainstBare(int tests) {
    bed::CardScript script;
    script.rules = {{"00 B0 00 00 04", kAnswer}};
    const auto cards = InsertCards({0}, script);
    const std::string req = WriteReq("bench-bare.req", tests, kApdu, kAnswer);
    std::vector<double> ratios;
    double runner = 0, bare = 0;
    // Rounds take turns at going first, so that drift of the bed hits both roads alike.
    for (int round = -1; round < kRounds; ++round) {
        double r = 0, b = 0;
        if (round % 2 == 0) {
            r = RunnerSeconds({req});
            b = BareSeconds(tests);
        } else {
            b = BareSeconds(tests);
            r = RunnerSeconds({req});
        }
        if (round < 0)
            continue; // warm-up
        runner += r;
        bare += b;
        ratios.push_back(r / b);
    }
    const double exchanges = static_cast<double>(tests) * kRounds;
    std::printf("exchanges per road:         %d x %d rounds\n", tests, kRounds);
    std::printf("quorvane-run:               %.1f us per test\n", runner / exchanges * 1e6);
    std::printf("bare SCardTransmit:         %.1f us per APDU\n", bare / exchanges * 1e6);
    std::printf("median ratio runner / bare: %.3f (goal <= 1.05)\n", Median(ratios));
}

// `readers` readers at once (the run's options `all`) against one, `tests` tests of `req` each,
// three rounds: the median ratio of their tests per second, printed with each round and `goal`.
void ThroughputAgainstOne(int readers, int tests, const std::string& req,
                          const std::vector<std::string>& all, const std::string& what,
                          double goal) {
    std::vector<double> ratios;
    for (int round = 0; round < 3; ++round) {
        const double one = RunnerSeconds({"-r", "1", req});
        std::vector<std::string> args = all;
        args.push_back(req);
        const double many = RunnerSeconds(args);
        ratios.push_back((readers * tests / many) / (tests / one));
        std::printf("1 reader %.3f s, %d readers %.3f s for %d tests each\n", one, readers, many,
                    tests);
    }
    std::printf("median throughput ratio %s / 1 reader: %.2f (goal >= %.0f)\n", what.c_str(),
                Median(ratios), goal);
}

// `readers` readers with slow cards against one: their tests per second.
void ParallelReaders(int readers, int tests) {
    bed::CardScript script;
    bed::Rule slow{"00 B0 00 00 04", kAnswer};
    slow.delay = kSlowCard;
    script.rules = {slow};
    std::vector<int> slots;
    std::string chosen;
    for (int i = 0; i < readers; ++i) {
        slots.push_back(i);
        chosen += (i > 0 ? "," : "") + std::to_string(i + 1);
    }
    const auto cards = InsertCards(slots, script);
    const std::string req = WriteReq("bench-parallel.req", tests, kApdu, kAnswer);
    ThroughputAgainstOne(readers, tests, req, {"--readers", chosen},
                         std::to_string(readers) + " readers", readers * 0.875);
}

// 32 readers with slow cards over the two pcscds of a bed against one, as a user runs them:
// this program again inside quorvane-bed --readers 32, quorvane-run --all-readers there.
void TwoServices(int tests) {
    constexpr int kBedReaders = 2 * bed::kMaxReaders;
    const std::string card = ReportDir() + "/slow.card";
    std::ofstream(card) << "apdu " << qv::ToHex(kApdu) << " -> " << qv::ToHex(kAnswer) << " delay "
                        << kSlowCard.count() << "\n";
    std::vector<std::string> argv{bed::BuildPath("bin/quorvane-bed"), "--readers",
                                  std::to_string(kBedReaders)};
    for (int slot = 0; slot < kBedReaders; ++slot) {
        argv.push_back("--card");
        argv.push_back(std::to_string(slot) + "=" + card);
    }
    argv.insert(argv.end(), {"--", bed::BuildPath("bin/bench_runner"), "--two-services",
                             std::to_string(tests)});
    bed::RunOptions patience;
    patience.timeout = 600s;
    const bed::RunResult r = bed::Run(argv, patience);
    if (r.status != 0)
        Fail("the bed of 32 readers failed:\n" + r.out);
    std::fputs(r.out.c_str(), stdout);
}

// Inside that bed.
void TwoServicesInBed(int tests) {
    const std::string req = WriteReq("bench-services.req", tests, kApdu, kAnswer);
    ThroughputAgainstOne(2 * bed::kMaxReaders, tests, req, {"--all-readers"},
                         "32 readers over two services", 24);
}

} // namespace

int main(int argc, char** argv) {
    if (!bed::InSandbox())
        return ReexecInSandbox(argv);
    if (argc == 3 && std::string(argv[1]) == "--bare") {
        std::printf("%.9f\n", BareLoop(std::atoi(argv[2])));
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--two-services") {
        TwoServicesInBed(std::atoi(argv[2]));
        fs::remove_all(ReportDir());
        return 0;
    }
    const int tests = std::max(100, argc > 1 ? std::atoi(argv[1]) : 500);
    const int exchanges = std::max(kLongRunTests, argc > 2 ? std::atoi(argv[2]) : 1000000);
    {
        bed::PcscdOptions options;
        options.vpcdReaders = kReaders;
        const bed::Pcscd pcscd(options);
        std::printf("-- memory over a 500-test file\n");
        PeakRss();
        std::printf("-- memory over a long run\n");
        PeakRssLongRun(exchanges);
        std::printf("-- quorvane-run against bare SCardTransmit\n");
        AgainstBare(tests);
        for (const int readers : {8, kReaders}) {
            std::printf("-- %d readers with %lld ms cards against one\n", readers,
                        static_cast<long long>(kSlowCard.count()));
            ParallelReaders(readers, 100);
        }
    } // the bed below starts its pcscds in these namespaces, at the same socket and ports
    std::printf("-- 32 readers over two pcscds with %lld ms cards against one\n",
                static_cast<long long>(kSlowCard.count()));
    TwoServices(100);
    fs::remove_all(ReportDir());
    return 0;
}
