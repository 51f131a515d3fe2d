// The scenario run: every test of the table to the card, compared with its expected response.
#include "scenario/scenario_run.h"

#include "app/session.h"
#include "ct/card_terminal.h"
#include "scenario/open_req.h"
#include "scenario/req_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctapi.h>
#include <memory>
#include <span>
#include <time.h>

namespace {

constexpr std::uint16_t kResponseRoom = 4096;
constexpr std::size_t kResponseBufferSize = 65536;
constexpr std::uint32_t kStateScenarioLoaded = 4;
constexpr std::uint8_t kCardAddress = 0;

// A refused close leaves the session in state 4 after the records were released (and nulled):
// the stamps are then skipped, since nothing reads them.
void Stamp(TimeStamp* record) {
    if (record == nullptr) {
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    record->time = now.tv_sec;
    record->millitm = static_cast<unsigned short>(now.tv_nsec / 1000000);
}

// An expected byte of the wildcard value matches any received byte.
bool Matches(std::span<const std::uint8_t> expected, std::span<const std::uint8_t> received) {
    return std::equal(expected.begin(), expected.end(), received.begin(),
                      [](std::uint8_t e, std::uint8_t r) { return e == r || e == kWildcard; });
}

} // namespace

int OnTransmit(int index) {
    if (index < 0 || index >= kMaxTests) {
        return 0;
    }
    std::uint8_t dad = kCardAddress;
    std::uint8_t sad = gucSad;
    std::uint16_t lenr = kResponseRoom;
    const auto response = std::make_unique_for_overwrite<std::uint8_t[]>(kResponseBufferSize);

    Stamp(gpstStartTime);
    const std::int8_t result = CT_data(static_cast<std::uint8_t>(gnCtn), &dad, &sad,
                                       static_cast<std::uint16_t>(gnCommandLength[index]),
                                       gbyCommand[index], &lenr, response.get());
    Stamp(gpstEndTime);

    if (result != OK) {
        std::printf("\nFailure in SCardTransmit. Error 0x%x",
                    static_cast<unsigned>(static_cast<std::int32_t>(result)));
        return 0;
    }
    const std::uint32_t expectedLength = gnExpectedLength[index];
    if (lenr == expectedLength &&
        Matches({gbyExpected[index], expectedLength}, {response.get(), lenr})) {
        return 1;
    }
    if (lenr != expectedLength && expectedLength == 0) {
        return 1;
    }
    std::printf("\nError in Opening Log File");
    return 0;
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
