// What quorvane-run asks of a REQ test with the extensions: the captures it reads, the command
// it sends with them put in, and its verdict, by its pattern when it uses an extension and by the
// base rules otherwise. The interactive program needs none of it (verdict.h is the base rules').
#pragma once

#include "core/bytes.h"
#include "core/exchange.h"
#include "req/req_pattern.h"
#include "req/req_test.h"
#include "req/verdict.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qv {

// The capture names the test reads, each once: its command's, then its pattern's.
std::vector<std::string> CaptureUses(const ReqTest& test);

// The first of them that `captures` holds no value for (the test that captures it did not pass),
// or nothing.
std::optional<std::string> MissingCapture(const ReqTest& test, const Captures& captures);

// Why the command cannot be put together although every capture it reads holds a value: a part
// of a capture ({size[2]}) beyond the bytes it holds; nothing when it can.
std::optional<std::string> CommandFault(const ReqTest& test, const Captures& captures);

// The command as sent: its bytes, or its template with its runs spelled out and the values of
// `captures` put in (kept in `room`); empty when a capture it uses holds no value.
std::span<const std::uint8_t> CommandToSend(const ReqTest& test, const Captures& captures,
                                            Bytes& room);

// A failed CT_data is a CtError. A test that uses an extension needs its reply from the unit the
// command went to (else TerminalReply, or CardReply for a command to the terminal) matching its
// pattern (if any) with the values of `captures`; what a match captures goes into `bound`. Any
// other test is judged by Judge (verdict.h).
Judgement JudgeTest(const ReqTest& test, const ExchangeResult& exchange, const Captures& captures,
                    Captures& bound);

// A test of the ATR (ReqTest::atr): `atr` is the reader's ATR, empty when the reader was not
// reset. It matches the test's pattern (what that captures goes into `bound`), or is well formed
// by the core's decoder; a Mismatch says why not.
Judgement JudgeAtr(const ReqTest& test, std::span<const std::uint8_t> atr, const Captures& captures,
                   Captures& bound);

} // namespace qv
