// The PC/SC readers.
#include "runner/readers.h"

#include "core/text.h"
#include "pcsc/readers.h"
#include "runner/setup_error.h"

#include <algorithm>
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

std::vector<std::string> ReaderNames(const Context& context) {
    ReaderList list = qv::pcsc::ListReaders(context.Handle());
    if (list.step == ReaderList::Step::NoReaders)
        throw SetupError(std::string("no reader: PC/SC lists none") + kWithoutReader);
    if (!list.Listed())
        throw SetupError(std::string("cannot list the readers: ") +
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

} // namespace

std::vector<Reader> AttachedReaders() {
    Context context;
    if (context.Establish() != SCARD_S_SUCCESS)
        throw SetupError(std::string("no PC/SC service (is pcscd running?)") + kWithoutReader);
    std::vector<Reader> readers;
    for (std::string& name : ReaderNames(context)) {
        Reader reader;
        reader.position = static_cast<std::uint16_t>(readers.size());
        reader.hasCard = CardPresent(context, name);
        reader.name = std::move(name);
        readers.push_back(std::move(reader));
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
                        [&](const Reader& r) { return r.position == reader.position; })) {
            throw SetupError("reader '" + reader.name + "' is given twice");
        }
        if (!reader.hasCard)
            throw SetupError("no card in reader '" + reader.name + "'");
        chosen.push_back(reader);
    }
    return chosen;
}

} // namespace qvrun
