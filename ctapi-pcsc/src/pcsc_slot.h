// The PC/SC plumbing below the CT-BCS interpreter: a terminal's context and reader list (over
// the shared PC/SC chores), the card handle's owner, the one mapping from PC/SC result codes to
// CT-API codes, and a Slot over one reader.
#pragma once

#include <PCSC/winscard.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "ctbcs.h"
#include "pcsc/features.h"
#include "pcsc/readers.h"

namespace ctapi {

// The CT-API code for a PC/SC result: OK, ERR_CT (service or reader unreachable), ERR_TRANS
// (the card or the exchange with it failed), ERR_MEMORY, or ERR_HOST.
std::int8_t CtCode(LONG rv);

using qv::pcsc::Context;

// A context of its own for a terminal; throws CtError when PC/SC gives none.
Context EstablishContext();
// The readers of `context` in PC/SC's own order, none when it lists none; throws CtError when
// the list cannot be had.
std::vector<std::string> ReaderNames(const Context& context);

// Owns one SCARDHANDLE; the destructor leaves the card as it is.
class CardHandle {
  public:
    CardHandle(SCARDHANDLE handle, DWORD protocol) : handle_(handle), protocol_(protocol) {}
    ~CardHandle();
    CardHandle(CardHandle&& other) noexcept;
    CardHandle& operator=(CardHandle&&) = delete;
    CardHandle(const CardHandle&) = delete;
    SCARDHANDLE Get() const { return handle_; }
    DWORD Protocol() const { return protocol_; }
    void SetProtocol(DWORD protocol) { protocol_ = protocol; }
    LONG Disconnect(DWORD disposition); // releases ownership whatever the result

  private:
    SCARDHANDLE handle_;
    DWORD protocol_;
    bool owned_ = true;
};

// How a terminal holds the card it activates: beside other programs, or alone from the
// activation until the connection is dropped.
enum class Sharing { Shared, Exclusive };

class PcscSlot final : public Slot {
  public:
    PcscSlot(Context context, std::string reader, Sharing sharing);

    bool Connected() const override { return card_.has_value(); }
    CardState State() override;
    ActivateResult Activate(Bytes& atr) override;
    void Deactivate() override;
    void Eject() override;
    bool WaitFor(bool present, std::chrono::seconds timeout) override;
    ReaderIdentity Identity() override;
    ByteView Transmit(ByteView apdu) override;
    PinPad Keypad() override;
    ByteView EnterPin(PinEntry entry, ByteView structure) override;

    // Ends a wait in another thread and every later one (safe to call without the terminal's
    // lock); a wait about to begin is caught only by calling it again.
    void Cancel();
    // Releases the card handle and the context.
    void Close();

  private:
    void Release(DWORD disposition);
    bool CardStillConnected();
    ActivateResult ReadAtr(Bytes& atr);
    LONG Reconnect(DWORD initialization); // the card's protocol updated on success
    LONG StatusChange(DWORD wait, SCARD_READERSTATE& state) const;
    // `use` called with a handle on the reader: the card's connection, or a direct one for the
    // call; nothing when the reader refuses a direct one (another program holds the card).
    template <typename Use> auto WithReader(Use&& use);
    // The card's (or the reader's) answer of an exchange whose PC/SC result was `rv`.
    ByteView Answered(LONG rv, DWORD received);

    const SCARDCONTEXT contextHandle_;
    std::optional<Context> context_;
    std::string reader_;
    const DWORD share_; // SCARD_SHARE_SHARED or SCARD_SHARE_EXCLUSIVE
    std::optional<CardHandle> card_;
    Bytes receive_;
    std::optional<qv::pcsc::FeatureCodes> features_; // read once
    PinPad pinPad_;
    std::atomic<bool> closing_{false};
};

} // namespace ctapi
