// The catalog as written, read back: its framing, one member per file and hash
// algorithm with the right tag, subject and file name, and its attributes.
#include "tools/catalog/catalog_writer.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/package/pe_image.h"
#include "tools/catalog/catalog_reader.h"
#include "tools/catalog/file_hash.h"

namespace {

using catalog::CatalogContents;
using catalog::CatalogInput;
using catalog::CatalogMember;

constexpr char kSha1[] = "1.3.14.3.2.26";
constexpr char kSha256[] = "2.16.840.1.101.3.4.2.1";

CatalogInput Input() {
  CatalogInput input;
  input.files.push_back({"key.inf", {'a', 'b', 'c'}});
  input.files.push_back({"key.sys", test_pe::Image(0x20b, 0x400, 0x400, 0x100)});
  input.hardware_ids = {"usb\\vid_7e31&pid_5a3c", "usb\\vid_7e21&pid_0014"};
  input.this_update = 1800000000;
  return input;
}

CatalogContents Written(const CatalogInput& input, std::vector<uint8_t>* der) {
  std::string error;
  EXPECT_TRUE(catalog::WriteCatalog(input, der, &error)) << error;
  CatalogContents contents;
  EXPECT_TRUE(catalog::ReadCatalog(*der, &contents, &error)) << error;
  return contents;
}

TEST(CatalogWriter, IsAnUnsignedSignedDataHoldingACatalogList) {
  std::vector<uint8_t> der;
  CatalogContents contents = Written(Input(), &der);
  // The outer SEQUENCE with a two-byte length, then the signedData OID: the
  // framing signing tools look for.
  ASSERT_GT(der.size(), 16u);
  EXPECT_EQ(der[0], 0x30);
  EXPECT_EQ(der[1], 0x82);
  const std::vector<uint8_t> signed_data = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                                            0xf7, 0x0d, 0x01, 0x07, 0x02};
  EXPECT_EQ(std::vector<uint8_t>(der.begin() + 4, der.begin() + 15), signed_data);
  EXPECT_EQ(contents.signers, 0u);
  EXPECT_EQ(contents.subject_usage, "1.3.6.1.4.1.311.12.1.1");
  EXPECT_EQ(contents.subject_algorithm, "1.3.6.1.4.1.311.12.1.2");
}

TEST(CatalogWriter, OneMemberPerFileAndAlgorithm) {
  std::vector<uint8_t> der;
  CatalogContents contents = Written(Input(), &der);
  ASSERT_EQ(contents.members.size(), 4u);
  std::map<std::pair<std::string, std::string>, CatalogMember> by_file;
  for (const CatalogMember& m : contents.members)
    by_file[{m.file, m.algorithm}] = m;
  ASSERT_EQ(by_file.size(), 4u);

  const CatalogMember& inf = by_file[std::make_pair(std::string("key.inf"), std::string(kSha1))];
  EXPECT_EQ(inf.tag, "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(catalog::Hex(inf.digest), inf.tag);
  EXPECT_EQ(inf.data_type, "1.3.6.1.4.1.311.2.1.25");
  EXPECT_EQ(inf.subject_guid, "{DE351A42-8E59-11D0-8C47-00C04FC295EE}");
  EXPECT_EQ(by_file[std::make_pair(std::string("key.inf"), std::string(kSha256))].tag,
            "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");

  for (const char* alg : {kSha1, kSha256}) {
    SCOPED_TRACE(alg);
    const CatalogMember& sys = by_file[std::make_pair(std::string("key.sys"), std::string(alg))];
    EXPECT_EQ(sys.data_type, "1.3.6.1.4.1.311.2.1.15");
    EXPECT_EQ(sys.subject_guid, "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}");
    EXPECT_EQ(sys.os_attr, "2:6.1,2:6.2,2:6.3,2:10.0");
    EXPECT_EQ(sys.tag, catalog::Hex(sys.digest));
    const EVP_MD* md = std::string(alg) == kSha1 ? EVP_sha1() : EVP_sha256();
    EXPECT_EQ(sys.digest, catalog::HashForCatalog(Input().files[1].data, md).digest);
  }
}

TEST(CatalogWriter, CarriesTheOsAttributeAndTheHardwareIds) {
  std::vector<uint8_t> der;
  CatalogContents contents = Written(Input(), &der);
  const std::vector<std::pair<std::string, std::string>> want = {
      {"OSAttr", "2:6.1,2:6.2,2:6.3,2:10.0"},
      {"HWID1", "usb\\vid_7e31&pid_5a3c"},
      {"HWID2", "usb\\vid_7e21&pid_0014"},
  };
  EXPECT_EQ(contents.attributes, want);
}

TEST(CatalogWriter, TheSameFilesGiveTheSameCatalog) {
  std::vector<uint8_t> a, b, c;
  Written(Input(), &a);
  Written(Input(), &b);
  EXPECT_EQ(a, b);
  CatalogInput changed = Input();
  changed.files[0].data[0] = 'x';
  Written(changed, &c);
  EXPECT_NE(a, c);
}

TEST(CatalogWriter, RefusesAnEmptyPackage) {
  CatalogInput input = Input();
  input.files.clear();
  std::vector<uint8_t> der;
  std::string error;
  EXPECT_FALSE(catalog::WriteCatalog(input, &der, &error));
  EXPECT_EQ(error, "no files");
}

}  // namespace
