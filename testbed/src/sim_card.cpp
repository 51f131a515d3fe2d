// The simulated card: a TCP client of the vpcd reader driver (or of the PIN-pad reader, which
// speaks the same protocol), on vpcd's wire (bed/vpcd_wire.h).
#include "bed/sim_card.h"
#include "bed/pcscd.h"
#include "bed/vpcd_wire.h"
#include "detail.h"

#include "core/hex.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace bed {
namespace {

constexpr auto kConnectPatience = 5s;
constexpr auto kRemovalPatience = 2s;

using vpcd::kGetAtr;
using vpcd::kPowerOn;
using vpcd::kReset;
using vpcd::ReadMessage;
using vpcd::SendMessage;

// A TCP connection to vpcd at `place`, or -1 (errno set) when none can be made now.
int ConnectToVpcd(const CardPlace& place) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(place.host.c_str(), std::to_string(place.port).c_str(), &hints, &found) != 0) {
        errno = EHOSTUNREACH;
        return -1;
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
    int err = ECONNREFUSED;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        err = errno;
        close(fd);
    }
    errno = err;
    return -1;
}

// Connects once the reader shows no card from an earlier connection, trying for a while (pcscd
// may still be loading the driver); throws std::runtime_error when it cannot.
int ConnectWhenEmpty(const CardPlace& place) {
    // A card just removed from this reader may still be reported for one presence poll; a card
    // inserted before pcscd saw the reader empty would be taken for the old one. One still there
    // after that is another card: vpcd would leave this one waiting, never inserted.
    if (!place.reader.empty() && detail::CardReported(place.reader) &&
        !WaitForCard(place.reader, false, kRemovalPatience)) {
        throw ReaderOccupied("the reader '" + place.reader + "' already holds a card");
    }
    const auto deadline = std::chrono::steady_clock::now() + kConnectPatience;
    int fd = -1;
    while ((fd = ConnectToVpcd(place)) < 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("simulated card: cannot connect to vpcd at " + place.host +
                                     " port " + std::to_string(place.port) + ": " +
                                     std::strerror(errno) + " (does a pcscd with vpcd run?)");
        }
        std::this_thread::sleep_for(50ms);
    }
    return fd;
}

} // namespace

CardPlace SlotPlace(int slot) {
    if (slot < 0 || slot >= kMaxSlots)
        throw std::invalid_argument("the bed's vpcd readers are slots 0 to 63");
    return CardPlace{"127.0.0.1", kFirstVpcdPort + slot, ReaderName(slot)};
}

CardPlace SlotPlace(const PcscdOptions& options, int slot) {
    CardPlace place = SlotPlace(slot);
    if (options.pinPads.contains(slot))
        place.port = kFirstPinPadPort + slot;
    place.reader = ReaderName(options, slot);
    return place;
}

struct SimCard::Impl {
    CardPlace place;
    CardLog log;
    mutable std::mutex mutex;
    std::condition_variable wake; // interrupts a delay or a mute card when the card is removed
    CardLogic logic;
    std::vector<Bytes> received;
    std::size_t powerOns = 0;
    int fd = -1; // the connection; closed by whoever ends it, under `mutex`
    bool stop = false;
    bool pulled = false; // by the script, and not put back yet
    std::thread server;

    Impl(CardScript script, CardPlace where, CardLog logTo)
        : place(std::move(where)), log(std::move(logTo)), logic(std::move(script)) {}

    // How one connection ended.
    enum class End { Closed, Pulled };
    void Serve();
    End ServeConnection(int conn);
    // What to send for one APDU, and whether the card then leaves; nothing when it leaves
    // instead of answering or is removed meanwhile.
    std::optional<Bytes> Answer(std::span<const std::uint8_t> apdu, bool& leave);
    bool PutBack();
    void CloseConnection();
    void Log(const std::string& line) const {
        if (log)
            log(line);
    }
};

void SimCard::Impl::CloseConnection() {
    const std::lock_guard lock(mutex);
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

std::optional<Bytes> SimCard::Impl::Answer(std::span<const std::uint8_t> apdu, bool& leave) {
    Log("> " + qv::ToHex(apdu));
    std::unique_lock lock(mutex);
    received.emplace_back(apdu.begin(), apdu.end());
    Reply reply = logic.Respond(apdu);
    const auto removed = [this] { return stop; };
    if (reply.delay.count() > 0 && wake.wait_for(lock, reply.delay, removed))
        return std::nullopt;
    if (reply.mute) {
        lock.unlock();
        Log("- mute: no answer until the card is removed");
        lock.lock();
        wake.wait(lock, removed);
        return std::nullopt;
    }
    leave = reply.pull || reply.pullAfter;
    if (reply.pull)
        return std::nullopt;
    lock.unlock();
    Log("< " + qv::ToHex(reply.answer));
    return std::move(reply.answer);
}

SimCard::Impl::End SimCard::Impl::ServeConnection(int conn) {
    Bytes payload;
    for (;;) {
        if (!ReadMessage(conn, payload))
            return End::Closed;
        if (payload.size() == 1) {
            const std::uint8_t code = payload[0];
            if (code == kGetAtr) {
                Bytes atr;
                {
                    const std::lock_guard lock(mutex);
                    atr = logic.Script().atr;
                }
                if (!SendMessage(conn, atr))
                    return End::Closed;
            } else if (code == kPowerOn || code == kReset) {
                Log(code == kPowerOn ? "- power on" : "- reset");
                const std::lock_guard lock(mutex);
                ++powerOns;
            }
            continue; // power off and unknown codes are not answered
        }
        if (payload.empty())
            continue;
        bool leave = false;
        const std::optional<Bytes> answer = Answer(payload, leave);
        if (answer && !SendMessage(conn, *answer))
            return End::Closed;
        if (leave)
            return End::Pulled;
        if (!answer)
            return End::Closed;
    }
}

// After the script pulled the card: back into the reader when the script says so.
bool SimCard::Impl::PutBack() {
    std::unique_lock lock(mutex);
    pulled = true;
    const auto putBack = logic.Script().putBack;
    if (!putBack || wake.wait_for(lock, *putBack, [this] { return stop; }))
        return false;
    lock.unlock();
    int conn = -1;
    try {
        conn = ConnectWhenEmpty(place);
    } catch (const std::runtime_error& e) {
        Log(std::string("- not put back: ") + e.what());
        return false;
    }
    lock.lock();
    if (stop) {
        close(conn);
        return false;
    }
    fd = conn;
    pulled = false;
    lock.unlock();
    Log("- put back");
    return true;
}

void SimCard::Impl::Serve() {
    for (;;) {
        int conn;
        {
            const std::lock_guard lock(mutex);
            conn = fd;
        }
        const End end = ServeConnection(conn);
        CloseConnection();
        if (end == End::Closed)
            return;
        Log("- pulled");
        if (!PutBack())
            return;
    }
}

SimCard::SimCard(CardScript script, int slot) : SimCard(std::move(script), SlotPlace(slot)) {}

SimCard::SimCard(CardScript script, CardPlace place, CardLog log)
    : impl_(std::make_unique<Impl>(std::move(script), std::move(place), std::move(log))) {}

SimCard::~SimCard() {
    Remove();
}

void SimCard::Insert() {
    if (Inserted())
        return;
    Remove(); // a server that ended by itself, or waits to put the card back
    const int fd = ConnectWhenEmpty(impl_->place);
    {
        const std::lock_guard lock(impl_->mutex);
        impl_->fd = fd;
        impl_->stop = false;
        impl_->pulled = false;
    }
    impl_->server = std::thread([impl = impl_.get()] { impl->Serve(); });
}

void SimCard::Remove() {
    {
        const std::lock_guard lock(impl_->mutex);
        impl_->stop = true;
        // Wakes the server from its read; it closes the connection itself.
        if (impl_->fd >= 0)
            shutdown(impl_->fd, SHUT_RDWR);
    }
    impl_->wake.notify_all();
    if (impl_->server.joinable())
        impl_->server.join();
}

bool SimCard::Inserted() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->fd >= 0;
}

void SimCard::SetScript(CardScript script) {
    CardLogic logic(std::move(script)); // checks it
    const std::lock_guard lock(impl_->mutex);
    impl_->logic = std::move(logic);
}

bool SimCard::Pulled() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->pulled;
}

std::vector<Bytes> SimCard::ReceivedApdus() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->received;
}

std::size_t SimCard::PowerOns() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->powerOns;
}

} // namespace bed
