// The hidden main-menu choice 11: asks a reader's driver for its feature list over a direct
// connection (no card needed) and prints the answer as raw bytes.
#include "menu/ct/feature_query.h"

#include "menu/app/user_entry.h"
#include "core/hex.h"
#include "menu/ct/card_terminal.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <reader.h>
#include <span>
#include <string>
#include <vector>
#include <winscard.h>

namespace {

constexpr std::size_t kReceiveRoom = 256;

void PrintFeatures(std::span<const BYTE> features) {
    std::printf("returned %zu length of data is \n", features.size());
    std::printf("%s\n", qv::ToHex(features, qv::kHexBracketed).c_str());
}

} // namespace

void KeyHandler() {
    const FlushOnReturn flush;
    std::array<BYTE, kReceiveRoom> received{};
    DWORD returned = 0;

    CommandContext context;
    if (!context.Establish()) {
        return;
    }
    // A list that cannot be had ends the query, also when PC/SC answers that there are no
    // readers: the list then failed, as it does for choice 1.
    std::vector<std::string> names;
    if (ReadReaderList(names) != 0) {
        return;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::printf("  %zu. %s\n", i + 1, names[i].c_str());
    }
    if (names.empty()) {
        std::printf("  No readers found\n");
        return;
    }

    const int choice = SelectReader(names.size());
    const std::string& name = names[static_cast<std::size_t>(choice - 1)];
    std::printf("ret is =%d=,=%s=\n", choice, name.c_str());
    std::fflush(stdout);

    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    const LONG connected = SCardConnect(ContextHandle, name.c_str(), SCARD_SHARE_DIRECT,
                                        SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    if (connected != SCARD_S_SUCCESS) {
        std::printf("SCardConnect Failure (%s)\n", pcsc_stringify_error(connected));
        return;
    }
    // Releasing the context below also ends this connection.
    std::printf(" ioctl is %x \n", static_cast<unsigned>(CM_IOCTL_GET_FEATURE_REQUEST));
    const LONG controlled = SCardControl(card, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0,
                                         received.data(), received.size(), &returned);
    // A driver that refuses the request has sent nothing worth showing; a length beyond the
    // buffer is not believed.
    const std::size_t length =
        controlled == SCARD_S_SUCCESS ? std::min<std::size_t>(returned, received.size()) : 0;
    PrintFeatures(std::span<const BYTE>(received.data(), length));
}
