// quorvane-bed: a private PC/SC service for one command. A pcscd of its own with vpcd readers
// (or PIN-pad readers in slots given) and simulated cards, in private mount and network
// namespaces (testbed/sandbox), the command run inside, everything ended after; its status is
// the command's. man/quorvane-bed.1.
#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "core/text.h"
#include "pinpad/reader_script.h"
#include "tool_options.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr const char* kUsage =
    "usage: quorvane-bed [--card SLOT=SCRIPT]... [--reader SLOT=SCRIPT]... [--readers N]\n"
    "                    [--verbose] -- COMMAND [ARG...]\n"
    "Runs COMMAND with a PC/SC service of its own: a private pcscd with N vpcd readers\n"
    "(\"Virtual PCD 00 00\", ...) and a simulated card in each slot given, in private mount and\n"
    "network namespaces; ends everything after. The exit status is COMMAND's (128 + signal when\n"
    "a signal ended it); 2 for a usage or script error, 77 when no private namespace can be made.\n"
    "  -c, --card SLOT=SCRIPT    the card of SCRIPT (quorvane-card(5)) in reader SLOT (0 to 15)\n"
    "  -p, --reader SLOT=SCRIPT  reader SLOT is the PIN-pad reader of SCRIPT (quorvane-reader(5),\n"
    "                            \"Quorvane PIN Pad 00 00\", ...) instead of a vpcd reader\n"
    "  -r, --readers N           vpcd readers (default 2; rounded up to even; 0: no pcscd, the\n"
    "                            namespaces only)\n"
    "  -v, --verbose             print the cards' exchanges on standard error\n"
    "  -h, --help                this help\n";

// A script for a slot: a card's (--card) or a PIN-pad reader's (--reader).
struct SlotScript {
    int slot;
    std::string path;
};

int Usage(const std::string& why) {
    std::fprintf(stderr, "quorvane-bed: %s\n%s", why.c_str(), kUsage);
    return 2;
}

int ScriptError(const std::string& why) {
    std::fprintf(stderr, "quorvane-bed: %s\n", why.c_str());
    return 2;
}

// Adds SLOT=SCRIPT of `option` to `scripts`, one of `what` a slot; the status to end with when
// it is not.
std::optional<int> AddSlotScript(std::string_view option, std::string_view what,
                                 const std::string& text, std::vector<SlotScript>& scripts) {
    const auto eq = text.find('=');
    const std::optional<int> slot =
        eq == std::string::npos ? std::nullopt
                                : qv::WholeNumber<int>(std::string_view(text).substr(0, eq));
    if (!slot || *slot < 0 || *slot >= bed::kMaxReaders || eq + 1 == text.size()) {
        return Usage(std::string(option) + " takes SLOT=SCRIPT, SLOT 0 to 15, not '" + text + "'");
    }
    for (const SlotScript& script : scripts) {
        if (script.slot == *slot)
            return Usage("two " + std::string(what) + " for slot " + std::to_string(*slot));
    }
    scripts.push_back({*slot, text.substr(eq + 1)});
    return std::nullopt;
}

// The PIN-pad readers' scripts checked and placed in `options`; the status to end with when one
// is not sound or its path is one pcscd cannot take.
std::optional<int> AddPinPads(const std::vector<SlotScript>& readers, bed::PcscdOptions& options) {
    for (const SlotScript& reader : readers) {
        const std::string path = std::filesystem::absolute(reader.path).lexically_normal();
        if (path.find_first_of(": \t\n\"") != std::string::npos)
            return ScriptError("a reader script's path holds no ':', blanks or quotes: " + path);
        try {
            pinpad::LoadReaderScript(path);
        } catch (const std::invalid_argument& e) {
            return ScriptError(e.what());
        }
        options.pinPads[reader.slot] = path;
    }
    return std::nullopt;
}

// The namespace maker, installed (and copied into the build tree) at a fixed place relative to
// the program.
std::string SandboxPath() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return "/proc/self/exe: " + ec.message();
    return (self.parent_path() / QUORVANE_BIN_TO_SANDBOX).lexically_normal().string();
}

// Replaces this process with the sandbox running it again; returns only on failure.
int Reexec(char** argv) {
    const std::string sandbox = SandboxPath();
    // The program's own path: /proc/self/exe would be the sandbox's shell once it runs.
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    std::vector<char*> args{const_cast<char*>(sandbox.c_str()), const_cast<char*>(self.c_str())};
    for (char** arg = argv + 1; *arg != nullptr; ++arg)
        args.push_back(*arg);
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::perror(sandbox.c_str());
    return 1;
}

pid_t child = -1;

[[noreturn]] void Exec(char** command) {
    execvp(command[0], command);
    std::fprintf(stderr, "quorvane-bed: cannot start %s: %s\n", command[0], std::strerror(errno));
    _exit(127);
}

void Forward(int signal) {
    if (child > 0)
        kill(child, signal);
}

// Runs the command in the foreground; its status, as a shell reports it.
int RunCommand(char** command) {
    // Ctrl-C reaches the command from the terminal; the bed stays to clean up after it.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    struct sigaction forward {};
    forward.sa_handler = Forward;
    sigaction(SIGTERM, &forward, nullptr);
    sigaction(SIGHUP, &forward, nullptr);
    child = fork();
    if (child < 0) {
        std::perror("quorvane-bed: fork");
        return 1;
    }
    if (child == 0) {
        // Killed outright, the bed takes the command with it: nothing outlives its pcscd.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        Exec(command);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    child = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char** argv) {
    constexpr bed::ToolOption kOptions[] = {
        {"card", true, 'c'},
        {"reader", true, 'p'},
        {"readers", true, 'r'},
        {"verbose", false, 'v'},
    };
    std::vector<SlotScript> cards;
    std::vector<SlotScript> pinPads;
    int readers = -1;
    bool verbose = false;
    const auto apply = [&](int code, const char* value) -> std::optional<int> {
        switch (code) {
        case 'c':
            return AddSlotScript("--card", "cards", value, cards);
        case 'p':
            return AddSlotScript("--reader", "PIN pads", value, pinPads);
        case 'r': {
            const std::optional<int> n = qv::WholeNumber<int>(value);
            if (!n || *n < 0 || *n > bed::kMaxReaders)
                return Usage("--readers takes 0 to 16");
            readers = *n;
            return std::nullopt;
        }
        case 'v':
            verbose = true;
            return std::nullopt;
        default:
            return Usage("unknown option");
        }
    };
    // Stopping at the first operand: the command's own options are not ours.
    if (const std::optional<int> status =
            bed::ReadToolOptions(argc, argv, kOptions, kUsage, true, apply))
        return *status;
    if (optind >= argc)
        return Usage("no command given");
    int needed = readers < 0 ? 2 : readers;
    for (const std::vector<SlotScript>* scripts : {&cards, &pinPads}) {
        for (const SlotScript& script : *scripts) {
            if (readers == 0)
                return Usage("--readers 0 holds no card and no PIN pad");
            if (readers > 0 && script.slot >= readers)
                return Usage("slot " + std::to_string(script.slot) + " needs more than " +
                             std::to_string(readers) + " readers");
            needed = std::max(needed, script.slot + 1);
        }
    }
    std::vector<bed::CardScript> cardScripts;
    for (const SlotScript& card : cards) {
        try {
            cardScripts.push_back(bed::LoadCardScript(card.path));
        } catch (const std::invalid_argument& e) {
            return ScriptError(e.what());
        }
    }
    bed::PcscdOptions pcscdOptions;
    pcscdOptions.vpcdReaders = needed;
    if (const std::optional<int> status = AddPinPads(pinPads, pcscdOptions))
        return *status;
    if (!bed::InSandbox())
        return Reexec(argv);
    if (needed == 0)
        Exec(argv + optind); // nothing to end after it: the namespaces go with the command

    try {
        const bed::Pcscd pcscd(pcscdOptions);
        std::vector<std::unique_ptr<bed::SimCard>> inserted;
        for (std::size_t i = 0; i < cards.size(); ++i) {
            bed::CardLog log;
            if (verbose) {
                log = [slot = cards[i].slot](const std::string& line) {
                    std::fprintf(stderr, "card %d %s\n", slot, line.c_str());
                };
            }
            inserted.push_back(std::make_unique<bed::SimCard>(
                std::move(cardScripts[i]), bed::SlotPlace(pcscdOptions, cards[i].slot),
                std::move(log)));
            inserted.back()->Insert();
        }
        for (const SlotScript& card : cards) {
            if (!bed::WaitForCard(bed::ReaderName(pcscdOptions, card.slot), true, 10s)) {
                std::fprintf(stderr, "quorvane-bed: the card in slot %d did not show up\n",
                             card.slot);
                return 1;
            }
        }
        return RunCommand(argv + optind);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvane-bed: %s\n", e.what());
        return 1;
    }
}
