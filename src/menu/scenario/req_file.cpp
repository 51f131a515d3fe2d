// The test table and its loader: REQ files read by the scenario core, stored in the static table.
#include "menu/scenario/req_file.h"

#include "req/req_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

std::int32_t gnCommand = 0;
char gchApduName[kMaxTests][kNameSize];
std::uint8_t gbyCommand[kMaxTests][kApduSize];
std::uint32_t gnCommandLength[kMaxTests];
std::uint8_t gbyExpected[kMaxTests][kApduSize];
std::uint8_t gbyWildcard[kMaxTests][kApduSize];
std::uint32_t gnExpectedLength[kMaxTests];

namespace {

constexpr std::size_t kNameMax = kNameSize - 1;

// How far the last load wrote into each test's areas. The table is static (zero at start) and
// only the loader writes it, so clearing these ranges leaves it exactly as a full clear would,
// without touching the pages of areas that were never written.
struct HighWater {
    std::array<std::size_t, kMaxTests> name{};
    std::array<std::size_t, kMaxTests> command{};
    std::array<std::size_t, kMaxTests> expected{};
};
HighWater gstHighWater;

void Raise(std::size_t& mark, std::size_t reached) {
    mark = std::max(mark, reached);
}

// An empty clear must not reach memset: even a memset of no bytes costs about a page walk when
// the page was never touched, and a load clears 2000 areas.
void ClearPrefix(void* area, std::size_t size) {
    if (size != 0) {
        std::memset(area, 0, size);
    }
}

void CopyInto(std::uint8_t* area, std::span<const std::uint8_t> bytes) {
    if (!bytes.empty()) {
        std::memcpy(area, bytes.data(), bytes.size());
    }
}

void StoreName(int index, std::string_view name) {
    name = name.substr(0, kNameMax);
    char* slot = gchApduName[index];
    std::memcpy(slot, name.data(), name.size());
    // Zero the rest of an earlier, longer name so that the slot reads as just this name.
    const std::size_t written = std::max(gstHighWater.name[index], name.size() + 1);
    std::memset(slot + name.size(), 0, written - name.size());
    gstHighWater.name[index] = written;
}

void StoreTest(int index, const qv::ReqTest& test) {
    StoreName(index, test.name);
    CopyInto(gbyCommand[index], test.command);
    gnCommandLength[index] = static_cast<std::uint32_t>(test.command.size());
    Raise(gstHighWater.command[index], test.command.size());
    CopyInto(gbyExpected[index], test.expected);
    CopyInto(gbyWildcard[index], test.wildcard);
    gnExpectedLength[index] = static_cast<std::uint32_t>(test.expected.size());
    Raise(gstHighWater.expected[index], test.expected.size());
}

bool FitsTheTable(const qv::ReqTest& test) {
    return test.command.size() <= kApduSize && test.expected.size() <= kApduSize;
}

// A test that does not fit the table: printed by its number and name after the count line.
struct DroppedTest {
    std::size_t number;
    std::string name;
    const char* what;
};

// Fills the table test by test. A test whose command or expected response is larger than its
// area is dropped whole (a test cut short would send the wrong command or accept any answer);
// tests beyond the table's room are counted, so that their number can be printed.
class TableSink : public qv::ReqSink {
  public:
    void Test(const qv::ReqTest& test) override {
        ++seen_;
        if (!FitsTheTable(test)) {
            dropped_.push_back({test.number, std::string(test.Title().substr(0, kNameMax)),
                                test.command.size() > kApduSize ? "command" : "expected response"});
            return;
        }
        if (gnCommand >= kMaxTests) {
            ++beyond_;
            return;
        }
        StoreTest(gnCommand, test);
        ++gnCommand;
    }

    // What the file began for a test it never completed stays in the next row, not counted.
    void Unfinished(const qv::ReqTest& test) override {
        if (gnCommand < kMaxTests && FitsTheTable(test)) {
            StoreTest(gnCommand, test);
        }
    }

    void PrintDropped() const {
        for (const DroppedTest& d : dropped_) {
            if (d.name.empty()) {
                std::printf("Test %zu not loaded: its %s is longer than %zu bytes.\n", d.number,
                            d.what, kApduSize);
            } else {
                std::printf("Test %zu (%s) not loaded: its %s is longer than %zu bytes.\n",
                            d.number, d.name.c_str(), d.what, kApduSize);
            }
        }
        if (beyond_ > 0) {
            std::printf("Only the first %d of the file's %zu tests were loaded.\n", kMaxTests,
                        seen_);
        }
    }

  private:
    std::vector<DroppedTest> dropped_;
    std::size_t seen_ = 0;
    std::size_t beyond_ = 0;
};

} // namespace

void iResetValues() {
    for (int i = 0; i < kMaxTests; ++i) {
        ClearPrefix(gchApduName[i], gstHighWater.name[i]);
        ClearPrefix(gbyCommand[i], gstHighWater.command[i]);
        ClearPrefix(gbyExpected[i], gstHighWater.expected[i]);
        ClearPrefix(gbyWildcard[i], gstHighWater.expected[i]);
    }
    gstHighWater = {};
    std::memset(gnCommandLength, 0, sizeof gnCommandLength);
    std::memset(gnExpectedLength, 0, sizeof gnExpectedLength);
}

void ReturnHex(std::string_view text, std::span<std::uint8_t> out, std::uint32_t* pnCount) {
    *pnCount = static_cast<std::uint32_t>(qv::ParseHex(text, out));
}

void CTReadReqFile(std::FILE* stream) {
    gnCommand = 0;
    iResetValues();
    TableSink sink;
    qv::ReadReqStream(stream, sink);
    std::printf(" (with %d APDUs)\n", gnCommand);
    sink.PrintDropped();
    std::fflush(stdout);
    std::fclose(stream);
}
