// quorvane-card: one simulated card in a vpcd reader, played by a card script until SIGTERM or
// SIGINT; or a card script made from what quorvane-run recorded (--from-req, --from-trace).
// man/quorvane-card.1, the script language man/quorvane-card.5.
#include "bed/pcscd.h"
#include "bed/replay.h"
#include "bed/sim_card.h"
#include "core/atr.h"
#include "core/hex.h"
#include "core/text.h"
#include "tool_options.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>

namespace {

constexpr const char* kUsage =
    "usage: quorvane-card [--slot N | --port PORT] [--host HOST] [--verbose] SCRIPT\n"
    "       quorvane-card --from-req FILE.req [--atr HEX]\n"
    "       quorvane-card --from-trace FILE [--reader N] [--atr HEX]\n"
    "       quorvane-card --check SCRIPT\n"
    "Plays the card of SCRIPT in a vpcd reader of a pcscd that loads the vpcd driver (slot 0,\n"
    "port 35963, on 127.0.0.1 unless told otherwise) until SIGTERM or SIGINT; or writes a card\n"
    "script that replays a quorvane-run --record file or --trace file to standard output.\n"
    "  -s, --slot N        the vpcd reader slot N (port 35963 + N; 0 to 63, slots past 15 in a\n"
    "                      quorvane-bed of that many readers)\n"
    "  -p, --port PORT     the TCP port vpcd listens on for the card\n"
    "  -H, --host HOST     where vpcd listens (default 127.0.0.1)\n"
    "  -v, --verbose       print every exchange and event\n"
    "      --from-req FILE    a card script replaying a recorded REQ file\n"
    "      --from-trace FILE  a card script replaying a quorvane-run trace\n"
    "      --atr HEX          the replay's ATR (default: the one the file holds, else the\n"
    "                         bed's)\n"
    "      --reader N         with --from-trace: replay reader N's card (default 1)\n"
    "      --check SCRIPT     read the script and say whether it is sound\n"
    "  -h, --help          this help\n"
    "Exit status: 0 ended by a signal or done, 1 the card could not be played, 2 usage or script\n"
    "error.\n";

int Usage(const char* why) {
    if (why != nullptr)
        std::fprintf(stderr, "quorvane-card: %s\n", why);
    std::fputs(kUsage, stderr);
    return 2;
}

// Plays the card until a stop signal; a card whose connection vpcd ended (pcscd restarting) is
// put back, a card the script pulled only as the script says.
int Play(bed::CardScript script, bed::CardPlace place, bool verbose) {
    // Blocked before any thread starts, so that only sigtimedwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::mutex out;
    bed::CardLog log;
    if (verbose) {
        log = [&out](const std::string& line) {
            const std::lock_guard lock(out);
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        };
    }
    const std::string where = place.host + " port " + std::to_string(place.port);
    bed::SimCard card(std::move(script), std::move(place), log);
    try {
        card.Insert();
    } catch (const bed::ReaderOccupied& e) {
        std::fprintf(stderr,
                     "quorvane-card: %s: take that card out first (end the quorvane-card that "
                     "plays it), or choose another slot\n",
                     e.what());
        return 1;
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr,
                     "quorvane-card: %s\nStart pcscd with the vpcd driver first (Debian: apt-get "
                     "install pcscd vsmartcard-vpcd), or run in quorvane-bed.\n",
                     e.what());
        return 1;
    }
    if (verbose)
        log("- in the reader at " + where);
    const timespec tick{0, 100'000'000};
    while (sigtimedwait(&stopSignals, nullptr, &tick) < 0) {
        if (card.Inserted() || card.Pulled())
            continue;
        try {
            card.Insert();
        } catch (const std::runtime_error& e) {
            if (verbose)
                log(std::string("- ") + e.what());
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    enum { kFromReq = 256, kFromTrace, kAtr, kCheck, kReader };
    constexpr bed::ToolOption kOptions[] = {
        {"slot", true, 's'},     {"port", true, 'p'},          {"host", true, 'H'},
        {"verbose", false, 'v'}, {"from-req", true, kFromReq}, {"from-trace", true, kFromTrace},
        {"atr", true, kAtr},     {"check", true, kCheck},      {"reader", true, kReader},
    };
    int slot = -1;
    int port = -1;
    std::string host = "127.0.0.1";
    bool verbose = false;
    int reader = 0; // of a trace; 0: not given (reader 1)
    std::string fromReq, fromTrace, atrText, check;
    // A whole number from `least` to `most`, or -1.
    const auto number = [](const char* text, int least, int most) {
        const std::optional<int> n = qv::WholeNumber<int>(text);
        return n && *n >= least && *n <= most ? *n : -1;
    };
    const auto apply = [&](int code, const char* value) -> std::optional<int> {
        switch (code) {
        case 's':
            if ((slot = number(value, 0, bed::kMaxSlots - 1)) < 0)
                return Usage("--slot takes 0 to 63");
            break;
        case 'p':
            if ((port = number(value, 1, 65535)) < 0)
                return Usage("--port takes 1 to 65535");
            break;
        case 'H':
            host = value;
            break;
        case 'v':
            verbose = true;
            break;
        case kFromReq:
            fromReq = value;
            break;
        case kFromTrace:
            fromTrace = value;
            break;
        case kAtr:
            atrText = value;
            break;
        case kCheck:
            check = value;
            break;
        case kReader:
            if ((reader = number(value, 1, 65535)) < 0)
                return Usage("--reader takes 1 to 65535");
            break;
        default:
            return Usage(nullptr);
        }
        return std::nullopt;
    };
    if (const std::optional<int> status =
            bed::ReadToolOptions(argc, argv, kOptions, kUsage, false, apply))
        return *status;
    const int modes = !fromReq.empty() + !fromTrace.empty() + !check.empty() + (optind < argc);
    if (modes != 1 || argc - optind > 1)
        return Usage("give one script, or one of --from-req, --from-trace, --check");
    if (slot >= 0 && port >= 0)
        return Usage("--slot or --port, not both");
    if (reader != 0 && fromTrace.empty())
        return Usage("--reader chooses a reader of --from-trace");
    try {
        if (!check.empty()) {
            const bed::CardScript s = bed::LoadCardScript(check);
            std::printf("%s: %zu rules, ATR %s\n", check.c_str(), s.rules.size(),
                        qv::ToHex(s.atr).c_str());
            // Only a warning: the card plays it all the same, as a terminal must cope with one.
            if (const qv::Atr atr = qv::DecodeAtr(s.atr); !atr.verdict.WellFormed()) {
                std::fflush(stdout);
                std::fprintf(stderr, "quorvane-card: %s:%zu: the ATR is not well formed: %s\n",
                             check.c_str(), s.atrLine, atr.verdict.text.c_str());
            }
            return 0;
        }
        if (!fromReq.empty() || !fromTrace.empty()) {
            const bed::Bytes given = qv::FromHex(atrText);
            if (!atrText.empty() && given.empty())
                return Usage("--atr needs bytes");
            const std::string& from = fromReq.empty() ? fromTrace : fromReq;
            const unsigned chosen = reader == 0 ? 1 : static_cast<unsigned>(reader);
            std::vector<std::string> warnings;
            const bed::Recording recorded = fromReq.empty()
                                                ? bed::ReadTrace(fromTrace, chosen)
                                                : bed::ReadRecordedReq(fromReq, warnings);
            for (const std::string& warning : warnings)
                std::fprintf(stderr, "quorvane-card: %s\n", warning.c_str());
            if (!fromTrace.empty())
                std::fprintf(stderr, "quorvane-card: replaying reader %u of %s\n", chosen,
                             fromTrace.c_str());
            // An ATR given wins over the one the file holds; a file without one gets the
            // bed's default.
            const bed::Bytes atr = !given.empty()          ? given
                                   : !recorded.atr.empty() ? recorded.atr
                                                           : bed::CardScript{}.atr;
            std::fputs(bed::ReplayScript(recorded.exchanges, atr, from).c_str(), stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        bed::CardScript script = bed::LoadCardScript(argv[optind]);
        if (port < 0)
            bed::UseServiceOfSlot(slot < 0 ? 0 : slot); // the card's reader is looked at there
        bed::CardPlace place = bed::SlotPlace(slot < 0 ? 0 : slot);
        if (port >= 0)
            place = bed::CardPlace{host, port, ""};
        place.host = host;
        return Play(std::move(script), std::move(place), verbose);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "quorvane-card: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvane-card: %s\n", e.what());
        return 1;
    }
}
