// setuprec's reading of the result record.
#include "tools/setuprec/record_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> Record(uint32_t code, uint32_t reboot, uint32_t length) {
  std::vector<uint8_t> r(setuprec::kRecordSize, 0);
  const uint32_t head[] = {code, reboot, length};
  for (int f = 0; f < 3; ++f)
    for (int b = 0; b < 4; ++b)
      r[f * 4 + b] = static_cast<uint8_t>(head[f] >> (8 * b));
  return r;
}

void PutEntry(std::vector<uint8_t>& r, size_t i, const char* text) {
  for (size_t u = 0; text[u]; ++u)
    r[12 + 4 + (i * 16 + u) * 2] = static_cast<uint8_t>(text[u]);
}

TEST(RecordText, DescribesHeaderAndNames) {
  struct Case {
    uint32_t code, reboot;
    const char* line;
  } cases[] = {
      {0, 0, "RESULT_SUCCESS reboot=0 payload=0"},
      {0, 1, "RESULT_SUCCESS reboot=1 payload=0"},
      {4, 0, "RESULT_INVALID_PARAMETER reboot=0 payload=0"},
      {0x104, 0, "RESULT_DELETE_FILE_FAILED reboot=0 payload=0"},
      {0x30C, 0, "RESULT_LOCATE_DEVNODE_FAILED reboot=0 payload=0"},
      {0x30E, 0, "unknown 0x30E reboot=0 payload=0"},
  };
  for (const Case& c : cases) {
    const auto r = Record(c.code, c.reboot, 0);
    bool ok = false;
    EXPECT_EQ(setuprec::Describe(r.data(), r.size(), &ok), c.line);
    EXPECT_TRUE(ok);
  }
}

TEST(RecordText, ListsVersionEntriesUpToTheCount) {
  auto r = Record(0, 0, 516);
  r[12] = 2;
  PutEntry(r, 0, "1.0.0.0");
  PutEntry(r, 1, "12.7.3.1");
  PutEntry(r, 2, "not counted");
  bool ok = false;
  EXPECT_EQ(setuprec::Describe(r.data(), r.size(), &ok),
            "RESULT_SUCCESS reboot=0 payload=516 versions=2 [0]=1.0.0.0 [1]=12.7.3.1");
  EXPECT_TRUE(ok);
}

TEST(RecordText, SixteenthEntryIsCutAtTheRecordsEnd) {
  auto r = Record(0, 0, 516);
  r[12] = 16;
  for (size_t i = 0; i < 16; ++i)
    PutEntry(r, i, "");
  // The record ends 4 bytes into the last entry's 32: 14 units fit.
  for (size_t u = 0; u < 14; ++u)
    r[12 + 4 + (15 * 16 + u) * 2] = 'a' + u;
  bool ok = false;
  const std::string line = setuprec::Describe(r.data(), r.size(), &ok);
  EXPECT_NE(line.find("[15]=abcdefghijklmn"), std::string::npos) << line;
  EXPECT_TRUE(ok);
}

TEST(RecordText, RefusesMalformedRecords) {
  const auto good = Record(0, 0, 0);
  bool ok = true;
  EXPECT_EQ(setuprec::Describe(good.data(), 12, &ok), "bad record: 12 bytes, not 524");
  EXPECT_FALSE(ok);
  std::vector<uint8_t> longer(good);
  longer.push_back(0);
  setuprec::Describe(longer.data(), longer.size(), &ok);
  EXPECT_FALSE(ok);
  const auto odd = Record(0, 0, 7);
  EXPECT_EQ(setuprec::Describe(odd.data(), odd.size(), &ok),
            "RESULT_SUCCESS reboot=0 payload=7 (bad payload length)");
  EXPECT_FALSE(ok);
}

}  // namespace
