// vpcd's framing over a connected TCP socket.
#include "bed/vpcd_wire.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <span>

namespace bed::vpcd {
namespace {

// vpcd sends length and payload in separate segments: without quick ACKs every APDU waits for
// a delayed ACK (tens of milliseconds). Quick-ACK mode lapses, so it is re-armed before every
// read.
void SetQuickAck(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
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

} // namespace

bool ReadMessage(int fd, qv::Bytes& payload) {
    std::uint8_t header[2];
    if (!ReadExact(fd, header))
        return false;
    payload.resize(static_cast<std::size_t>(header[0]) << 8 | header[1]);
    return ReadExact(fd, payload);
}

bool SendMessage(int fd, qv::ByteView payload) {
    if (payload.size() > 0xFFFF)
        return false;
    qv::Bytes message;
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

} // namespace bed::vpcd
