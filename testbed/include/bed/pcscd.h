// A private pcscd with the vpcd reader driver, inside testbed/sandbox.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "pcsc/readers.h"

namespace bed {

using namespace std::chrono_literals;

// pcscd's limit on readers.
inline constexpr int kMaxReaders = 16;
// The TCP port of slot 0's card; slot n's card connects to the port n above it.
inline constexpr int kFirstVpcdPort = 0x8C7B; // 35963

// The reader names vpcd gives: slots 0 and 1 "Virtual PCD 00 00" and "Virtual PCD 00 01", then
// "Virtual PCD 1 00 00", "Virtual PCD 1 00 01", "Virtual PCD 2 00 00", ... (two a driver).
std::string ReaderName(int slot);

struct PcscdOptions {
    bool withVpcd = true;                     // false: a pcscd without readers
    int vpcdReaders = 2;                      // vpcd readers, rounded up to an even number
    std::vector<std::string> extraReaderConf; // further reader.conf.d entries (whole file texts)
    bool debugLog = false;                    // pcscd -d into the log file
};

// How many vpcd readers a pcscd with these options lists (slots 0 to n - 1).
int VpcdReaderCount(const PcscdOptions& options);

// The reader names the PC/SC service lists, or the PC/SC result that kept it from establishing
// a context or listing them: the shared reader list.
using qv::pcsc::ListReaders;
using qv::pcsc::ReaderList;

// A pcscd of our own in the sandbox (its socket on the sandbox's tmpfs /run/pcscd). The
// constructor returns once pcscd answers and lists its readers; it throws std::runtime_error
// (with pcscd's log) when that takes too long, and outside the sandbox. pcscd is killed when the
// thread that constructed it ends, so construct it on a thread that outlives it.
class Pcscd {
  public:
    explicit Pcscd(PcscdOptions options = {});
    ~Pcscd(); // stops pcscd
    Pcscd(const Pcscd&) = delete;
    Pcscd& operator=(const Pcscd&) = delete;

    void Kill(); // SIGKILL, for fault injection; the socket file is removed too
    std::string Log() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Waits until PC/SC reports the card in `reader` present (or absent). False on timeout.
bool WaitForCard(const std::string& reader, bool present, std::chrono::milliseconds timeout = 5s);

// True when this process runs inside testbed/sandbox.
bool InSandbox();

} // namespace bed
