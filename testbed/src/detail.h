// Internal helpers shared by the bed's sources.
#pragma once

#include "bed/card.h"

#include <string>

namespace bed::detail {

// True when pcscd runs and reports a card in `reader` (false for an unknown reader).
bool CardReported(const std::string& reader);

// Throws std::invalid_argument for an answer vpcd cannot carry: an empty answer leaves the
// reader's driver waiting for ever (a silent card is what `drop` is for).
void CheckAnswer(const Rule& rule);
void CheckFallback(const Bytes& fallback);
// An answer of more than kMaxAnswerBytes, an ATR empty or longer than kMaxAtrBytes.
void CheckAnswerSize(std::size_t bytes);
void CheckAtr(const Bytes& atr);
// Both over every rule, and the ATR; throws std::invalid_argument.
void CheckScript(const CardScript& script);

} // namespace bed::detail
