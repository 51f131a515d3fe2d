// Record once, replay for ever: turns what quorvane-run wrote on a real card (a --record REQ
// file, a --trace file) into a card script that answers the same.
//
// The rules: every command becomes a rule for exactly its bytes. Its recorded responses become
// the rule's answers in the order they were recorded ("a | b": one each call, the last kept for
// every later call); a response that repeats the one before it adds nothing. A wildcard byte in
// a recorded response ("xx", where the suite expected any byte, a challenge say) becomes a
// random byte of the replay, so the replay differs every time as the card did. A command
// recorded without a response is named in a comment and left to the default, 6D 00. From a
// trace, every byte is as received (a trace knows no wildcards), only the card's answers count
// (CT-API result 0, source address 0, of one reader: reader 1 unless another is chosen); GET
// RESPONSE and a corrected Le are commands of their own there. The card's ATR is taken from the
// file where the run wrote it (a record's ATR line, a trace's ATR comment); a --atr given wins,
// and files written before that get the bed's default. A record of a file that turns on
// quorvane-run's REQ extensions is refused (its responses may be patterns): its trace replays.
#pragma once

#include <string>
#include <vector>

#include "bed/card.h"
#include "req/req_test.h"

namespace bed {

// What was recorded, as tests: each command with the response recorded as its expected one
// (empty: none), a wildcard where the record had "xx"; and the card's ATR where the file holds
// it (empty otherwise).
struct Recording {
    std::vector<qv::ReqTest> exchanges;
    Bytes atr;
    std::vector<unsigned> readers; // of a trace: the readers it holds exchanges or an ATR of
};

// Throw std::invalid_argument naming the file (and, for a trace, the line). A recorded REQ
// file's lines that the base rules read otherwise than written ("FILE:LINE: what") go to
// `warnings`. From a trace, only the card answers of reader `reader` (from 1), which must be in
// it.
Recording ReadRecordedReq(const std::string& path, std::vector<std::string>& warnings);
Recording ReadTrace(const std::string& path, unsigned reader);

// The card script that replays `exchanges`; `origin` is named in its first comment.
std::string ReplayScript(const std::vector<qv::ReqTest>& exchanges, const Bytes& atr,
                         const std::string& origin);

} // namespace bed
