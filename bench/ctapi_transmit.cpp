// Per-APDU cost of CT_data to the card against a bare SCardTransmit loop on the same reader and
// card, measured in alternating blocks so that drift of the bed hits both alike.
//   build/bin/bench_ctapi_transmit [APDUS]     (re-runs itself inside testbed/sandbox)
#include <PCSC/winscard.h>
#include <ctapi.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBlock = 100;
const bed::Bytes kApdu = qv::FromHex("00 B0 00 00 04");
const bed::Bytes kAnswer = qv::FromHex("01 02 03 04 90 00");

bool ViaCtData() {
    bed::Bytes command = kApdu, response(4096);
    std::uint8_t dad = ICC1, sad = HOST;
    std::uint16_t len = static_cast<std::uint16_t>(response.size());
    return CT_data(0, &dad, &sad, static_cast<std::uint16_t>(command.size()), command.data(), &len,
                   response.data()) == OK &&
           std::equal(kAnswer.begin(), kAnswer.end(), response.begin(), response.begin() + len);
}

// CT_init of terminal 0 and RESET ICC: the card activated for CT_data.
bool OpenCtRoad() {
    if (CT_init(0, 0) != OK)
        return false;
    bed::Bytes reset = qv::FromHex("20 10 01 01 00"), atr(64);
    std::uint8_t dad = CT, sad = HOST;
    std::uint16_t len = static_cast<std::uint16_t>(atr.size());
    return CT_data(0, &dad, &sad, 5, reset.data(), &len, atr.data()) == OK;
}

struct Bare {
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    bed::Bytes response = bed::Bytes(MAX_BUFFER_SIZE_EXTENDED);

    bool Open(const std::string& reader) {
        return SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) ==
                   SCARD_S_SUCCESS &&
               SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED,
                            SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                            &protocol) == SCARD_S_SUCCESS;
    }
    ~Bare() {
        if (card)
            SCardDisconnect(card, SCARD_LEAVE_CARD);
        if (context)
            SCardReleaseContext(context);
    }
    bool Transmit() {
        DWORD len = static_cast<DWORD>(response.size());
        return SCardTransmit(card, protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1,
                             kApdu.data(), static_cast<DWORD>(kApdu.size()), nullptr,
                             response.data(), &len) == SCARD_S_SUCCESS &&
               std::equal(kAnswer.begin(), kAnswer.end(), response.begin(), response.begin() + len);
    }
};

// Microseconds of this thread's own CPU time: what a road costs the caller besides waiting for
// pcscd and the card, free of the scheduling noise that the wall time carries.
double ThreadCpuMicros() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// Wall time of a block in microseconds; adds the block's CPU time to `cpu`.
template <typename Step> double TimeBlock(Step step, int& failures, double& cpu) {
    const double cpuStart = ThreadCpuMicros();
    const auto start = Clock::now();
    for (int i = 0; i < kBlock; ++i)
        if (!step())
            ++failures;
    const double wall = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    cpu += ThreadCpuMicros() - cpuStart;
    return wall;
}

} // namespace

int main(int argc, char** argv) {
    if (!bed::InSandbox())
        return ReexecInSandbox(argv);
    const int apdus = std::max(kBlock, argc > 1 ? std::atoi(argv[1]) : 2000);
    const int blocks = apdus / kBlock;

    bed::Pcscd pcscd;
    bed::CardScript script;
    script.rules = {{"00 B0 00 00 04", kAnswer}};
    bed::SimCard card(script);
    card.Insert();
    if (!bed::WaitForCard(bed::ReaderName(0), true)) {
        std::fprintf(stderr, "the reader does not see the card\n");
        return 1;
    }
    int failures = 0;
    double ctTotal = 0, bareTotal = 0, ctCpu = 0, bareCpu = 0;
    std::vector<double> ratios;
    // Each block opens both roads afresh: which core pcscd's thread for a context lands on
    // changes a round trip by up to a third on this 2-core machine, and would otherwise favour
    // one road for the whole run.
    for (int b = -1; b < blocks; ++b) {
        // The CT road first: its RESET ICC resets the card, which would void a connection
        // made before it.
        Bare bare;
        if (!OpenCtRoad() || !bare.Open(bed::ReaderName(0))) {
            std::fprintf(stderr, "cannot activate the card\n");
            return 1;
        }
        // Alternate which road goes first so that neither always follows the other.
        double ct = 0, pc = 0;
        if (b % 2 == 0) {
            ct = TimeBlock(ViaCtData, failures, ctCpu);
            pc = TimeBlock([&] { return bare.Transmit(); }, failures, bareCpu);
        } else {
            pc = TimeBlock([&] { return bare.Transmit(); }, failures, bareCpu);
            ct = TimeBlock(ViaCtData, failures, ctCpu);
        }
        CT_close(0);
        if (b < 0) {
            ctCpu = bareCpu = 0;
            continue; // warm-up of both roads
        }
        ctTotal += ct;
        bareTotal += pc;
        ratios.push_back(ct / pc);
    }
    std::sort(ratios.begin(), ratios.end());

    const int measured = blocks * kBlock;
    std::printf("APDUs per road:            %d (blocks of %d, alternating)\n", measured, kBlock);
    std::printf("CT_data to ICC1:           %.1f us per APDU\n", ctTotal / measured);
    std::printf("bare SCardTransmit:        %.1f us per APDU\n", bareTotal / measured);
    std::printf("ratio CT_data / bare:      %.3f (goal <= 1.05)\n", ctTotal / bareTotal);
    std::printf("median ratio of the blocks: %.3f\n", ratios[ratios.size() / 2]);
    std::printf(
        "caller's CPU per APDU:     CT_data %.2f us, bare %.2f us (the library adds %.2f us)\n",
        ctCpu / measured, bareCpu / measured, (ctCpu - bareCpu) / measured);
    std::printf("failed exchanges:          %d\n", failures);
    return failures == 0 ? 0 : 1;
}
