// The REQ reader: a test scenario file, line by line, into whole tests handed to a sink.
//
// A REQ file is text; each line is read whole, whatever its length, and classified in this order:
//   name line      the first character is "#": the name of the test being read becomes the rest
//                  of the line (from its fifth character after "# -", otherwise from its second),
//                  line end included; a later name line for the same test replaces it. A name
//                  line is then classified further like any other line.
//   command line   the line holds "2,0": the command is the hexadecimal text that starts one
//                  character after the first "2,0". A second command line before a response
//                  replaces the first in the same test. A response is now awaited.
//   response line  a response is awaited and the line begins with ">": the expected response is
//                  the hexadecimal text after the ">"; the test is complete. A backslash on the
//                  line marks that the response goes on: the whole bytes before it count, and
//                  the next line, whatever it holds, is parsed from its first character and
//                  appended, until a line without a backslash completes the test.
//   missing response  a response is awaited and the line is neither of the two: the test is
//                  complete without an expected response (any answer passes), and the line is
//                  dropped.
// Other lines are skipped. The end of the input yields one last empty line when the input ends
// with a line end (or is empty), so a command on the very last line without a line end is not
// completed; it is handed to ReqSink::Unfinished instead.
//
// Hexadecimal text: 0-9, A-F and a-f are digits; "x" and "X" are wildcard digits; a blank is
// skipped anywhere, also inside a byte; a NUL or a line end ends the text; any other character
// takes a digit's place but writes nothing (the place keeps what it held: zero in a fresh test,
// what the earlier line of the same test left otherwise). Digits pair up into bytes left to
// right; an odd last digit is dropped. A byte of two wildcard digits ("xx", either case) is a
// wildcard: it has the value kWildcardValue (78) and matches any received byte (see match.h).
// Any other byte is literal, also a literal 78.
#pragma once

#include "req/req_test.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// Receives what a load yields, in file order. A test handed over lives until the handler
// returns: a sink that keeps it copies it. Its `file` is empty.
class ReqSink {
  public:
    virtual ~ReqSink() = default;
    // A complete test: a command line and its response (or the lack of one).
    virtual void Test(const ReqTest& test) = 0;
    // Called at most once, at the end of the input, when a name or a command was read for a
    // test that the input ended before completing (`command` is empty when no command line
    // came). The test does not count; `number` is the one it would have had.
    virtual void Unfinished(const ReqTest& test) { (void)test; }
    // Called once, at the input's first NUL byte, with its 1-based line number. A NUL never
    // stands in a text file; the rules above cut the line at it and read on, which is what this
    // default answers. A sink that refuses what is not text answers false: the reading stops
    // there, nothing of that line or after it is handed over and Unfinished is not called.
    virtual bool ReadOnAfterNul(std::size_t line) {
        (void)line;
        return true;
    }
};

// Reads `stream` from where it stands to its end, line by line, and hands each test to `sink`.
// Stops early when a read fails (a directory, an I/O error) or the sink stops at a NUL. Returns
// false when the stream is in error at the end, true when it was read to its end. The stream is
// left open.
bool ReadReqStream(std::FILE* stream, ReqSink& sink);

// The same over a text in memory.
void ReadReqText(std::string_view text, ReqSink& sink);

// A line where the rules above did what the author most likely did not mean. The reading is the
// same; only quorvane-run reports them (as warnings, or errors with --strict).
struct LenientLine {
    std::size_t line = 0; // 1-based
    std::string what;     // one phrase: what the line holds and what the rules made of it
};

// The lines of `text` (a whole file) that the rules read leniently, in file order, at most one
// per line: a ">" line no command awaits, or one after a line that closed its test without an
// expected response; a "#" line holding "2,0"; hex text holding a character that is neither a
// digit nor a blank (a tab, "0x", an inline comment), a single x in a byte, or an odd number of
// digits; a command line with no bytes; a byte-order mark before the first line; a backslash
// continuing the last line of the file. A line end's CR is no surprise.
std::vector<LenientLine> LenientLines(std::string_view text);

// Where the first "2,0" of `line` begins (the mark of a command line), or npos; with another
// `destination` digit, the first "2," and that digit ("2,1": the host to the card terminal).
// The command's hexadecimal text starts kCommandSkip characters after the mark.
std::size_t FindAddressMark(std::string_view line, char destination = '0');
// The command bytes start after "2,0" and one separator character.
inline constexpr std::size_t kCommandSkip = 4;

// Parses the hexadecimal text of one line (up to its first NUL or line end, or the view's end)
// into `bytes`, in place, by the rules above; returns the number of whole bytes, whose values
// are then bytes[0..n). Takes at most bytes.size() digit places; `wildcard`, when not empty,
// must be as long as `bytes` and is kept alongside: after the call wildcard[k] is non-zero for
// the bytes k < n that are wildcards (and holds the digit places' marks beyond).
std::size_t ParseHex(std::string_view text, std::span<std::uint8_t> bytes,
                     std::span<std::uint8_t> wildcard = {});

} // namespace qv
