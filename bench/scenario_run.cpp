// What a whole scenario run costs over the card's own time: CTRunScenario of N tests through
// the CT-API against a bare SCardTransmit loop of the same APDUs, on the test bed. Prints the
// figures; asserts nothing.
//   bench_scenario_run [N]     (re-runs itself inside testbed/sandbox when needed)
#include "quiet_stdout.h"
#include "sandbox.h"

#include "menu/app/session.h"
#include "menu/ct/card_terminal.h"
#include "menu/scenario/req_file.h"
#include "menu/scenario/scenario_run.h"
#include "menu/scenario/time_stamps.h"

#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"

#include <ctapi.h>
#include <unistd.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char* const kCardScript = R"(
atr 3B 02 14 50
apdu 00 A4 04 00 xx * -> 90 00
apdu 00 B0 00 00 10 -> 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 90 00
apdu 00 84 00 00 08 -> random 8, 90 00
default 6D 00
)";

// The commands of one round, with their expected responses as a REQ file writes them.
struct Step {
    const char* command;
    const char* expected;
};
const Step kSteps[] = {
    {"00 A4 04 00 07 A0 00 00 02 47 10 01", "90 00"},
    {"00 B0 00 00 10", "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 90 00"},
    {"00 84 00 00 08", "xx xx xx xx xx xx xx xx 90 00"},
};

[[noreturn]] void Fail(const char* what, long code) {
    std::fprintf(stderr, "bench_scenario_run: %s failed (0x%lx)\n", what, code);
    std::exit(1);
}

void LoadScenario(int tests) {
    std::string text;
    for (int i = 0; i < tests; ++i) {
        const Step& s = kSteps[i % std::size(kSteps)];
        text += std::string("2,0 ") + s.command + "\n>" + s.expected + "\n";
    }
    std::FILE* f = fmemopen(text.data(), text.size(), "r");
    if (f == nullptr) {
        Fail("fmemopen", 0);
    }
    QuietStdout quiet;
    CTReadReqFile(f);
}

// Seconds for the same APDUs sent with SCardTransmit on a connection of our own.
double BareLoop(int tests) {
    SCARDCONTEXT context = 0;
    if (const LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
        rv != SCARD_S_SUCCESS) {
        Fail("SCardEstablishContext", rv);
    }
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    const std::string reader = bed::ReaderName(0);
    if (const LONG rv = SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED,
                                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
        rv != SCARD_S_SUCCESS) {
        Fail("SCardConnect", rv);
    }
    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    std::vector<bed::Bytes> commands;
    for (const Step& s : kSteps) {
        commands.push_back(qv::FromHex(s.command));
    }
    std::vector<BYTE> response(65538);
    const auto start = Clock::now();
    for (int i = 0; i < tests; ++i) {
        const bed::Bytes& c = commands[i % commands.size()];
        DWORD length = 4096;
        if (const LONG rv = SCardTransmit(card, pci, c.data(), static_cast<DWORD>(c.size()),
                                          nullptr, response.data(), &length);
            rv != SCARD_S_SUCCESS) {
            Fail("SCardTransmit", rv);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (const LONG rv = SCardDisconnect(card, SCARD_LEAVE_CARD); rv != SCARD_S_SUCCESS) {
        Fail("SCardDisconnect", rv);
    }
    if (const LONG rv = SCardReleaseContext(context); rv != SCARD_S_SUCCESS) {
        Fail("SCardReleaseContext", rv);
    }
    return seconds;
}

// Seconds for pcsc-tools' scriptor sending the same APDUs from a script file, start-up and
// connection included; negative when scriptor is not installed.
double ScriptorRun(int tests) {
    if (!std::filesystem::exists("/usr/bin/scriptor")) {
        return -1;
    }
    const std::string path = "/run/pcscd/bench-scriptor.txt";
    std::string text;
    for (int i = 0; i < tests; ++i) {
        text += std::string(kSteps[i % std::size(kSteps)].command) + "\n";
    }
    if (std::FILE* f = std::fopen(path.c_str(), "w")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    } else {
        Fail("writing the scriptor file", 0);
    }
    bed::RunOptions options;
    options.timeout = std::chrono::seconds(120);
    const auto start = Clock::now();
    const bed::RunResult r =
        bed::Run({"/usr/bin/scriptor", "-r", bed::ReaderName(0), path}, options);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (r.status != 0 || r.timedOut) {
        std::fprintf(stderr, "scriptor failed (%d):\n%s\n", r.status, r.out.c_str());
        return -1;
    }
    return seconds;
}

// Seconds for CTRunScenario over the loaded table, terminal opened and card reset before.
double ScenarioRun(int* passed) {
    const std::int8_t ctn = CT_init(0, 0);
    if (ctn < 0) {
        Fail("CT_init", ctn);
    }
    gnCtn = static_cast<std::uint16_t>(ctn);
    std::uint8_t reset[] = {0x20, 0x10, 0x01, 0x01, 0x00};
    std::uint8_t dad = 1;
    std::uint8_t sad = 2;
    std::uint8_t atr[64];
    std::uint16_t room = 33;
    if (const std::int8_t rv =
            CT_data(static_cast<std::uint8_t>(gnCtn), &dad, &sad, sizeof reset, reset, &room, atr);
        rv != OK) {
        Fail("RESET ICC", rv);
    }
    gbKeyVal = 4;
    double seconds = 0;
    {
        // The report goes to a file of our own so that the pass count can be read back.
        std::fflush(stdout);
        std::FILE* sink = std::tmpfile();
        const int saved = dup(STDOUT_FILENO);
        dup2(fileno(sink), STDOUT_FILENO);
        const auto start = Clock::now();
        CTRunScenario();
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        std::rewind(sink);
        char line[256];
        *passed = -1;
        while (std::fgets(line, sizeof line, sink) != nullptr) {
            std::sscanf(line, "No of Tests Passed\t:%d", passed);
        }
        std::fclose(sink);
    }
    if (const std::int8_t rv = CT_close(static_cast<std::uint8_t>(gnCtn)); rv != OK) {
        Fail("CT_close", rv);
    }
    return seconds;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int Bench(int tests) {
    bed::Pcscd pcscd;
    bed::SimCard card(bed::ParseCardScript(kCardScript), 0);
    card.Insert();
    if (!bed::WaitForCard(bed::ReaderName(0), true)) {
        Fail("waiting for the card", 0);
    }
    gpstStartTime = std::make_unique<TimeStamp>();
    gpstEndTime = std::make_unique<TimeStamp>();
    LoadScenario(tests);

    // A round is short (some 15 ms), so the machine's noise is large against 5 %: many rounds,
    // the two roads taking turns at going first, and the ratio taken within each round.
    constexpr int kRounds = 21;
    std::vector<double> bare;
    std::vector<double> run;
    std::vector<double> ratios;
    int passed = 0;
    BareLoop(tests / 10 + 1); // warm-up
    for (int r = 0; r < kRounds; ++r) {
        double b = 0;
        double s = 0;
        if (r % 2 == 0) {
            b = BareLoop(tests);
            s = ScenarioRun(&passed);
        } else {
            s = ScenarioRun(&passed);
            b = BareLoop(tests);
        }
        bare.push_back(b);
        run.push_back(s);
        ratios.push_back(s / b);
    }
    const double b = Median(bare);
    const double s = Median(run);
    std::printf("scenario of %d tests, %d rounds (medians), %d passed per run\n", tests, kRounds,
                passed);
    std::printf("  bare SCardTransmit loop: %8.2f ms  (%.1f us per APDU)\n", b * 1e3,
                b * 1e6 / tests);
    std::printf("  CTRunScenario:           %8.2f ms  (%.1f us per APDU)\n", s * 1e3,
                s * 1e6 / tests);
    std::printf("  ratio run / bare: %.3f   (goal <= 1.05)\n", Median(ratios));
    std::vector<double> scriptor;
    for (int r = 0; r < 3; ++r) {
        scriptor.push_back(ScriptorRun(tests));
    }
    if (const double sc = Median(scriptor); sc > 0) {
        std::printf("  scriptor, same APDUs:    %8.2f ms  (%.1f us per APDU, start-up included)\n",
                    sc * 1e3, sc * 1e6 / tests);
        std::printf("  ratio scriptor / run: %.2f\n", sc / s);
    } else {
        std::printf("  scriptor: not available (install pcsc-tools)\n");
    }
    gpstStartTime.reset();
    gpstEndTime.reset();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int tests = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, kMaxTests) : 300;
    if (!bed::InSandbox()) {
        return ReexecInSandbox(argv);
    }
    return Bench(tests);
}
