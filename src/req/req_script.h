// A REQ file as quorvane-run reads it: the base rules (req_reader.h), or, in a file that turns
// them on, the extended lines of quorvane-req(5) as well. Every test and every line that only
// quorvane-run reads so carry the FILE:LINE they come from.
//
// A file turns the extensions on with the line "@quorvane-run 1", which must be the first line
// that is neither blank nor a "#" line. A file without it is read by the base reader alone, so
// it gives exactly the tests the interactive program reads. In a file with it:
//   - lines are classified in the base order (a "#" line names a test; a line holding "2,0" is a
//     command to the card), then: "@" starts a directive (@include FILE, @time-limit TIME [for
//     the following tests] or off, @get-response on|off|default for the tests after it in the
//     file, @atr PATTERN: a test of the reset's ATR, which sends nothing), a line holding "2,1" is
//     a command to the card terminal, ">" starts the expected response, read as a pattern
//     (req_pattern.h);
//   - what the base rules read leniently is an error: a name line holding "2,0", a second command
//   line
//     before a response, a ">" line no command awaits, a line of text or a directive between a
//     command and its response, a command on the last line without a line end, hex text that is
//     not whole bytes;
//   - the base rules' blank line after a command (any response passes), a ">" line with nothing
//     after it (the same), names ("# - " and the rest) and a backslash ending a ">" line (the
//     response goes on in the next line) keep their meaning.
// So the interactive program, which reads every file by the base rules only, skips every
// directive and every command to the terminal with its response, and reads the other extended
// lines as bytes of its own; RunOnlyLines lists them all.
#pragma once

#include "req/req_test.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// A file that cannot be read as written: what() is "FILE:LINE: what is wrong" ("FILE: ..." for
// the file as a whole).
class ScriptError : public std::runtime_error {
  public:
    ScriptError(SourceLine where, const std::string& message);
    const SourceLine& Where() const { return where_; }

  private:
    SourceLine where_;
};

// A line that only quorvane-run reads so: the interactive program skips it or reads other bytes
// from it.
struct RunOnlyLine {
    enum class Kind {
        Switch,           // "@quorvane-run 1"
        Include,          // "@include FILE": the menu program skips it
        TimeLimit,        // "@time-limit TIME": skipped likewise
        Atr,              // "@atr PATTERN" or "@atr well-formed": skipped likewise
        GetResponse,      // "@get-response on|off|default": skipped likewise
        TerminalCommand,  // a "2,1" command: skipped, with its response lines
        TerminalResponse, // the ">" line (and continuation lines) of a command to the terminal
        Command,          // a "2,0" command with {name} or {N*HH}: other bytes are sent
        Response,         // a ">" line with a pattern the base rules cannot say
    };
    SourceLine where;
    Kind kind;
    std::string what; // one phrase: "a command to the card terminal"
};

// A warning on a line of a base-rules file, where the base rules did what its author most likely
// did not mean: a line read leniently (LenientLines), a line that would be an extension with the
// switch (skipped), a command on the last line without a line end (not run).
struct FileWarning {
    SourceLine where;
    std::string what; // one phrase: "an odd number of hex digits: the last one is dropped"
};

struct Script {
    std::string path;
    bool extended = false;            // the file turns the extensions on
    std::vector<ReqTest> tests;       // each with its file; names without their line end
    std::vector<RunOnlyLine> runOnly; // file order; an included file's lines where it is included
    // A file without the switch: a command on the very last line without a line end, which the
    // base rules do not run.
    std::optional<SourceLine> unfinished;
    // A file without the switch: the lines that would be extensions with it (@include,
    // @time-limit, a "2,1" command), which both programs skip there.
    std::vector<RunOnlyLine> dormant;
    // Every base-rules file read, this one or an included one: its warnings in line order, file
    // after file in reading order.
    std::vector<FileWarning> warnings;
};

// Reads an included file: its text, or a std::runtime_error saying why not (the message is put
// after "cannot include FILE: ").
using IncludeReader = std::function<std::string(const std::string& path)>;

// The most REQ text one reading takes, each include counted again: past it, an include fan-out
// of small files would stand for millions of tests.
inline constexpr std::size_t kMaxRunText = std::size_t{64} << 20;

// Reads a whole file (`path` names it in every message); includes are read with `read`, a
// relative name taken from the including file's folder, each file once. Its text and what it
// includes are measured before any test is read: past kMaxRunText, with the `runText` read before
// it when given (which grows by what this file takes), it is refused at the @include line that
// crosses the bound. Throws ScriptError.
Script ParseScript(const std::string& path, std::string_view text, const IncludeReader& read,
                   std::size_t* runText = nullptr);

// The lines of a file that only quorvane-run reads so (empty for a base-rules file); throws
// ScriptError like ParseScript.
std::vector<RunOnlyLine> RunOnlyLines(const std::string& path, std::string_view text,
                                      const IncludeReader& read);

// The line that turns the extensions on, as a file that needs them starts.
inline constexpr std::string_view kSwitchLine = "@quorvane-run 1\n";

// The lines of a REQ file that ParseScript reads back as `test`, a blank line last: its name
// line, then a test by the base rules as bytes ("2,0 ...", "> ..."), and a test that uses an
// extension as written (its time limit, its destination, its command and pattern as given). A
// file with a test that uses an extension starts with kSwitchLine.
std::string TestLines(const ReqTest& test);

// The line of a record that keeps the card's ATR, "ATR 3B 02 14 50" with its line end: a line of
// text that both rules skip between tests.
std::string AtrLine(std::span<const std::uint8_t> atr);
// The ATR of such a line (without its line end); nothing for any other line.
std::optional<Bytes> ReadAtrLine(std::string_view line);

// A file written test by test from tests read before (a record), read back as it is written:
// each test's lines must give that test again, with its name, command and expected response,
// under the rules the file's first line selects.
class ReadBack {
  public:
    // `path` names the file in every fault; `extended`: it turns the extensions on.
    ReadBack(std::string path, bool extended);
    // What the file starts with: kSwitchLine and a blank line when it turns the extensions on.
    const std::string& Header() const { return header_; }
    // The next test's lines (TestLines(test)): nothing when they read back as `test`, else why
    // not, as "FILE:LINE: what".
    std::optional<std::string> Next(const ReqTest& test, std::string_view lines);

  private:
    std::string path_;
    std::string header_;
    std::size_t headerLines_;
    std::size_t line_; // the lines written so far
    KnownCaptures captured_;
};

} // namespace qv
