#include "pcsc_slot.h"

#include <PCSC/reader.h>
#include <ctapi.h>

#include <algorithm>
#include <mutex>
#include <utility>

namespace ctapi {

std::int8_t CtCode(LONG rv) {
    switch (rv) {
    case SCARD_S_SUCCESS:
        return OK;
    case SCARD_E_NO_SERVICE:
    case SCARD_E_SERVICE_STOPPED:
    case SCARD_F_COMM_ERROR:     // the link to pcscd broke
    case SCARD_E_INVALID_HANDLE: // pcscd restarted and forgot us
    case SCARD_E_UNKNOWN_READER:
    case SCARD_E_READER_UNAVAILABLE:
    case SCARD_E_NO_READERS_AVAILABLE:
        return ERR_CT;
    case SCARD_W_REMOVED_CARD:
    case SCARD_W_RESET_CARD:
    case SCARD_W_UNPOWERED_CARD:
    case SCARD_W_UNRESPONSIVE_CARD:
    case SCARD_W_UNSUPPORTED_CARD:
    case SCARD_E_NO_SMARTCARD:
    case SCARD_E_PROTO_MISMATCH:
    case SCARD_E_NOT_TRANSACTED:
    case SCARD_E_COMM_DATA_LOST:
    case SCARD_E_CARD_UNSUPPORTED:
    case SCARD_E_SHARING_VIOLATION: // another application holds the card exclusively
    case SCARD_E_TIMEOUT:
        return ERR_TRANS;
    case SCARD_E_NO_MEMORY:
    case SCARD_E_INSUFFICIENT_BUFFER:
        return ERR_MEMORY;
    case SCARD_E_CANCELLED: // only CT_close cancels: the terminal is closed
        return ERR_INVALID;
    default:
        return ERR_HOST;
    }
}

namespace {

[[noreturn]] void Fail(LONG rv) {
    throw CtError{CtCode(rv)};
}

bool CardLevel(LONG rv) {
    return CtCode(rv) == ERR_TRANS;
}

constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

// Connects (or reconnects) asking for T=0 or T=1. pcsc-lite refuses a card whose ATR offers
// neither (a memory card with an ATR not starting 3B/3F, say) with SCARD_E_PROTO_MISMATCH;
// such a card is reached with the raw protocol. RAW is not asked for together with T=0/T=1:
// pcsc-lite then picks RAW for every card, processor cards included.
template <typename Connect> LONG WithRawFallback(Connect&& connect) {
    const LONG rv = connect(kProtocols);
    return rv == SCARD_E_PROTO_MISMATCH ? connect(DWORD{SCARD_PROTOCOL_RAW}) : rv;
}

// Serialises the calls that write pcsc-lite's process-wide table of reader states
// (SCardListReaders and a state query that does not wait) across terminals. A waiting
// SCardGetStatusChange is left out so that no terminal waits for another's REQUEST ICC.
std::mutex gReaderTableLock;

} // namespace

// ---- Context and reader list -------------------------------------------------------------------

Context EstablishContext() {
    Context context;
    if (const LONG rv = context.Establish(); rv != SCARD_S_SUCCESS)
        Fail(rv);
    return context;
}

std::vector<std::string> ReaderNames(const Context& context) {
    qv::pcsc::ReaderList list;
    {
        const std::lock_guard table(gReaderTableLock);
        list = qv::pcsc::ListReaders(context.Handle());
    }
    if (list.step == qv::pcsc::ReaderList::Step::NoReaders)
        return {};
    if (!list.Listed())
        Fail(list.result);
    return std::move(list.names);
}

// ---- CardHandle -----------------------------------------------------------------------------

CardHandle::~CardHandle() {
    if (owned_)
        (void)SCardDisconnect(handle_, SCARD_LEAVE_CARD); // the card or pcscd may be gone
}

CardHandle::CardHandle(CardHandle&& other) noexcept
    : handle_(other.handle_), protocol_(other.protocol_), owned_(other.owned_) {
    other.owned_ = false;
}

LONG CardHandle::Disconnect(DWORD disposition) {
    owned_ = false;
    return SCardDisconnect(handle_, disposition);
}

// ---- PcscSlot -------------------------------------------------------------------------------

PcscSlot::PcscSlot(Context context, std::string reader, Sharing sharing)
    : contextHandle_(context.Handle()), context_(std::move(context)), reader_(std::move(reader)),
      share_(sharing == Sharing::Exclusive ? SCARD_SHARE_EXCLUSIVE : SCARD_SHARE_SHARED),
      receive_(MAX_BUFFER_SIZE_EXTENDED) {}

void PcscSlot::Cancel() {
    closing_.store(true);
    (void)SCardCancel(contextHandle_); // only a wait in progress is affected
}

void PcscSlot::Close() {
    card_.reset();
    context_.reset();
}

void PcscSlot::Release(DWORD disposition) {
    if (!card_)
        return;
    const LONG rv = card_->Disconnect(disposition);
    card_.reset();
    // A card that has already gone is what releasing wanted anyway.
    if (rv != SCARD_S_SUCCESS && !CardLevel(rv))
        Fail(rv);
}

bool PcscSlot::CardStillConnected() {
    if (!card_)
        return false;
    DWORD readerLen = 0, state = 0, protocol = 0, atrLen = 0;
    const LONG rv =
        SCardStatus(card_->Get(), nullptr, &readerLen, &state, &protocol, nullptr, &atrLen);
    if (rv == SCARD_S_SUCCESS)
        return true;
    card_.reset();
    if (!CardLevel(rv))
        Fail(rv);
    return false;
}

CardState PcscSlot::State() {
    if (CardStillConnected())
        return CardState::Active;
    return WaitFor(true, std::chrono::seconds(0)) ? CardState::Present : CardState::Absent;
}

bool PcscSlot::WaitFor(bool present, std::chrono::seconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    DWORD wait = 0; // the first call only reads the state
    while (true) {
        // A close that came before this wait began is not seen by SCardCancel.
        if (closing_.load())
            Fail(SCARD_E_CANCELLED);
        const LONG rv = StatusChange(wait, state);
        if (rv == SCARD_E_TIMEOUT)
            return false;
        if (rv != SCARD_S_SUCCESS)
            Fail(rv);
        if (state.dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE))
            throw CtError{ERR_CT};
        if (((state.dwEventState & SCARD_STATE_PRESENT) != 0) == present)
            return true;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        wait = static_cast<DWORD>(left.count());
        state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
    }
}

LONG PcscSlot::StatusChange(DWORD wait, SCARD_READERSTATE& state) const {
    if (wait != 0)
        return SCardGetStatusChange(contextHandle_, wait, &state, 1);
    const std::lock_guard table(gReaderTableLock);
    return SCardGetStatusChange(contextHandle_, 0, &state, 1);
}

namespace {

// What a failed connect, reconnect or status query means for the activation; throws CtError when
// the terminal itself cannot be reached.
ActivateResult Unactivated(LONG rv) {
    if (rv == SCARD_E_NO_SMARTCARD || rv == SCARD_W_REMOVED_CARD)
        return ActivateResult::NoCard;
    if (rv == SCARD_E_SHARING_VIOLATION)
        return ActivateResult::InUse;
    if (!CardLevel(rv))
        Fail(rv);
    return ActivateResult::Failed;
}

} // namespace

ActivateResult PcscSlot::Activate(Bytes& atr) {
    // An activated card gets a warm reset. A card not activated by this terminal gets a cold one
    // right after the connect: pcscd may still keep it powered from an earlier connection, with
    // whatever state that left in it.
    if (card_) {
        const LONG rv = Reconnect(SCARD_RESET_CARD);
        if (rv == SCARD_S_SUCCESS)
            return ReadAtr(atr);
        card_.reset(); // a new card, perhaps: connect afresh
        if (!CardLevel(rv))
            Fail(rv);
    }
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    const LONG rv = WithRawFallback([&](DWORD protocols) {
        return SCardConnect(contextHandle_, reader_.c_str(), share_, protocols, &handle, &protocol);
    });
    if (rv != SCARD_S_SUCCESS)
        return Unactivated(rv);
    card_.emplace(handle, protocol);
    const LONG reset = Reconnect(SCARD_UNPOWER_CARD);
    if (reset != SCARD_S_SUCCESS) {
        card_.reset();
        return Unactivated(reset);
    }
    return ReadAtr(atr);
}

LONG PcscSlot::Reconnect(DWORD initialization) {
    DWORD protocol = 0;
    const LONG rv = WithRawFallback([&](DWORD protocols) {
        return SCardReconnect(card_->Get(), share_, protocols, initialization, &protocol);
    });
    if (rv == SCARD_S_SUCCESS)
        card_->SetProtocol(protocol);
    return rv;
}

ActivateResult PcscSlot::ReadAtr(Bytes& atr) {
    BYTE buffer[MAX_ATR_SIZE];
    DWORD atrLen = sizeof buffer, readerLen = 0, state = 0, protocol = 0;
    const LONG rv =
        SCardStatus(card_->Get(), nullptr, &readerLen, &state, &protocol, buffer, &atrLen);
    if (rv != SCARD_S_SUCCESS) {
        card_.reset();
        return Unactivated(rv);
    }
    atr.assign(buffer, buffer + std::min<DWORD>(atrLen, sizeof buffer));
    return ActivateResult::Ok;
}

void PcscSlot::Deactivate() {
    Release(SCARD_UNPOWER_CARD);
}

void PcscSlot::Eject() {
    Release(SCARD_EJECT_CARD);
}

namespace {

std::string TextAttribute(SCARDHANDLE card, DWORD id) {
    BYTE buffer[256];
    DWORD len = sizeof buffer;
    if (SCardGetAttrib(card, id, buffer, &len) != SCARD_S_SUCCESS)
        return {}; // the driver does not tell: use our own
    std::string text(reinterpret_cast<const char*>(buffer), std::min<DWORD>(len, sizeof buffer));
    return text.substr(0, text.find('\0'));
}

std::optional<std::uint32_t> VersionAttribute(SCARDHANDLE card) {
    BYTE buffer[8];
    DWORD len = sizeof buffer;
    if (SCardGetAttrib(card, SCARD_ATTR_VENDOR_IFD_VERSION, buffer, &len) != SCARD_S_SUCCESS ||
        len != 4)
        return std::nullopt;
    return std::uint32_t{buffer[0]} | std::uint32_t{buffer[1]} << 8 |
           std::uint32_t{buffer[2]} << 16 | std::uint32_t{buffer[3]} << 24;
}

} // namespace

template <typename Use> auto PcscSlot::WithReader(Use&& use) {
    using Result = std::optional<decltype(use(SCARDHANDLE{}))>;
    if (card_)
        return Result(use(card_->Get()));
    // Attributes and control requests need a handle; a direct connection needs no card.
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    const LONG rv =
        SCardConnect(contextHandle_, reader_.c_str(), SCARD_SHARE_DIRECT, 0, &handle, &protocol);
    if (rv != SCARD_S_SUCCESS) {
        if (CtCode(rv) == ERR_CT)
            Fail(rv);
        return Result();
    }
    const CardHandle direct(handle, protocol);
    return Result(use(handle));
}

ReaderIdentity PcscSlot::Identity() {
    return WithReader([](SCARDHANDLE handle) {
               return ReaderIdentity{TextAttribute(handle, SCARD_ATTR_VENDOR_NAME),
                                     TextAttribute(handle, SCARD_ATTR_VENDOR_IFD_TYPE),
                                     VersionAttribute(handle)};
           })
        .value_or(ReaderIdentity{}); // the driver does not tell: use our own
}

namespace {

PinPad PinPadOf(const qv::pcsc::FeatureCodes& features, const qv::pcsc::PinProperties& properties) {
    PinPad pad;
    pad.verify = features.contains(FEATURE_VERIFY_PIN_DIRECT);
    pad.modify = features.contains(FEATURE_MODIFY_PIN_DIRECT);
    pad.display = properties.lcdLayout.value_or(0) != 0;
    if (properties.minPinSize && properties.maxPinSize)
        pad.sizes = PinSizes{*properties.minPinSize, *properties.maxPinSize};
    return pad;
}

} // namespace

PinPad PcscSlot::Keypad() {
    if (features_)
        return pinPad_;
    const auto read = WithReader([](SCARDHANDLE handle) {
        auto features = qv::pcsc::ReadFeatures(handle);
        auto properties = qv::pcsc::ReadPinProperties(handle, features);
        return std::pair(std::move(features), std::move(properties));
    });
    if (!read)
        return {}; // asked again once the reader is free
    features_ = read->first;
    pinPad_ = PinPadOf(read->first, read->second);
    return pinPad_;
}

ByteView PcscSlot::EnterPin(PinEntry entry, ByteView structure) {
    const std::uint8_t feature =
        entry == PinEntry::Modify ? FEATURE_MODIFY_PIN_DIRECT : FEATURE_VERIFY_PIN_DIRECT;
    if (!card_)
        throw CtError{ERR_TRANS};
    if (!features_ || !features_->contains(feature))
        throw CtError{ERR_HOST}; // asked for a feature the reader does not list
    DWORD received = 0;
    const LONG rv = SCardControl(card_->Get(), features_->at(feature), structure.data(),
                                 static_cast<DWORD>(structure.size()), receive_.data(),
                                 static_cast<DWORD>(receive_.size()), &received);
    return Answered(rv, received);
}

ByteView PcscSlot::Transmit(ByteView apdu) {
    if (!card_)
        throw CtError{ERR_TRANS};
    const SCARD_IO_REQUEST* pci = card_->Protocol() == SCARD_PROTOCOL_T0   ? SCARD_PCI_T0
                                  : card_->Protocol() == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1
                                                                           : SCARD_PCI_RAW;
    DWORD received = static_cast<DWORD>(receive_.size());
    const LONG rv = SCardTransmit(card_->Get(), pci, apdu.data(), static_cast<DWORD>(apdu.size()),
                                  nullptr, receive_.data(), &received);
    return Answered(rv, received);
}

ByteView PcscSlot::Answered(LONG rv, DWORD received) {
    if (rv != SCARD_S_SUCCESS) {
        const auto code = CtCode(rv);
        if (code == ERR_TRANS || code == ERR_CT)
            card_.reset(); // the card has to be reset again
        throw CtError{code};
    }
    if (received < 2) {
        // No status word: the card went silent (a driver can report a lost card this way).
        card_.reset();
        throw CtError{ERR_TRANS};
    }
    return ByteView(receive_).first(std::min<std::size_t>(received, receive_.size()));
}

} // namespace ctapi
