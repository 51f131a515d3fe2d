// REQ files and the test table: the hexadecimal parser, the line classifier and the table itself.
#include "scenario/req_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdio_ext.h>

std::int32_t gnCommand = 0;
char gchApduName[kMaxTests][kNameSize];
std::uint8_t gbyCommand[kMaxTests][kApduSize];
std::uint32_t gnCommandLength[kMaxTests];
std::uint8_t gbyExpected[kMaxTests][kApduSize];
std::uint32_t gnExpectedLength[kMaxTests];

namespace {

constexpr std::size_t kLineSize = 65536;
constexpr std::size_t kNameMax = kNameSize - 1;
// The command bytes start after "2,0" and one separator character.
constexpr std::size_t kCommandSkip = 4;
constexpr std::string_view kDashedName = "# -";
// After "# -" one more character is skipped before the name starts.
constexpr std::size_t kDashedNameSkip = kDashedName.size() + 1;
constexpr char kContinuationMark = '\\';

// How far the last load wrote into each test's areas. The table is static (zero at start) and
// only the reader writes it, so clearing these ranges leaves it exactly as a full clear would,
// without touching the 65 MB of pages a full clear costs.
struct HighWater {
    std::array<std::uint16_t, kMaxTests> name{};
    std::array<std::uint32_t, kMaxTests> command{};
    std::array<std::uint32_t, kMaxTests> expected{};
};
HighWater gstHighWater;

void Raise(std::uint32_t& mark, std::size_t reached) {
    mark = std::max(mark, static_cast<std::uint32_t>(reached));
}

// What each character does in ReturnHex.
enum : std::uint8_t {
    kEnd = 0x80,   // NUL and newline end the text (see TextEnd)
    kBlank = 0x81, // skipped, takes no position
    kKeep = 0x82,  // takes a position, writes nothing
};

constexpr std::array<std::uint8_t, 256> MakeNibbleTable() {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) {
        v = kKeep;
    }
    for (int c = '0'; c <= '9'; ++c) {
        t[c] = static_cast<std::uint8_t>(c - '0');
    }
    for (int c = 'A'; c <= 'F'; ++c) {
        t[c] = static_cast<std::uint8_t>(c - 'A' + 10);
        t[c + ('a' - 'A')] = static_cast<std::uint8_t>(c - 'A' + 10);
    }
    t['x'] = kWildcard;
    t['X'] = kWildcard;
    t[' '] = kBlank;
    t['\0'] = kEnd;
    t['\n'] = kEnd;
    return t;
}
constexpr std::array<std::uint8_t, 256> kNibble = MakeNibbleTable();

// Where the text ReturnHex reads ends: at its first NUL or newline, or with the view.
std::size_t TextEnd(std::string_view text) {
    if (text.empty()) {
        return 0; // memchr must not be given the null pointer of an empty view
    }
    const auto* newline = static_cast<const char*>(std::memchr(text.data(), '\n', text.size()));
    const std::size_t lineEnd =
        newline ? static_cast<std::size_t>(newline - text.data()) : text.size();
    const auto* nul = static_cast<const char*>(std::memchr(text.data(), '\0', lineEnd));
    return nul ? static_cast<std::size_t>(nul - text.data()) : lineEnd;
}

// Writes the nibble positions of `text` into `out`, at most out.size() of them; returns how many
// positions were taken. A digit or wildcard is stored; a blank takes no position (it is stored
// aside, so the common case runs without a branch); any other character takes a position and
// keeps the byte it held.
std::size_t TakePositions(std::string_view text, std::span<std::uint8_t> out) {
    constexpr std::size_t kRun = 8;
    text = text.substr(0, TextEnd(text));
    std::uint8_t* const area = out.data();
    std::uint8_t aside = 0;
    std::size_t pos = 0;
    std::size_t i = 0;
    while (i < text.size() && pos < out.size()) {
        // A character takes at most one position, so this stretch cannot run out of room.
        const std::size_t stretch = i + std::min(text.size() - i, out.size() - pos);
        // Digits and wildcards without blanks are stored eight at a time, up to the first eight
        // that hold anything else; from there on one at a time.
        for (; i + kRun <= stretch; i += kRun) {
            std::uint8_t run[kRun];
            std::uint8_t marks = 0;
            for (std::size_t k = 0; k < kRun; ++k) {
                run[k] = kNibble[static_cast<unsigned char>(text[i + k])];
                marks |= run[k];
            }
            if ((marks & kEnd) != 0) {
                break;
            }
            std::memcpy(area + pos, run, kRun);
            pos += kRun;
        }
        for (; i < stretch; ++i) {
            const std::uint8_t v = kNibble[static_cast<unsigned char>(text[i])];
            if (v == kKeep) [[unlikely]] {
                ++pos;
                continue;
            }
            const bool blank = v == kBlank;
            *(blank ? &aside : area + pos) = v;
            pos += !blank;
        }
    }
    return pos;
}

std::uint8_t PackPair(std::uint8_t high, std::uint8_t low) {
    return (high == kWildcard && low == kWildcard) ? kWildcard
                                                   : static_cast<std::uint8_t>(high * 16 + low);
}

// Packs position pairs into bytes in place, left to right. Bytes are built a block at a time
// aside and then stored: the block's stores end before the next block's positions begin.
void PackPairs(std::span<std::uint8_t> out, std::size_t count) {
    constexpr std::size_t kBlock = 64;
    std::uint8_t block[kBlock];
    std::size_t j = 0;
    for (; j + kBlock <= count; j += kBlock) {
        const std::uint8_t* positions = out.data() + 2 * j;
        for (std::size_t k = 0; k < kBlock; ++k) {
            block[k] = PackPair(positions[2 * k], positions[2 * k + 1]);
        }
        std::memcpy(out.data() + j, block, kBlock);
    }
    for (; j < count; ++j) {
        out[j] = PackPair(out[2 * j], out[2 * j + 1]);
    }
}

// Parses `text` into `area` from `offset` on; returns the number of bytes and records how far
// the area may have been written (the positions taken, an odd last one included).
std::uint32_t ParseInto(std::string_view text, std::uint8_t* area, std::size_t offset,
                        std::uint32_t& mark) {
    std::uint32_t count = 0;
    ReturnHex(text, {area + offset, kApduSize - offset}, &count);
    Raise(mark, std::min(kApduSize, offset + 2 * std::size_t{count} + 1));
    return count;
}

// The rest of `line` from `skip` on, empty when the line is shorter.
std::string_view From(std::string_view line, std::size_t skip) {
    return line.substr(std::min(skip, line.size()));
}

// Where the first "2,0" begins. Hexadecimal text holds no comma, so the search runs from comma
// to comma (memchr) instead of from every "2" of a long line.
std::size_t FindCommandMark(std::string_view line) {
    for (std::size_t comma = line.find(',', 1); comma != std::string_view::npos;
         comma = line.find(',', comma + 1)) {
        if (line[comma - 1] == '2' && comma + 1 < line.size() && line[comma + 1] == '0') {
            return comma - 1;
        }
    }
    return std::string_view::npos;
}

void StoreName(int index, std::string_view line) {
    const std::string_view name =
        From(line, line.starts_with(kDashedName) ? kDashedNameSkip : 1).substr(0, kNameMax);
    char* slot = gchApduName[index];
    std::memcpy(slot, name.data(), name.size());
    // Zero the rest of an earlier, longer name so that the slot reads as just this name.
    const std::size_t written = std::max<std::size_t>(gstHighWater.name[index], name.size() + 1);
    std::memset(slot + name.size(), 0, written - name.size());
    gstHighWater.name[index] = static_cast<std::uint16_t>(written);
}

// Classifies the lines of one load and fills the table. Tests beyond the table's room are still
// recognised, so that their number can be told, but nothing of them is stored.
//
// Continued responses: a backslash on a ">" line, or on a continuation line, marks that the
// expected response goes on in the next line. The hexadecimal text before the backslash counts
// (whole bytes only; the rest of the marked line, a CR of CR LF included, is ignored). The next
// line is a continuation line whatever it holds: it is parsed from its first character and
// appended at the current expected length. The first continuation line without a backslash
// completes the test; so does the empty line that the end of the file yields.
class ReqReader {
  public:
    void Classify(std::string_view line) {
        if (continuing_) {
            TakeResponse(line, true);
            return;
        }
        if (line.starts_with('#') && Storing()) {
            StoreName(gnCommand, line);
        }
        if (const std::size_t mark = FindCommandMark(line); mark != std::string_view::npos) {
            TakeCommand(From(line, mark + kCommandSkip));
            return;
        }
        if (!awaiting_) {
            return;
        }
        if (line.starts_with('>')) {
            TakeResponse(line.substr(1), false);
        } else {
            if (Storing()) {
                gnExpectedLength[gnCommand] = 0;
            }
            Complete();
        }
    }

    int TestsBeyondTable() const { return beyond_; }

  private:
    bool Storing() const { return gnCommand < kMaxTests; }

    void TakeCommand(std::string_view text) {
        if (Storing()) {
            gnCommandLength[gnCommand] =
                ParseInto(text, gbyCommand[gnCommand], 0, gstHighWater.command[gnCommand]);
        }
        awaiting_ = true;
    }

    void TakeResponse(std::string_view text, bool append) {
        const std::size_t mark = text.find(kContinuationMark);
        if (Storing()) {
            const std::uint32_t at = append ? gnExpectedLength[gnCommand] : 0;
            gnExpectedLength[gnCommand] =
                at + ParseInto(text.substr(0, mark), gbyExpected[gnCommand], at,
                               gstHighWater.expected[gnCommand]);
        }
        continuing_ = mark != std::string_view::npos;
        if (!continuing_) {
            Complete();
        }
    }

    void Complete() {
        if (Storing()) {
            ++gnCommand;
        } else {
            ++beyond_;
        }
        awaiting_ = false;
        continuing_ = false;
    }

    bool awaiting_ = false;
    bool continuing_ = false;
    int beyond_ = 0;
};

// One line of at most kLineSize - 1 characters, as fgets delivers it, up to its first NUL:
// nothing after the terminator fgets wrote (stale bytes of an earlier line) is ever looked at.
// A read that meets the end of the file or fails yields an empty line.
std::string_view ReadLine(std::FILE* stream, std::span<char, kLineSize> buffer) {
    if (std::fgets(buffer.data(), static_cast<int>(buffer.size()), stream) == nullptr) {
        return {};
    }
    return {buffer.data(), std::strlen(buffer.data())};
}

char gcLine[kLineSize];

// The stream reads through a larger buffer than its default of one block: a long scenario then
// costs a read call per 256 KiB instead of per 4 KiB. Only a stream without a buffer yet (nothing
// read from it) is given one; the stream is closed before the reader returns.
constexpr std::size_t kStreamBufferSize = 256 * 1024;
char gcStreamBuffer[kStreamBufferSize];

void EnlargeBuffer(std::FILE* stream) {
    if (__fbufsize(stream) == 0) {
        std::setvbuf(stream, gcStreamBuffer, _IOFBF, sizeof gcStreamBuffer);
    }
}

// An empty clear must not reach memset: even a memset of no bytes costs about a page walk when
// the page was never touched (some 150 ns), and a load clears 1500 areas.
void ClearPrefix(void* area, std::size_t size) {
    if (size != 0) {
        std::memset(area, 0, size);
    }
}

} // namespace

void iResetValues() {
    for (int i = 0; i < kMaxTests; ++i) {
        ClearPrefix(gchApduName[i], gstHighWater.name[i]);
        ClearPrefix(gbyCommand[i], gstHighWater.command[i]);
        ClearPrefix(gbyExpected[i], gstHighWater.expected[i]);
    }
    gstHighWater = {};
    std::memset(gnCommandLength, 0, sizeof gnCommandLength);
    std::memset(gnExpectedLength, 0, sizeof gnExpectedLength);
}

void ReturnHex(std::string_view text, std::span<std::uint8_t> out, std::uint32_t* pnCount) {
    const std::size_t positions = TakePositions(text, out);
    *pnCount = static_cast<std::uint32_t>(positions / 2);
    PackPairs(out, *pnCount);
}

void CTReadReqFile(std::FILE* stream) {
    gnCommand = 0;
    iResetValues();
    EnlargeBuffer(stream);
    ReqReader reader;
    // A stream in error would never reach its end: stop there as well.
    while (!std::feof(stream) && !std::ferror(stream)) {
        reader.Classify(ReadLine(stream, gcLine));
    }
    std::printf(" (with %d APDUs)\n", gnCommand);
    if (reader.TestsBeyondTable() > 0) {
        std::printf("Only the first %d of the file's %d tests were loaded.\n", kMaxTests,
                    kMaxTests + reader.TestsBeyondTable());
    }
    std::fflush(stdout);
    std::fclose(stream);
}
