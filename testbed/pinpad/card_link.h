// The PIN-pad reader's side of vpcd's wire: it listens on a TCP port of the loopback address
// and the card that connects there is the card in the reader, until it closes the connection.
#pragma once

#include <optional>

#include "bed/fd.h"
#include "pinpad/pin_pad.h"

namespace pinpad {

// Not thread-safe: the driver holds one a reader, under the reader's lock.
class CardLink final : public CardPort {
  public:
    explicit CardLink(int port); // throws std::runtime_error when it cannot listen there

    // A card that connected is taken in; one that closed its connection is gone.
    bool Present() override;
    std::optional<Bytes> Exchange(ByteView command) override;
    // Power on (or a warm reset) and the card's ATR; nothing without a card.
    std::optional<Bytes> PowerUp(bool reset);
    void PowerDown();

  private:
    bool Send(std::uint8_t control);
    void Drop();

    bed::Fd listener_;
    bed::Fd card_;
};

} // namespace pinpad
