// The catalog as written, read back: its framing, its version as the OS list
// calls for, one member per file with the right tag, subject and file name,
// and its attributes.
#include "tools/catalog/catalog_writer.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/package/pe_image.h"
#include "tools/catalog/catalog_reader.h"
#include "tools/catalog/catalog_version.h"
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

// szOID_CATALOG_LIST_MEMBER / CAT_MEMBERINFO_OBJID (version 1) and
// szOID_CATALOG_LIST_MEMBER2 / CAT_MEMBERINFO2_OBJID (version 2), wintrust.h.
constexpr char kListMember[] = "1.3.6.1.4.1.311.12.1.2";
constexpr char kListMember2[] = "1.3.6.1.4.1.311.12.1.3";
constexpr char kMemberInfo[] = "1.3.6.1.4.1.311.12.2.2";
constexpr char kMemberInfo2[] = "1.3.6.1.4.1.311.12.2.3";
// CAT_NAMEVALUE flags: CRYPTCAT_ATTR_AUTHENTICATED | NAMEASCII | DATAASCII.
constexpr long kSignedTextAttribute = 0x10010001;

// The tag as catalogs store it: the digest in upper-case hex, UTF-16LE, with
// its terminating NUL.
std::vector<uint8_t> TagBytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (char c : hex) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

std::map<std::string, CatalogMember> ByFile(const CatalogContents& contents) {
  std::map<std::string, CatalogMember> by_file;
  for (const CatalogMember& m : contents.members)
    by_file[m.file] = m;
  return by_file;
}

TEST(CatalogWriter, ForWindows7AndLaterIsVersion1WithSha1MembersOnly) {
  std::vector<uint8_t> der;
  CatalogContents contents = Written(Input(), &der);
  EXPECT_EQ(contents.subject_algorithm, kListMember);
  ASSERT_EQ(contents.members.size(), 2u);
  std::map<std::string, CatalogMember> by_file = ByFile(contents);
  ASSERT_EQ(by_file.size(), 2u);

  const CatalogMember& inf = by_file["key.inf"];
  EXPECT_EQ(inf.algorithm, kSha1);
  EXPECT_EQ(inf.tag, "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(inf.tag_bytes, TagBytes(inf.tag));
  EXPECT_EQ(inf.tag_bytes.size(), 82u);
  EXPECT_EQ(catalog::Hex(inf.digest), inf.tag);
  EXPECT_EQ(inf.data_type, "1.3.6.1.4.1.311.2.1.25");
  EXPECT_EQ(inf.member_info, kMemberInfo);
  EXPECT_EQ(inf.subject_guid, "{DE351A42-8E59-11D0-8C47-00C04FC295EE}");

  const CatalogMember& sys = by_file["key.sys"];
  EXPECT_EQ(sys.algorithm, kSha1);
  EXPECT_EQ(sys.data_type, "1.3.6.1.4.1.311.2.1.15");
  EXPECT_EQ(sys.member_info, kMemberInfo);
  EXPECT_EQ(sys.subject_guid, "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}");
  EXPECT_EQ(sys.os_attr, "2:6.1,2:6.2,2:6.3,2:10.0");
  EXPECT_EQ(sys.tag, catalog::Hex(sys.digest));
  EXPECT_EQ(sys.digest, catalog::HashForCatalog(Input().files[1].data, EVP_sha1()).digest);
  for (const CatalogMember& m : contents.members) {
    EXPECT_EQ(m.file_flags, kSignedTextAttribute) << m.file;
    EXPECT_EQ(m.os_attr_flags, kSignedTextAttribute) << m.file;
  }
}

TEST(CatalogWriter, ForWindows8AndLaterIsVersion2WithSha256Members) {
  CatalogInput input = Input();
  input.os_attr = catalog::kOsAttrWindows8To11;
  std::vector<uint8_t> der;
  CatalogContents contents = Written(input, &der);
  EXPECT_EQ(contents.subject_algorithm, kListMember2);
  ASSERT_EQ(contents.members.size(), 2u);
  std::map<std::string, CatalogMember> by_file = ByFile(contents);

  const CatalogMember& inf = by_file["key.inf"];
  EXPECT_EQ(inf.algorithm, kSha256);
  EXPECT_EQ(inf.tag, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  EXPECT_EQ(inf.tag_bytes, TagBytes(inf.tag));
  EXPECT_EQ(inf.data_type, "1.3.6.1.4.1.311.2.1.25");

  const CatalogMember& sys = by_file["key.sys"];
  EXPECT_EQ(sys.algorithm, kSha256);
  EXPECT_EQ(sys.data_type, "1.3.6.1.4.1.311.2.1.15");
  EXPECT_EQ(sys.os_attr, "2:6.2,2:6.3,2:10.0");
  EXPECT_EQ(sys.digest, catalog::HashForCatalog(input.files[1].data, EVP_sha256()).digest);
  // CAT_MEMBERINFO2 in place of CAT_MEMBERINFO: no SIP GUID, the subject left
  // to the file: [2] { [0] "" } (an SpcLink's file choice, empty).
  const std::vector<uint8_t> member_info2 = {0xa2, 0x02, 0x80, 0x00};
  for (const CatalogMember& m : contents.members) {
    SCOPED_TRACE(m.file);
    EXPECT_EQ(m.member_info, kMemberInfo2);
    EXPECT_EQ(m.member_info_value, member_info2);
    EXPECT_EQ(m.subject_guid, "");
    EXPECT_EQ(m.file_flags, kSignedTextAttribute);
    EXPECT_EQ(m.os_attr_flags, kSignedTextAttribute);
  }
}

TEST(CatalogVersion, TheOsListPicksIt) {
  const struct {
    const char* os_attr;
    int version;
  } cases[] = {
      {"2:6.1,2:6.2,2:6.3,2:10.0", 1},  // Windows 7 to 11
      {"2:6.2,2:6.3,2:10.0", 2},        // Windows 8 to 11
      {"2:10.0", 2},
      {"2:6.2", 2},
      {"2:10.0,2:6.1", 1},  // order does not matter
      {"2:6.0,2:10.0", 1},  // Vista
      {"2:5.1", 1},         // XP
      {"", 0},
      {"2:6", 0},
      {"3:6.2", 0},  // not NT
      {"2:6.2,", 0},
      {"2:6.x", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(catalog::CatalogVersionFor(c.os_attr), c.version) << c.os_attr;
  }
}

TEST(CatalogWriter, RefusesAMalformedOsList) {
  CatalogInput input = Input();
  input.os_attr = "2:6.1;2:10.0";
  std::vector<uint8_t> der;
  std::string error;
  EXPECT_FALSE(catalog::WriteCatalog(input, &der, &error));
  EXPECT_EQ(error, "malformed OS attribute: 2:6.1;2:10.0");
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
  EXPECT_EQ(contents.attribute_flags, std::vector<long>(3, kSignedTextAttribute));
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
