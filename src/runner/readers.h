// The PC/SC readers of one or several PC/SC services: their names in list order, whether each
// holds a card, and the choice of the readers to run on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvrun {

struct Reader {
    std::uint16_t position = 0; // zero-based position in its service's list: the CT-API terminal
    std::string name;
    bool hasCard = false;
    // The socket of the PC/SC service that lists it; empty: the one PC/SC's client finds by
    // itself (PCSCLITE_CSOCK_NAME, else pcsc-lite's own).
    std::string service;
    // Zero-based over all the readers the run lists, service after service: the run names it
    // by place + 1 ("[2]", "reader 2", JUnit's "reader2").
    std::uint16_t place = 0;
};

// The readers to run on in some PC/SC services: -r, --readers and --all-readers, after the
// --pcsc-socket they follow, or before any.
struct ReaderChoice {
    // --pcsc-socket: one service's socket; empty: the default services (DefaultServices).
    std::string socket;
    std::vector<std::string> readers; // 1-based numbers over these services, or name parts
    bool all = false;                 // every reader of these services that holds a card
};

// The services a choice without --pcsc-socket reaches: those quorvane-bed lists in
// QUORVANE_PCSC_SOCKETS, in its order; else the one PC/SC's client finds by itself ("").
std::vector<std::string> DefaultServices();

// Every reader that `services` list, the services in their order and each one's readers in its
// own, placed from `firstPlace` on. Each service is asked from a short-lived process of its own,
// so that this process makes no PC/SC call and the readers' processes can each reach theirs.
// Throws SetupError when a service cannot be reached or lists no reader.
std::vector<Reader> AttachedReaders(const std::vector<std::string>& services,
                                    std::uint16_t firstPlace = 0);

// The readers to run on among `readers`. `wanted` holds 1-based numbers in `readers` or unique
// parts of reader names; empty: the first reader that holds a card, or with `all` every reader
// that holds a card. Throws SetupError for a reader that does not exist, an ambiguous name part,
// a reader given twice, a chosen reader without a card, or no reader with a card at all.
std::vector<Reader> ChooseReaders(const std::vector<Reader>& readers,
                                  const std::vector<std::string>& wanted, bool all);

// The readers of every choice in turn, listed over its services and placed on from the readers
// of the choices before it.
std::vector<Reader> ChooseReaders(const std::vector<ReaderChoice>& choices);

} // namespace qvrun
