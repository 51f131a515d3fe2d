// The REQ reader: lines whole, classified, parsed into growing areas, handed over test by test.
#include "req/req_reader.h"

#include "core/hex.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace qv {

namespace {

constexpr std::string_view kDashedName = "# -";
// After "# -" one more character is skipped before the name starts.
constexpr std::size_t kDashedNameSkip = kDashedName.size() + 1;
constexpr char kContinuationMark = '\\';
// A stream is read in blocks of this size; a line is handed over from the block itself unless
// it crosses a block's end.
constexpr std::size_t kReadBlock = 256 * 1024;

// What each character does in a hexadecimal text: a digit's value (0 to 15) or the wildcard
// value (x and X) is stored in its place; the others are marks above both.
enum : std::uint8_t {
    kBlank = 0xF0, // skipped, takes no place
    kEnd = 0xF1,   // NUL and line feed end the text
    kKeep = 0xF2,  // takes a place, writes nothing
};

constexpr std::array<std::uint8_t, 256> MakeCharClasses() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        const int digit = HexDigitValue(static_cast<char>(c));
        t[c] = static_cast<std::uint8_t>(digit < 0 ? int{kKeep} : digit);
    }
    t['x'] = kWildcardValue;
    t['X'] = kWildcardValue;
    t[' '] = kBlank;
    t['\0'] = kEnd;
    t['\n'] = kEnd;
    return t;
}
constexpr std::array<std::uint8_t, 256> kCharClass = MakeCharClasses();

// The characters of `text` into the places of `bytes` (and their wildcard marks), one place per
// character but blanks, until the text ends or the places run out; returns the places taken.
template <bool kMarks>
std::size_t TakePlaces(std::string_view text, std::span<std::uint8_t> bytes, std::uint8_t* marks) {
    std::uint8_t* const out = bytes.data();
    const std::size_t room = bytes.size();
    std::size_t place = 0;
    for (const char c : text) {
        const std::uint8_t v = kCharClass[static_cast<unsigned char>(c)];
        if (v <= kWildcardValue) {
            if (place == room) {
                break;
            }
            out[place] = v;
            if constexpr (kMarks) {
                marks[place] = v == kWildcardValue;
            }
            ++place;
        } else if (v == kEnd) {
            break;
        } else if (v == kKeep) {
            if (place == room) {
                break;
            }
            ++place;
        }
    }
    return place;
}

// Pairs of places into bytes, in place: byte j is written after places 2j and 2j+1 are read,
// and no later pair reads below 2j+2. A pair of wildcard values keeps the wildcard value; a
// byte is marked a wildcard when both its places were. Returns the number of bytes.
template <bool kMarks>
std::size_t PackPlaces(std::uint8_t* bytes, std::uint8_t* marks, std::size_t places) {
    const std::size_t count = places / 2;
    for (std::size_t j = 0; j < count; ++j) {
        const std::uint8_t high = bytes[2 * j];
        const std::uint8_t low = bytes[2 * j + 1];
        bytes[j] = high == kWildcardValue && low == kWildcardValue
                       ? kWildcardValue
                       : static_cast<std::uint8_t>(high * 16 + low);
        if constexpr (kMarks) {
            marks[j] = marks[2 * j] & marks[2 * j + 1];
        }
    }
    return count;
}

// The rest of `line` from `skip` on, empty when the line is shorter.
std::string_view From(std::string_view line, std::size_t skip) {
    return line.substr(std::min(skip, line.size()));
}

// The hexadecimal area of the test being read: bytes and, where wanted, wildcard marks. It grows
// as lines need and is zero wherever no line of this test wrote.
class HexArea {
  public:
    explicit HexArea(bool withMarks) : withMarks_(withMarks) {}

    // Parses `text` at byte `at` (at most the current length); the area's length becomes `at`
    // plus the bytes parsed.
    void ParseAt(std::string_view text, std::size_t at) {
        const std::size_t need = at + text.size(); // a character takes at most one place
        if (bytes_.size() < need) {
            bytes_.resize(need);
            if (withMarks_) {
                marks_.resize(need);
            }
        }
        const std::span<std::uint8_t> marks =
            withMarks_ ? std::span<std::uint8_t>(marks_).subspan(at) : std::span<std::uint8_t>{};
        length_ = at + ParseHex(text, std::span<std::uint8_t>(bytes_).subspan(at), marks);
    }

    std::size_t Length() const { return length_; }

    // Lends the parsed bytes (and marks) to a test: `bytes` (and `marks`) take the area's
    // storage, cut to the bytes parsed, until TakeBack. No byte is copied.
    void Lend(qv::Bytes& bytes, qv::Bytes* marks) {
        bytes_.resize(length_);
        bytes.swap(bytes_);
        if (marks != nullptr) {
            marks_.resize(withMarks_ ? length_ : 0);
            marks->swap(marks_);
        }
    }
    void TakeBack(qv::Bytes& bytes, qv::Bytes* marks) {
        bytes_.swap(bytes);
        if (marks != nullptr)
            marks_.swap(*marks);
    }

    // A fresh area for the next test; the storage is kept.
    void Clear() {
        bytes_.clear();
        marks_.clear();
        length_ = 0;
    }

  private:
    bool withMarks_;
    std::vector<std::uint8_t> bytes_;
    std::vector<std::uint8_t> marks_;
    std::size_t length_ = 0;
};

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string CharacterText(char c) {
    if (c == '\t')
        return "a tab";
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F)
        return "the byte " + ToHex(std::span(&u, 1));
    return std::string("'") + c + "'";
}

// What a hexadecimal text (up to its NUL or line end) holds that the rules read otherwise than
// its author likely meant: the first such thing, or an empty text.
std::string HexSurprise(std::string_view text) {
    std::size_t end = 0;
    while (end < text.size() && kCharClass[static_cast<unsigned char>(text[end])] != kEnd)
        ++end;
    text = text.substr(0, end);
    if (text.ends_with('\r'))
        text.remove_suffix(1); // the line end of a CR LF file
    std::size_t places = 0;
    std::uint8_t high = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::uint8_t v = kCharClass[static_cast<unsigned char>(text[i])];
        if (v == kBlank)
            continue;
        if (v == kKeep)
            return CharacterText(text[i]) + " in hex text takes a digit's place";
        if (places % 2 == 1 && (high == kWildcardValue) != (v == kWildcardValue)) {
            if (v == kWildcardValue && text[i - 1] == '0')
                return "\"0x\" in hex text: the x is a wildcard digit, not a prefix";
            return "a single x in a byte: only xx matches any byte";
        }
        high = v;
        ++places;
    }
    if (places % 2 == 1)
        return "an odd number of hex digits: the last one is dropped";
    return {};
}

// How a line that closed a test without an expected response is called.
std::string ClosingLineText(std::string_view line) {
    const bool blank = line.find_first_not_of(" \t\r\n") == std::string_view::npos;
    return blank ? "blank" : line.starts_with('#') ? "a \"#\" line" : "a line of text";
}

// A line up to its first NUL: nothing after a NUL is looked at.
std::string_view UpToNul(std::string_view line) {
    if (line.empty()) {
        return line; // memchr must not be given the null pointer of an empty view
    }
    const auto* nul = static_cast<const char*>(std::memchr(line.data(), '\0', line.size()));
    return nul == nullptr ? line : line.substr(0, static_cast<std::size_t>(nul - line.data()));
}

// Classifies the lines of one load and hands each completed test to the sink.
class LineClassifier {
  public:
    // With `notes`, the lines read leniently are noted there.
    explicit LineClassifier(ReqSink& sink, std::vector<LenientLine>* notes = nullptr)
        : sink_(sink), notes_(notes) {}

    // One line, its line feed included when it has one. Its text ends at its first NUL; the
    // input's first NUL asks the sink whether to read on. Returns false when the reading stops.
    bool Feed(std::string_view raw) {
        ++lineNumber_;
        const std::string_view line = UpToNul(raw);
        if (line.size() != raw.size() && !nulSeen_) {
            nulSeen_ = true;
            stopped_ = !sink_.ReadOnAfterNul(lineNumber_);
        }
        if (!stopped_) {
            if (lineNumber_ == 1 && line.starts_with(kByteOrderMark)) {
                Note("a byte-order mark before the first line: its bytes are read as text");
            }
            Classify(line);
        }
        return !stopped_;
    }

    // The empty line that the end of the input reads as.
    bool FeedEnd() {
        atEnd_ = true;
        return Feed({});
    }

    // The end of the input: a test begun and not completed is reported, not counted.
    void Finish() {
        if (!stopped_ && continuing_) {
            NoteAt(continuedAt_, "a backslash on the file's last line: the response goes on "
                                 "into nothing");
        }
        if (!stopped_ && (awaiting_ || continuing_ || !name_.empty())) {
            HandOver([this](const ReqTest& test) { sink_.Unfinished(test); });
        }
    }

  private:
    void Classify(std::string_view line) {
        if (continuing_) {
            if (atEnd_) {
                NoteAt(continuedAt_, "a backslash on the file's last line: the response goes on "
                                     "into nothing");
            }
            TakeResponse(line, expected_.Length());
            return;
        }
        if (line.starts_with('#')) {
            name_.assign(From(line, line.starts_with(kDashedName) ? kDashedNameSkip : 1));
        }
        if (const std::size_t mark = FindAddressMark(line); mark != std::string_view::npos) {
            const std::string_view text = From(line, mark + kCommandSkip);
            command_.ParseAt(text, 0);
            commandLine_ = lineNumber_;
            awaiting_ = true;
            closedBy_ = 0;
            if (notes_ != nullptr) {
                if (line.starts_with('#')) {
                    Note("a \"#\" line holding \"2,0\" is a command: it is sent to the card");
                }
                Note(HexSurprise(text));
                if (command_.Length() == 0) {
                    Note("a command line with no bytes");
                }
            }
            return;
        }
        if (!awaiting_) {
            if (line.starts_with('>')) {
                Note(closedBy_ == 0
                         ? std::string("a \">\" line that no command awaits is ignored")
                         : "a \">\" line ignored: line " + std::to_string(closedBy_) + " (" +
                               closedByText_ + ") closed the test of line " +
                               std::to_string(closedTest_) + " without an expected response");
                closedBy_ = 0;
            }
            return;
        }
        if (line.starts_with('>')) {
            TakeResponse(line.substr(1), 0);
        } else {
            if (notes_ != nullptr && !atEnd_) {
                closedBy_ = lineNumber_;
                closedTest_ = commandLine_;
                closedByText_ = ClosingLineText(line);
            }
            Complete(); // no expected response: any answer passes
        }
    }

    void Note(const std::string& what) { NoteAt(lineNumber_, what); }

    // At most one note a line: the first thing found there.
    void NoteAt(std::size_t line, const std::string& what) {
        if (notes_ == nullptr || what.empty() ||
            (!notes_->empty() && notes_->back().line == line)) {
            return;
        }
        notes_->push_back({line, what});
    }

    // Hands the test being read to `hand` (the sink's Test or Unfinished). Its name and bytes
    // are the reader's own storage, lent for the call and taken back after.
    template <class Hand> void HandOver(Hand hand) {
        test_.number = completed_ + 1;
        test_.line = commandLine_;
        test_.name.swap(name_);
        command_.Lend(test_.command, nullptr);
        expected_.Lend(test_.expected, &test_.wildcard);
        hand(static_cast<const ReqTest&>(test_));
        name_.swap(test_.name);
        command_.TakeBack(test_.command, nullptr);
        expected_.TakeBack(test_.expected, &test_.wildcard);
    }

    void TakeResponse(std::string_view text, std::size_t at) {
        const std::size_t mark = text.find(kContinuationMark);
        expected_.ParseAt(text.substr(0, mark), at);
        if (notes_ != nullptr) {
            Note(HexSurprise(text.substr(0, mark)));
        }
        continuing_ = mark != std::string_view::npos;
        if (continuing_) {
            continuedAt_ = lineNumber_;
        }
        if (!continuing_) {
            Complete();
        }
    }

    void Complete() {
        HandOver([this](const ReqTest& test) { sink_.Test(test); });
        ++completed_;
        awaiting_ = false;
        continuing_ = false;
        name_.clear();
        command_.Clear();
        expected_.Clear();
        commandLine_ = 0;
    }

    ReqSink& sink_;
    std::vector<LenientLine>* notes_;
    std::string name_;
    HexArea command_{false};
    HexArea expected_{true};
    ReqTest test_; // the test handed over, its storage lent by the fields above
    std::size_t completed_ = 0;
    std::size_t lineNumber_ = 0;
    std::size_t commandLine_ = 0;
    bool awaiting_ = false;
    bool continuing_ = false;
    bool nulSeen_ = false;
    bool stopped_ = false;
    bool atEnd_ = false;
    // For the notes: the line that last closed a test without an expected response, and its
    // test's command line, until a ">" line or the next command.
    std::size_t closedBy_ = 0;
    std::size_t closedTest_ = 0;
    std::string closedByText_;
    std::size_t continuedAt_ = 0;
};

// Splits text that arrives in pieces into lines, each with its line feed; a line that crosses
// pieces is gathered in `carry_`.
class LineSplitter {
  public:
    explicit LineSplitter(LineClassifier& classifier) : classifier_(classifier) {}

    // Returns false when the classifier stopped the reading.
    bool Piece(std::string_view text) {
        while (!text.empty()) {
            const auto* feed =
                static_cast<const char*>(std::memchr(text.data(), '\n', text.size()));
            if (feed == nullptr) {
                carry_.append(text);
                endedWithFeed_ = false;
                return true;
            }
            const std::size_t end = static_cast<std::size_t>(feed - text.data()) + 1;
            bool readOn = true;
            if (carry_.empty()) {
                readOn = classifier_.Feed(text.substr(0, end));
            } else {
                carry_.append(text.substr(0, end));
                readOn = classifier_.Feed(carry_);
                carry_.clear();
            }
            if (!readOn) {
                return false;
            }
            endedWithFeed_ = true;
            text.remove_prefix(end);
        }
        return true;
    }

    // The input ended: a last line without a line feed is a line; after a line feed (or with no
    // input at all) the end itself reads as one empty line.
    void End() {
        if (!carry_.empty()) {
            classifier_.Feed(carry_);
            carry_.clear();
        } else if (endedWithFeed_) {
            classifier_.FeedEnd();
        }
        classifier_.Finish();
    }

  private:
    LineClassifier& classifier_;
    std::string carry_;
    bool endedWithFeed_ = true; // no input yet reads like the end after a line feed
};

} // namespace

// Hexadecimal text holds no comma, so the search runs from comma to comma instead of from every
// "2" of a long line.
std::size_t FindAddressMark(std::string_view line, char destination) {
    for (std::size_t comma = line.find(',', 1); comma != std::string_view::npos;
         comma = line.find(',', comma + 1)) {
        if (line[comma - 1] == '2' && comma + 1 < line.size() && line[comma + 1] == destination) {
            return comma - 1;
        }
    }
    return std::string_view::npos;
}

std::size_t ParseHex(std::string_view text, std::span<std::uint8_t> bytes,
                     std::span<std::uint8_t> wildcard) {
    if (wildcard.empty()) {
        return PackPlaces<false>(bytes.data(), nullptr, TakePlaces<false>(text, bytes, nullptr));
    }
    return PackPlaces<true>(bytes.data(), wildcard.data(),
                            TakePlaces<true>(text, bytes, wildcard.data()));
}

bool ReadReqStream(std::FILE* stream, ReqSink& sink) {
    LineClassifier classifier(sink);
    LineSplitter splitter(classifier);
    std::vector<char> block(kReadBlock);
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), stream);
        if (!splitter.Piece({block.data(), got})) {
            return std::ferror(stream) == 0; // the sink stopped at a NUL
        }
        if (got < block.size()) {
            break; // the end, or a read that failed
        }
    }
    splitter.End();
    return std::ferror(stream) == 0;
}

std::vector<LenientLine> LenientLines(std::string_view text) {
    struct Ignored : ReqSink {
        void Test(const ReqTest&) override {} // only the notes are wanted
    } ignored;
    std::vector<LenientLine> notes;
    LineClassifier classifier(ignored, &notes);
    LineSplitter splitter(classifier);
    if (splitter.Piece(text)) {
        splitter.End();
    }
    return notes;
}

void ReadReqText(std::string_view text, ReqSink& sink) {
    LineClassifier classifier(sink);
    LineSplitter splitter(classifier);
    if (splitter.Piece(text)) {
        splitter.End();
    }
}

} // namespace qv
