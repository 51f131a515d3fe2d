// A private pcscd for the test bed, and waiting for PC/SC to see a card.
#include "bed/pcscd.h"
#include "detail.h"

#include <PCSC/winscard.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace bed {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPcscdPath = "/usr/sbin/pcscd";
constexpr const char* kSocketDir = "/run/pcscd";
constexpr const char* kSocketPath = "/run/pcscd/pcscd.comm";
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

bool IsPinPad(const PcscdOptions& options, int slot) {
    return options.pinPads.contains(slot);
}

// The slots the readers take, vpcd's and the PIN pads': a whole number of vpcd pairs.
int SlotCount(const PcscdOptions& options) {
    int slots = options.withVpcd ? std::clamp(options.vpcdReaders, 1, kMaxReaders) : 0;
    if (!options.pinPads.empty())
        slots = std::max(slots, options.pinPads.rbegin()->first + 1);
    return (slots + kSlotsPerVpcd - 1) / kSlotsPerVpcd * kSlotsPerVpcd;
}

// vpcd instance `instance` serves two slots; it is left out where both are PIN pads.
bool VpcdServes(const PcscdOptions& options, int instance) {
    return options.withVpcd && (!IsPinPad(options, instance * kSlotsPerVpcd) ||
                                !IsPinPad(options, instance * kSlotsPerVpcd + 1));
}

// The readers pcscd lists: vpcd's two a copy, one each PIN pad, one each extra entry.
std::size_t ListedReaders(const PcscdOptions& options) {
    std::size_t readers = options.pinPads.size() + options.extraReaderConf.size();
    for (int instance = 0; instance * kSlotsPerVpcd < SlotCount(options); ++instance)
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
// (a vpcd pair before its second slot's PIN pad and after its first's).
void WriteReaderConf(const fs::path& dir, const PcscdOptions& options) {
    std::ostringstream conf;
    for (int instance = 0; instance * kSlotsPerVpcd < SlotCount(options); ++instance) {
        const int first = instance * kSlotsPerVpcd;
        if (IsPinPad(options, first))
            WritePinPadEntry(conf, options, first);
        if (VpcdServes(options, instance)) {
            fs::path driver = kVpcdDriver;
            if (instance > 0) {
                driver = dir / ("libifdvpcd-" + std::to_string(instance) + ".so");
                fs::copy_file(kVpcdDriver, driver, fs::copy_options::overwrite_existing);
            }
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

bool InSandbox() {
    const char* mark = std::getenv("QUORVANE_SANDBOX");
    return mark != nullptr && std::string_view(mark) == "1";
}

struct Pcscd::Impl {
    PcscdOptions options;
    fs::path dir; // temporary: reader.conf.d and the log
    pid_t pid = -1;

    fs::path LogPath() const { return dir / "pcscd.log"; }
    void Start();
    void WaitUntilReady();
    bool Ready(Context& context) const;
    void Stop(int signal);
};

void Pcscd::Impl::Start() {
    // On the sandbox's tmpfs: gone with the sandbox even when the test is killed.
    std::string pattern = std::string(kSocketDir) + "/bed-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    const fs::path conf = dir / "reader.conf.d";
    fs::create_directory(conf);
    WriteReaderConf(dir, options);
    for (std::size_t i = 0; i < options.extraReaderConf.size(); ++i) {
        WriteFile(conf / ("extra" + std::to_string(i)), options.extraReaderConf[i]);
    }

    // Everything the child needs is prepared before fork: the parent may have threads.
    const std::string confArg = conf.string();
    const std::string logPath = LogPath().string();
    std::vector<const char*> argv{"pcscd", "--foreground", "--config", confArg.c_str()};
    if (options.debugLog)
        argv.push_back("--debug");
    argv.push_back(nullptr);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0)
        throw std::runtime_error("cannot create " + logPath);
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();

    pid = fork();
    if (pid == 0) {
        // Never outlive the test: a pcscd left behind would hold the sandbox open.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
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
    if (stat(kSocketPath, &st) != 0)
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
    for (int slot = 0; slot < SlotCount(options); ++slot) {
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
            why = "pcscd ended at once";
        } else if (std::chrono::steady_clock::now() >= deadline) {
            why = "pcscd did not list its readers within 10 s";
        }
        if (!why.empty()) {
            std::ostringstream log;
            log << std::ifstream(LogPath()).rdbuf();
            throw std::runtime_error("test bed: " + why + "; its log:\n" + log.str());
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
    fs::remove(kSocketPath, ignored);
    fs::remove(fs::path(kSocketDir) / "pcscd.pid", ignored);
}

Pcscd::Pcscd(PcscdOptions options) : impl_(std::make_unique<Impl>()) {
    if (!InSandbox()) {
        throw std::runtime_error("test bed: refusing to start pcscd outside testbed/sandbox "
                                 "(run the test as `testbed/sandbox PROGRAM`)");
    }
    CheckPinPadScripts(options);
    if (ListedReaders(options) > static_cast<std::size_t>(kMaxReaders))
        throw std::invalid_argument("test bed: pcscd offers at most 16 readers");
    impl_->options = std::move(options);
    try {
        impl_->Start();
        impl_->WaitUntilReady();
    } catch (...) {
        impl_->Stop(SIGKILL);
        std::error_code ignored;
        if (!impl_->dir.empty())
            fs::remove_all(impl_->dir, ignored);
        throw;
    }
}

Pcscd::~Pcscd() {
    impl_->Stop(SIGTERM);
    std::error_code ignored;
    fs::remove_all(impl_->dir, ignored);
}

void Pcscd::Kill() {
    impl_->Stop(SIGKILL);
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
    if (stat(kSocketPath, &st) != 0)
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
            if (stat(kSocketPath, &st) != 0)
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
}

} // namespace bed
