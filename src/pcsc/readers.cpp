// The PC/SC chores shared by the programs, the CT-API library and the test bed.
#include "pcsc/readers.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace qv::pcsc {

// ---- Context --------------------------------------------------------------------------------

Context::~Context() {
    Release();
}

Context::Context(Context&& other) noexcept
    : handle_(other.handle_), valid_(std::exchange(other.valid_, false)) {}

Context& Context::operator=(Context&& other) noexcept {
    if (this != &other) {
        Release();
        handle_ = other.handle_;
        valid_ = std::exchange(other.valid_, false);
    }
    return *this;
}

LONG Context::Establish() {
    Release();
    const LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &handle_);
    valid_ = rv == SCARD_S_SUCCESS;
    return rv;
}

void Context::Release() {
    if (valid_)
        (void)SCardReleaseContext(handle_); // nothing is left to undo when pcscd is gone
    valid_ = false;
}

std::string ClientSocket() {
    const char* socket = std::getenv(kClientSocketVariable);
    return socket != nullptr && socket[0] != '\0' ? socket : kDefaultSocket;
}

// ---- The reader list ------------------------------------------------------------------------

ReaderList ListReaders(SCARDCONTEXT context) {
    ReaderList list;
    char* buffer = nullptr;
    DWORD size = SCARD_AUTOALLOCATE;
    list.result = SCardListReaders(context, nullptr, reinterpret_cast<LPSTR>(&buffer), &size);
    if (list.result != SCARD_S_SUCCESS) {
        list.step = list.result == SCARD_E_NO_READERS_AVAILABLE ? ReaderList::Step::NoReaders
                                                                : ReaderList::Step::ListReaders;
        return list;
    }
    const auto giveBack = [context](char* memory) { (void)SCardFreeMemory(context, memory); };
    const std::unique_ptr<char, decltype(giveBack)> owner(buffer, giveBack);
    try {
        list.names = SplitReaderNames(buffer == nullptr ? std::string_view{}
                                                        : std::string_view(buffer, size));
    } catch (const std::bad_alloc&) {
        list.step = ReaderList::Step::ListReaders;
        list.result = SCARD_E_NO_MEMORY;
        return list;
    }
    // An empty list that PC/SC calls a success keeps that result: only the step says it.
    if (list.names.empty())
        list.step = ReaderList::Step::NoReaders;
    return list;
}

ReaderList ListReaders() {
    Context context;
    if (const LONG rv = context.Establish(); rv != SCARD_S_SUCCESS)
        return {ReaderList::Step::EstablishContext, rv, {}};
    return ListReaders(context.Handle());
}

std::vector<std::string> SplitReaderNames(std::string_view list) {
    std::vector<std::string> names;
    while (!list.empty() && list.front() != '\0') {
        const std::string_view name = list.substr(0, list.find('\0'));
        names.emplace_back(name);
        list.remove_prefix(std::min(list.size(), name.size() + 1));
    }
    return names;
}

} // namespace qv::pcsc
