// vcard --slot N --script FILE [-v]: the simulated card as a program. It stays in the reader
// until SIGTERM or SIGINT; when its connection ends (a drop rule, pcscd restarting) it is put
// back. With -v it prints every APDU it receives.
#include "bed/bed.h"

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: vcard --slot 0|1 --script FILE [-v]\n");
    return 2;
}

void PrintApdu(const bed::Bytes& apdu) {
    std::printf(">");
    for (const std::uint8_t b : apdu)
        std::printf(" %02X", b);
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    int slot = 0;
    std::string script;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--slot" && i + 1 < argc) {
            const std::string value = argv[++i];
            if (value != "0" && value != "1")
                return Usage();
            slot = value[0] - '0';
        } else if (arg == "--script" && i + 1 < argc) {
            script = argv[++i];
        } else if (arg == "-v") {
            verbose = true;
        } else {
            return Usage();
        }
    }
    if (script.empty())
        return Usage();

    // Blocked before any thread starts, so that only sigtimedwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        bed::SimCard card(bed::LoadCardScript(script), slot);
        std::size_t shown = 0;
        const timespec tick{0, 100'000'000};
        while (sigtimedwait(&stopSignals, nullptr, &tick) < 0) {
            if (!card.Inserted()) {
                try {
                    card.Insert();
                } catch (const std::runtime_error& e) {
                    if (verbose)
                        std::fprintf(stderr, "vcard: %s\n", e.what());
                }
            }
            if (verbose) {
                const auto apdus = card.ReceivedApdus();
                for (; shown < apdus.size(); ++shown)
                    PrintApdu(apdus[shown]);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vcard: %s\n", e.what());
        return 1;
    }
    return 0;
}
