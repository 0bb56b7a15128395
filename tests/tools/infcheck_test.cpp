// The INF checker: one broken INF per rule (tests/tools/inf/), each rejected
// naming its rule and no other; spellings Windows' reader accepts pass.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tools/infcheck/inf_rules.h"

namespace infcheck {
namespace {

std::string Read(const std::string& name) {
  std::ifstream in(std::string(TARVIK_INF_TEST_DIR) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Describe(const std::vector<Finding>& findings) {
  std::string text;
  for (const auto& f : findings)
    text += std::to_string(f.line) + ": " + f.rule + ": " + f.message + "\n";
  return text;
}

TEST(InfCheck, TheSmallGoodInfPasses) {
  const std::string text = Read("good.inf");
  ASSERT_FALSE(text.empty());
  const auto findings = Check(InfFile::Parse(text));
  EXPECT_TRUE(findings.empty()) << Describe(findings);
}

struct BrokenCase {
  const char* file;
  const char* rule;
  int line;  // where the finding points
};

void PrintTo(const BrokenCase& c, std::ostream* os) {
  *os << c.file;
}

class BrokenInf : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenInf, IsRejectedNamingItsRuleAlone) {
  const std::string text = Read(GetParam().file);
  ASSERT_FALSE(text.empty()) << GetParam().file;
  const auto findings = Check(InfFile::Parse(text));
  ASSERT_EQ(1u, findings.size()) << Describe(findings);
  EXPECT_EQ(GetParam().rule, findings[0].rule);
  EXPECT_EQ(GetParam().line, findings[0].line) << findings[0].message;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, BrokenInf,
    ::testing::Values(
        BrokenCase{"syntax.inf", "syntax", 2}, BrokenCase{"signature.inf", "signature", 3},
        BrokenCase{"provider.inf", "provider", 2}, BrokenCase{"driver-ver.inf", "driver-ver", 7},
        BrokenCase{"driver-ver-day.inf", "driver-ver", 7},
        BrokenCase{"driver-ver-number.inf", "driver-ver", 7},
        BrokenCase{"catalog-file.inf", "catalog-file", 2},
        BrokenCase{"pnp-lockdown.inf", "pnp-lockdown", 2}, BrokenCase{"class.inf", "class", 4},
        BrokenCase{"class-guid.inf", "class", 5},
        BrokenCase{"class-device.inf", "class-device", 24},
        BrokenCase{"class-device-later.inf", "class-device", 27},
        BrokenCase{"models-ntamd64.inf", "models-ntamd64", 21},
        BrokenCase{"source-disks.inf", "source-disks", 29},
        BrokenCase{"source-disks-disk.inf", "source-disks", 18},
        BrokenCase{"service-binary.inf", "service-binary", 39},
        BrokenCase{"service-binary-associate.inf", "service-binary", 24},
        BrokenCase{"service-binary-copied.inf", "service-binary", 39},
        BrokenCase{"service-binary-shared.inf", "service-binary", 41},
        BrokenCase{"strings.inf", "strings", 6}, BrokenCase{"strings-quoted.inf", "strings", 6},
        BrokenCase{"sections.inf", "sections", 27},
        BrokenCase{"sections-install.inf", "sections", 24},
        // Values, read as Windows reads them.
        BrokenCase{"os-floor.inf", "os-floor", 21}, BrokenCase{"os-floor-old.inf", "os-floor", 21},
        BrokenCase{"os-floor-product.inf", "os-floor", 21},
        BrokenCase{"pnp-lockdown-value.inf", "pnp-lockdown", 9},
        BrokenCase{"catalog-file-folder.inf", "catalog-file", 8},
        BrokenCase{"driver-ver-leap.inf", "driver-ver", 7},
        BrokenCase{"driver-ver-century.inf", "driver-ver", 7},
        BrokenCase{"source-disks-platform.inf", "source-disks", 18},
        BrokenCase{"sections-install-pick.inf", "source-disks", 33}),
    [](const auto& info) {
      std::string name = info.param.file;
      name = name.substr(0, name.find('.'));
      for (auto& c : name)
        if (c == '-')
          c = '_';
      return name;
    });

// The good INF with one line written another way that Windows reads alike.
struct SpellingCase {
  const char* name;
  const char* from;
  const char* to;
};

void PrintTo(const SpellingCase& c, std::ostream* os) {
  *os << c.name;
}

class Spelling : public ::testing::TestWithParam<SpellingCase> {};

TEST_P(Spelling, IsReadAsWindowsReadsIt) {
  std::string text = Read("good.inf");
  const size_t at = text.find(GetParam().from);
  ASSERT_NE(std::string::npos, at) << GetParam().from;
  text.replace(at, std::string(GetParam().from).size(), GetParam().to);
  const auto findings = Check(InfFile::Parse(text));
  EXPECT_TRUE(findings.empty()) << Describe(findings);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, Spelling,
    ::testing::Values(
        SpellingCase{"CommentAfterAValue", "PnpLockdown=1\n", "PnpLockdown = 1 ; protected\n"},
        SpellingCase{"SemicolonInsideQuotes", "Disk=\"Test disk\"", "Disk=\"Test; disk\""},
        SpellingCase{"ContinuedLine", "DriverVer=02/29/2024,1.2.3.4",
                     "DriverVer=02/29/2024,\\\n1.2.3.4"},
        SpellingCase{"CaseOfNamesAndKeys", "[Version]\nSignature=\"$Windows NT$\"",
                     "[VERSION]\nsignature=\"$WINDOWS NT$\""},
        SpellingCase{"CaseOfTokens", "Provider=%Vendor%", "Provider=%VENDOR%"},
        SpellingCase{"CrLfLines", "PnpLockdown=1\n", "PnpLockdown=1\r\n"},
        SpellingCase{"PercentSign", "Device=\"Test device\"", "Device=\"Test device 100%%\""},
        SpellingCase{"UndecoratedInstallSection",
                     "[Dev_Install.NT]\nCopyFiles=Dev_Files\n\n[Dev_Files]\ngood.sys\n\n"
                     "[Dev_Install.NT.Services]",
                     "[Dev_Install]\nCopyFiles=Dev_Files\n\n[Dev_Files]\ngood.sys\n\n"
                     "[Dev_Install.Services]"},
        SpellingCase{"LaterOsVersionDecoration", "Models,NTamd64.6.1\n\n[Models.NTamd64.6.1]",
                     "Models,NTamd64.10.0\n\n[Models.NTamd64.10.0]"},
        SpellingCase{"OsVersionWithProductType", "Models,NTamd64.6.1\n\n[Models.NTamd64.6.1]",
                     "Models,NTamd64.6.1.1\n\n[Models.NTamd64.6.1.1]"},
        SpellingCase{"LeapCenturyYear", "DriverVer=02/29/2024", "DriverVer=02/29/2000"},
        SpellingCase{"PlatformSourceDisksNames", "[SourceDisksNames]\n",
                     "[SourceDisksNames.amd64]\n"},
        SpellingCase{"PlatformSourceDisksFiles", "[SourceDisksFiles]\n",
                     "[SourceDisksFiles.amd64]\n"},
        SpellingCase{"DecoratedCatalogFile", "CatalogFile=", "CatalogFile.NTamd64="},
        SpellingCase{"SingleFileCopy", "CopyFiles=Dev_Files", "CopyFiles=@good.sys"},
        SpellingCase{"ListDestination", "DefaultDestDir=12", "DefaultDestDir=11\nDev_Files=12"}),
    [](const auto& info) { return info.param.name; });

// The good INF with its models under other decorations of [Manufacturer]
// (comma-separated, each with its section): "" when Windows 7 and later take
// them alone, else what the one os-floor finding says.
struct DecorationCase {
  const char* name;
  const char* decorations;
  const char* fault;
};

void PrintTo(const DecorationCase& c, std::ostream* os) {
  *os << c.decorations;
}

class Decoration : public ::testing::TestWithParam<DecorationCase> {};

TEST_P(Decoration, IsReadAsATargetOsVersion) {
  std::string text = Read("good.inf");
  const std::string from =
      "Models,NTamd64.6.1\n\n[Models.NTamd64.6.1]\n%Device%=Dev_Install,USB\\VID_1234&PID_5678\n";
  const size_t at = text.find(from);
  ASSERT_NE(std::string::npos, at);
  std::string to = std::string("Models,") + GetParam().decorations + "\n";
  std::string decorations = GetParam().decorations;
  for (size_t start = 0, comma; start != std::string::npos; start = comma) {
    comma = decorations.find(',', start);
    const std::string one =
        decorations.substr(start, comma == std::string::npos ? comma : comma - start);
    to += "\n[Models." + one + "]\n%Device%=Dev_Install,USB\\VID_1234&PID_5678\n";
    if (comma != std::string::npos)
      ++comma;
  }
  text.replace(at, from.size(), to);
  const auto findings = Check(InfFile::Parse(text));
  if (std::string(GetParam().fault).empty()) {
    EXPECT_TRUE(findings.empty()) << Describe(findings);
    return;
  }
  ASSERT_EQ(1u, findings.size()) << Describe(findings);
  EXPECT_EQ("os-floor", findings[0].rule);
  EXPECT_EQ(21, findings[0].line);
  EXPECT_NE(std::string::npos, findings[0].message.find(GetParam().fault)) << findings[0].message;
}

INSTANTIATE_TEST_SUITE_P(
    OsFloor, Decoration,
    ::testing::Values(
        // Windows 7 and later, however the fields are written.
        DecorationCase{"Seven", "NTamd64.6.1", ""}, DecorationCase{"Eight", "NTamd64.6.2", ""},
        DecorationCase{"Ten", "NTamd64.10.0", ""}, DecorationCase{"UpperCase", "NTAMD64.6.1", ""},
        DecorationCase{"ProductTypeHex", "NTamd64.6.1.0x1", ""},
        DecorationCase{"ServerSuite", "NTamd64.6.1.0x0000003.0x00000010", ""},
        DecorationCase{"BuildNumber", "NTamd64.10.0...14310", ""},
        DecorationCase{"MajorAlone", "NTamd64.7", ""},
        DecorationCase{"AnotherPlatformBeside", "NTamd64.6.1,NTx86.5.1", ""},
        DecorationCase{"TwoVersions", "NTamd64.6.1,NTamd64.10.0", ""},
        // Taken before Windows 7 on x64.
        DecorationCase{"NoVersion", "NTamd64", "'NTamd64' names no OS version"},
        DecorationCase{"ProductTypeAlone", "NTamd64...1", "'NTamd64...1' names no OS version"},
        DecorationCase{"SuiteMaskAlone", "NTamd64....0x80",
                       "'NTamd64....0x80' names no OS version"},
        DecorationCase{"Vista", "NTamd64.6.0", "names 6.0, before Windows 7"},
        DecorationCase{"MinorLeftOut", "NTamd64.6", "'NTamd64.6' names 6.0,"},
        DecorationCase{"ServerTwoThousandThree", "NTamd64.5.2", "names 5.2,"},
        DecorationCase{"OlderBeside", "NTamd64.10.0,NTamd64.6.0", "'NTamd64.6.0' names 6.0"},
        DecorationCase{"UndecoratedBeside", "NTamd64.6.1,NTamd64", "'NTamd64' names no OS version"},
        DecorationCase{"EveryPlatformVista", "NTamd64.6.1,NT.6.0", "'NT.6.0' names 6.0"},
        // Decorations Windows cannot match.
        DecorationCase{"MinorNoNumber", "NTamd64.6.x", "OSMinorVersion that is no number ('x')"},
        DecorationCase{"MinorWithoutMajor", "NTamd64..1",
                       "OSMinorVersion without an OSMajorVersion"},
        DecorationCase{"UnknownProductType", "NTamd64.6.1.4",
                       "ProductType that is none of 1, 2, 3 ('4')"},
        DecorationCase{"ProductTypeNoNumber", "NTamd64.6.1.server",
                       "ProductType that is no number ('server')"},
        DecorationCase{"BadHex", "NTamd64.6.1.0xG", "ProductType that is no number ('0xg')"},
        DecorationCase{"SixFields", "NTamd64.10.0.1.0.14310.1",
                       "more fields than major.minor.product.suite.build"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace infcheck
