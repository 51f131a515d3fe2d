// The scenario run: every test of the table to the card, compared with its expected response.
#include "menu/scenario/scenario_run.h"

#include "core/exchange.h"
#include "menu/app/session.h"
#include "menu/ct/card_terminal.h"
#include "menu/scenario/req_file.h"
#include "menu/scenario/time_stamps.h"
#include "req/verdict.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctapi.h>
#include <memory>
#include <span>

namespace {

constexpr std::size_t kResponseRoom = 4096;
constexpr std::size_t kResponseBufferSize = 65536;
constexpr std::uint32_t kStateScenarioLoaded = 4;

} // namespace

int OnTransmit(int index) {
    if (index < 0 || index >= kMaxTests) {
        return 0;
    }
    // The room offered is 4096 bytes; the buffer behind it is larger, so that a library that
    // writes past the room it was given still writes into the buffer.
    const auto response = std::make_unique_for_overwrite<std::uint8_t[]>(kResponseBufferSize);

    // A refused close leaves the session in state 4 after the records were released: the
    // stamps are then skipped, since nothing reads them.
    Stamp(gpstStartTime.get());
    const qv::ExchangeResult reply =
        qv::SendCommand(TerminalNumber(), ICC1, gucSad, {gbyCommand[index], gnCommandLength[index]},
                        {response.get(), kResponseRoom});
    Stamp(gpstEndTime.get());

    const std::size_t expectedLength = gnExpectedLength[index];
    const qv::ExpectedResponse expected{{gbyExpected[index], expectedLength},
                                        {gbyWildcard[index], expectedLength}};
    const qv::Judgement judgement = qv::Judge(expected, reply);
    // The two failure lines are this program's fixed texts, kept on purpose although neither
    // names the real cause: the CT-API call failed, or the response differs.
    if (judgement.verdict == qv::Verdict::CtError) {
        std::printf("\nFailure in SCardTransmit. Error 0x%x",
                    static_cast<unsigned>(static_cast<std::int32_t>(reply.result)));
        return 0;
    }
    // The report compares bytes only: a reply from the terminal counts like the card's.
    if (judgement.differs) {
        std::printf("\nError in Opening Log File");
        return 0;
    }
    return 1;
}

void CTRunScenario() {
    if (gbKeyVal < kStateScenarioLoaded) {
        std::printf("File Not Opened");
        std::fflush(stdout);
        return;
    }
    const int tests = std::clamp(gnCommand, 0, kMaxTests);
    int passed = 0;
    for (int i = 0; i < tests; ++i) {
        passed += OnTransmit(i);
    }
    std::printf("\n\n\nTest Report");
    std::printf("\n______________");
    std::printf("\nTotal no of Tests\t:%d", tests);
    std::printf("\nNo of Tests Passed\t:%d", passed);
    std::printf("\nNo of Tests Failed\t:%d", tests - passed);
    std::printf("\n");
    std::fflush(stdout);
}
