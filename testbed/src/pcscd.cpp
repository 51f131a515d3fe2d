// A private pcscd for the test bed, and waiting for PC/SC to see a card.
#include "bed/pcscd.h"
#include "detail.h"

#include <PCSC/winscard.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/text.h"

namespace bed {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPcscdPath = "/usr/sbin/pcscd";
// Where pcscd keeps its socket and pid file, whatever its options say: each service after the first
// gets a folder of its own mounted there, in a mount namespace of its own.
constexpr const char* kRunDir = "/run/pcscd";
constexpr auto kStartPatience = 10s;

constexpr const char* kVpcdDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
constexpr int kSlotsPerVpcd = 2;

using qv::pcsc::Context;

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path.string());
}

// The friendly name of vpcd instance `instance`; pcscd appends " 00 0<slot>".
std::string VpcdFriendlyName(int instance) {
    return instance == 0 ? "Virtual PCD" : "Virtual PCD " + std::to_string(instance);
}

constexpr const char* kPinPadName = "Quorvane PIN Pad";

// The folder that holds the service's socket, and that pcscd sees as /run/pcscd.
fs::path RunDir(int service) {
    return service == 0 ? fs::path(kRunDir)
                        : fs::path(kRunDir) / ("service-" + std::to_string(service));
}

bool IsPinPad(const PcscdOptions& options, int slot) {
    return options.pinPads.contains(slot);
}

// The service's first slot: its readers are slots FirstSlot to FirstSlot + SlotCount - 1.
int FirstSlot(const PcscdOptions& options) {
    return options.service * kMaxReaders;
}

// The slots the readers take, vpcd's and the PIN pads': a whole number of vpcd pairs.
int SlotCount(const PcscdOptions& options) {
    int slots = options.withVpcd ? std::clamp(options.vpcdReaders, 1, kMaxReaders) : 0;
    if (!options.pinPads.empty())
        slots = std::max(slots, options.pinPads.rbegin()->first - FirstSlot(options) + 1);
    return (slots + kSlotsPerVpcd - 1) / kSlotsPerVpcd * kSlotsPerVpcd;
}

// vpcd instance `instance` serves two slots; it is left out where both are PIN pads.
bool VpcdServes(const PcscdOptions& options, int instance) {
    return options.withVpcd && (!IsPinPad(options, instance * kSlotsPerVpcd) ||
                                !IsPinPad(options, instance * kSlotsPerVpcd + 1));
}

// The vpcd instances of the service, by number over the bed (slot / kSlotsPerVpcd).
std::vector<int> Instances(const PcscdOptions& options) {
    std::vector<int> instances;
    for (int slot = FirstSlot(options); slot < FirstSlot(options) + SlotCount(options);
         slot += kSlotsPerVpcd)
        instances.push_back(slot / kSlotsPerVpcd);
    return instances;
}

// The readers pcscd lists: vpcd's two a copy, one each PIN pad, one each extra entry.
std::size_t ListedReaders(const PcscdOptions& options) {
    std::size_t readers = options.pinPads.size() + options.extraReaderConf.size();
    for (const int instance : Instances(options))
        readers += VpcdServes(options, instance) ? kSlotsPerVpcd : 0;
    return readers;
}

void WritePinPadEntry(std::ostream& conf, const PcscdOptions& options, int slot) {
    const std::string& script = options.pinPads.at(slot);
    conf << "FRIENDLYNAME \"" << kPinPadName << "\"\n"
         << "DEVICENAME   " << script << ":" << kFirstPinPadPort + slot << "\n"
         << "LIBPATH      " << PinPadDriverPath() << "\n\n";
}

// vpcd keeps its connections in one table per loaded copy of the driver, indexed by slot only,
// and pcscd loads a driver path once: every instance after the first needs a copy of its own
// (another file, so the dynamic loader gives it its own data). One copy of the PIN-pad driver
// serves all its readers. All entries go into one file, so pcscd lists the readers in slot order
// (a vpcd pair before its second slot's PIN pad and after its first's). `seen` is where pcscd
// finds `dir`.
void WriteReaderConf(const fs::path& dir, const fs::path& seen, const PcscdOptions& options) {
    std::ostringstream conf;
    bool firstCopy = true;
    for (const int instance : Instances(options)) {
        const int first = instance * kSlotsPerVpcd;
        if (IsPinPad(options, first))
            WritePinPadEntry(conf, options, first);
        if (VpcdServes(options, instance)) {
            fs::path driver = kVpcdDriver;
            if (!firstCopy) {
                const std::string copy = "libifdvpcd-" + std::to_string(instance) + ".so";
                fs::copy_file(kVpcdDriver, dir / copy, fs::copy_options::overwrite_existing);
                driver = seen / copy;
            }
            firstCopy = false;
            const int port = kFirstVpcdPort + first;
            conf << "FRIENDLYNAME \"" << VpcdFriendlyName(instance) << "\"\n"
                 << "DEVICENAME   /dev/null:" << port << "\n"
                 << "LIBPATH      " << driver.string() << "\n"
                 << "CHANNELID    " << port << "\n\n";
        }
        if (IsPinPad(options, first + 1))
            WritePinPadEntry(conf, options, first + 1);
    }
    WriteFile(dir / "reader.conf.d" / "readers", conf.str());
}

// What pcscd cannot take in a DEVICENAME: the driver reads the script's path up to the first
// ':', pcscd up to the first blank.
void CheckPinPadScripts(const PcscdOptions& options) {
    for (const auto& [slot, script] : options.pinPads) {
        if (slot < 0 || slot >= kMaxReaders)
            throw std::invalid_argument("test bed: the PIN pads' slots are 0 to 15");
        if (!fs::path(script).is_absolute() ||
            script.find_first_of(": \t\n\"") != std::string::npos)
            throw std::invalid_argument("test bed: a reader script's path must be absolute, "
                                        "without ':', blanks or quotes: " +
                                        script);
    }
}

// True when vpcd could listen on `port` now: bound as vpcd binds it (any address, the address
// reused). A connection that ended on that port as its local one still holds it for a minute;
// testbed/sandbox reserves the ports so that no connection gets one.
bool PortFree(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true; // pcscd will say
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const int error = errno;
    close(fd);
    return bound || error != EADDRINUSE;
}

// Waits, within the start's patience, until the vpcd port of each slot of the instances the
// service runs is free; throws naming the first one that stays taken.
void WaitForPorts(const PcscdOptions& options, std::chrono::steady_clock::time_point deadline) {
    for (int slot = FirstSlot(options); slot < FirstSlot(options) + SlotCount(options); ++slot) {
        if (!VpcdServes(options, slot / kSlotsPerVpcd))
            continue;
        const int port = kFirstVpcdPort + slot;
        while (!PortFree(port)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                throw std::runtime_error("test bed: TCP port " + std::to_string(port) +
                                         " of vpcd's slot " + std::to_string(slot) +
                                         " stayed in use for 10 s (another pcscd with vpcd, or "
                                         "a program listening on it, in this network namespace)");
            }
            std::this_thread::sleep_for(50ms);
        }
    }
}

// The vpcd port that pcscd's log says could not be opened ("Open Port 0x8C7D Failed
// (/dev/null:35965)"), as the start of an error message; empty when the log says none.
std::string PortFailure(const std::string& log) {
    constexpr std::string_view kFailed = "Failed (/dev/null:";
    const auto at = log.find(kFailed);
    if (at == std::string::npos || log.rfind("Open Port", at) == std::string::npos)
        return "";
    const auto digits = log.substr(at + kFailed.size(), 5);
    const auto port =
        qv::WholeNumber<int>(digits.substr(0, digits.find_first_not_of("0123456789")));
    if (!port)
        return "";
    return "vpcd could not listen on TCP port " + std::to_string(*port) + " (slot " +
           std::to_string(*port - kFirstVpcdPort) + "), in use in this network namespace; ";
}

} // namespace

std::string ReaderName(int slot) {
    return VpcdFriendlyName(slot / kSlotsPerVpcd) + " 00 0" + std::to_string(slot % kSlotsPerVpcd);
}

std::string ReaderName(const PcscdOptions& options, int slot) {
    if (!IsPinPad(options, slot))
        return ReaderName(slot);
    // pcscd numbers the readers of one driver in the order of their entries: the slots' order.
    const auto number = std::distance(options.pinPads.begin(), options.pinPads.find(slot));
    char text[16];
    std::snprintf(text, sizeof text, " %02X 00", static_cast<unsigned>(number));
    return kPinPadName + std::string(text);
}

int VpcdReaderCount(const PcscdOptions& options) {
    return options.withVpcd ? SlotCount(options) : 0;
}

std::string PinPadDriverPath() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return (self.parent_path() / QUORVANE_BIN_TO_PINPAD).lexically_normal().string();
}

std::string ServiceSocket(int service) {
    return (RunDir(service) / "pcscd.comm").string();
}

std::string SlotSocket(int slot) {
    const int service = slot / kMaxReaders;
    const char* listed = std::getenv(kSocketsVariable);
    if (slot >= 0 && listed == nullptr && service == 0)
        return ClientSocket(); // outside a bed: the service this process uses anyway
    const std::vector<std::string_view> sockets = qv::SplitAt(listed != nullptr ? listed : "", ':');
    if (slot < 0 || static_cast<std::size_t>(service) >= sockets.size()) {
        throw std::invalid_argument(
            "no PC/SC service holds slot " + std::to_string(slot) + " (" + kSocketsVariable +
            (listed != nullptr ? " lists " + std::to_string(sockets.size() * kMaxReaders) + " slots"
                               : " is not set: quorvane-bed --readers N sets it") +
            ")");
    }
    return std::string(sockets[static_cast<std::size_t>(service)]);
}

void UseServiceOfSlot(int slot) {
    setenv(kClientSocketVariable, SlotSocket(slot).c_str(), 1);
}

bool InSandbox() {
    const char* mark = std::getenv("QUORVANE_SANDBOX");
    return mark != nullptr && std::string_view(mark) == "1";
}

struct Pcscd::Impl {
    PcscdOptions options;
    fs::path runDir; // pcscd's /run/pcscd
    std::string socket;
    fs::path dir; // temporary, in runDir: reader.conf.d, the driver copies and the log
    pid_t pid = -1;

    fs::path LogPath() const { return dir / "pcscd.log"; }
    void Start();
    void WaitUntilReady();
    bool Ready(Context& context) const;
    void Stop(int signal);
    // The temporary folder, and a service's own folder once empty.
    void RemoveFiles() {
        std::error_code ignored;
        if (!dir.empty())
            fs::remove_all(dir, ignored);
        if (options.service != 0 && !runDir.empty())
            fs::remove(runDir, ignored); // not when another pcscd uses it
    }
};

void Pcscd::Impl::Start() {
    const auto deadline = std::chrono::steady_clock::now() + kStartPatience;
    runDir = RunDir(options.service);
    socket = ServiceSocket(options.service);
    // On the sandbox's tmpfs: gone with the sandbox even when the test is killed.
    fs::create_directory(runDir);
    std::string pattern = (runDir / "bed-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    const fs::path seen = fs::path(kRunDir) / dir.filename(); // dir as pcscd sees it
    const fs::path conf = dir / "reader.conf.d";
    fs::create_directory(conf);
    WriteReaderConf(dir, seen, options);
    WaitForPorts(options, deadline);
    for (std::size_t i = 0; i < options.extraReaderConf.size(); ++i) {
        WriteFile(conf / ("extra" + std::to_string(i)), options.extraReaderConf[i]);
    }

    // Everything the child needs is prepared before fork: the parent may have threads.
    const std::string confArg = (seen / "reader.conf.d").string();
    const std::string logPath = LogPath().string();
    const std::string ownRun = runDir.string();
    const bool mountOwnRun = options.service != 0;
    std::vector<const char*> argv{"pcscd", "--foreground", "--config", confArg.c_str()};
    if (options.debugLog)
        argv.push_back("--debug");
    argv.push_back(nullptr);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0)
        throw std::runtime_error("cannot create " + logPath);
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    sigset_t none;
    sigemptyset(&none);

    pid = fork();
    if (pid == 0) {
        // Never outlive the test: a pcscd still running would hold the sandbox open.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        // pcscd writes its socket and pid file at fixed places: its own folder over them.
        if (mountOwnRun && (unshare(CLONE_NEWNS) != 0 ||
                            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                            mount(ownRun.c_str(), kRunDir, nullptr, MS_BIND, nullptr) != 0)) {
            _exit(126);
        }
        sigprocmask(SIG_SETMASK, &none, nullptr); // the bed blocks its stop signals
        dup2(devNull, 0);
        dup2(log, 1);
        dup2(log, 2);
        execv(kPcscdPath, const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    close(log);
    if (devNull >= 0)
        close(devNull);
    if (pid < 0)
        throw std::runtime_error("fork failed");
}

bool Pcscd::Impl::Ready(Context& context) const {
    struct stat st {};
    if (stat(socket.c_str(), &st) != 0)
        return false;
    if (!context.Valid() && context.Establish() != SCARD_S_SUCCESS)
        return false;
    const ReaderList list = ListReaders(context.Handle());
    if (list.result == SCARD_E_NO_SERVICE || list.result == SCARD_E_INVALID_HANDLE) {
        context.Release();
        return false;
    }
    const std::size_t expected = ListedReaders(options);
    if (expected == 0)
        return list.result == SCARD_E_NO_READERS_AVAILABLE;
    if (list.result != SCARD_S_SUCCESS || list.names.size() < expected)
        return false;
    const auto listed = [&list](const std::string& name) {
        return std::find(list.names.begin(), list.names.end(), name) != list.names.end();
    };
    for (int slot = FirstSlot(options); slot < FirstSlot(options) + SlotCount(options); ++slot) {
        if (VpcdServes(options, slot / kSlotsPerVpcd) && !listed(ReaderName(slot)))
            return false;
        if (IsPinPad(options, slot) && !listed(ReaderName(options, slot)))
            return false;
    }
    return true;
}

void Pcscd::Impl::WaitUntilReady() {
    const auto deadline = std::chrono::steady_clock::now() + kStartPatience;
    Context context;
    while (!Ready(context)) {
        int status = 0;
        std::string why;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            why = WIFEXITED(status) && WEXITSTATUS(status) == 126
                      ? "cannot mount pcscd's own /run/pcscd"
                      : "pcscd ended at once";
        } else if (std::chrono::steady_clock::now() >= deadline) {
            why = "pcscd did not list its readers within 10 s";
        }
        if (!why.empty()) {
            std::ostringstream log;
            log << std::ifstream(LogPath()).rdbuf();
            throw std::runtime_error("test bed: " + PortFailure(log.str()) + why + "; its log:\n" +
                                     log.str());
        }
        std::this_thread::sleep_for(20ms);
    }
}

void Pcscd::Impl::Stop(int signal) {
    if (pid > 0) {
        kill(pid, signal);
        // A polite stop gets two seconds before the hard one.
        for (int i = 0; signal != SIGKILL && i < 200; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    // A killed pcscd leaves its socket behind; clients must find no service, not a dead socket.
    std::error_code ignored;
    fs::remove(socket, ignored);
    fs::remove(runDir / "pcscd.pid", ignored);
}

Pcscd::Pcscd(PcscdOptions options) : impl_(std::make_unique<Impl>()) {
    if (!InSandbox()) {
        throw std::runtime_error("test bed: refusing to start pcscd outside testbed/sandbox "
                                 "(run the test as `testbed/sandbox PROGRAM`)");
    }
    CheckPinPadScripts(options);
    if (ListedReaders(options) > static_cast<std::size_t>(kMaxReaders))
        throw std::invalid_argument("test bed: pcscd offers at most 16 readers");
    if (options.service < 0 || options.service >= kMaxSlots / kMaxReaders)
        throw std::invalid_argument("test bed: services 0 to 3");
    // The readiness check lists the readers through this process's own PC/SC client.
    if (ClientSocket() != ServiceSocket(options.service)) {
        throw std::invalid_argument("test bed: service " + std::to_string(options.service) +
                                    " needs " + kClientSocketVariable + "=" +
                                    ServiceSocket(options.service) + " in this process");
    }
    impl_->options = std::move(options);
    try {
        impl_->Start();
        impl_->WaitUntilReady();
    } catch (...) {
        impl_->Stop(SIGKILL);
        impl_->RemoveFiles();
        throw;
    }
}

Pcscd::~Pcscd() {
    impl_->Stop(SIGTERM);
    impl_->RemoveFiles();
}

void Pcscd::Kill() {
    impl_->Stop(SIGKILL);
}

const std::string& Pcscd::Socket() const {
    return impl_->socket;
}

std::string Pcscd::Log() const {
    std::ostringstream log;
    log << std::ifstream(impl_->LogPath()).rdbuf();
    return log.str();
}

// One look at the reader: its event state, or nothing when PC/SC cannot tell.
std::optional<DWORD> ReaderState(Context& context, const std::string& reader) {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const LONG rv = SCardGetStatusChange(context.Handle(), 0, &state, 1);
    if (rv == SCARD_S_SUCCESS)
        return state.dwEventState;
    if (rv != SCARD_E_TIMEOUT && rv != SCARD_E_UNKNOWN_READER) {
        context.Release(); // pcscd gone or restarted: a new context next time
    }
    return std::nullopt;
}

bool detail::CardReported(const std::string& reader) {
    struct stat st {};
    if (stat(ClientSocket().c_str(), &st) != 0)
        return false;
    Context context;
    if (context.Establish() != SCARD_S_SUCCESS)
        return false;
    const auto state = ReaderState(context, reader);
    return state && (*state & SCARD_STATE_PRESENT) != 0;
}

bool WaitForCard(const std::string& reader, bool present, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Context context;
    for (;;) {
        if (context.Valid() || context.Establish() == SCARD_S_SUCCESS) {
            const auto state = ReaderState(context, reader);
            if (state && ((*state & SCARD_STATE_PRESENT) != 0) == present)
                return true;
        } else if (!present) {
            // No pcscd at all: no card is present anywhere.
            struct stat st {};
            if (stat(ClientSocket().c_str(), &st) != 0)
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
}

} // namespace bed
