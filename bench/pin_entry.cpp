// The cost of one PERFORM VERIFICATION through our CT-API library, pcscd and the PIN-pad reader
// (its keypad script typing the PIN at once) against one plain card command through the library
// on the same reader and card, in alternating blocks so that drift of the bed hits both alike.
//   build/bin/bench_pin_entry [VERIFIES]     (re-runs itself inside testbed/sandbox)
#include <ctapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bed/card.h"
#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "core/hex.h"
#include "sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBlock = 50;
// An ASCII PIN of four digits at the first data byte of 00 20 00 81 08 FF..FF.
const bed::Bytes kVerify =
    qv::FromHex("20 18 01 00 11 52 0F 41 06 00 20 00 81 08 FF FF FF FF FF FF FF FF");
const bed::Bytes kPlain = qv::FromHex("00 B0 00 00 04");

bool Exchange(std::uint8_t destination, bed::Bytes command, const char* expected) {
    bed::Bytes response(256);
    std::uint8_t dad = destination, sad = HOST;
    auto len = static_cast<std::uint16_t>(response.size());
    if (CT_data(0, &dad, &sad, static_cast<std::uint16_t>(command.size()), command.data(), &len,
                response.data()) != OK)
        return false;
    response.resize(len);
    return qv::ToHex(response) == expected;
}

template <typename Step> double BlockMicros(Step step, int& failures) {
    const auto start = Clock::now();
    for (int i = 0; i < kBlock; ++i)
        failures += step() ? 0 : 1;
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    if (!bed::InSandbox())
        return ReexecInSandbox(argv);
    const int blocks = std::max(kBlock, argc > 1 ? std::atoi(argv[1]) : 1000) / kBlock;

    // One keypad entry for every verify, the warm-up block's too.
    const std::filesystem::path script =
        std::filesystem::temp_directory_path() / "bench_pin_entry.reader";
    std::string keys = "pin-size 4 8\n";
    for (int i = 0; i < (blocks + 1) * kBlock; ++i)
        keys += "entry 1234 ok\n";
    std::ofstream(script) << keys;
    bed::PcscdOptions options;
    options.withVpcd = false;
    options.pinPads[0] = script.string();
    bed::Pcscd pcscd(options);
    bed::CardScript card;
    card.rules = {{"00 20 00 81 08 31 32 33 34 FF FF FF FF", qv::FromHex("90 00")},
                  {"00 B0 00 00 04", qv::FromHex("01 02 03 04 90 00")}};
    bed::SimCard sim(card, bed::SlotPlace(options, 0));
    sim.Insert();
    if (!bed::WaitForCard(bed::ReaderName(options, 0), true) || CT_init(0, 1) != OK ||
        !Exchange(CT, qv::FromHex("20 11 01 00 00"), "90 01")) {
        std::fprintf(stderr, "the PIN-pad reader does not activate the card\n");
        return 1;
    }
    const auto verify = [] { return Exchange(CT, kVerify, "90 00"); };
    const auto plain = [] { return Exchange(ICC1, kPlain, "01 02 03 04 90 00"); };
    int failures = 0;
    double verifyTotal = 0, plainTotal = 0;
    std::vector<double> ratios;
    for (int b = -1; b < blocks; ++b) {
        // Alternate which goes first so that neither always follows the other.
        const double first = BlockMicros(b % 2 == 0 ? +verify : +plain, failures);
        const double second = BlockMicros(b % 2 == 0 ? +plain : +verify, failures);
        if (b < 0)
            continue; // warm-up
        const double v = b % 2 == 0 ? first : second, p = b % 2 == 0 ? second : first;
        verifyTotal += v;
        plainTotal += p;
        ratios.push_back(v / p);
    }
    CT_close(0);
    std::filesystem::remove(script);
    std::sort(ratios.begin(), ratios.end());

    const int measured = blocks * kBlock;
    std::printf("exchanges of each kind:        %d (blocks of %d, alternating)\n", measured,
                kBlock);
    std::printf("PERFORM VERIFICATION:          %.1f us each\n", verifyTotal / measured);
    std::printf("plain card command (CT_data):  %.1f us each\n", plainTotal / measured);
    std::printf("ratio verify / plain:          %.3f\n", verifyTotal / plainTotal);
    std::printf("median ratio of the blocks:    %.3f\n", ratios[ratios.size() / 2]);
    std::printf("failed exchanges:              %d\n", failures);
    return failures == 0 ? 0 : 1;
}
