// A simulated card in a vpcd reader: the card's side of vpcd's TCP protocol.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bed/card.h"
#include "bed/pcscd.h"

namespace bed {

// Where a simulated card connects to vpcd.
struct CardPlace {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string reader; // the reader's PC/SC name where known: waited for to show no card
};
// vpcd reader `slot` of the bed (0 to kMaxSlots - 1): port kFirstVpcdPort + slot on 127.0.0.1,
// reader ReaderName(slot); the readers themselves are configured by Pcscd alone.
CardPlace SlotPlace(int slot);
// The reader at `slot` of a pcscd with `options`: a PIN pad's port and name where it has one.
CardPlace SlotPlace(const PcscdOptions& options, int slot);

// Insert() into a reader that PC/SC shows holding another card.
class ReaderOccupied : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One line for each exchange and event: "> command", "< answer", "- what happened".
using CardLog = std::function<void(const std::string& line)>;

// A card in a vpcd reader. Runs in a thread of its own; inserted = connected to vpcd.
// Thread-safe.
class SimCard {
  public:
    explicit SimCard(CardScript script, int slot = 0);
    SimCard(CardScript script, CardPlace place, CardLog log = {});
    ~SimCard(); // removes the card
    SimCard(const SimCard&) = delete;
    SimCard& operator=(const SimCard&) = delete;

    void Insert();         // returns once connected (the reader may see it later); throws
                           // ReaderOccupied, or std::runtime_error when vpcd is not there
    void Remove();         // closes the connection
    bool Inserted() const; // false after Remove(), a drop rule or vpcd closing
    bool Pulled() const;   // the script pulled the card, and has not put it back (yet)
    void SetScript(CardScript script);
    std::vector<Bytes> ReceivedApdus() const; // every APDU received since construction
    std::size_t PowerOns() const;             // power-on and reset control messages seen

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace bed
