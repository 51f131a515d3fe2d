// The simulated card: a TCP client of the vpcd reader driver. Every message is a two-byte
// big-endian length and a payload; a one-byte payload is a control code, longer ones are APDUs.
#include "bed/bed.h"
#include "detail.h"

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

enum Control : std::uint8_t { kPowerOff = 0x00, kPowerOn = 0x01, kReset = 0x02, kGetAtr = 0x04 };

// vpcd sends length and payload in separate segments: without these two options every APDU
// waits for a delayed ACK (tens of milliseconds). Quick-ACK mode lapses, so it is re-armed
// before every read.
void SetQuickAck(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

int ConnectToVpcd(int slot) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(kFirstVpcdPort + slot));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool ReadExact(int fd, std::span<std::uint8_t> into) {
    std::size_t got = 0;
    while (got < into.size()) {
        SetQuickAck(fd);
        const ssize_t n = recv(fd, into.data() + got, into.size() - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Length and payload in one write, so vpcd reads the whole answer from one segment.
bool SendMessage(int fd, std::span<const std::uint8_t> payload) {
    Bytes message;
    message.reserve(payload.size() + 2);
    message.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    message.push_back(static_cast<std::uint8_t>(payload.size()));
    message.insert(message.end(), payload.begin(), payload.end());
    std::size_t sent = 0;
    while (sent < message.size()) {
        const ssize_t n = send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

void CheckScript(const CardScript& script) {
    for (const Rule& rule : script.rules) {
        Matches(rule.pattern, {}); // throws on a bad pattern
        detail::CheckAnswer(rule);
    }
    detail::CheckFallback(script.fallback);
}

} // namespace

struct SimCard::Impl {
    int slot;
    mutable std::mutex mutex;
    std::condition_variable wake; // interrupts a delay when the card is removed
    CardLogic logic;
    std::vector<Bytes> received;
    std::size_t powerOns = 0;
    int fd = -1; // the connection; closed by whoever ends it, under `mutex`
    bool stop = false;
    std::thread server;

    explicit Impl(CardScript script) : logic(std::move(script)) {}

    void Serve();
    // What to do with one APDU: the answer, or nothing when the connection ends instead.
    std::optional<Bytes> Answer(std::span<const std::uint8_t> apdu);
    void CloseConnection();
};

void SimCard::Impl::CloseConnection() {
    const std::lock_guard lock(mutex);
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

std::optional<Bytes> SimCard::Impl::Answer(std::span<const std::uint8_t> apdu) {
    std::unique_lock lock(mutex);
    received.emplace_back(apdu.begin(), apdu.end());
    Reply reply = logic.Respond(apdu);
    if (reply.delay.count() > 0 && wake.wait_for(lock, reply.delay, [this] { return stop; })) {
        return std::nullopt;
    }
    if (reply.pull)
        return std::nullopt;
    return std::move(reply.answer);
}

void SimCard::Impl::Serve() {
    int conn;
    {
        const std::lock_guard lock(mutex);
        conn = fd;
    }
    Bytes payload;
    for (;;) {
        std::uint8_t header[2];
        if (!ReadExact(conn, header))
            break;
        payload.resize(static_cast<std::size_t>(header[0]) << 8 | header[1]);
        if (!ReadExact(conn, payload))
            break;
        if (payload.size() == 1) {
            const std::uint8_t code = payload[0];
            if (code == kGetAtr) {
                Bytes atr;
                {
                    const std::lock_guard lock(mutex);
                    atr = logic.Script().atr;
                }
                if (!SendMessage(conn, atr))
                    break;
            } else if (code == kPowerOn || code == kReset) {
                const std::lock_guard lock(mutex);
                ++powerOns;
            }
            continue; // power off and unknown codes are not answered
        }
        if (payload.empty())
            continue;
        const std::optional<Bytes> answer = Answer(payload);
        if (!answer || !SendMessage(conn, *answer))
            break;
    }
    CloseConnection();
}

SimCard::SimCard(CardScript script, int slot) {
    if (slot < 0 || slot >= kMaxReaders)
        throw std::invalid_argument("the bed's vpcd readers are slots 0 to 15");
    CheckScript(script);
    impl_ = std::make_unique<Impl>(std::move(script));
    impl_->slot = slot;
}

SimCard::~SimCard() {
    Remove();
}

void SimCard::Insert() {
    if (Inserted())
        return;
    if (impl_->server.joinable())
        impl_->server.join(); // a connection that ended by itself
    // A card just removed from this reader may still be reported for one presence poll; a card
    // inserted before pcscd saw the reader empty would be taken for the old one.
    const std::string reader = ReaderName(impl_->slot);
    if (detail::CardReported(reader))
        WaitForCard(reader, false, kRemovalPatience);
    // pcscd may still be loading the driver: keep trying for a while.
    const auto deadline = std::chrono::steady_clock::now() + kConnectPatience;
    int fd = -1;
    while ((fd = ConnectToVpcd(impl_->slot)) < 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("simulated card: cannot connect to vpcd on port " +
                                     std::to_string(kFirstVpcdPort + impl_->slot) + ": " +
                                     std::strerror(errno) + " (is the bed's pcscd running?)");
        }
        std::this_thread::sleep_for(50ms);
    }
    {
        const std::lock_guard lock(impl_->mutex);
        impl_->fd = fd;
        impl_->stop = false;
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
    CheckScript(script);
    const std::lock_guard lock(impl_->mutex);
    impl_->logic = CardLogic(std::move(script));
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
