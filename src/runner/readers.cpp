// The PC/SC readers.
#include "runner/readers.h"

#include "core/text.h"
#include "pcsc/readers.h"
#include "runner/pcsc_service.h"
#include "runner/setup_error.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace qvrun {
namespace {

using qv::pcsc::Context;
using qv::pcsc::ReaderList;

// Where the machine has no reader at hand, a test bed gives the run one.
constexpr const char* kWithoutReader =
    "; without a reader, run it in a test bed: quorvane-bed --card 0=FILE.card -- quorvane-run "
    "... (see quorvane-bed(1))";

// " at SOCKET" for a service other than the one PC/SC's client finds by itself.
std::string Where(const std::string& service) {
    return service.empty() || service == qv::pcsc::ClientSocket() ? "" : " at " + service;
}

// `where` is Where(service).
std::vector<std::string> ReaderNames(const Context& context, const std::string& where) {
    ReaderList list = qv::pcsc::ListReaders(context.Handle());
    if (list.step == ReaderList::Step::NoReaders)
        throw SetupError("no reader: PC/SC" + where + " lists none" + kWithoutReader);
    if (!list.Listed())
        throw SetupError("cannot list the readers" + where + ": " +
                         pcsc_stringify_error(list.result));
    return std::move(list.names);
}

bool CardPresent(const Context& context, const std::string& reader) {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    return SCardGetStatusChange(context.Handle(), 0, &state, 1) == SCARD_S_SUCCESS &&
           (state.dwEventState & SCARD_STATE_PRESENT) != 0;
}

// The reader `wanted` names: a 1-based position, or a part of exactly one reader's name.
const Reader& FindReader(const std::vector<Reader>& readers, std::string_view wanted) {
    if (const std::optional<std::size_t> position = qv::WholeNumber<std::size_t>(wanted)) {
        if (*position < 1 || *position > readers.size()) {
            throw SetupError("no reader " + std::string(wanted) + ": there are " +
                             std::to_string(readers.size()));
        }
        return readers[*position - 1];
    }
    const Reader* found = nullptr;
    for (const Reader& reader : readers) {
        if (reader.name.find(wanted) == std::string::npos)
            continue;
        if (found != nullptr) {
            throw SetupError("reader '" + std::string(wanted) + "' is ambiguous: '" + found->name +
                             "' and '" + reader.name + "'");
        }
        found = &reader;
    }
    if (found == nullptr)
        throw SetupError("no reader's name contains '" + std::string(wanted) + "'");
    return *found;
}

// In the process that asks a service: its readers in its order, each as '1' (a card in it) or
// '0' and its name. `where` is Where(service), worked out before the process switched to it.
std::vector<std::string> ListedHere(const std::string& where) {
    Context context;
    if (context.Establish() != SCARD_S_SUCCESS)
        throw SetupError("no PC/SC service" + where + " (is pcscd running?)" + kWithoutReader);
    std::vector<std::string> lines;
    for (const std::string& name : ReaderNames(context, where))
        lines.push_back((CardPresent(context, name) ? "1" : "0") + name);
    return lines;
}

} // namespace

std::vector<std::string> DefaultServices() {
    // A socket the caller set is the one service, as for every PC/SC program.
    const char* own = std::getenv(qv::pcsc::kClientSocketVariable);
    const char* listed = std::getenv(qv::pcsc::kSocketsVariable);
    std::vector<std::string> services;
    if (own == nullptr || own[0] == '\0') {
        for (const std::string_view socket : qv::SplitAt(listed != nullptr ? listed : "", ':')) {
            if (!socket.empty())
                services.emplace_back(socket);
        }
    }
    if (services.empty())
        services.emplace_back();
    return services;
}

std::vector<Reader> AttachedReaders(const std::vector<std::string>& services,
                                    std::uint16_t firstPlace) {
    std::vector<Reader> readers;
    for (const std::string& service : services) {
        std::uint16_t position = 0;
        const std::string where = Where(service);
        for (const std::string& line :
             AskService(service, [&where] { return ListedHere(where); })) {
            if (line.empty())
                continue;
            Reader reader;
            reader.position = position++;
            reader.name = line.substr(1);
            reader.hasCard = line[0] == '1';
            reader.service = service;
            reader.place = static_cast<std::uint16_t>(firstPlace + readers.size());
            readers.push_back(std::move(reader));
        }
    }
    return readers;
}

std::vector<Reader> ChooseReaders(const std::vector<Reader>& readers,
                                  const std::vector<std::string>& wanted, bool all) {
    std::vector<Reader> chosen;
    if (wanted.empty()) {
        for (const Reader& reader : readers) {
            if (reader.hasCard && (all || chosen.empty()))
                chosen.push_back(reader);
        }
        if (chosen.empty())
            throw SetupError("no card: none of the " + std::to_string(readers.size()) +
                             " readers holds one");
        return chosen;
    }
    for (const std::string& text : wanted) {
        const Reader& reader = FindReader(readers, text);
        if (std::any_of(chosen.begin(), chosen.end(),
                        [&](const Reader& r) { return r.place == reader.place; })) {
            throw SetupError("reader '" + reader.name + "' is given twice");
        }
        if (!reader.hasCard)
            throw SetupError("no card in reader '" + reader.name + "'");
        chosen.push_back(reader);
    }
    return chosen;
}

std::vector<Reader> ChooseReaders(const std::vector<ReaderChoice>& choices) {
    std::vector<Reader> chosen;
    std::size_t listed = 0;
    for (const ReaderChoice& choice : choices) {
        const std::vector<Reader> readers = AttachedReaders(
            choice.socket.empty() ? DefaultServices() : std::vector<std::string>{choice.socket},
            static_cast<std::uint16_t>(listed));
        listed += readers.size();
        for (const Reader& reader : ChooseReaders(readers, choice.readers, choice.all))
            chosen.push_back(reader);
    }
    return chosen;
}

} // namespace qvrun
