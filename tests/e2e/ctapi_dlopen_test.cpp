// The library as CT-API clients written elsewhere use it: a C program that loads it by file
// path with dlopen and plays a reader driver's start-up sequence on the test bed, once with a
// processor card and once with a memory card that pcsc-lite reaches only with the raw protocol.
#include <gtest/gtest.h>

#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"

namespace {

struct Client {
    const char* card;
    const char* atr;
    const char* transcript; // the client's output: step, return code, source address, answer
};

const Client kClients[] = {
    {"ProcessorCard", "3B 02 14 50",
     "CT_init 0\n"
     "GET STATUS 81 0 1 81 01 01 90 00\n"
     "RESET CT 0 1 90 00\n"
     "GET STATUS 80 0 1 80 01 03 90 00\n"
     "REQUEST ICC 0 1 3B 02 14 50 90 01\n"
     "SELECT 0 0 90 00\n"
     "READ BINARY 0 0 01 02 03 04 90 00\n"
     "EJECT ICC 0 1 90 00\n"
     "CT_close 0\n"},
    {"MemoryCard", "A2 13 10 91",
     "CT_init 0\n"
     "GET STATUS 81 0 1 81 01 01 90 00\n"
     "RESET CT 0 1 90 00\n"
     "GET STATUS 80 0 1 80 01 03 90 00\n"
     "REQUEST ICC 0 1 A2 13 10 91 90 00\n"
     "SELECT 0 0 90 00\n"
     "READ BINARY 0 0 01 02 03 04 90 00\n"
     "EJECT ICC 0 1 90 00\n"
     "CT_close 0\n"},
};

TEST(LoadedByPath, StartUpSequenceOfAClientInC) {
    const bed::Pcscd pcscd;
    for (const Client& client : kClients) {
        SCOPED_TRACE(client.card);
        bed::CardScript script;
        script.atr = qv::FromHex(client.atr);
        script.rules = {{"00 A4 00 0C 02 3F 00", qv::FromHex("90 00")},
                        {"00 B0 00 00 04", qv::FromHex("01 02 03 04 90 00")}};
        bed::SimCard card(script);
        card.Insert();
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
        const auto run = bed::Run({CTAPI_DLOPEN_CLIENT, CTAPI_LIBRARY_FILE}, {});
        EXPECT_EQ(run.out, client.transcript);
        EXPECT_EQ(run.status, 0);
        ASSERT_EQ(card.ReceivedApdus().size(), 2u);
        EXPECT_EQ(card.ReceivedApdus()[1], qv::FromHex("00 B0 00 00 04"));
    }
}

} // namespace
