// The input records client software builds for the key's control codes.
#include <gtest/gtest.h>

#include "client/key_records.h"
#include "driver/ioctl.h"

namespace keyclient {
namespace {

TEST(Records, LayoutsAreLittleEndianAndOrdered) {
  EXPECT_EQ((Bytes{0xC0, 0x01, 0x34, 0x12, 0x78, 0x56, 0x40, 0x00}),
            SetupPacket(0xC0, 1, 0x1234, 0x5678, 64));
  EXPECT_EQ((Bytes{0x40, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0xAA, 0xBB, 0xCC}),
            VendorWrite(0x40, 0, 2, 0, {0xAA, 0xBB, 0xCC}));
  EXPECT_EQ((Bytes{0x00, 0x01, 0x02, 0x01, 0x00, 0x00, 0x02, 0x00, 0x01, 0x05}),
            TransactHeader(true, 0x0102, {0x01, 0x05}));
  EXPECT_EQ((Bytes{0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00}), TransactHeader(false, 9, {}));
  EXPECT_EQ((Bytes{0x07, 0x01, 0x02}), TransactEx(7, {1, 2}));
}

struct HexCase {
  const char* text;
  std::optional<Bytes> bytes;
};

class HexText : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexText, Parses) {
  EXPECT_EQ(GetParam().bytes, ParseHex(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(Cases, HexText,
                         ::testing::Values(HexCase{"", Bytes{}}, HexCase{"0aFF", Bytes{0x0A, 0xFF}},
                                           HexCase{"0a ff 10", Bytes{0x0A, 0xFF, 0x10}},
                                           HexCase{"abc", std::nullopt},
                                           HexCase{"zz", std::nullopt}));

TEST(Records, HexRoundTripAndCodeNames) {
  EXPECT_EQ("00ff7a", Hex({0x00, 0xFF, 0x7A}));
  EXPECT_EQ(static_cast<uint32_t>(IOCTL_KEY_TRANSACT_RAW), ControlCode("transact-raw"));
  EXPECT_EQ(static_cast<uint32_t>(IOCTL_KEY_QUERY_INFO), ControlCode("IOCTL_KEY_QUERY_INFO"));
  EXPECT_EQ(static_cast<uint32_t>(IOCTL_KEY_PROBE), ControlCode("Probe"));
  EXPECT_EQ(0u, ControlCode("transact-raws"));
}

}  // namespace
}  // namespace keyclient
