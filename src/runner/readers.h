// The PC/SC readers: their names in list order, whether each holds a card, and the choice of
// the readers to run on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvrun {

struct Reader {
    std::uint16_t position = 0; // zero-based position in the PC/SC list: the CT-API terminal
    std::string name;
    bool hasCard = false;
};

// Every reader pcscd lists, in its order; throws SetupError when there is no PC/SC service or
// no reader.
std::vector<Reader> AttachedReaders();

// The readers to run on. `wanted` holds 1-based positions or unique parts of reader names;
// empty: the first reader that holds a card, or with `all` every reader that holds a card.
// Throws SetupError for a reader that does not exist, an ambiguous name part, a reader given
// twice, a chosen reader without a card, or no reader with a card at all.
std::vector<Reader> ChooseReaders(const std::vector<Reader>& readers,
                                  const std::vector<std::string>& wanted, bool all);

} // namespace qvrun
