// The paths that -u, -d and -g build: the precompiled file of an INF, paths
// that fit or not, names that are not bare, and a Windows directory that
// cannot be had while the copies are read.
#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

using sim::win32::System;

struct PrecompiledCase {
  const char* name;
  std::string windows;
  std::vector<std::string> args;
  std::vector<std::string> present;  // relative to the Windows directory, or absolute
  std::vector<std::string> gone;
  std::vector<std::string> kept;
};

class Precompiled : public SetupTest, public ::testing::WithParamInterface<PrecompiledCase> {
 protected:
  std::string Path(const std::string& p) {
    return p.rfind("C:", 0) == 0 ? p : GetParam().windows + "\\" + p;
  }
};

// The ".inf" that is cut is looked for in the file name only, never in the
// folders above it.
TEST_P(Precompiled, IsCutInTheFileNameOnly) {
  const auto& p = GetParam();
  sys().SetWindowsDirectory(p.windows);
  for (const auto& f : p.present)
    sys().PutFile(Path(f), System::Inf("1.0"));
  EXPECT_EQ(0u, Tool(p.args).Code());
  for (const auto& f : p.gone)
    EXPECT_FALSE(sys().Exists(Path(f))) << f;
  for (const auto& f : p.kept)
    EXPECT_TRUE(sys().Exists(Path(f))) << f;
}

const std::string kInfo = "C:\\my.info\\Windows";

INSTANTIATE_TEST_SUITE_P(
    Folders, Precompiled,
    ::testing::Values(PrecompiledCase{"DeleteUnderAnInfoFolder",
                                      kInfo,
                                      {"-d", "a.inf", "i"},
                                      {"inf\\a.inf", "inf\\a.pnf", "C:\\my.pnf"},
                                      {"inf\\a.inf", "inf\\a.pnf"},
                                      {"C:\\my.pnf"}},
                      PrecompiledCase{"UninstallUnderAnInfoFolder",
                                      kInfo,
                                      {"-u", "a.inf"},
                                      {"inf\\a.inf", "inf\\a.pnf", "C:\\my.pnf"},
                                      {"inf\\a.inf", "inf\\a.pnf"},
                                      {"C:\\my.pnf"}},
                      PrecompiledCase{"UpperCaseNameUnderAnInfoFolder",
                                      kInfo,
                                      {"-d", "X.INF", "i"},
                                      {"inf\\X.INF", "inf\\X.INF.pnf", "inf\\X.pnf", "C:\\my.pnf"},
                                      {"inf\\X.INF", "inf\\X.INF.pnf"},
                                      {"inf\\X.pnf", "C:\\my.pnf"}},
                      PrecompiledCase{"FirstInfOfTheNameUnderAnInfoFolder",
                                      kInfo,
                                      {"-d", "a.inf.old", "i"},
                                      {"inf\\a.inf.old", "inf\\a.pnf", "C:\\my.pnf"},
                                      {"inf\\a.inf.old", "inf\\a.pnf"},
                                      {"C:\\my.pnf"}},
                      PrecompiledCase{"NoInfInTheName",
                                      kInfo,
                                      {"-d", "a.txt", "i"},
                                      {"inf\\a.txt", "inf\\a.txt.pnf", "C:\\my.pnf"},
                                      {"inf\\a.txt", "inf\\a.txt.pnf"},
                                      {"C:\\my.pnf"}},
                      PrecompiledCase{"PlainWindowsFolder",
                                      "C:\\Windows",
                                      {"-d", "a.inf.old", "i"},
                                      {"inf\\a.inf.old", "inf\\a.pnf"},
                                      {"inf\\a.inf.old", "inf\\a.pnf"},
                                      {}}),
    [](const auto& info) { return info.param.name; });

// "C:\Windows\inf\" is 15 units: a name of 244 units without ".inf" makes a
// path of 259 units, which fits with its NUL, while its precompiled file,
// with ".pnf" appended, does not.
TEST_F(SetupTest, AnInfPathThatFitsWhileItsPrecompiledFileDoesNot) {
  const std::string name(244, 'a');
  sys().PutFile(InfFolder() + name, System::Inf("1.0"));
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Tool({"-u", name}).Code());
  EXPECT_TRUE(sys().Exists(InfFolder() + name)) << "-u deleted before it checked";
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Tool({"-d", name, "i"}).Code());
  EXPECT_TRUE(sys().Exists(InfFolder() + name)) << "-d deleted before it checked";
  // One unit shorter, everything fits.
  const std::string shorter(240, 'a');
  sys().PutFile(InfFolder() + shorter, System::Inf("1.0"));
  EXPECT_EQ(0u, Tool({"-u", shorter}).Code());
  EXPECT_FALSE(sys().Exists(InfFolder() + shorter));
}

// "C:\Windows\system32\drivers\" is 28 units: names of up to 231 units fit,
// and the drivers folder never uses a precompiled file.
struct DriverNameCase {
  const char* name;
  size_t units;
  DWORD code;
};

class DriverFolderName : public SetupTest, public ::testing::WithParamInterface<DriverNameCase> {};

TEST_P(DriverFolderName, FitsByItsOwnPath) {
  const auto& p = GetParam();
  const std::string name = std::string(p.units - 4, 'd') + ".sys";
  sys().PutFile(DriversFolder() + name, "MZ");
  EXPECT_EQ(p.code, Tool({"-d", name, "s"}).Code());
  EXPECT_EQ(p.code != 0, sys().Exists(DriversFolder() + name));
}

INSTANTIATE_TEST_SUITE_P(Lengths, DriverFolderName,
                         ::testing::Values(DriverNameCase{"Units227", 227, 0},
                                           DriverNameCase{"Units228", 228, 0},
                                           DriverNameCase{"Units231", 231, 0},
                                           DriverNameCase{"Units232", 232, 4}),
                         [](const auto& info) { return info.param.name; });

// The Windows directory is fetched for every "oem*.inf" candidate; when it
// cannot be had the step fails, rather than skip a copy that may be one.
struct CandidateDirCase {
  const char* name;
  std::vector<std::string> args;
  uint32_t skip;  // GetSystemWindowsDirectoryW calls that succeed before one fails
};

class CandidateDirectory : public SetupTest,
                           public ::testing::WithParamInterface<CandidateDirCase> {};

TEST_P(CandidateDirectory, FailsTheStepWith258) {
  const auto& p = GetParam();
  sys().PutStoredInf("oem2.inf", "Tarvik4v2.inf", System::Inf("2.0"));
  // Own name (1), pattern (2), then the candidate oem2.inf (3).
  sys().Fail("GetSystemWindowsDirectoryW", ERROR_ACCESS_DENIED, {p.skip});
  Outcome run = Tool(p.args);
  EXPECT_EQ(RESULT_WINDOWS_DIR_FAILED, run.Code());
  EXPECT_EQ(0u, run.PayloadLength());
  EXPECT_TRUE(sys().Exists(InfFolder() + "oem2.inf"));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CandidateDirectory,
    ::testing::Values(CandidateDirCase{"Uninstall", {"-u", "Tarvik4v2.inf"}, 2},
                      CandidateDirCase{"Versions", {"-g", "Tarvik4v2.inf"}, 2},
                      CandidateDirCase{"UninstallPattern", {"-u", "Tarvik4v2.inf"}, 1}),
    [](const auto& info) { return info.param.name; });

TEST_F(SetupTest, AFailedPrecompiledFileDeletionGives260) {
  sys().PutFile(InfFolder() + "a.inf", System::Inf("1.0"));
  sys().PutFile(InfFolder() + "a.pnf", "PNF");
  sys().Lock(InfFolder() + "a.pnf");
  EXPECT_EQ(RESULT_DELETE_FILE_FAILED, Tool({"-u", "a.inf"}).Code());
  EXPECT_FALSE(sys().Exists(InfFolder() + "a.inf"));  // deleted before, and stays deleted
  EXPECT_TRUE(sys().Exists(InfFolder() + "a.pnf"));
  sys().PutFile(InfFolder() + "b.pnf", "PNF");
  sys().Lock(InfFolder() + "b.pnf");
  EXPECT_EQ(RESULT_DELETE_FILE_FAILED, Tool({"-d", "b.inf", "i"}).Code());
}

// The copy under the INF's own name counts whatever original name its
// precompiled file records.
TEST_F(SetupTest, TheOwnNameCopyCountsWhateverItsOriginalName) {
  sys().PutStoredInf("Tarvik4v2.inf", "Other.inf", System::Inf("01/01/2026,1.0.0.0"));
  Outcome versions = Tool({"-g", "Tarvik4v2.inf"});
  ASSERT_EQ(1u, versions.Count());
  EXPECT_EQ("01/01/2026,1.0.", versions.Entry(0));
  EXPECT_EQ(0u, Tool({"-u", "Tarvik4v2.inf"}).Code());
  EXPECT_FALSE(sys().Exists(InfFolder() + "Tarvik4v2.inf"));
  EXPECT_FALSE(sys().Exists(InfFolder() + "Tarvik4v2.pnf"));
}

struct NameCase {
  const char* name;
  std::vector<std::string> args;
};

class NotABareName : public SetupTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(NotABareName, IsRefusedBeforeAnyFileIsLookedAt) {
  sys().PutFile(InfFolder() + "a.inf", System::Inf("1.0"));
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Tool(GetParam().args).Code());
  auto calls = sys().Calls();
  EXPECT_EQ(0, std::count(calls.begin(), calls.end(), "FindFirstFileW"));
  EXPECT_EQ(0, std::count(calls.begin(), calls.end(), "DeleteFileW"));
}

INSTANTIATE_TEST_SUITE_P(Names, NotABareName,
                         ::testing::Values(NameCase{"DeleteSlash", {"-d", "x/a.inf", "i"}},
                                           NameCase{"DeleteDot", {"-d", ".", "s"}},
                                           NameCase{"UninstallSlash", {"-u", "inf/a.inf"}},
                                           NameCase{"UninstallDot", {"-u", "."}},
                                           NameCase{"VersionsSlash", {"-g", "/a.inf"}},
                                           NameCase{"VersionsDot", {"-g", "."}}),
                         [](const auto& info) { return info.param.name; });

// With SetupCopyOEMInfW missing, binding stores 3 but the other two entry
// points are bound: -u deletes every copy and still reports 3 (it is judged
// by the code), while -d succeeds.
TEST_F(SetupTest, UnderABindingCodeDeleteSucceedsAndUninstallReportsIt) {
  sys().RemoveEntryPoint("setupapi", "SetupCopyOEMInfW");
  sys().PutFile(InfFolder() + "a.inf", System::Inf("1.0"));
  sys().PutFile(InfFolder() + "a.pnf", "PNF");
  sys().PutFile(DriversFolder() + "k.sys", "MZ");
  sys().PutFile(InfFolder() + "Tarvik4v2.inf", System::Inf("1.0"));
  sys().PutStoredInf("oem4.inf", "Tarvik4v2.inf", System::Inf("1.0"));
  EXPECT_EQ(0u, Tool({"-d", "a.inf", "i"}).Code());
  EXPECT_FALSE(sys().Exists(InfFolder() + "a.inf"));
  EXPECT_FALSE(sys().Exists(InfFolder() + "a.pnf"));
  EXPECT_EQ(0u, Tool({"-d", "k.sys", "s"}).Code());
  EXPECT_FALSE(sys().Exists(DriversFolder() + "k.sys"));
  EXPECT_EQ(RESULT_ENTRY_NOT_FOUND, Tool({"-u", "Tarvik4v2.inf"}).Code());
  EXPECT_EQ(std::vector<std::string>(), sys().Files(sys().WindowsDirectory() + "\\inf"));
}

}  // namespace
}  // namespace setup::test
