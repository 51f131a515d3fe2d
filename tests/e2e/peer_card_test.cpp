// The library against a card peer written elsewhere: Debian's vicc, an ISO 7816 card emulator
// that speaks the same vpcd protocol as our simulated card. A fault shared by our card and our
// library (both written from the same reading of the protocol) would not show against our card
// alone. Skipped where vicc is not installed.
#include "vicc.h"

#include <ctapi.h>
#include <gtest/gtest.h>

#include "bed/card.h"
#include "bed/pcscd.h"

#include <optional>

namespace {

using bed::Bytes;
const auto Hex = &qv::FromHex;
using namespace std::chrono_literals;

// One CT_data call; the response when it answers OK, nothing otherwise.
std::optional<Bytes> Send(std::uint8_t destination, Bytes command) {
    std::uint8_t dad = destination, sad = HOST;
    Bytes response(1024);
    auto length = static_cast<std::uint16_t>(response.size());
    if (CT_data(0, &dad, &sad, static_cast<std::uint16_t>(command.size()), command.data(), &length,
                response.data()) != OK) {
        return std::nullopt;
    }
    response.resize(length);
    return response;
}

Bytes StatusWord(const Bytes& response) {
    return response.size() < 2 ? Bytes{} : Bytes(response.end() - 2, response.end());
}

TEST(PeerCard, TheLibraryWorksWithACardEmulatorWrittenElsewhere) {
    if (!bed::InSandbox()) {
        GTEST_SKIP() << "needs testbed/sandbox";
    }
    if (!vicc::Installed()) {
        GTEST_SKIP() << "vicc (vsmartcard-vpicc) or python3-pycryptodome not installed";
    }
    bed::Pcscd pcscd;
    const vicc::Card vicc(bed::kFirstVpcdPort);
    ASSERT_TRUE(vicc.Started());
    // A Python card takes a while to start.
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true, 20s));

    ASSERT_EQ(CT_init(0, 0), OK);
    EXPECT_EQ(Send(CT, Hex("20 10 00 00 00")), Hex("90 00"));
    const auto atr = Send(CT, Hex("20 10 01 01 00"));
    ASSERT_TRUE(atr.has_value());
    ASSERT_GE(atr->size(), 4u);
    EXPECT_TRUE(atr->front() == 0x3B || atr->front() == 0x3F);
    EXPECT_EQ(StatusWord(*atr), Hex("90 01")); // a processor card
    EXPECT_EQ(Send(CT, Hex("20 13 00 80 00")), Hex("80 01 05 90 00"));

    // The card's own answers pass unchanged: the master file selected, eight random bytes.
    const auto selected = Send(ICC1, Hex("00 A4 00 0C 02 3F 00"));
    ASSERT_TRUE(selected.has_value());
    EXPECT_EQ(StatusWord(*selected), Hex("90 00"));
    const auto challenge = Send(ICC1, Hex("00 84 00 00 08"));
    ASSERT_TRUE(challenge.has_value());
    EXPECT_EQ(challenge->size(), 10u);
    EXPECT_EQ(StatusWord(*challenge), Hex("90 00"));
    EXPECT_NE(Send(ICC1, Hex("00 84 00 00 08")), challenge);
    EXPECT_EQ(CT_close(0), OK);
}

} // namespace
