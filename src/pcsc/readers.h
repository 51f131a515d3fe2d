// The PC/SC chores that the programs, the CT-API library and the test bed share: owning a
// context and listing the readers.
#pragma once

#include <PCSC/winscard.h>

#include <string>
#include <string_view>
#include <vector>

namespace qv::pcsc {

// Owns at most one PC/SC context (scope system), released on every return and exception. Move-only.
class Context {
  public:
    Context() = default; // holds none
    ~Context();
    Context(Context&& other) noexcept;
    Context& operator=(Context&& other) noexcept;
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // Releases the context held, if any, and establishes a new one: PC/SC's result.
    LONG Establish();
    void Release();
    bool Valid() const { return valid_; }
    SCARDCONTEXT Handle() const { return handle_; }

  private:
    SCARDCONTEXT handle_ = 0;
    bool valid_ = false;
};

// The readers PC/SC lists, in its order, or the step that kept them from being had.
struct ReaderList {
    enum class Step {
        Listed,           // the names are there, at least one
        EstablishContext, // no context: no PC/SC service, for one
        ListReaders,      // listing failed (SCARD_E_NO_MEMORY: no room for the list)
        NoReaders,        // PC/SC lists none (result SCARD_E_NO_READERS_AVAILABLE)
    };
    Step step = Step::Listed;
    LONG result = SCARD_S_SUCCESS; // the PC/SC result of the step that failed
    std::vector<std::string> names;

    bool Listed() const { return step == Step::Listed; }
};

// The readers of `context`. pcsc-lite allocates the list itself, so a reader plugged in
// meanwhile cannot outgrow it.
ReaderList ListReaders(SCARDCONTEXT context);
// The same with a context of its own for the call.
ReaderList ListReaders();

// ---- Which PC/SC service

// pcsc-lite's client connects to the socket this variable names, else to kDefaultSocket. It
// reads the variable once, at a process's first PC/SC call, and keeps that socket for the
// process's life: a process reaches one service.
inline constexpr const char* kClientSocketVariable = "PCSCLITE_CSOCK_NAME";
inline constexpr const char* kDefaultSocket = "/run/pcscd/pcscd.comm";
// quorvane-bed's list of its services' sockets for its command, ':' between them, in the order
// of their readers' slots.
inline constexpr const char* kSocketsVariable = "QUORVANE_PCSC_SOCKETS";

// The socket this process's PC/SC calls reach, or will reach at the first one.
std::string ClientSocket();

// The names of a PC/SC multi-string, up to the empty name that ends it or the end of what was
// received, however many and however long they are.
std::vector<std::string> SplitReaderNames(std::string_view list);

} // namespace qv::pcsc
