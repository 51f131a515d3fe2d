// quorvane-bed: a private PC/SC service for one command. pcscds of its own (16 readers each) with
// vpcd readers (or PIN-pad readers in slots given) and simulated cards, in private mount and
// network namespaces (testbed/sandbox); the command in a PID namespace of its own, so that
// whatever it starts ends with it; its status is the command's. man/quorvane-bed.1.
#include "bed/fd.h"
#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "core/text.h"
#include "pinpad/reader_script.h"
#include "tool_options.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr const char* kUsage =
    "usage: quorvane-bed [--card SLOT=SCRIPT]... [--reader SLOT=SCRIPT]... [--readers N]\n"
    "                    [--verbose] -- COMMAND [ARG...]\n"
    "Runs COMMAND with a PC/SC service of its own: private pcscds with N vpcd readers in all\n"
    "(\"Virtual PCD 00 00\", ...; 16 a pcscd) and a simulated card in each slot given, in private\n"
    "mount, network and PID namespaces; ends everything after. QUORVANE_PCSC_SOCKETS lists the\n"
    "pcscds' sockets in slot order. The exit status is COMMAND's (128 + signal when a signal\n"
    "ended it); 2 for a usage or script error, 77 when no private namespace can be made.\n"
    "  -c, --card SLOT=SCRIPT    the card of SCRIPT (quorvane-card(5)) in reader SLOT (0 to 63)\n"
    "  -p, --reader SLOT=SCRIPT  reader SLOT (0 to 15) is the PIN-pad reader of SCRIPT\n"
    "                            (quorvane-reader(5), \"Quorvane PIN Pad 00 00\", ...) instead of\n"
    "                            a vpcd reader\n"
    "  -r, --readers N           vpcd readers (default 2; rounded up to even; 0 to 64, a pcscd\n"
    "                            for each 16; 0: no pcscd, the namespaces only)\n"
    "  -v, --verbose             print the cards' exchanges on standard error\n"
    "  -h, --help                this help\n";

// A command that does not end within this time of a stop signal is killed.
constexpr auto kStopPatience = 10s;

// A script for a slot: a card's (--card) or a PIN-pad reader's (--reader).
struct SlotScript {
    int slot;
    std::string path;
};

struct Card {
    int slot;
    bed::CardScript script;
};

int Usage(const std::string& why) {
    std::fprintf(stderr, "quorvane-bed: %s\n%s", why.c_str(), kUsage);
    return 2;
}

int ScriptError(const std::string& why) {
    std::fprintf(stderr, "quorvane-bed: %s\n", why.c_str());
    return 2;
}

// Adds SLOT=SCRIPT of `option` to `scripts`, one of `what` a slot, SLOT below `slots`; the status
// to end with when it is not.
std::optional<int> AddSlotScript(std::string_view option, std::string_view what,
                                 const std::string& text, int slots,
                                 std::vector<SlotScript>& scripts) {
    const auto eq = text.find('=');
    const std::optional<int> slot =
        eq == std::string::npos ? std::nullopt
                                : qv::WholeNumber<int>(std::string_view(text).substr(0, eq));
    if (!slot || *slot < 0 || *slot >= slots || eq + 1 == text.size()) {
        return Usage(std::string(option) + " takes SLOT=SCRIPT, SLOT 0 to " +
                     std::to_string(slots - 1) + ", not '" + text + "'");
    }
    for (const SlotScript& script : scripts) {
        if (script.slot == *slot)
            return Usage("two " + std::string(what) + " for slot " + std::to_string(*slot));
    }
    scripts.push_back({*slot, text.substr(eq + 1)});
    return std::nullopt;
}

// The PIN-pad readers' scripts checked and placed in `pinPads` (PcscdOptions::pinPads); the
// status to end with when one is not sound or its path is one pcscd cannot take.
std::optional<int> AddPinPads(const std::vector<SlotScript>& readers,
                              std::map<int, std::string>& pinPads) {
    for (const SlotScript& reader : readers) {
        const std::string path = std::filesystem::absolute(reader.path).lexically_normal();
        if (path.find_first_of(": \t\n\"") != std::string::npos)
            return ScriptError("a reader script's path holds no ':', blanks or quotes: " + path);
        try {
            pinpad::LoadReaderScript(path);
        } catch (const std::invalid_argument& e) {
            return ScriptError(e.what());
        }
        pinPads[reader.slot] = path;
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

int ShellStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The signals that stop the bed, and SIGCHLD: blocked from the start, read from a signalfd.
sigset_t WatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
        sigaddset(&set, signal);
    return set;
}

// A signal the terminal sent to its foreground process group (Ctrl-C, Ctrl-\, a hang-up):
// the command has it too.
bool FromTerminal(int code) {
    return code == SI_KERNEL;
}

// ---- The services: one process each, its pcscd and the cards in its slots.

// Both ends of a pipe, each closed when its owner goes.
struct Pipe {
    bed::Fd read;
    bed::Fd write;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
        read = bed::Fd(fds[0]);
        write = bed::Fd(fds[1]);
    }
};

// The body of service `service`'s process: its pcscd with `readers` readers, its PIN pads and its
// cards, one byte on `ready` once every card shows in its reader, then play until `stop` ends (the
// bed closed it, or ended). Returns the process's exit status.
int Serve(int service, int readers, std::map<int, std::string> pinPads, std::vector<Card> cards,
          bool verbose, int ready, int stop) {
    // Its own PC/SC client for the readiness checks.
    if (service > 0)
        setenv(bed::kClientSocketVariable, bed::ServiceSocket(service).c_str(), 1);
    try {
        bed::PcscdOptions options;
        options.service = service;
        options.vpcdReaders = readers;
        options.pinPads = std::move(pinPads);
        const bed::Pcscd pcscd(options);
        std::vector<std::unique_ptr<bed::SimCard>> inserted;
        for (Card& card : cards) {
            bed::CardLog log;
            if (verbose) {
                log = [slot = card.slot](const std::string& line) {
                    std::fprintf(stderr, "card %d %s\n", slot, line.c_str());
                };
            }
            inserted.push_back(std::make_unique<bed::SimCard>(
                std::move(card.script), bed::SlotPlace(options, card.slot), std::move(log)));
            inserted.back()->Insert();
        }
        for (const Card& card : cards) {
            if (!bed::WaitForCard(bed::ReaderName(options, card.slot), true, 10s)) {
                std::fprintf(stderr, "quorvane-bed: the card in slot %d did not show up\n",
                             card.slot);
                return 1;
            }
        }
        if (write(ready, "1", 1) != 1)
            return 1;
        for (char byte = 0;;) {
            const ssize_t n = read(stop, &byte, 1);
            if (n == 0 || (n < 0 && errno != EINTR))
                return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvane-bed: %s\n", e.what());
        return 1;
    }
}

// The bed's PC/SC services, each a process of its own: pcsc-lite's client reaches one service
// a process, and the readiness checks and cards of each need it.
class Services {
  public:
    // Starts services for `readers` readers, `pinPads` among them (PcscdOptions::pinPads), with
    // `cards` in them; Ready() returns whether they are.
    Services(int readers, std::vector<Card> cards, const std::map<int, std::string>& pinPads,
             bool verbose);
    ~Services(); // ends them and waits for them
    Services(const Services&) = delete;
    Services& operator=(const Services&) = delete;

    // True once each service runs with its cards in; false when one failed (it said why).
    bool Ready();
    // The sockets in slot order, for kSocketsVariable.
    std::string Sockets() const;

  private:
    struct Started {
        pid_t pid;
        bed::Fd ready; // the byte the service writes once it runs
    };
    std::vector<Started> started_;
    Pipe stop_; // its write end held until the services are to end
};

Services::Services(int readers, std::vector<Card> cards, const std::map<int, std::string>& pinPads,
                   bool verbose) {
    for (int service = 0; service * bed::kMaxReaders < readers; ++service) {
        const int first = service * bed::kMaxReaders;
        std::vector<Card> own;
        for (Card& card : cards) {
            if (card.slot / bed::kMaxReaders == service)
                own.push_back(std::move(card));
        }
        std::map<int, std::string> ownPinPads;
        for (const auto& [slot, script] : pinPads) {
            if (slot / bed::kMaxReaders == service)
                ownPinPads.emplace(slot, script);
        }
        Pipe ready;
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid < 0)
            throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
        if (pid == 0) {
            // Out of the terminal's process group: Ctrl-C is the command's, not pcscd's.
            setpgid(0, 0);
            stop_.write.Close();
            for (Started& other : started_)
                other.ready.Close();
            ready.read.Close();
            const int status =
                Serve(service, std::min(readers - first, bed::kMaxReaders), std::move(ownPinPads),
                      std::move(own), verbose, ready.write.Get(), stop_.read.Get());
            std::fflush(nullptr);
            _exit(status);
        }
        started_.push_back({pid, std::move(ready.read)});
    }
    stop_.read.Close();
}

bool Services::Ready() {
    bool all = true;
    for (Started& service : started_) {
        char byte = 0;
        ssize_t n = 0;
        while ((n = read(service.ready.Get(), &byte, 1)) < 0 && errno == EINTR) {
        }
        all = all && n == 1;
    }
    return all;
}

Services::~Services() {
    stop_.write.Close();
    for (const Started& service : started_) {
        while (waitpid(service.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

std::string Services::Sockets() const {
    std::string sockets;
    for (std::size_t service = 0; service < started_.size(); ++service) {
        if (service > 0)
            sockets += ':';
        sockets += bed::ServiceSocket(static_cast<int>(service));
    }
    return sockets;
}

// ---- The command, in a PID namespace of its own

pid_t command = -1; // in the init process

// The init's handler: a stop signal the bed sent goes on to the command; the terminal's reached
// it already.
void PassOn(int signal, siginfo_t* info, void*) {
    if (!FromTerminal(info->si_code) && command > 0)
        kill(command, signal);
}

// PID 1 of the command's namespace: starts the command and ends with its status. Its end ends
// every other process in the namespace: what the command left running goes with it.
// /proc of this PID namespace, in a mount namespace of its own: a program that reads
// /proc/self or /proc/PID (a sanitizer's runtime, ps, pgrep) would otherwise find the processes
// of the namespace outside, under other numbers. Where the mount is refused, /proc stays as it
// was and the command runs all the same.
void MountOwnProc() {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return;
    mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
}

[[noreturn]] void RunInit(char** argv) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    MountOwnProc();
    const sigset_t watched = WatchedSignals();
    command = fork();
    if (command == 0) {
        for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            ::signal(stop, SIG_DFL);
        sigprocmask(SIG_UNBLOCK, &watched, nullptr);
        execvp(argv[0], argv);
        std::fprintf(stderr, "quorvane-bed: cannot start %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    if (command < 0)
        _exit(1);
    struct sigaction pass {};
    pass.sa_sigaction = PassOn;
    pass.sa_flags = SA_SIGINFO | SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(signal, &pass, nullptr);
    sigprocmask(SIG_UNBLOCK, &watched, nullptr);
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(-1, &status, 0);
        if (ended == command)
            _exit(ShellStatus(status));
        if (ended < 0 && errno == ECHILD)
            _exit(1);
    }
}

// The first stop signal pending, if any: one that came while the bed started.
std::optional<signalfd_siginfo> NextSignal(int fd, int timeoutMs) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, timeoutMs) <= 0)
        return std::nullopt;
    signalfd_siginfo info{};
    if (read(fd, &info, sizeof info) != sizeof info)
        return std::nullopt;
    return info;
}

// Runs the command; its status, as a shell reports it. SIGINT, SIGTERM, SIGHUP and SIGQUIT sent
// to the bed go on to the command; a command still there kStopPatience later, or at a second
// signal, is killed.
int RunCommand(char** argv) {
    const sigset_t watched = WatchedSignals();
    const int signals = signalfd(-1, &watched, SFD_CLOEXEC);
    if (signals < 0) {
        std::perror("quorvane-bed: signalfd");
        return 1;
    }
    while (const auto early = NextSignal(signals, 0)) {
        if (early->ssi_signo != SIGCHLD && !FromTerminal(early->ssi_code))
            return 128 + static_cast<int>(early->ssi_signo); // stopped before it began
    }
    // The bed's own PID namespace, to return to once the command's is made: a process the bed
    // starts after the command has ended (a sanitizer's leak checker at exit, say) would
    // otherwise be forked into the command's namespace, dead with its init, and fail.
    const int ownNamespace = open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC);
    if (ownNamespace < 0 || unshare(CLONE_NEWPID) != 0) {
        std::fprintf(stderr, "quorvane-bed: cannot make a PID namespace: %s\n",
                     std::strerror(errno));
        if (ownNamespace >= 0)
            close(ownNamespace);
        return 1;
    }
    std::fflush(nullptr);
    const pid_t init = fork();
    if (init == 0)
        RunInit(argv);
    setns(ownNamespace, CLONE_NEWPID); // where refused, only later forks of the bed fail
    close(ownNamespace);
    if (init < 0) {
        std::perror("quorvane-bed: fork");
        return 1;
    }
    std::optional<std::chrono::steady_clock::time_point> deadline;
    bool killed = false;
    for (;;) {
        int status = 0;
        if (waitpid(init, &status, WNOHANG) == init) {
            close(signals);
            return ShellStatus(status);
        }
        int timeoutMs = -1;
        if (deadline && !killed) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            timeoutMs = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        const auto signal = NextSignal(signals, timeoutMs);
        const bool late = deadline && std::chrono::steady_clock::now() >= *deadline;
        const bool stop = signal && signal->ssi_signo != SIGCHLD && !FromTerminal(signal->ssi_code);
        if (killed || !(late || stop))
            continue;
        if (deadline) { // too late, or asked twice
            kill(init, SIGKILL);
            killed = true;
        } else {
            kill(init, static_cast<int>(signal->ssi_signo));
            deadline = std::chrono::steady_clock::now() + kStopPatience;
        }
    }
}

// Blocks the signals the bed reads from a signalfd. Ignored ones (a shell's background job
// ignores SIGINT) would never arrive: their default restored first.
void BlockWatchedSignals() {
    for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::signal(stop, SIG_DFL);
    const sigset_t watched = WatchedSignals();
    sigprocmask(SIG_BLOCK, &watched, nullptr);
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
            return AddSlotScript("--card", "cards", value, bed::kMaxSlots, cards);
        case 'p':
            return AddSlotScript("--reader", "PIN pads", value, bed::kMaxReaders, pinPads);
        case 'r': {
            const std::optional<int> n = qv::WholeNumber<int>(value);
            if (!n || *n < 0 || *n > bed::kMaxSlots)
                return Usage("--readers takes 0 to 64");
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
    std::vector<Card> cardScripts;
    for (const SlotScript& card : cards) {
        try {
            cardScripts.push_back({card.slot, bed::LoadCardScript(card.path)});
        } catch (const std::invalid_argument& e) {
            return ScriptError(e.what());
        }
    }
    std::map<int, std::string> pinPadPaths;
    if (const std::optional<int> status = AddPinPads(pinPads, pinPadPaths))
        return *status;
    if (!bed::InSandbox())
        return Reexec(argv);
    BlockWatchedSignals();
    needed = (needed + 1) / 2 * 2; // vpcd's readers come in pairs
    try {
        Services services(needed, std::move(cardScripts), pinPadPaths, verbose);
        if (!services.Ready())
            return 1;
        if (needed > 0)
            setenv(bed::kSocketsVariable, services.Sockets().c_str(), 1);
        else
            unsetenv(bed::kSocketsVariable);
        return RunCommand(argv + optind);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvane-bed: %s\n", e.what());
        return 1;
    }
}
