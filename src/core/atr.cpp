// The ATR decoder: ISO/IEC 7816-3 for the frame, ISO/IEC 7816-4 for the historical bytes.
#include "core/atr.h"

#include "core/hex.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

namespace qv {

namespace {

std::string Hex2(std::uint8_t value) {
    return ToHex(ByteView(&value, 1));
}

std::string Byte(std::size_t at) {
    return "byte " + std::to_string(at + 1);
}

// What one interface byte says, and the reason when its value is reserved in its place.
struct Said {
    std::string meaning;
    std::string reserved; // empty when the value is allowed
};

// ---- the interface bytes ---------------------------------------------------------------------

// Fi and f max by TA1's high nibble; 0 marks a reserved code.
constexpr std::array<int, 16> kFi = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                                     0,   512, 768, 1024, 1536, 2048, 0,    0};
constexpr std::array<const char*, 16> kFMax = {"4", "5", "6",   "8",  "12", "16", "20", "",
                                               "",  "5", "7.5", "10", "15", "20", "",   ""};
// Di by TA1's low nibble; 0 marks a reserved code.
constexpr std::array<int, 16> kDi = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

Said Ta1(std::uint8_t v) {
    const int fi = kFi[v >> 4];
    const int di = kDi[v & 0x0F];
    Said said;
    said.meaning = fi != 0 ? "Fi = " + std::to_string(fi) + ", f max = " + kFMax[v >> 4] + " MHz"
                           : "Fi reserved (code " + std::to_string(v >> 4) + ")";
    said.meaning += di != 0 ? "; Di = " + std::to_string(di)
                            : "; Di reserved (code " + std::to_string(v & 0x0F) + ")";
    if (fi == 0)
        said.reserved = "TA1's Fi code " + std::to_string(v >> 4) + " is reserved";
    else if (di == 0)
        said.reserved = "TA1's Di code " + std::to_string(v & 0x0F) + " is reserved";
    return said;
}

// TB1 and TB2 once set the programming voltage; today's terminals ignore them.
Said Tb1(std::uint8_t v) {
    if (v == 0)
        return {"no programming voltage (VPP not connected)", {}};
    return {"programming voltage PI1 = " + std::to_string(v & 0x1F) +
                ", current II = " + std::to_string((v >> 5) & 0x03) + " (deprecated, ignored)",
            {}};
}

Said Tc1(std::uint8_t v) {
    if (v == 0xFF)
        return {"N = 255: the least guard time (12 etu under T=0, 11 etu under T=1)", {}};
    if (v == 0)
        return {"N = 0: no extra guard time", {}};
    return {"N = " + std::to_string(v) + ": " + std::to_string(v) + " etu extra guard time", {}};
}

std::string ProtocolName(int t) {
    switch (t) {
    case 0:
        return "protocol T=0 (characters)";
    case 1:
        return "protocol T=1 (blocks)";
    case 14:
        return "protocol T=14 (not standardised by ISO)";
    case 15:
        return "T=15: global interface bytes";
    default:
        return "protocol T=" + std::to_string(t) + " (reserved)";
    }
}

// Y, the bits that announce TA, TB, TC and TD, as the four bits they are.
std::string Bits(std::uint8_t y) {
    std::string bits;
    for (int bit = 3; bit >= 0; --bit)
        bits += (y >> bit & 1) != 0 ? '1' : '0';
    return bits;
}

Said Ta2(std::uint8_t v) {
    Said said;
    said.meaning = "specific mode, protocol T=" + std::to_string(v & 0x0F) +
                   ((v & 0x80) != 0 ? "; unable to change mode" : "; able to change mode") +
                   ((v & 0x10) != 0 ? "; implicit Fi and Di" : "; Fi and Di from TA1");
    if ((v & 0x60) != 0)
        said.reserved = "TA2's bits 7 and 6 are reserved and must be 0";
    return said;
}

Said Tb2(std::uint8_t v) {
    return {"programming voltage PI2 = " + std::to_string(v) + " (deprecated, ignored)", {}};
}

// TC2 belongs to T=0: the whole byte is WI.
Said Tc2(std::uint8_t v) {
    if (v == 0)
        return {"WI = 0", "TC2's WI 0 is reserved"};
    return {"WI = " + std::to_string(v) + ": T=0 waiting time " + std::to_string(960 * v) +
                " x Fi clock cycles",
            {}};
}

Said T1Ta(std::uint8_t v) {
    if (v == 0x00 || v == 0xFF)
        return {"T=1 IFSC " + Hex2(v) + " (reserved)", "T=1's IFSC " + Hex2(v) + " is reserved"};
    return {"T=1 IFSC = " + std::to_string(v) + " bytes", {}};
}

Said T1Tb(std::uint8_t v) {
    const int bwi = v >> 4;
    const int cwi = v & 0x0F;
    Said said;
    said.meaning = "T=1 BWI = " + std::to_string(bwi) + " (BWT = 11 etu + " +
                   std::to_string(960 << bwi) + " x 372 / f), CWI = " + std::to_string(cwi) +
                   " (CWT = " + std::to_string(11 + (1 << cwi)) + " etu)";
    if (bwi > 9)
        said.reserved = "T=1's BWI " + std::to_string(bwi) + " is reserved";
    return said;
}

Said T1Tc(std::uint8_t v) {
    Said said;
    said.meaning = std::string("T=1 error detection: ") + ((v & 0x01) != 0 ? "CRC" : "LRC");
    if ((v & 0xFE) != 0)
        said.reserved = "the T=1 error detection byte's bits 8 to 2 are reserved and must be 0";
    return said;
}

Said T15Ta(std::uint8_t v) {
    static constexpr std::array<const char*, 4> kClockStop = {"not supported", "state L", "state H",
                                                              "no preference"};
    static constexpr std::array<const char*, 3> kClasses = {"A (5 V)", "B (3 V)", "C (1.8 V)"};
    const int y = v & 0x3F;
    std::string classes;
    for (int bit = 0; bit < 3; ++bit) {
        if ((y >> bit & 1) != 0)
            classes += (classes.empty() ? "" : ", ") + std::string(kClasses[bit]);
    }
    Said said;
    said.meaning = std::string("clock stop ") + kClockStop[v >> 6] + "; class " +
                   (classes.empty() ? "none" : classes);
    // Classes go together only as neighbours: A, B, C, AB, BC, ABC.
    static constexpr std::array<int, 6> kAllowed = {1, 2, 4, 3, 6, 7};
    if (std::find(kAllowed.begin(), kAllowed.end(), y) == kAllowed.end())
        said.reserved = "the class indicator " + Hex2(static_cast<std::uint8_t>(y)) +
                        " in the first TA for T=15 is reserved";
    return said;
}

Said T15Tb(std::uint8_t v) {
    if (v == 0)
        return {"contact C6 not used (SPU)", {}};
    return {(v & 0x80) != 0 ? "contact C6 for proprietary use (SPU)"
                            : "contact C6 for standard use (SPU)",
            {}};
}

// Bytes after a TD whose protocol gives them no meaning here.
Said Undefined(int t) {
    return {"no meaning for T=" + std::to_string(t) + " in this place", {}};
}

// "TA3 TD3 follow" for the bits of Y set, or the words for none.
std::string Announced(std::uint8_t y, int group) {
    std::string names;
    int count = 0;
    for (int kind = 0; kind < 4; ++kind) {
        if ((y >> kind & 1) != 0) {
            names +=
                std::string(count++ == 0 ? "" : " ") + "T" + "ABCD"[kind] + std::to_string(group);
        }
    }
    if (count == 0)
        return "no interface bytes follow";
    return names + (count == 1 ? " follows" : " follow");
}

// ---- the historical bytes (ISO/IEC 7816-4 compact-TLV) -------------------------------------

// The names of the bits set in `v`, names[0] for bit 8 downwards; bits without a name are left out.
std::string Flags(std::uint8_t v, std::span<const char* const> names) {
    std::string out;
    for (std::size_t k = 0; k < names.size() && k < 8; ++k) {
        if ((v >> (7 - k) & 1) != 0)
            out += (out.empty() ? "" : ", ") + std::string(names[k]);
    }
    return out.empty() ? "none" : out;
}

std::string LifeCycle(std::uint8_t lcs) {
    if (lcs == 0x00)
        return "no life cycle given";
    if (lcs == 0x01)
        return "creation state";
    if (lcs == 0x03)
        return "initialisation state";
    if ((lcs & 0xFC) == 0x04)
        return (lcs & 0x01) != 0 ? "operational state (activated)"
                                 : "operational state (deactivated)";
    if ((lcs & 0xFC) == 0x0C)
        return "termination state";
    return lcs >= 0x10 ? "proprietary life cycle " + Hex2(lcs) : "reserved life cycle " + Hex2(lcs);
}

std::string Status(ByteView value) {
    if (value.size() == 1)
        return LifeCycle(value[0]);
    if (value.size() == 2)
        return "SW1 SW2 = " + ToHex(value);
    if (value.size() == 3)
        return LifeCycle(value[0]) + "; SW1 SW2 = " + ToHex(value.subspan(1));
    return "status of " + std::to_string(value.size()) + " bytes (1 to 3 expected)";
}

std::string CardService(ByteView value) {
    if (value.size() != 1)
        return "card service data of " + std::to_string(value.size()) + " bytes";
    static constexpr std::array<const char*, 4> kNames = {
        "selection by full DF name", "selection by partial DF name", "data objects in EF.DIR",
        "data objects in EF.ATR"};
    const std::uint8_t v = value[0];
    std::string out = Flags(v, kNames) + "; ";
    switch ((v >> 1) & 0x07) {
    case 0:
        out += "EF.DIR/EF.ATR read by READ RECORD";
        break;
    case 2:
        out += "EF.DIR/EF.ATR read by GET DATA";
        break;
    case 4:
        out += "EF.DIR/EF.ATR read by READ BINARY";
        break;
    default:
        out += "EF.DIR/EF.ATR access reserved";
        break;
    }
    return out + ((v & 0x01) != 0 ? "; no MF" : "; with an MF");
}

std::string Capabilities(ByteView value) {
    static constexpr std::array<const char*, 8> kSelection = {
        "DF by full name", "DF by partial name",  "DF by path",    "DF by file identifier",
        "implicit DF",     "short EF identifier", "record number", "record identifier"};
    static constexpr std::array<const char*, 4> kWrite = {"one-time write", "proprietary write",
                                                          "write OR", "write AND"};
    std::string out;
    if (!value.empty())
        out = "selection: " + Flags(value[0], kSelection);
    if (value.size() >= 2) {
        const std::uint8_t v = value[1];
        out += std::string("; ") + ((v & 0x80) != 0 ? "BER-TLV EFs, " : "") + kWrite[(v >> 5) & 3] +
               ", data unit " + std::to_string(1 << (v & 0x0F)) + " quartets";
    }
    if (value.size() >= 3) {
        const std::uint8_t v = value[2];
        const int channels = 1 + (v & 0x07);
        out += std::string("; ") + ((v & 0x80) != 0 ? "command chaining, " : "") +
               ((v & 0x40) != 0 ? "extended Lc and Le, " : "") +
               ((v & 0x18) == 0 ? "no logical channels"
                                : "logical channels up to " + std::to_string(channels) +
                                      (channels == 8 ? " or more" : ""));
    }
    if (value.size() > 3)
        out += "; " + std::to_string(value.size() - 3) + " more bytes";
    return out.empty() ? "no card capabilities given" : out;
}

struct CompactTag {
    const char* name;
    const char* what;
};

CompactTag TagName(int tag) {
    switch (tag) {
    case 0x1:
        return {"country", "country code and national data"};
    case 0x2:
        return {"issuer", "issuer identification number"};
    case 0x3:
        return {"card service", "card service data"};
    case 0x4:
        return {"initial access", "initial access data"};
    case 0x5:
        return {"issuer data", "card issuer's data"};
    case 0x6:
        return {"pre-issuing", "pre-issuing data"};
    case 0x7:
        return {"capabilities", "card capabilities"};
    case 0x8:
        return {"status", "status indicator"};
    case 0xF:
        return {"AID", "application identifier"};
    default:
        return {"unknown tag", "tag not defined by ISO/IEC 7816-4"};
    }
}

std::string CompactMeaning(int tag, ByteView value) {
    switch (tag) {
    case 0x3:
        return CardService(value);
    case 0x7:
        return Capabilities(value);
    case 0x8:
        return Status(value);
    default: {
        const std::string what = TagName(tag).what;
        return value.empty() ? what + ", empty" : what + ": " + ToHex(value);
    }
    }
}

// Printable text of the bytes in quotes, or nothing when any is not printable ASCII.
std::string Printable(ByteView bytes) {
    const bool printable = !bytes.empty() && std::all_of(bytes.begin(), bytes.end(), [](auto b) {
        return b >= 0x20 && b < 0x7F;
    });
    return printable ? " \"" + std::string(bytes.begin(), bytes.end()) + "\"" : "";
}

// ---- the decoder -----------------------------------------------------------------------------

std::string Counted(std::size_t n, std::string_view what) {
    return std::to_string(n) + " " + std::string(what) + (n == 1 ? "" : "s");
}

class Decoder {
  public:
    explicit Decoder(ByteView bytes) { atr_.bytes.assign(bytes.begin(), bytes.end()); }

    Atr Run() {
        if (Ts() && T0())
            Interface();
        return std::move(atr_);
    }

  private:
    const Bytes& bytes() const { return atr_.bytes; }
    ByteView Slice(std::size_t at, std::size_t length) const {
        return ByteView(atr_.bytes).subspan(at, length);
    }

    // Keeps the fault at the lowest byte position; the first one said wins a tie.
    void Fault(AtrFault fault, std::size_t at, std::string text) {
        if (atr_.verdict.WellFormed() || at < atr_.verdict.at)
            atr_.verdict = {fault, at, std::move(text)};
    }

    // An ATR whose structure reaches past its 33rd byte is too long, whatever was received.
    void Within(std::size_t at, std::string_view what) {
        if (at >= kMaxAtrLength) {
            Fault(AtrFault::TooLong, kMaxAtrLength,
                  "longer than 33 bytes: " + std::string(what) + " would be " + Byte(at));
        }
    }

    // True when the byte at `at` was received; otherwise the ATR is cut short there.
    bool Have(std::size_t at, std::string_view what) {
        Within(at, what);
        if (at < bytes().size())
            return true;
        Fault(AtrFault::Truncated, at,
              "truncated at " + Byte(at) + ": " + std::string(what) + " expected, " +
                  Counted(bytes().size(), "byte") + " received");
        return false;
    }

    void Add(std::size_t at, std::size_t length, std::string name, std::string meaning) {
        const ByteView raw = Slice(at, length);
        atr_.fields.push_back(
            {at, std::move(name), Bytes(raw.begin(), raw.end()), std::move(meaning)});
    }

    void AddSaid(std::size_t at, const std::string& name, const Said& said) {
        Add(at, 1, name, said.meaning);
        if (!said.reserved.empty())
            Fault(AtrFault::Reserved, at, "reserved value at " + Byte(at) + ": " + said.reserved);
    }

    bool Ts() {
        if (!Have(0, "TS"))
            return false;
        const std::uint8_t ts = bytes()[0];
        if (ts == 0x3B || ts == 0x3F) {
            Add(0, 1, "TS", ts == 0x3B ? "direct convention" : "inverse convention");
        } else {
            Add(0, 1, "TS", "neither convention");
            Fault(AtrFault::BadTs, 0,
                  "TS at byte 1 is " + Hex2(ts) + ", neither 3B (direct) nor 3F (inverse)");
        }
        return true;
    }

    bool T0() {
        if (!Have(1, "T0"))
            return false;
        const std::uint8_t t0 = bytes()[1];
        Add(1, 1, "T0",
            "Y1 = " + Bits(t0 >> 4) + ": " + Announced(t0 >> 4, 1) +
                "; K = " + Counted(t0 & 0x0F, "historical byte"));
        return true;
    }

    // The meaning of TAi, TBi or TCi (kind 0, 1, 2) in group i after a TD(i-1) naming protocol t.
    Said InterfaceByte(int kind, int group, int t, std::uint8_t v) const {
        using Reader = Said (*)(std::uint8_t);
        static constexpr std::array<Reader, 3> kGroup1 = {Ta1, Tb1, Tc1};
        static constexpr std::array<Reader, 3> kGroup2 = {Ta2, Tb2, Tc2};
        static constexpr std::array<Reader, 3> kT1 = {T1Ta, T1Tb, T1Tc};
        if (group == 1)
            return kGroup1[kind](v);
        if (group == 2) // whatever TD1 names: TC2 belongs to T=0, TA2 to every protocol
            return kGroup2[kind](v);
        if (group != firstGroup_[t])
            return Undefined(t);
        if (t == 1)
            return kT1[kind](v);
        if (t == 15 && kind == 0)
            return T15Ta(v);
        if (t == 15 && kind == 1)
            return T15Tb(v);
        return Undefined(t);
    }

    Said Td(int group, std::uint8_t td) const {
        const int t = td & 0x0F;
        Said said{ProtocolName(t) + "; Y" + std::to_string(group + 1) + " = " + Bits(td >> 4) +
                      ": " + Announced(td >> 4, group + 1),
                  {}};
        if (t == 15 && group == 1)
            said.reserved = "T=15 is invalid in TD1";
        else if (t >= 2 && t <= 13)
            said.reserved = "protocol T=" + std::to_string(t) + " is reserved";
        return said;
    }

    void Offer(int t) {
        if (t != 15 &&
            std::find(atr_.protocols.begin(), atr_.protocols.end(), t) == atr_.protocols.end())
            atr_.protocols.push_back(t);
    }

    void DefaultProtocol() {
        atr_.protocols = {0};
        atr_.protocolByDefault = true;
    }

    // The groups of interface bytes as T0 and each TD announce them, then the rest.
    void Interface() {
        std::uint8_t y = bytes()[1] >> 4;
        std::size_t at = 2;
        int t = 0;              // the protocol of the last TD
        bool tckNeeded = false; // every protocol but T=0 wants a check byte
        if ((y & 0x08) == 0)
            DefaultProtocol();
        for (int group = 1; y != 0; ++group) {
            for (int kind = 0; kind < 3; ++kind) {
                if ((y >> kind & 1) == 0)
                    continue;
                const std::string name = std::string("T") + "ABC"[kind] + std::to_string(group);
                if (!Have(at, name))
                    return;
                AddSaid(at, name, InterfaceByte(kind, group, t, bytes()[at]));
                ++at;
            }
            if ((y & 0x08) == 0)
                break;
            const std::string name = "TD" + std::to_string(group);
            if (!Have(at, name))
                return;
            const std::uint8_t td = bytes()[at];
            AddSaid(at, name, Td(group, td));
            t = td & 0x0F;
            y = td >> 4;
            // The protocol's own bytes are those of the first group past 2 that a TD of its opens.
            if (group >= 2 && firstGroup_[t] == 0)
                firstGroup_[t] = group + 1;
            Offer(t);
            tckNeeded = tckNeeded || t != 0;
            ++at;
        }
        if (atr_.protocols.empty())
            DefaultProtocol();
        const std::size_t k = bytes()[1] & 0x0F;
        if (Historical(at, k))
            Tck(at + k, tckNeeded);
    }

    // The K historical bytes from `at`; false when they are not all there.
    bool Historical(std::size_t at, std::size_t k) {
        if (k == 0)
            return true;
        Within(at + k - 1, "historical byte " + std::to_string(k));
        if (at + k > bytes().size()) {
            const std::size_t got = bytes().size() - at;
            if (got > 0)
                Add(at, got, "historical",
                    Counted(got, "historical byte") + " of " + std::to_string(k) + " received");
            Have(bytes().size(), "historical byte " + std::to_string(got + 1));
            return false;
        }
        const std::uint8_t category = bytes()[at];
        const std::size_t end = at + k;
        if (category == 0x00) {
            Add(at, 1, "category", "00: compact-TLV objects, then a status indicator");
            if (k < 4) {
                if (k > 1)
                    Add(at + 1, k - 1, "rest", "too short for a status indicator");
                Fault(AtrFault::Historical, at,
                      "historical bytes at " + Byte(at) +
                          ": category 00 needs a status indicator in its last 3 bytes, K is " +
                          std::to_string(k));
            } else {
                CompactObjects(at + 1, end - 3);
                Add(end - 3, 3, "status", Status(Slice(end - 3, 3)));
            }
        } else if (category == 0x80) {
            Add(at, 1, "category", "80: compact-TLV objects");
            CompactObjects(at + 1, end);
        } else if (category == 0x10) {
            Add(at, 1, "category", "10: a DIR data reference follows");
            if (k > 1)
                Add(at + 1, k - 1, "DIR reference",
                    "DIR data reference " + ToHex(Slice(at + 1, k - 1)));
        } else if (category > 0x80 && category <= 0x8F) {
            Add(at, k, "historical", "category " + Hex2(category) + " (reserved)");
            Fault(AtrFault::Reserved, at,
                  "reserved value at " + Byte(at) + ": the historical bytes' category " +
                      Hex2(category) + " is reserved");
        } else {
            Add(at, k, "historical",
                "proprietary (category " + Hex2(category) + ")" + Printable(Slice(at, k)));
        }
        return true;
    }

    // Compact-TLV objects filling [at, end); false when one runs past `end`.
    bool CompactObjects(std::size_t at, std::size_t end) {
        while (at < end) {
            const std::uint8_t head = bytes()[at];
            const int tag = head >> 4;
            const std::size_t length = head & 0x0F;
            if (length >= end - at) {
                Add(at, end - at, "rest", "no compact-TLV object");
                Fault(AtrFault::Historical, at,
                      "historical bytes at " + Byte(at) + ": compact-TLV object " + Hex2(head) +
                          " announces " + Counted(length, "byte") + ", " +
                          std::to_string(end - at - 1) + " left");
                return false;
            }
            Add(at, 1 + length, TagName(tag).name, CompactMeaning(tag, Slice(at + 1, length)));
            at += 1 + length;
        }
        return true;
    }

    // TCK at `at` when `needed`, then nothing more.
    void Tck(std::size_t at, bool needed) {
        if (needed) {
            Within(at, "TCK");
            if (at >= bytes().size()) {
                Fault(AtrFault::TckMissing, at,
                      "TCK missing at " + Byte(at) +
                          ": a protocol other than T=0 is indicated, so a check byte ends the ATR");
                return;
            }
            std::uint8_t sum = 0;
            for (const std::uint8_t b : Slice(1, at - 1))
                sum ^= b;
            const std::uint8_t tck = bytes()[at];
            if (tck == sum) {
                Add(at, 1, "TCK", "check byte, correct");
            } else {
                Add(at, 1, "TCK", "check byte, wrong: " + Hex2(sum) + " expected");
                Fault(AtrFault::TckWrong, at,
                      "TCK wrong at " + Byte(at) + ": " + Hex2(tck) + ", " + Hex2(sum) +
                          " expected");
            }
            ++at;
        }
        if (at < bytes().size()) {
            Fault(AtrFault::ExtraBytes, at,
                  Counted(bytes().size() - at, "extra byte") + " after the ATR, from " + Byte(at) +
                      (needed ? "" : " (only T=0 is indicated: no TCK)"));
        }
    }

    Atr atr_;
    std::array<int, 16> firstGroup_{}; // by protocol: the group of its own bytes, 0 for none
};

} // namespace

Atr DecodeAtr(ByteView bytes) {
    return Decoder(bytes).Run();
}

std::string_view AtrFaultName(AtrFault fault) {
    switch (fault) {
    case AtrFault::None:
        return "none";
    case AtrFault::BadTs:
        return "bad-ts";
    case AtrFault::Truncated:
        return "truncated";
    case AtrFault::TckMissing:
        return "tck-missing";
    case AtrFault::TckWrong:
        return "tck-wrong";
    case AtrFault::ExtraBytes:
        return "extra-bytes";
    case AtrFault::TooLong:
        return "too-long";
    case AtrFault::Reserved:
        return "reserved";
    case AtrFault::Historical:
        return "historical";
    }
    return "none";
}

} // namespace qv
