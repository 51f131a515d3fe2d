// The CT-BCS side of the library: parsing the commands sent to the terminal, answering them
// with status words, and routing card APDUs. Nothing here talks to PC/SC; it works through the
// Slot interface, so the interpretation can be exercised with a fake slot.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ctapi {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// A CT-API failure that ends the call with a non-zero return code (the terminal or the card
// connection is gone). Card-level outcomes that a CT-BCS command reports as a status word are
// not errors.
struct CtError {
    std::int8_t code;
};

enum class CardState { Absent, Present, Active }; // Active: present and connected by us

// InUse: another program holds the card exclusively (or, for an exclusive terminal, is connected
// to it at all).
enum class ActivateResult { Ok, NoCard, Failed, InUse };

// Manufacturer information as the reader's driver reports it; empty fields are unknown.
struct ReaderIdentity {
    std::string vendor;
    std::string ifdType;
    std::optional<std::uint32_t> ifdVersion; // 0xMMmmbbbb
};

// The one card slot of a terminal. Methods throw CtError when the terminal itself cannot be
// reached (no PC/SC service, reader gone); card-level results come back as values.
class Slot {
  public:
    virtual ~Slot() = default;
    virtual bool Connected() const = 0;              // cheap: no PC/SC call
    virtual CardState State() = 0;                   // asks PC/SC; drops a stale connection
    virtual ActivateResult Activate(Bytes& atr) = 0; // connect, or reconnect with a reset
    virtual void Deactivate() = 0;                   // drop the connection, card unpowered
    virtual void Eject() = 0;                        // drop the connection, ask for ejection
    // Waits until a card is (present) or is not (!present) in the reader; true when reached.
    virtual bool WaitFor(bool present, std::chrono::seconds timeout) = 0;
    virtual ReaderIdentity Identity() = 0;
    // Sends the APDU unchanged; the view stays valid until the next call. Throws CtError when
    // the exchange fails (the connection is then dropped).
    virtual ByteView Transmit(ByteView apdu) = 0;
};

// ---- pure helpers ---------------------------------------------------------------------------

// A short command APDU split into its fields; nullopt when the bytes are no valid short APDU.
struct Apdu {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    ByteView data;
    std::optional<std::size_t> le; // 1..256; absent for cases 1 and 3
};
std::optional<Apdu> ParseShortApdu(ByteView command);

// The waiting time of REQUEST ICC / EJECT ICC: a TLV list with tag 80 (one byte of seconds),
// tag 50 (display text, ignored) and unknown tags skipped, or one raw seconds byte. No data
// means no waiting. nullopt for a malformed list.
std::optional<std::chrono::seconds> ParseWaitTime(ByteView data);

// Historical bytes of an ATR (clipped to the bytes present when the ATR is truncated).
ByteView HistoricalBytes(ByteView atr);

// Memory cards: a first byte other than 3B/3F, the PC/SC storage-card RID in the historical
// bytes, or the short form 3B 04 and four bytes.
bool IsSynchronous(ByteView atr);

// The terminal manufacturer data object 46 0F + country(2) manufacturer(3) type(5) version(5),
// filled from the reader's identity where known, else from the library's own.
Bytes ManufacturerDataObject(const ReaderIdentity& identity);

// ---- the interpreter ------------------------------------------------------------------------

enum : std::uint8_t {
    kClaCtbcs = 0x20,
    kInsResetOld = 0x10,
    kInsReset = 0x11,
    kInsRequestIcc = 0x12,
    kInsGetStatus = 0x13,
    kInsEjectIcc = 0x15,
};

struct Reply {
    std::uint8_t source; // the unit that answered: CT or ICC1
    ByteView bytes;      // valid until the next call of Terminal::Data
};

// One open terminal's command handling. Not thread-safe by itself; the caller serialises.
class Terminal {
  public:
    explicit Terminal(Slot& slot) : slot_(slot) {}
    // `destination` is ICC1 or CT (checked by the caller). Throws CtError.
    Reply Data(std::uint8_t destination, ByteView command);

  private:
    ByteView CtbcsCommand(ByteView command);
    ByteView Reset(const Apdu& apdu);
    ByteView RequestIcc(const Apdu& apdu);
    ByteView GetStatus(const Apdu& apdu);
    ByteView EjectIcc(const Apdu& apdu);
    ByteView ActivateAndAnswer(std::uint8_t p2);
    ByteView Answer(std::initializer_list<std::uint8_t> bytes);

    Slot& slot_;
    Bytes out_;
};

// Whether an APDU addressed to the card is a CT-BCS command for the terminal instead
// (class 20 with one of the CT-BCS instructions).
bool IsCtbcsCommand(ByteView command);

} // namespace ctapi
