// The shared PC/SC chores on the test bed: the reader list says which step failed, the context
// owner hands its context on whole, and the multi-string splitter takes what pcsc-lite gives.
#include "bed/pcscd.h"
#include "pcsc/readers.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using qv::pcsc::Context;
using qv::pcsc::ReaderList;
using Step = ReaderList::Step;

struct SplitCase {
    std::string_view list;
    std::vector<std::string> names;
};

TEST(SplitReaderNames, UpToTheEmptyNameOrTheEndOfWhatCame) {
    using namespace std::string_view_literals;
    const std::string longName(300, 'R');
    const std::string longList = longName + '\0' + '\0';
    const SplitCase cases[] = {
        {""sv, {}},
        {"\0"sv, {}},
        {"A 00 00\0\0"sv, {"A 00 00"}},
        {"A 00 00\0B 00 01\0\0"sv, {"A 00 00", "B 00 01"}},
        {"A\0\0B\0\0"sv, {"A"}}, // nothing after the empty name that ends the list
        {"A\0B"sv, {"A", "B"}},  // a list cut short: its last name without its NUL
        {longList, {longName}},  // no limit on a name's length
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(qv::pcsc::SplitReaderNames(c.list), c.names)
            << "list of " << c.list.size() << " bytes";
    }
}

class PcscOnBed : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bed::InSandbox())
            GTEST_SKIP() << "needs testbed/sandbox";
    }
};

TEST_F(PcscOnBed, EachStepThatFailsIsNamedWithItsResult) {
    // No pcscd: no context to list with.
    const ReaderList none = qv::pcsc::ListReaders();
    EXPECT_EQ(none.step, Step::EstablishContext);
    EXPECT_NE(none.result, SCARD_S_SUCCESS);
    EXPECT_TRUE(none.names.empty());
    EXPECT_FALSE(none.Listed());

    bed::PcscdOptions options;
    options.withVpcd = false;
    bed::Pcscd pcscd(options);
    const ReaderList empty = qv::pcsc::ListReaders();
    EXPECT_EQ(empty.step, Step::NoReaders);
    EXPECT_EQ(empty.result, SCARD_E_NO_READERS_AVAILABLE);
    EXPECT_FALSE(empty.Listed());

    // A context that outlived its pcscd: the listing itself fails.
    Context context;
    ASSERT_EQ(context.Establish(), SCARD_S_SUCCESS);
    pcscd.Kill();
    const ReaderList gone = qv::pcsc::ListReaders(context.Handle());
    EXPECT_EQ(gone.step, Step::ListReaders);
    EXPECT_NE(gone.result, SCARD_S_SUCCESS);
}

TEST_F(PcscOnBed, ListsTheReadersInPcscOrderThroughAMovedContext) {
    bed::Pcscd pcscd;
    Context first;
    ASSERT_EQ(first.Establish(), SCARD_S_SUCCESS);
    const SCARDCONTEXT handle = first.Handle();
    Context second(std::move(first));
    EXPECT_FALSE(first.Valid()) << "the context moved on";
    first.Release(); // must not release what `second` holds now
    {
        Context third;
        third = std::move(second);
        EXPECT_FALSE(second.Valid());
        const ReaderList list = qv::pcsc::ListReaders(third.Handle());
        EXPECT_EQ(list.step, Step::Listed);
        EXPECT_EQ(list.result, SCARD_S_SUCCESS);
        EXPECT_EQ(list.names, (std::vector<std::string>{bed::ReaderName(0), bed::ReaderName(1)}));
        EXPECT_TRUE(list.Listed());
    }
    EXPECT_EQ(SCardIsValidContext(handle), SCARD_E_INVALID_HANDLE) << "released with `third`";
}

} // namespace
