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

}  // namespace
}  // namespace infcheck
