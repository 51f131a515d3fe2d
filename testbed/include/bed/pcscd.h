// A private pcscd with the vpcd reader driver and our PIN-pad reader, inside testbed/sandbox.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pcsc/readers.h"

namespace bed {

using namespace std::chrono_literals;

// pcscd's limit on readers: a service of the bed holds this many slots.
inline constexpr int kMaxReaders = 16;
// The bed's slots over all its services: slot n in service n / kMaxReaders.
inline constexpr int kMaxSlots = 64;
// The TCP port of slot 0's card; slot n's card connects to the port n above it.
inline constexpr int kFirstVpcdPort = 0x8C7B; // 35963

// The TCP port of the card in a PIN-pad reader at slot n: kFirstPinPadPort + n (vpcd keeps its
// ports for both slots of a pair even where one of them is a PIN pad), past every vpcd port.
inline constexpr int kFirstPinPadPort = kFirstVpcdPort + kMaxSlots; // 36027

// The reader names vpcd gives: slots 0 and 1 "Virtual PCD 00 00" and "Virtual PCD 00 01", then
// "Virtual PCD 1 00 00", "Virtual PCD 1 00 01", "Virtual PCD 2 00 00", ... (two a driver), up to
// "Virtual PCD 31 00 01": unique over all services.
std::string ReaderName(int slot);

// ---- The bed's PC/SC services

// The sockets of a bed's services in slot order (kMaxReaders slots each), as quorvane-bed gives
// them to its command; pcsc-lite's client's own variable and default socket.
using qv::pcsc::kClientSocketVariable;
using qv::pcsc::kDefaultSocket;
using qv::pcsc::kSocketsVariable;

// Service 0 at pcsc-lite's own socket, so that every PC/SC program finds it unchanged; service n
// at /run/pcscd/service-n/pcscd.comm.
std::string ServiceSocket(int service);
using qv::pcsc::ClientSocket;
// The socket of the service that holds `slot`: from kSocketsVariable where set, else this
// process's own for slots 0 to 15; throws std::invalid_argument for a slot no service holds.
std::string SlotSocket(int slot);
// Points this process's PC/SC calls at the service of `slot` (before its first PC/SC call and
// before it starts threads: it sets the environment).
void UseServiceOfSlot(int slot);

struct PcscdOptions {
    bool withVpcd = true;                     // false: a pcscd without readers
    int vpcdReaders = 2;                      // vpcd readers, rounded up to an even number
    std::vector<std::string> extraReaderConf; // further reader.conf.d entries (whole file texts)
    bool debugLog = false;                    // pcscd -d into the log file
    // Slots whose reader is our PIN-pad reader, with the absolute path of its reader script
    // (man/quorvane-reader.5), instead of vpcd's: vpcd comes in pairs of slots, so where it
    // still serves the other slot of the pair its reader at this slot stays listed, empty. A
    // slot here also counts for vpcdReaders. Slots 0 to 15: service 0's.
    std::map<int, std::string> pinPads;
    // Which of the bed's services: its readers are slots service * 16 on, its socket
    // ServiceSocket(service). This process's PC/SC calls must reach that socket.
    int service = 0;
};

// How many vpcd slots a pcscd with these options has (0 to n - 1), PIN pads among them.
int VpcdReaderCount(const PcscdOptions& options);

// The name of the reader at `slot` of a pcscd with these options: the PIN pad's ("Quorvane PIN
// Pad 00 00", "Quorvane PIN Pad 01 00", ... in slot order) or vpcd's.
std::string ReaderName(const PcscdOptions& options, int slot);

// The PIN-pad reader driver: installed beside the program that runs, as in the build tree.
std::string PinPadDriverPath();

// The reader names the PC/SC service lists, or the PC/SC result that kept it from establishing
// a context or listing them: the shared reader list.
using qv::pcsc::ListReaders;
using qv::pcsc::ReaderList;

// A pcscd of our own in the sandbox (its socket on the sandbox's tmpfs /run/pcscd). The
// constructor returns once pcscd answers and lists its readers; it throws std::runtime_error
// (with pcscd's log) when that takes too long, or a vpcd port stays taken, and outside the
// sandbox. pcscd is killed when the thread that constructed it ends, so construct it on a thread
// that outlives it.
class Pcscd {
  public:
    explicit Pcscd(PcscdOptions options = {});
    ~Pcscd(); // stops pcscd
    Pcscd(const Pcscd&) = delete;
    Pcscd& operator=(const Pcscd&) = delete;

    void Kill(); // SIGKILL, for fault injection; the socket file is removed too
    std::string Log() const;
    const std::string& Socket() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Waits until PC/SC reports the card in `reader` present (or absent). False on timeout.
bool WaitForCard(const std::string& reader, bool present, std::chrono::milliseconds timeout = 5s);

// True when this process runs inside testbed/sandbox.
bool InSandbox();

} // namespace bed
