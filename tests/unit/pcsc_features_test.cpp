// A reader's PIN entry features as the programs and the library read them from the driver's
// answers: the feature list, the PIN properties structure and the TLV properties, whole, cut
// short and with entries they do not know.
#include <gtest/gtest.h>

#include <PCSC/reader.h>

#include "pcsc/features.h"

namespace {

using Bytes = std::vector<BYTE>;

TEST(ReaderFeatures, FeatureList) {
    struct Case {
        Bytes list;
        qv::pcsc::FeatureCodes codes;
    };
    for (const auto& c : {
             Case{{0x06, 0x04, 0x42, 0x33, 0x00, 0x06, 0x07, 0x04, 0x42, 0x33, 0x00, 0x07, 0x12,
                   0x04, 0x42, 0x33, 0x00, 0x12},
                  {{0x06, 0x42330006}, {0x07, 0x42330007}, {0x12, 0x42330012}}},
             // An entry of another length is skipped; one cut short ends the list.
             Case{{0x0A, 0x02, 0x00, 0x01, 0x06, 0x04, 0x42, 0x00, 0x0D, 0xAC, 0x07, 0x04, 0x42},
                  {{0x06, 0x42000DAC}}},
             Case{{0x06}, {}},
             Case{{}, {}},
         }) {
        EXPECT_EQ(qv::pcsc::ParseFeatureList(c.list), c.codes) << testing::PrintToString(c.list);
    }
}

TEST(ReaderFeatures, Names) {
    EXPECT_EQ(qv::pcsc::FeatureName(FEATURE_VERIFY_PIN_DIRECT), "VERIFY_PIN_DIRECT");
    EXPECT_EQ(qv::pcsc::FeatureName(FEATURE_GET_TLV_PROPERTIES), "GET_TLV_PROPERTIES");
    EXPECT_EQ(qv::pcsc::FeatureName(0x7E), "7E");
}

TEST(ReaderFeatures, PinProperties) {
    qv::pcsc::PinProperties fromStructure;
    qv::pcsc::ReadPinPropertiesStructure(Bytes{0x10, 0x02, 0x07, 0x05}, fromStructure);
    EXPECT_EQ(fromStructure.lcdLayout, 0x0210); // two lines of sixteen characters
    EXPECT_EQ(fromStructure.entryValidation, 0x07);
    EXPECT_EQ(fromStructure.timeOut2, 0x05);

    qv::pcsc::PinProperties cut;
    qv::pcsc::ReadPinPropertiesStructure(Bytes{0x10, 0x02, 0x07}, cut);
    EXPECT_FALSE(cut.lcdLayout);

    // Tags 01 layout (2 bytes), 06/07 PIN sizes, 08 firmware, 0A the largest APDU data (4
    // bytes), 42 unknown; the last entry is cut short.
    qv::pcsc::PinProperties tlv;
    qv::pcsc::ReadTlvProperties(Bytes{0x01, 0x02, 0x00, 0x00, 0x06, 0x01, 0x04, 0x07, 0x01,
                                      0x08, 0x42, 0x01, 0xFF, 0x08, 0x02, 'v',  '1',  0x0A,
                                      0x04, 0x00, 0x01, 0x00, 0x00, 0x03, 0x05, 0x00},
                                tlv);
    EXPECT_EQ(tlv.lcdLayout, 0x0000);
    EXPECT_EQ(tlv.minPinSize, 4);
    EXPECT_EQ(tlv.maxPinSize, 8);
    EXPECT_EQ(tlv.firmwareId, "v1");
    EXPECT_EQ(tlv.maxApduDataSize, 0x100u);
    EXPECT_FALSE(tlv.timeOut2);
}

} // namespace
