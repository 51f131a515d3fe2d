// The CT-API library on the test bed: a real pcscd with the vpcd driver and simulated cards.
#include <ctapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "pcsc_connection.h"
#include "pcsc_wait_probe.h"

namespace {

using bed::Bytes;
const auto Hex = &qv::FromHex;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const Bytes kResetCt = Hex("20 10 00 00 00");
const Bytes kResetIcc = Hex("20 10 01 01 00");
const Bytes kStatusIcc = Hex("20 13 00 80 00");
const Bytes kStatusCt = Hex("20 13 00 46 00");
const Bytes kAtr = Hex("3B 02 14 50");
const Bytes kOtherAtr = Hex("3B 8A 80 01 4A 43 4F 50 33 31 56 32 33 32 7A");
constexpr std::uint8_t kGuard = 0xA5;

Bytes Request(std::uint8_t seconds) {
    return {0x20, 0x12, 0x01, 0x01, 0x03, 0x80, 0x01, seconds};
}
Bytes Eject(std::uint8_t seconds) {
    return {0x20, 0x15, 0x01, 0x00, 0x03, 0x80, 0x01, seconds};
}
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Answer {
    std::int8_t rv = 0;
    std::uint8_t sad = 0, dad = 0;
    std::uint16_t len = 0;
    Bytes bytes; // the response when rv is OK
    bool pastRoomUntouched = false;
    bool untouched = false; // nothing written at all
};

// One CT_data call with a response buffer that is larger than the room given, filled with a
// guard byte, so that writes past the room show.
Answer Data(std::uint16_t ctn, std::uint8_t dad, Bytes command, std::uint16_t room = 4096) {
    Bytes buffer(room + 64u, kGuard);
    Answer a;
    std::uint8_t destination = dad, source = HOST;
    a.len = room;
    a.rv = CT_data(ctn, &destination, &source, static_cast<std::uint16_t>(command.size()),
                   command.data(), &a.len, buffer.data());
    a.sad = source;
    a.dad = destination;
    a.pastRoomUntouched = std::all_of(buffer.begin() + room, buffer.end(),
                                      [](std::uint8_t b) { return b == kGuard; });
    a.untouched =
        std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == kGuard; });
    if (a.rv == OK)
        a.bytes.assign(buffer.begin(), buffer.begin() + std::min<std::size_t>(a.len, room));
    return a;
}

Bytes Ok(std::uint16_t ctn, std::uint8_t dad, const Bytes& command, std::uint16_t room = 4096) {
    const auto a = Data(ctn, dad, command, room);
    EXPECT_EQ(a.rv, OK) << testing::PrintToString(command);
    return a.bytes;
}

bed::CardScript Script(Bytes atr = kAtr) {
    bed::CardScript script;
    script.atr = std::move(atr);
    script.rules = {
        {"00 B0 00 00 xx", Hex("01 02 03 04 90 00")},
        {"00 A4 04 00 *", Hex("61 10")},
        {"00 B0 00 00 00 01 2C", Cat(Bytes(300, 0x5A), Hex("90 00"))},
        {"00 D6 00 00 00 *", Hex("90 00")},
        {"80 CA 00 00 xx", Cat(Bytes(20, 0x11), Hex("90 00"))},
        {"00 84 00 00 08", Hex("90 00"), 8},
        {"00 FF 00 00", {}, 0, 0ms, true},
        {"00 EE 00 00", Hex("90 00"), 0, 1500ms},
    };
    return script;
}

// A pcscd for the whole suite; each test opens terminal 0 and has a card that it inserts.
class Library : public testing::Test {
  protected:
    static void SetUpTestSuite() { pcscd_ = std::make_unique<bed::Pcscd>(); }
    static void TearDownTestSuite() { pcscd_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(bed::WaitForCard(reader_, false));
        ASSERT_EQ(CT_init(0, 0), OK);
    }
    void TearDown() override { CT_close(0); }

    void InsertCard() {
        card_.Insert();
        ASSERT_TRUE(bed::WaitForCard(reader_, true));
    }
    void Activate() {
        InsertCard();
        ASSERT_EQ(Ok(0, CT, kResetIcc, 33), Cat(kAtr, Hex("90 01")));
    }
    // A thread that moves the card once the library has begun to wait for it, not before: the
    // card is to come or go during the wait. Without the wait it gives up after a while and moves
    // the card anyway, so the waiting call still ends.
    static std::thread OnceWaiting(std::function<void()> move) {
        return std::thread([move = std::move(move), seen = pcscprobe::WaitsBegun()] {
            EXPECT_TRUE(pcscprobe::AwaitWaitBeyond(seen, 60s)) << "the library never waited";
            move();
        });
    }

    static inline std::unique_ptr<bed::Pcscd> pcscd_;
    const std::string reader_ = bed::ReaderName(0);
    bed::SimCard card_{Script()};
};

TEST_F(Library, WithoutCard) {
    EXPECT_EQ(Ok(0, CT, kResetCt, 5), Hex("90 00"));
    EXPECT_EQ(Ok(0, CT, kStatusIcc, 5), Hex("80 01 00 90 00"));
    EXPECT_EQ(Ok(0, CT, kResetIcc, 33), Hex("64 A1"));
    EXPECT_EQ(Ok(0, CT, Request(0), 50), Hex("62 00"));
    EXPECT_EQ(Ok(0, ICC1, Eject(0), 8), Hex("90 01"));
    EXPECT_EQ(Data(0, ICC1, Hex("00 B0 00 00 04")).rv, ERR_TRANS);
    EXPECT_EQ(Ok(0, CT, Hex("20 13 00 81 00")), Hex("81 01 01 90 00"));
}

TEST_F(Library, RequestIccWaitsForNoCardThatComes) {
    const auto start = Clock::now();
    EXPECT_EQ(Ok(0, CT, Request(1), 50), Hex("62 00"));
    EXPECT_GE(Clock::now() - start, 900ms);
}

TEST_F(Library, ManufacturerDataIsPrintable) {
    const auto answer = Ok(0, CT, kStatusCt, 50);
    ASSERT_EQ(answer.size(), 19u);
    EXPECT_EQ(answer[0], 0x46);
    EXPECT_EQ(answer[1], 0x0F);
    EXPECT_TRUE(std::all_of(answer.begin() + 2, answer.end() - 2,
                            [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E; }));
    EXPECT_EQ(Bytes(answer.end() - 2, answer.end()), Hex("90 00"));
    InsertCard();
    EXPECT_EQ(Ok(0, CT, kStatusCt, 50), answer); // the same with a card, not activated
    Activate();
    EXPECT_EQ(Ok(0, CT, kStatusCt, 50), answer); // and activated
}

TEST_F(Library, CardLifecycle) {
    InsertCard();
    EXPECT_EQ(Ok(0, CT, kStatusIcc, 5), Hex("80 01 03 90 00"));
    EXPECT_EQ(Data(0, ICC1, Hex("00 B0 00 00 04")).rv, ERR_TRANS); // present, not activated
    EXPECT_TRUE(card_.ReceivedApdus().empty());
    EXPECT_EQ(Ok(0, CT, kResetIcc, 33), Cat(kAtr, Hex("90 01")));
    EXPECT_EQ(Ok(0, CT, kStatusIcc, 5), Hex("80 01 05 90 00"));
    EXPECT_EQ(Ok(0, CT, Request(0), 50), Hex("62 01"));
    EXPECT_EQ(Ok(0, CT, Hex("20 11 01 00 00")), Hex("90 01"));
    EXPECT_EQ(Ok(0, CT, Hex("20 11 01 02 00")), Hex("14 50 90 01"));
    EXPECT_EQ(Ok(0, ICC1, Hex("00 B0 00 00 04")), Hex("01 02 03 04 90 00"));
    EXPECT_EQ(Ok(0, CT, kResetCt, 5), Hex("90 00"));
    EXPECT_EQ(Ok(0, CT, kStatusIcc, 5), Hex("80 01 03 90 00"));
    EXPECT_EQ(Data(0, ICC1, Hex("00 B0 00 00 04")).rv, ERR_TRANS);
    EXPECT_EQ(Ok(0, CT, Request(0), 50), Cat(kAtr, Hex("90 01")));
    EXPECT_EQ(Ok(0, ICC1, Hex("00 B0 00 00 04")), Hex("01 02 03 04 90 00"));
}

TEST_F(Library, ResetIccOfAnActiveCardResetsIt) {
    Activate();
    const auto before = card_.PowerOns();
    EXPECT_EQ(Ok(0, CT, kResetIcc, 33), Cat(kAtr, Hex("90 01")));
    EXPECT_GT(card_.PowerOns(), before);
}

// pcscd keeps a card powered for a while after the last connection to it has gone, and the card
// keeps whatever state that connection left (a file selected, a PIN verified). RESET ICC and
// REQUEST ICC on a terminal opened afresh reset it all the same: every run starts from a reset
// card.
TEST_F(Library, ActivationResetsACardLeftPowered) {
    for (const Bytes& activation : {kResetIcc, Hex("20 12 01 01 00")}) {
        SCOPED_TRACE(testing::PrintToString(activation));
        Activate();
        ASSERT_EQ(CT_close(0), OK); // leaves the card as it is
        ASSERT_EQ(CT_init(0, 0), OK);
        EXPECT_EQ(Ok(0, CT, kResetCt, 5), Hex("90 00"));
        const auto before = card_.PowerOns();
        EXPECT_EQ(Ok(0, CT, activation, 33), Cat(kAtr, Hex("90 01")));
        EXPECT_GT(card_.PowerOns(), before);
        EXPECT_EQ(Ok(0, ICC1, Hex("00 B0 00 00 04")), Hex("01 02 03 04 90 00"));
    }
}

TEST_F(Library, StorageCardIsSynchronous) {
    card_.SetScript(Script(Hex("3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A")));
    InsertCard();
    const auto answer = Ok(0, CT, Hex("20 12 01 00 03 80 01 00"), 50);
    EXPECT_EQ(answer, Hex("90 00"));
}

TEST_F(Library, RequestIccTakesACardThatComesInTime) {
    std::thread later = OnceWaiting([this] { card_.Insert(); });
    const auto answer = Data(0, CT, Request(10), 50);
    later.join();
    EXPECT_EQ(answer.rv, OK);
    EXPECT_EQ(answer.bytes, Cat(kAtr, Hex("90 01")));
}

TEST_F(Library, EjectIcc) {
    Activate();
    EXPECT_EQ(Ok(0, ICC1, Eject(0), 8), Hex("90 00")); // still there, no time to wait
    EXPECT_EQ(Ok(0, CT, kStatusIcc, 5), Hex("80 01 03 90 00"));
    EXPECT_EQ(Ok(0, CT, Eject(1), 8), Hex("62 00")); // to the terminal address as well
    std::thread pull = OnceWaiting([this] { card_.Remove(); });
    const auto answer = Data(0, ICC1, Eject(10), 8);
    pull.join();
    EXPECT_EQ(answer.rv, OK);
    EXPECT_EQ(answer.bytes, Hex("90 01"));
    EXPECT_EQ(answer.sad, CT);
    EXPECT_EQ(Ok(0, CT, kStatusIcc, 5), Hex("80 01 00 90 00"));
}

TEST_F(Library, CardApdusPassUnchanged) {
    Activate();
    const Bytes select = Hex("00 A4 04 00 07 A0 00 00 02 47 10 01");
    EXPECT_EQ(Ok(0, ICC1, select), Hex("61 10")); // no GET RESPONSE behind the tester's back
    const Bytes extendedRead = Hex("00 B0 00 00 00 01 2C");
    EXPECT_EQ(Ok(0, ICC1, extendedRead), Cat(Bytes(300, 0x5A), Hex("90 00")));
    const Bytes extendedWrite = Cat(Hex("00 D6 00 00 00 01 2C"), Bytes(300, 0x33));
    EXPECT_EQ(Ok(0, ICC1, extendedWrite), Hex("90 00"));
    const auto challenge = Ok(0, ICC1, Hex("00 84 00 00 08"));
    EXPECT_EQ(challenge.size(), 10u);
    const auto received = card_.ReceivedApdus();
    ASSERT_GE(received.size(), 4u);
    EXPECT_EQ(received[received.size() - 4], select);
    EXPECT_EQ(received[received.size() - 3], extendedRead);
    EXPECT_EQ(received[received.size() - 2], extendedWrite);
}

TEST_F(Library, AddressesOfTheReply) {
    InsertCard();
    auto a = Data(0, CT, kResetIcc, 33);
    EXPECT_EQ(a.rv, OK);
    EXPECT_EQ(a.sad, CT);
    EXPECT_EQ(a.dad, HOST);
    a = Data(0, ICC1, Hex("00 B0 00 00 04"));
    EXPECT_EQ(a.rv, OK);
    EXPECT_EQ(a.sad, ICC1);
    EXPECT_EQ(a.dad, HOST);
}

TEST_F(Library, ShortRoomIsErrMemoryAndWritesNothing) {
    InsertCard();
    auto a = Data(0, CT, kResetIcc, 5); // ATR and status word need 6
    EXPECT_EQ(a.rv, ERR_MEMORY);
    EXPECT_TRUE(a.pastRoomUntouched);
    EXPECT_TRUE(a.untouched);
    a = Data(0, ICC1, Hex("80 CA 00 00 14"), 21);
    EXPECT_EQ(a.rv, ERR_MEMORY);
    EXPECT_TRUE(a.pastRoomUntouched);
    EXPECT_EQ(Ok(0, ICC1, Hex("80 CA 00 00 14"), 22), Cat(Bytes(20, 0x11), Hex("90 00")));
    a = Data(0, CT, kStatusCt, 18);
    EXPECT_EQ(a.rv, ERR_MEMORY);
    EXPECT_TRUE(a.untouched);
}

TEST_F(Library, CardRemovedWhileActive) {
    Activate();
    card_.Remove();
    ASSERT_TRUE(bed::WaitForCard(reader_, false));
    EXPECT_EQ(Data(0, ICC1, Hex("00 B0 00 00 04")).rv, ERR_TRANS);
    EXPECT_EQ(Data(0, ICC1, Hex("00 B0 00 00 04")).rv, ERR_TRANS); // no longer activated
    EXPECT_EQ(Ok(0, CT, kStatusIcc, 5), Hex("80 01 00 90 00"));
}

TEST_F(Library, CardPulledMidApdu) {
    Activate();
    EXPECT_EQ(Data(0, ICC1, Hex("00 FF 00 00")).rv, ERR_TRANS);
    const auto lost = Data(0, ICC1, Hex("00 B0 00 00 04"));
    EXPECT_EQ(lost.rv, ERR_TRANS);
    EXPECT_EQ(lost.sad, ICC1);
    EXPECT_TRUE(lost.untouched);
    ASSERT_TRUE(bed::WaitForCard(reader_, false));
    EXPECT_EQ(Ok(0, CT, kStatusIcc, 5), Hex("80 01 00 90 00"));
    EXPECT_EQ(Ok(0, CT, kResetIcc, 33), Hex("64 A1"));
}

// A card that answers a single byte has no status word: the exchange fails and the card counts
// as lost. The APDUs after it get no answer made up by the terminal either.
TEST_F(Library, CardAnsweringOneByteIsLostForGood) {
    card_.SetScript([] {
        auto script = Script();
        script.rules.insert(script.rules.begin(), {"00 CB 00 00", Hex("6C")});
        return script;
    }());
    Activate();
    EXPECT_EQ(Data(0, ICC1, Hex("00 CB 00 00")).rv, ERR_TRANS);
    const std::size_t sent = card_.ReceivedApdus().size();
    for (const char* later : {"00 B0 00 00 04", "00 84 00 00 08", "00 A4 04 00 02 3F 00"}) {
        const auto a = Data(0, ICC1, Hex(later));
        EXPECT_EQ(a.rv, ERR_TRANS) << later;
        EXPECT_TRUE(a.untouched) << later;
    }
    EXPECT_EQ(card_.ReceivedApdus().size(), sent);
    EXPECT_EQ(Ok(0, CT, kResetIcc, 33), Cat(kAtr, Hex("90 01"))); // a reset brings it back
    EXPECT_EQ(Ok(0, ICC1, Hex("00 B0 00 00 04")), Hex("01 02 03 04 90 00"));
}

// Every form of the CT-BCS commands a client may send, and card APDUs beside them, each from
// the card state it needs. `answer` is a pattern ("xx" any byte, a trailing "*" any rest);
// an empty one means the call fails with `rv`.
enum class Before { NoCard, Present, Active };
struct Form {
    const char* name;
    Before before;
    std::uint8_t dad;
    const char* command;
    const char* answer;
    std::int8_t rv = OK;
};

const Form kForms[] = {
    // RESET CT: case 1 and case 2, INS 11 and the older INS 10.
    {"ResetCtCase1", Before::Active, CT, "20 11 00 00", "90 00"},
    {"ResetCtCase2", Before::Active, CT, "20 11 00 00 00", "90 00"},
    {"ResetCtOldCase1", Before::Active, CT, "20 10 00 00", "90 00"},
    {"ResetCtOldCase2", Before::Active, CT, "20 10 00 00 00", "90 00"},
    {"ResetCtDataWanted", Before::Active, CT, "20 11 00 01 00", "6A 00"},
    // RESET ICC.
    {"ResetIccCase1", Before::Present, CT, "20 11 01 00", "90 01"},
    {"ResetIccAtr", Before::Present, CT, "20 11 01 01 00", "3B 02 14 50 90 01"},
    {"ResetIccAtrCase1", Before::Present, CT, "20 11 01 01", "3B 02 14 50 90 01"},
    {"ResetIccHistory", Before::Active, CT, "20 10 01 02 00", "14 50 90 01"},
    {"ResetIccNoCard", Before::NoCard, CT, "20 11 01 01 00", "64 A1"},
    // REQUEST ICC: no data, a raw seconds byte, TLV lists in any order, P1 00 and 01.
    {"RequestCase1", Before::Present, CT, "20 12 01 00", "90 01"},
    {"RequestCase2", Before::Present, CT, "20 12 01 01 00", "3B 02 14 50 90 01"},
    {"RequestAnySlot", Before::Present, CT, "20 12 00 02 00", "14 50 90 01"},
    {"RequestRawSeconds", Before::Present, CT, "20 12 01 00 01 05", "90 01"},
    {"RequestRawSecondsLe", Before::Present, CT, "20 12 01 01 01 05 00", "3B 02 14 50 90 01"},
    {"RequestTime", Before::Present, CT, "20 12 01 00 03 80 01 05", "90 01"},
    {"RequestTextThenTime", Before::Present, CT, "20 12 01 00 07 50 02 48 69 80 01 05", "90 01"},
    {"RequestTimeThenText", Before::Present, CT, "20 12 00 00 07 80 01 05 50 02 48 69", "90 01"},
    {"RequestUnknownTag", Before::Present, CT, "20 12 01 00 06 99 01 00 80 01 05 00", "90 01"},
    {"RequestTextOnly", Before::Present, CT, "20 12 01 00 04 50 02 48 69", "90 01"},
    {"RequestActive", Before::Active, CT, "20 12 01 01 00", "62 01"},
    {"RequestNoCard", Before::NoCard, CT, "20 12 01 01", "62 00"},
    {"RequestNoCardRaw", Before::NoCard, CT, "20 12 00 00 01 00", "62 00"},
    {"RequestBadTlv", Before::Present, CT, "20 12 01 00 03 80 02 05", "67 00"},
    {"RequestSlot2", Before::Present, CT, "20 12 02 00", "6A 00"},
    // GET STATUS, each object as TLV, with and without Le.
    {"StatusIccNoCard", Before::NoCard, CT, "20 13 00 80", "80 01 00 90 00"},
    {"StatusIccPresent", Before::Present, CT, "20 13 00 80 00", "80 01 03 90 00"},
    {"StatusIccActive", Before::Active, CT, "20 13 00 80 00", "80 01 05 90 00"},
    {"StatusUnits", Before::NoCard, CT, "20 13 00 81", "81 01 01 90 00"},
    {"StatusUnitsLe", Before::Active, CT, "20 13 00 81 00", "81 01 01 90 00"},
    {"StatusMaker", Before::NoCard, CT, "20 13 00 46",
     "46 0F xx xx xx xx xx xx xx xx xx xx xx xx xx xx xx 90 00"},
    {"StatusMakerLe", Before::Active, CT, "20 13 00 46 00",
     "46 0F xx xx xx xx xx xx xx xx xx xx xx xx xx xx xx 90 00"},
    // EJECT ICC: any P2, with or without a time, to the terminal or to the card's address.
    {"EjectCase1", Before::Active, CT, "20 15 01 00", "90 00"},
    {"EjectCase2", Before::Active, ICC1, "20 15 01 00 00", "90 00"},
    {"EjectUnknownP2Bits", Before::Active, CT, "20 15 01 F7", "90 00"},
    {"EjectTimeZero", Before::Active, ICC1, "20 15 01 00 03 80 01 00", "90 00"},
    {"EjectRawSeconds", Before::Present, CT, "20 15 01 03 01 00", "90 00"},
    {"EjectNoCard", Before::NoCard, CT, "20 15 01 00", "90 01"},
    {"EjectNoCardTime", Before::NoCard, ICC1, "20 15 01 00 03 80 01 05", "90 01"},
    // Card APDUs to destination 0: passed through unchanged, extended length included.
    {"CardCase1", Before::Active, ICC1, "00 A4 04 00", "61 10"},
    {"CardCase2", Before::Active, ICC1, "00 B0 00 00 04", "01 02 03 04 90 00"},
    {"CardCase4", Before::Active, ICC1, "00 A4 04 00 02 3F 00 00", "61 10"},
    {"CardExtended", Before::Active, ICC1, "00 B0 00 00 00 01 2C", "5A *"},
    {"CardNotActivated", Before::Present, ICC1, "00 B0 00 00 04", "", ERR_TRANS},
    {"CardAbsent", Before::NoCard, ICC1, "00 B0 00 00 04", "", ERR_TRANS},
};

TEST_F(Library, EveryCommandForm) {
    for (const Form& form : kForms) {
        SCOPED_TRACE(form.name);
        switch (form.before) {
        case Before::NoCard:
            card_.Remove();
            ASSERT_TRUE(bed::WaitForCard(reader_, false));
            break;
        case Before::Present:
            if (!card_.Inserted())
                InsertCard();
            ASSERT_EQ(Ok(0, CT, kResetCt), Hex("90 00"));
            break;
        case Before::Active:
            if (!card_.Inserted())
                InsertCard();
            ASSERT_EQ(Ok(0, CT, kResetIcc), Cat(kAtr, Hex("90 01")));
            break;
        }
        const Bytes command = Hex(form.command);
        const std::size_t sent = card_.ReceivedApdus().size();
        const auto a = Data(0, form.dad, command);
        EXPECT_EQ(a.rv, form.rv);
        EXPECT_EQ(a.dad, HOST);
        const bool toCard = form.dad == ICC1 && command[0] != 0x20;
        EXPECT_EQ(a.sad, toCard ? ICC1 : CT);
        if (form.rv != OK) {
            EXPECT_TRUE(a.untouched);
            EXPECT_EQ(card_.ReceivedApdus().size(), sent);
            continue;
        }
        EXPECT_TRUE(bed::CommandPattern(form.answer).Matches(a.bytes))
            << testing::PrintToString(a.bytes);
        if (toCard) {
            ASSERT_EQ(card_.ReceivedApdus().size(), sent + 1);
            EXPECT_EQ(card_.ReceivedApdus().back(), command);
        } else {
            EXPECT_EQ(card_.ReceivedApdus().size(), sent); // the terminal's own
        }
    }
}

// Memory cards: the PC/SC storage-card ATR, an ATR not starting with 3B/3F (pcsc-lite reaches
// that card only with the raw protocol) and the short 3B 04 form are activated, answered 90 00,
// reset again and spoken to on the protocol they were activated with.
TEST_F(Library, MemoryCards) {
    for (const char* atr : {"3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A",
                            "A2 13 10 91", "3B 04 A2 13 10 91", "92 23 10 91 F0 0F"}) {
        SCOPED_TRACE(atr);
        card_.Remove();
        ASSERT_TRUE(bed::WaitForCard(reader_, false));
        card_.SetScript(Script(Hex(atr)));
        InsertCard();
        EXPECT_EQ(Ok(0, CT, Hex("20 12 01 01 00")), Cat(Hex(atr), Hex("90 00")));
        EXPECT_EQ(Ok(0, ICC1, Hex("00 B0 00 00 04")), Hex("01 02 03 04 90 00"));
        EXPECT_EQ(Ok(0, CT, Hex("20 11 01 00")), Hex("90 00")); // reconnected with a reset
        const auto read = Data(0, ICC1, Hex("00 B0 00 00 02"));
        EXPECT_EQ(read.rv, OK);
        EXPECT_EQ(read.sad, ICC1);
        EXPECT_EQ(read.bytes, Hex("01 02 03 04 90 00"));
        EXPECT_EQ(card_.ReceivedApdus().back(), Hex("00 B0 00 00 02"));
    }
}

// Fewer than the four header bytes are no command APDU: refused, not sent, the card still active.
TEST_F(Library, ShortCommandToTheCardIsRefused) {
    Activate();
    for (const char* shortCommand : {"00", "00 B0", "00 B0 00"})
        EXPECT_EQ(Data(0, ICC1, Hex(shortCommand)).rv, ERR_INVALID) << shortCommand;
    EXPECT_EQ(Ok(0, ICC1, Hex("00 84 00 00 08")).size(), 10u);
    EXPECT_EQ(card_.ReceivedApdus().back(), Hex("00 84 00 00 08"));
    EXPECT_EQ(card_.ReceivedApdus().size(), 1u);
}

TEST_F(Library, ArgumentChecks) {
    std::uint8_t dad = CT, sad = HOST, response[8] = {};
    Bytes command = kResetCt;
    std::uint16_t len = sizeof response;
    const auto call = [&](std::uint16_t ctn, std::uint8_t* d, std::uint8_t* s, std::uint8_t* c,
                          std::uint16_t* l, std::uint8_t* r) {
        dad = CT;
        sad = HOST;
        len = sizeof response;
        return CT_data(ctn, d, s, static_cast<std::uint16_t>(command.size()), c, l, r);
    };
    EXPECT_EQ(call(0, &dad, &sad, command.data(), &len, response), OK);
    EXPECT_EQ(call(7, &dad, &sad, command.data(), &len, response), ERR_INVALID);
    EXPECT_EQ(call(0, nullptr, &sad, command.data(), &len, response), ERR_INVALID);
    EXPECT_EQ(call(0, &dad, nullptr, command.data(), &len, response), ERR_INVALID);
    EXPECT_EQ(call(0, &dad, &sad, nullptr, &len, response), ERR_INVALID);
    EXPECT_EQ(call(0, &dad, &sad, command.data(), nullptr, response), ERR_INVALID);
    EXPECT_EQ(call(0, &dad, &sad, command.data(), &len, nullptr), ERR_INVALID);
    for (const std::uint8_t unknown :
         {std::uint8_t{ICC2}, std::uint8_t{0x0E}, std::uint8_t{0xFF}}) {
        std::uint8_t d = unknown;
        EXPECT_EQ(call(0, &d, &sad, command.data(), &len, response), ERR_INVALID);
    }
    std::uint16_t small = 1;
    EXPECT_EQ(CT_data(0, &dad, &sad, 5, command.data(), &small, response), ERR_INVALID);
    EXPECT_EQ(CT_init(0, 0), ERR_INVALID); // already open
}

// ---- terminals opened and closed, one pcscd per test ------------------------------------------

TEST(LibraryWithoutPcscd, InitIsErrCt) {
    EXPECT_EQ(CT_init(0, 0), ERR_CT);
    EXPECT_EQ(CT_close(0), ERR_INVALID);
}

class Terminals : public testing::Test {
  protected:
    // Both readers with a card inserted, both terminals open.
    static void OpenBoth(bed::SimCard& first, bed::SimCard& second) {
        first.Insert();
        second.Insert();
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
        ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(1), true));
        ASSERT_EQ(CT_init(0, 0), OK);
        ASSERT_EQ(CT_init(1, 0), OK);
    }
    std::unique_ptr<bed::Pcscd> pcscd_ = std::make_unique<bed::Pcscd>();
};

TEST_F(Terminals, InitArguments) {
    EXPECT_EQ(CT_init(0, 2), ERR_INVALID); // port numbers 0 (shared) and 1 (exclusive) only
    EXPECT_EQ(CT_init(2, 0), ERR_INVALID); // the bed has two readers
    EXPECT_EQ(CT_init(0x100, 0), ERR_INVALID);
    EXPECT_EQ(CT_close(0), ERR_INVALID); // never opened
    EXPECT_EQ(CT_init(0, 0), OK);
    EXPECT_EQ(CT_init(0, 0), ERR_INVALID);
    EXPECT_EQ(CT_close(0), OK);
    EXPECT_EQ(CT_close(0), ERR_INVALID);
    EXPECT_EQ(Data(0, CT, kResetCt, 5).rv, ERR_INVALID);
    EXPECT_EQ(CT_init(0, 0), OK); // open again after a close
    EXPECT_EQ(Ok(0, CT, kResetCt, 5), Hex("90 00"));
    EXPECT_EQ(CT_close(0), OK);
}

TEST_F(Terminals, TwoReadersAtOnce) {
    bed::SimCard first(Script(), 0), second(Script(kOtherAtr), 1);
    ASSERT_NO_FATAL_FAILURE(OpenBoth(first, second));
    EXPECT_EQ(Ok(1, CT, kResetIcc, 33), Cat(kOtherAtr, Hex("90 01")));
    EXPECT_EQ(Ok(0, CT, kStatusIcc, 5), Hex("80 01 03 90 00")); // each its own state
    EXPECT_EQ(Ok(0, CT, kResetIcc, 33), Cat(kAtr, Hex("90 01")));
    EXPECT_EQ(Ok(0, ICC1, Hex("00 B0 00 00 01")), Hex("01 02 03 04 90 00"));
    EXPECT_EQ(Ok(1, ICC1, Hex("00 B0 00 00 02")), Hex("01 02 03 04 90 00"));
    EXPECT_EQ(first.ReceivedApdus().back(), Hex("00 B0 00 00 01"));
    EXPECT_EQ(second.ReceivedApdus().back(), Hex("00 B0 00 00 02"));

    // Both terminals busy from two threads at once.
    std::atomic<int> failures{0};
    const auto hammer = [&](std::uint16_t ctn) {
        for (int i = 0; i < 50; ++i)
            if (Data(ctn, ICC1, Hex("00 B0 00 00 04")).bytes != Hex("01 02 03 04 90 00"))
                ++failures;
    };
    std::thread a(hammer, 0), b(hammer, 1);
    a.join();
    b.join();
    EXPECT_EQ(failures, 0);

    EXPECT_EQ(CT_close(0), OK);
    EXPECT_EQ(Ok(1, ICC1, Hex("00 B0 00 00 04")), Hex("01 02 03 04 90 00"));
    EXPECT_EQ(CT_close(1), OK);
}

// Two threads use two terminals while a third closes and reopens the second again and again:
// every answer is one the terminal's state allows, a call on the closed terminal is refused,
// and nothing deadlocks. `make test-tsan` runs this under ThreadSanitizer.
TEST_F(Terminals, TwoUsersAndACloser) {
    bed::SimCard first(Script(), 0), second(Script(kOtherAtr), 1);
    ASSERT_NO_FATAL_FAILURE(OpenBoth(first, second));
    ASSERT_EQ(Ok(0, CT, kResetIcc, 33), Cat(kAtr, Hex("90 01")));

    constexpr int kReopenings = 30;
    const Bytes read = Hex("00 B0 00 00 04"), content = Hex("01 02 03 04 90 00");
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0}, readsOnSecond{0};
    const auto check = [&](bool right, const char* what, const Answer& a) {
        if (!right) {
            ++wrong;
            ADD_FAILURE() << what << ": rv " << int{a.rv} << " " << testing::PrintToString(a.bytes);
        }
    };
    std::thread always([&] { // terminal 0 stays open: every answer exact
        while (!done) {
            const auto a = Data(0, ICC1, read);
            check(a.rv == OK && a.bytes == content, "terminal 0 read", a);
            const auto s = Data(0, CT, kStatusIcc, 5);
            check(s.rv == OK && s.bytes == Hex("80 01 05 90 00"), "terminal 0 status", s);
        }
    });
    std::thread reopened([&] { // terminal 1 comes and goes
        while (!done) {
            const auto r = Data(1, CT, Hex("20 12 01 01 00"), 50);
            check(r.rv == ERR_INVALID || (r.rv == OK && (r.bytes == Cat(kOtherAtr, Hex("90 01")) ||
                                                         r.bytes == Hex("62 01"))),
                  "terminal 1 request", r);
            const auto a = Data(1, ICC1, read);
            check(a.rv == ERR_INVALID || a.rv == ERR_TRANS || (a.rv == OK && a.bytes == content),
                  "terminal 1 read", a);
            readsOnSecond += a.rv == OK;
        }
    });
    for (int i = 0; i < kReopenings; ++i) {
        EXPECT_EQ(CT_close(1), OK);
        EXPECT_EQ(CT_init(1, 0), OK);
        // Let the user of terminal 1 through before the next close.
        const int before = readsOnSecond;
        while (readsOnSecond == before && wrong == 0)
            std::this_thread::yield();
    }
    done = true;
    always.join();
    reopened.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(Ok(1, ICC1, read), content);
    EXPECT_EQ(CT_close(0), OK);
    EXPECT_EQ(CT_close(1), OK);
}

// CT_close while another thread waits in REQUEST ICC (no card) or EJECT ICC (the card stays):
// the close lands at many points of the waiting call, from before it takes the terminal to
// deep inside pcsc-lite's wait, and must end the wait every time. A lost close would block for
// the whole 255 s; after a minute the test gives up, ends the wait by moving the card and fails.
TEST_F(Terminals, CloseEndsAWaitWhereverItLands) {
    constexpr int kRounds = 60;
    constexpr auto kLost = 60s;
    bed::SimCard card(Script());
    for (const bool eject : {false, true}) {
        if (eject) {
            card.Insert();
            ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
        }
        for (int round = 0; round < kRounds; ++round) {
            SCOPED_TRACE(testing::Message()
                         << (eject ? "EJECT ICC" : "REQUEST ICC") << " round " << round);
            ASSERT_EQ(CT_init(0, 0), OK);
            std::atomic<bool> calling{false};
            std::int8_t rv = OK;
            std::thread waiting([&] {
                calling = true;
                rv = Data(0, CT, eject ? Eject(255) : Request(255), 50).rv;
            });
            while (!calling)
                std::this_thread::yield();
            // Places the close at a different point of the call each round (0 to 1.2 ms in).
            const auto landing = Clock::now() + std::chrono::microseconds(round * 20);
            while (Clock::now() < landing)
                std::this_thread::yield();
            auto closing = std::async(std::launch::async, [] { return CT_close(0); });
            const bool ended = closing.wait_for(kLost) == std::future_status::ready;
            EXPECT_TRUE(ended) << "the close was lost";
            if (!ended)
                eject ? card.Remove() : card.Insert();
            EXPECT_EQ(closing.get(), OK);
            waiting.join();
            EXPECT_NE(rv, OK);
            if (!ended)
                return;
        }
    }
}

// Calls on a terminal while another thread closes it: each gets a real answer until the close,
// then ERR_INVALID (the terminal is closed), never another code. Two users, so that one call is
// still waiting for the terminal when the close begins; the close lands at a different point of
// the calls each round.
TEST_F(Terminals, CallsRacingACloseAnswerClosed) {
    constexpr int kRounds = 100, kUsers = 2;
    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        ASSERT_EQ(CT_init(0, 0), OK);
        std::atomic<int> calling{0};
        std::array<std::int8_t, kUsers> last{};
        std::atomic<int> wrongAnswers{0};
        std::vector<std::thread> users;
        for (auto& rv : last) {
            users.emplace_back([&] {
                while (true) {
                    const auto a = Data(0, CT, kStatusIcc, 5);
                    ++calling;
                    rv = a.rv;
                    if (a.rv != OK)
                        break;
                    wrongAnswers += a.bytes != Hex("80 01 00 90 00");
                }
            });
        }
        while (calling < kUsers)
            std::this_thread::yield();
        const auto landing = Clock::now() + std::chrono::microseconds(round * 20);
        while (Clock::now() < landing)
            std::this_thread::yield();
        EXPECT_EQ(CT_close(0), OK);
        for (auto& user : users)
            user.join();
        for (const std::int8_t rv : last)
            EXPECT_EQ(rv, ERR_INVALID);
        EXPECT_EQ(wrongAnswers, 0);
    }
}

// Port number 1 opens a terminal for exclusive use: from the card's activation until the
// connection is dropped (RESET CT, EJECT ICC, CT_close) no other program reaches the card. Port
// number 0 shares the card, as before. A card that another program holds exclusively is answered
// 69 85 by RESET ICC and REQUEST ICC on either kind of terminal, and is left untouched.
TEST_F(Terminals, ExclusiveUse) {
    using pcsctest::Connection;
    const std::string reader = bed::ReaderName(0);
    const Bytes read = Hex("00 B0 00 00 04"), content = Hex("01 02 03 04 90 00");
    const Bytes activated = Cat(kAtr, Hex("90 01")), inUse = Hex("69 85");
    bed::SimCard card(Script());
    card.Insert();
    ASSERT_TRUE(bed::WaitForCard(reader, true));

    // Shared: another program uses the card beside the terminal.
    ASSERT_EQ(CT_init(0, 0), OK);
    EXPECT_EQ(Ok(0, CT, kResetIcc, 33), activated);
    {
        Connection other(reader);
        EXPECT_EQ(other.Result(), SCARD_S_SUCCESS);
        EXPECT_EQ(other.Transmit(read), content);
        EXPECT_EQ(Ok(0, ICC1, read), content);
    }
    EXPECT_EQ(CT_close(0), OK);

    // Exclusive: nobody else from the activation to RESET CT, a reset in between included.
    ASSERT_EQ(CT_init(0, 1), OK);
    EXPECT_EQ(Connection(reader).Result(), SCARD_S_SUCCESS); // not activated yet
    EXPECT_EQ(Ok(0, CT, kResetIcc, 33), activated);
    for (const DWORD share : {SCARD_SHARE_SHARED, SCARD_SHARE_EXCLUSIVE, SCARD_SHARE_DIRECT})
        EXPECT_EQ(Connection(reader, share).Result(), SCARD_E_SHARING_VIOLATION) << share;
    EXPECT_EQ(Ok(0, CT, kResetIcc, 33), activated);
    EXPECT_EQ(Connection(reader).Result(), SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(Ok(0, ICC1, read), content);
    EXPECT_EQ(Ok(0, CT, kResetCt, 5), Hex("90 00"));
    EXPECT_EQ(Connection(reader).Result(), SCARD_S_SUCCESS);
    {
        // Another program merely connected keeps an exclusive terminal out.
        Connection other(reader);
        ASSERT_EQ(other.Result(), SCARD_S_SUCCESS);
        EXPECT_EQ(Ok(0, CT, kResetIcc, 33), inUse);
        EXPECT_EQ(other.Transmit(read), content);
    }
    EXPECT_EQ(CT_close(0), OK);

    // Held exclusively by another program.
    for (const std::uint16_t pn : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "port number " << pn);
        ASSERT_EQ(CT_init(0, pn), OK);
        {
            Connection holder(reader, SCARD_SHARE_EXCLUSIVE);
            ASSERT_EQ(holder.Result(), SCARD_S_SUCCESS);
            const auto powerOns = card.PowerOns();
            EXPECT_EQ(Ok(0, CT, kResetIcc, 33), inUse);
            EXPECT_EQ(Ok(0, CT, Request(0), 50), inUse);
            EXPECT_EQ(Ok(0, CT, kStatusIcc, 5), Hex("80 01 03 90 00"));
            EXPECT_EQ(Data(0, ICC1, read).rv, ERR_TRANS);
            EXPECT_EQ(card.PowerOns(), powerOns);
            EXPECT_EQ(holder.Transmit(read), content);
        }
        EXPECT_EQ(Ok(0, CT, kResetIcc, 33), activated); // free again
        EXPECT_EQ(CT_close(0), OK);
    }
}

TEST_F(Terminals, PcscdGone) {
    bed::SimCard card(Script());
    card.Insert();
    ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(0), true));
    ASSERT_EQ(CT_init(0, 0), OK);
    ASSERT_EQ(Ok(0, CT, kResetIcc, 33), Cat(kAtr, Hex("90 01")));
    pcscd_->Kill();
    EXPECT_NE(Data(0, ICC1, Hex("00 B0 00 00 04")).rv, OK);
    EXPECT_EQ(Data(0, CT, kStatusIcc, 5).rv, ERR_CT);
    EXPECT_EQ(Data(0, CT, kResetIcc, 33).rv, ERR_CT);
    EXPECT_EQ(Data(0, CT, kResetCt, 5).rv, ERR_CT);
    EXPECT_EQ(CT_close(0), OK);
    EXPECT_EQ(CT_init(0, 0), ERR_CT);
}

} // namespace
