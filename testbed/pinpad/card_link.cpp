// The listening socket and the card's connection.
#include "pinpad/card_link.h"

#include "bed/vpcd_wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace pinpad {

namespace vpcd = bed::vpcd;

CardLink::CardLink(int port) {
    listener_ = bed::Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener_.Valid())
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    // A pcscd started again right after the last one finds the port free.
    const int on = 1;
    setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.Get(), 1) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1 port " + std::to_string(port) + ": " +
                                 std::strerror(errno));
    }
}

void CardLink::Drop() {
    card_.Close();
}

bool CardLink::Present() {
    if (card_.Valid()) {
        // A card that left closed its end: readable with nothing to read.
        pollfd p{card_.Get(), POLLIN | POLLRDHUP, 0};
        std::uint8_t byte;
        if (poll(&p, 1, 0) > 0 && ((p.revents & (POLLHUP | POLLERR | POLLRDHUP)) != 0 ||
                                   recv(card_.Get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0)) {
            Drop();
        }
    }
    if (!card_.Valid()) {
        card_ = bed::Fd(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (card_.Valid()) {
            const int on = 1;
            setsockopt(card_.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
    }
    return card_.Valid();
}

bool CardLink::Send(std::uint8_t control) {
    const std::uint8_t message[] = {control};
    if (card_.Valid() && vpcd::SendMessage(card_.Get(), message))
        return true;
    Drop();
    return false;
}

std::optional<Bytes> CardLink::PowerUp(bool reset) {
    Bytes atr;
    if (!Send(reset ? vpcd::kReset : vpcd::kPowerOn) || !Send(vpcd::kGetAtr) ||
        !vpcd::ReadMessage(card_.Get(), atr)) {
        Drop();
        return std::nullopt;
    }
    return atr;
}

void CardLink::PowerDown() {
    Send(vpcd::kPowerOff);
}

std::optional<Bytes> CardLink::Exchange(ByteView command) {
    Bytes answer;
    if (!card_.Valid() || !vpcd::SendMessage(card_.Get(), command) ||
        !vpcd::ReadMessage(card_.Get(), answer)) {
        Drop();
        return std::nullopt;
    }
    return answer;
}

} // namespace pinpad
