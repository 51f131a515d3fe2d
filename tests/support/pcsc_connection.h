// A plain PC/SC client of one reader for tests: a context of its own and, when the connect
// succeeded, a card connection, both released on every return and exception. Another program beside the
// CT-API library, as pcscd sees it.
#pragma once

#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pcsctest {

using Bytes = std::vector<std::uint8_t>;

class Connection {
  public:
    explicit Connection(const std::string& reader, DWORD share = SCARD_SHARE_SHARED) {
        EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_),
                  SCARD_S_SUCCESS);
        result_ = SCardConnect(context_, reader.c_str(), share,
                               SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol_);
    }
    ~Connection() {
        if (result_ == SCARD_S_SUCCESS)
            SCardDisconnect(card_, SCARD_LEAVE_CARD);
        SCardReleaseContext(context_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    LONG Result() const { return result_; }

    // The response, or nothing when SCardTransmit failed (its result in `*rv`).
    std::optional<Bytes> Transmit(const Bytes& apdu, LONG* rv = nullptr) {
        Bytes response(260 + 2);
        DWORD length = static_cast<DWORD>(response.size());
        const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
        const LONG r = SCardTransmit(card_, pci, apdu.data(), static_cast<DWORD>(apdu.size()),
                                     nullptr, response.data(), &length);
        if (rv != nullptr)
            *rv = r;
        if (r != SCARD_S_SUCCESS)
            return std::nullopt;
        response.resize(length);
        return response;
    }

    // SCardControl's output, or nothing when it failed (its result in `*rv`).
    std::optional<Bytes> Control(DWORD code, const Bytes& in, LONG* rv = nullptr,
                                 std::size_t room = 512) {
        Bytes out(room);
        DWORD length = 0;
        const LONG r = SCardControl(card_, code, in.data(), static_cast<DWORD>(in.size()),
                                    out.data(), static_cast<DWORD>(out.size()), &length);
        if (rv != nullptr)
            *rv = r;
        if (r != SCARD_S_SUCCESS)
            return std::nullopt;
        out.resize(length);
        return out;
    }

    Bytes Atr() {
        char name[256];
        DWORD nameLength = sizeof name;
        DWORD state = 0;
        DWORD protocol = 0;
        Bytes atr(33);
        DWORD atrLength = static_cast<DWORD>(atr.size());
        EXPECT_EQ(SCardStatus(card_, name, &nameLength, &state, &protocol, atr.data(), &atrLength),
                  SCARD_S_SUCCESS);
        atr.resize(atrLength);
        return atr;
    }

  private:
    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
    LONG result_ = SCARD_E_INVALID_HANDLE;
};

} // namespace pcsctest
