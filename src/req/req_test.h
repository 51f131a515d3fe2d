// One test of a REQ file, as both readers give it: the base reader (req_reader.h), which the
// interactive program uses, and the reader of quorvane-run's extended lines (req_script.h). A
// test by the base rules holds bytes only; a test that uses an extension also holds what only
// quorvane-run reads: a pattern for its response, captures put into its command, a time limit,
// the card terminal as its destination.
#pragma once

#include "core/bytes.h"
#include "req/match.h"
#include "req/req_pattern.h" // its types only: the base reader links no pattern code

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctapi.h>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qv {

inline constexpr std::uint8_t kWildcardValue = 0x78; // the value a wildcard byte is stored with

// A line of a file: "FILE:LINE".
struct SourceLine {
    std::string file;
    std::size_t line = 0;

    std::string Text() const { return file + ":" + std::to_string(line); }
};

// A test of the ATR that the reader's reset gave (@atr), which sends nothing.
enum class AtrCheck : std::uint8_t {
    None,       // a test that sends a command
    Pattern,    // the ATR must match `pattern`; what it captures is kept as a response's is
    WellFormed, // the ATR must be well formed by the core's ATR decoder
};

struct ReqTest {
    std::size_t number = 0; // 1-based among the file's tests (with includes: the file named)
    std::string file;       // the file of its command line; empty when read from a stream
    std::size_t line = 0;   // 1-based line number of its (last) command line
    // The rest of its name line; the base reader keeps the line end (the interactive program
    // stores the name so). Empty when none.
    std::string name;
    std::uint8_t destination = ICC1; // the "2,0" of a command line; CT for a "2,1"
    Bytes command;                   // what is sent, unless it has a `commandTemplate`
    Bytes expected; // empty: any response passes; a wildcard byte holds kWildcardValue
    Bytes wildcard; // beside `expected`: non-zero where a byte is "xx"

    // A test that uses an extension is judged by `pattern` (test_verdict.h), not by `expected`.
    bool extended = false;
    // The command as written when it holds braces: captures put in, or byte runs ({N*HH}); its
    // bytes are known when it is sent (CommandToSend).
    std::optional<CommandTemplate> commandTemplate;
    std::optional<Pattern> pattern; // extended: the expected response, if any
    std::optional<std::chrono::microseconds> timeLimit;
    std::string timeLimitText; // as written after @time-limit
    AtrCheck atr = AtrCheck::None;
    // @get-response on or off for this test, over quorvane-run's --get-response; nothing: as the
    // command line says.
    std::optional<bool> getResponse;

    // The name without its line end (LF, CR LF or a lone CR).
    std::string_view Title() const {
        std::string_view title = name;
        if (title.ends_with('\n'))
            title.remove_suffix(1);
        if (title.ends_with('\r'))
            title.remove_suffix(1);
        return title;
    }
    SourceLine Where() const { return {file, line}; }
    ExpectedResponse Expected() const { return {expected, wildcard}; }
};

} // namespace qv
