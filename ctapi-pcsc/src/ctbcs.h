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

#include "core/apdu.h"
#include "core/ctbcs_commands.h"

namespace ctapi {

using qv::Bytes;
using qv::ByteView;

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

// How the digits typed on the reader's keypad go into the card's command: the low two bits of the
// command-to-perform's control byte.
enum class PinCoding : std::uint8_t { Bcd = 0, Ascii = 1, Format2 = 2 };

// The sizes of PIN the reader's keypad takes, in digits.
struct PinSizes {
    std::uint8_t min = 0, max = 0;
};

// What the reader offers for PIN entry on its own keypad, as its driver reports it.
struct PinPad {
    bool verify = false, modify = false, display = false;
    std::optional<PinSizes> sizes; // unknown when the driver does not tell
};

// Which of the reader's PIN entries a structure is for.
enum class PinEntry { Verify, Modify };

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
    // The reader's keypad and display; the same answer for the life of the terminal once read.
    virtual PinPad Keypad() = 0;
    // Hands the reader the secure PIN entry structure for `entry` (built by PinStructure) and
    // returns its answer: the card's, or the reader's own for what happened at the keypad
    // (64 00 timeout, 64 01 cancelled, ...). Throws CtError as Transmit does.
    virtual ByteView EnterPin(PinEntry entry, ByteView structure) = 0;
};

// ---- pure helpers ---------------------------------------------------------------------------

// A short command APDU split into its fields (the core's parser); nullopt when the bytes are no
// valid short APDU. CT-BCS commands are short; `ne` is 1 to 256, 0 in cases 1 and 3.
using Apdu = qv::CommandApdu;
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

// One PIN the holder types into the card's command: where it goes, counted from the command's
// first data byte, and the bytes it may fill from there (up to the other PIN or the data's end).
struct PinField {
    std::size_t offset = 0;
    std::size_t room = 0;
};

// PERFORM VERIFICATION or MODIFY VERIFICATION DATA as the reader is to carry it out, read from
// the command-to-perform data object (tag 52) and the time data object (tag 80).
struct PinCommand {
    PinEntry entry = PinEntry::Verify;
    PinCoding coding = PinCoding::Bcd;
    std::uint8_t digits = 0;  // 0: as many as the holder types
    PinField current;         // the PIN checked (MODIFY: the old one)
    PinField next;            // MODIFY: the new one
    std::uint8_t seconds = 0; // 0: the reader's own time limit
    ByteView apdu;            // the card's command, placeholders for the PINs included
};

// The bytes a PIN of `digits` digits takes in the card's command; a format 2 PIN block is 8.
std::size_t PinBytes(PinCoding coding, std::uint8_t digits);

// The data field of INS 18 (verify) or 19 (modify) read; nullopt for a bad data object: a tag
// cut short, no command to perform, a reserved coding, a PIN placed outside the card command's
// data or running past it, or two PINs that overlap.
std::optional<PinCommand> ParsePinCommand(PinEntry entry, ByteView data);

// ---- the interpreter ------------------------------------------------------------------------

enum : std::uint8_t {
    kClaCtbcs = qv::ctbcs::kClaCtbcs,
    kInsResetOld = 0x10,
    kInsReset = 0x11,
    kInsRequestIcc = 0x12,
    kInsGetStatus = 0x13,
    kInsEjectIcc = 0x15,
    kInsPerformVerification = qv::ctbcs::kInsPerformVerification,
    kInsModifyVerification = qv::ctbcs::kInsModifyVerification,
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
    ByteView PinCommandAnswer(const Apdu& apdu);
    ByteView ActivateAndAnswer(std::uint8_t p2);
    ByteView Answer(std::initializer_list<std::uint8_t> bytes);

    Slot& slot_;
    Bytes out_;
};

// Whether an APDU addressed to the card is a CT-BCS command for the terminal instead
// (class 20 with one of the CT-BCS instructions).
bool IsCtbcsCommand(ByteView command);

} // namespace ctapi
