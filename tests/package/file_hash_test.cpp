// The hash a catalog lists for a file: the Authenticode image hash of a PE
// image, which signing does not change, and the flat hash of anything else.
#include "tools/catalog/file_hash.h"

#include <gtest/gtest.h>

#include "tests/package/pe_image.h"

namespace {

using catalog::FileHash;
using catalog::HashForCatalog;
using catalog::HashKind;
using catalog::Hex;
using catalog::PeHashedRanges;
using catalog::Range;

TEST(FileHash, FlatHashOfAnythingButAPeImage) {
  const std::vector<uint8_t> abc = {'a', 'b', 'c'};
  FileHash sha1 = HashForCatalog(abc, EVP_sha1());
  EXPECT_EQ(sha1.kind, HashKind::kFlat);
  EXPECT_EQ(Hex(sha1.digest), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(Hex(HashForCatalog(abc, EVP_sha256()).digest),
            "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
}

TEST(FileHash, ImageRangesLeaveOutChecksumDirectoryEntryAndCertificateTable) {
  struct Case {
    const char* name;
    std::vector<uint8_t> image;
    std::vector<std::pair<size_t, size_t>> want;
  };
  // e_lfanew 0x80: optional header at 0x98, checksum at 0xD8, the security
  // directory entry at 0x128 (PE32+) or 0x118 (PE32), headers end at 0x200.
  const Case cases[] = {
      {"unsigned PE32+",
       test_pe::Image(0x20b, 0x400, 0, 0),
       {{0, 0xD8}, {0xDC, 0x4C}, {0x130, 0x2D0}}},
      {"signed PE32+",
       test_pe::Image(0x20b, 0x400, 0x400, 0x100),
       {{0, 0xD8}, {0xDC, 0x4C}, {0x130, 0x2D0}}},
      {"unsigned PE32",
       test_pe::Image(0x10b, 0x400, 0, 0),
       {{0, 0xD8}, {0xDC, 0x3C}, {0x120, 0x2E0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Range> ranges;
    ASSERT_TRUE(PeHashedRanges(c.image, &ranges));
    ASSERT_EQ(ranges.size(), c.want.size());
    for (size_t i = 0; i < ranges.size(); ++i) {
      EXPECT_EQ(ranges[i].offset, c.want[i].first);
      EXPECT_EQ(ranges[i].length, c.want[i].second);
    }
  }
}

TEST(FileHash, SigningLeavesTheImageHashAlone) {
  std::vector<uint8_t> unsigned_image = test_pe::Image(0x20b, 0x400, 0, 0);
  std::vector<uint8_t> signed_image = test_pe::Image(0x20b, 0x400, 0x400, 0x100);
  signed_image[0xD8] = 0x5A;  // a new checksum
  FileHash a = HashForCatalog(unsigned_image, EVP_sha1());
  FileHash b = HashForCatalog(signed_image, EVP_sha1());
  EXPECT_EQ(a.kind, HashKind::kPeImage);
  EXPECT_EQ(Hex(a.digest), Hex(b.digest));
}

TEST(FileHash, EveryOtherByteChangesTheImageHash) {
  const std::vector<uint8_t> image = test_pe::Image(0x20b, 0x400, 0x400, 0x100);
  const std::string original = Hex(HashForCatalog(image, EVP_sha256()).digest);
  for (size_t at : {size_t{0x2}, size_t{0xD7}, size_t{0xDC}, size_t{0x127}, size_t{0x130},
                    size_t{0x1FF}, size_t{0x3FF}}) {
    SCOPED_TRACE(at);
    std::vector<uint8_t> changed = image;
    changed[at] ^= 1;
    EXPECT_NE(Hex(HashForCatalog(changed, EVP_sha256()).digest), original);
  }
}

TEST(FileHash, AMalformedImageIsHashedFlat) {
  struct Case {
    const char* name;
    size_t at;
    uint8_t value;
  };
  const Case cases[] = {
      {"no MZ", 0, 'X'},
      {"no PE signature", 0x80, 'Q'},
      {"unknown optional header", 0x98, 0x07},
      {"certificate table past the end", 0x12D, 0x10},  // size 0x1000
      {"too few data directories", 0x104, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> image = test_pe::Image(0x20b, 0x400, 0x400, 0x100);
    image[c.at] = c.value;
    std::vector<Range> ranges;
    EXPECT_FALSE(PeHashedRanges(image, &ranges));
    EXPECT_EQ(HashForCatalog(image, EVP_sha1()).kind, HashKind::kFlat);
  }
}

}  // namespace
