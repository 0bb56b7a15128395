// Installed copies of an INF: -u, -d and -g.
#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

using sim::win32::System;

class InfStore : public SetupTest {
 protected:
  void ThreeCopies() {
    sys().PutFile(InfFolder() + "Tarvik4v2.inf", System::Inf("01/01/2026,3.0.0.0"));
    sys().PutFile(InfFolder() + "Tarvik4v2.pnf", "PNF");
    sys().PutStoredInf("oem3.inf", "Tarvik4v2.inf", System::Inf("01/01/2025,2.0.0.0"));
    sys().PutStoredInf("oem7.inf", "Tarvik4v2.inf", System::Inf("01/01/2024,1.0.0.0"));
    sys().PutStoredInf("oem5.inf", "tarvik4v2.inf", System::Inf("9.9"));  // other case
    sys().PutStoredInf("oem1.inf", "Other.inf", System::Inf("8.8"));
  }
};

TEST_F(InfStore, UninstallRemovesEveryCopyOwnNameFirst) {
  ThreeCopies();
  Outcome run = Tool({"-u", "Tarvik4v2.inf"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ((std::vector<std::string>{"oem1.inf", "oem1.pnf", "oem5.inf", "oem5.pnf"}),
            sys().Files("C:\\Windows\\inf"));
  auto calls = sys().Calls();
  EXPECT_EQ(6, std::count(calls.begin(), calls.end(), "DeleteFileW"));
}

TEST_F(InfStore, UninstallOfNothingSucceeds) {
  EXPECT_EQ(0u, Tool({"-u", "Tarvik4v2.inf"}).Code());
}

TEST_F(InfStore, ACopyWithoutPrecompiledFile) {
  sys().PutFile(InfFolder() + "Tarvik4v2.inf", System::Inf("1.0"));
  EXPECT_EQ(0u, Tool({"-u", "Tarvik4v2.inf"}).Code());
  EXPECT_FALSE(sys().Exists(InfFolder() + "Tarvik4v2.inf"));
}

TEST_F(InfStore, ACopyThatCannotBeDeletedStopsWithEarlierDeletionsKept) {
  ThreeCopies();
  sys().Lock(InfFolder() + "oem7.inf");
  EXPECT_EQ(RESULT_DELETE_FILE_FAILED, Tool({"-u", "Tarvik4v2.inf"}).Code());
  EXPECT_FALSE(sys().Exists(InfFolder() + "Tarvik4v2.inf"));
  EXPECT_FALSE(sys().Exists(InfFolder() + "oem3.inf"));
  EXPECT_TRUE(sys().Exists(InfFolder() + "oem7.inf"));
}

TEST_F(InfStore, UnreadableCandidatesAreSkipped) {
  sys().PutStoredInf("oem2.inf", "Tarvik4v2.inf", "not an inf");
  sys().PutStoredInf("oem4.inf", "Tarvik4v2.inf", System::Inf("1.0"));
  EXPECT_EQ(0u, Tool({"-u", "Tarvik4v2.inf"}).Code());
  EXPECT_TRUE(sys().Exists(InfFolder() + "oem2.inf"));
  EXPECT_FALSE(sys().Exists(InfFolder() + "oem4.inf"));
}

struct DeleteCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> present;  // files before the run
  std::vector<std::string> gone;     // files the run deletes
  std::vector<std::string> kept;
  DWORD code;
};

class DeleteFile : public SetupTest, public ::testing::WithParamInterface<DeleteCase> {};

TEST_P(DeleteFile, DeletesWhatTheModeSays) {
  const auto& p = GetParam();
  for (const auto& f : p.present)
    sys().PutFile(f, "x");
  EXPECT_EQ(p.code, Tool(p.args).Code());
  for (const auto& f : p.gone)
    EXPECT_FALSE(sys().Exists(f)) << f;
  for (const auto& f : p.kept)
    EXPECT_TRUE(sys().Exists(f)) << f;
}

const std::string I = "C:\\Windows\\inf\\";
const std::string D = "C:\\Windows\\system32\\drivers\\";

INSTANTIATE_TEST_SUITE_P(
    Modes, DeleteFile,
    ::testing::Values(
        DeleteCase{"InfWithPnf",
                   {"-d", "a.inf", "i"},
                   {I + "a.inf", I + "a.pnf"},
                   {I + "a.inf", I + "a.pnf"},
                   {},
                   0},
        DeleteCase{"PnfWithoutInf", {"-d", "a.inf", "i"}, {I + "a.pnf"}, {I + "a.pnf"}, {}, 0},
        DeleteCase{"UpperCaseInfName",
                   {"-d", "X.INF", "i"},
                   {I + "X.INF", I + "X.INF.pnf", I + "X.pnf"},
                   {I + "X.INF", I + "X.INF.pnf"},
                   {I + "X.pnf"},
                   0},
        DeleteCase{"CutAtFirstInf",
                   {"-d", "a.inf.old", "i"},
                   {I + "a.inf.old", I + "a.pnf"},
                   {I + "a.inf.old", I + "a.pnf"},
                   {},
                   0},
        DeleteCase{"DriversFolderOnly",
                   {"-d", "Tarvik4v2.sys", "s"},
                   {D + "Tarvik4v2.sys", I + "Tarvik4v2.sys"},
                   {D + "Tarvik4v2.sys"},
                   {I + "Tarvik4v2.sys"},
                   0},
        DeleteCase{"DriversFolderNoPnf",
                   {"-d", "b.inf", "s"},
                   {D + "b.inf", D + "b.pnf"},
                   {D + "b.inf"},
                   {D + "b.pnf"},
                   0},
        DeleteCase{"NothingThere", {"-d", "none.sys", "s"}, {}, {}, {}, 0},
        DeleteCase{"WildcardFails",
                   {"-d", "*.inf", "i"},
                   {I + "a.inf"},
                   {},
                   {I + "a.inf"},
                   RESULT_DELETE_FILE_FAILED},
        DeleteCase{"PathOutsideRefused",
                   {"-d", "..\\win.ini", "i"},
                   {"C:\\Windows\\win.ini"},
                   {},
                   {"C:\\Windows\\win.ini"},
                   RESULT_INVALID_PARAMETER},
        DeleteCase{"DotDotRefused", {"-d", "..", "s"}, {}, {}, {}, RESULT_INVALID_PARAMETER},
        DeleteCase{"ColonRefused", {"-d", "C:x.sys", "s"}, {}, {}, {}, RESULT_INVALID_PARAMETER}),
    [](const auto& info) { return info.param.name; });

TEST_F(InfStore, ReadOnlyFileCannotBeDeleted) {
  sys().PutFile(D + "k.sys", "x", true);
  EXPECT_EQ(RESULT_DELETE_FILE_FAILED, Tool({"-d", "k.sys", "s"}).Code());
}

TEST_F(InfStore, NamesThatDoNotFitAreRefusedBeforeAnythingIsTouched) {
  const std::string longName(250, 'a');
  sys().PutFile(I + "a.pnf", "x");
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Tool({"-d", longName + ".inf", "i"}).Code());
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Tool({"-u", longName + ".inf"}).Code());
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Tool({"-g", longName + ".inf"}).Code());
  EXPECT_TRUE(sys().Exists(I + "a.pnf"));
}

TEST_F(InfStore, NoWindowsDirectory) {
  sys().Fail("GetSystemWindowsDirectoryW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(RESULT_WINDOWS_DIR_FAILED, Tool({"-u", "a.inf"}).Code());
  sys().Fail("GetSystemWindowsDirectoryW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(RESULT_WINDOWS_DIR_FAILED, Tool({"-d", "a.inf", "i"}).Code());
  // The second fetch, before the search of the stored copies.
  sys().Fail("GetSystemWindowsDirectoryW", ERROR_ACCESS_DENIED, {1});
  EXPECT_EQ(RESULT_WINDOWS_DIR_FAILED, Tool({"-g", "a.inf"}).Code());
}

TEST_F(InfStore, VersionsOfEveryCopy) {
  ThreeCopies();
  Outcome run = Tool({"-g", "Tarvik4v2.inf"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(516u, run.PayloadLength());
  ASSERT_EQ(3u, run.Count());
  EXPECT_EQ("01/01/2026,3.0.", run.Entry(0));  // the own-name copy first, cut to 15 units
  EXPECT_EQ("01/01/2025,2.0.", run.Entry(1));
  EXPECT_EQ("01/01/2024,1.0.", run.Entry(2));
}

TEST_F(InfStore, VersionTextsAndCopiesWithoutOne) {
  sys().PutFile(I + "p.inf", System::Inf("123456789012345"));                // 15 units: whole
  sys().PutStoredInf("oem1.inf", "p.inf", System::Inf("1234567890123456"));  // 16: cut
  sys().PutStoredInf("oem2.inf", "p.inf", System::Inf(""));                  // no DriverVer
  Outcome run = Tool({"-g", "p.inf"});
  ASSERT_EQ(2u, run.Count());
  EXPECT_EQ("123456789012345", run.Entry(0));
  EXPECT_EQ("123456789012345", run.Entry(1));
}

TEST_F(InfStore, NoCopyIsACountOfZero) {
  Outcome run = Tool({"-g", "p.inf"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(516u, run.PayloadLength());
  EXPECT_EQ(0u, run.Count());
  EXPECT_EQ(std::vector<uint8_t>(run.bytes.begin() + 12, run.bytes.end()),
            std::vector<uint8_t>(512, 0));  // the list is cleared
}

TEST_F(InfStore, SeventeenCopiesStopAtSixteen) {
  for (int i = 0; i < 17; ++i) {
    const std::string n = i < 10 ? "0" + std::to_string(i) : std::to_string(i);
    sys().PutStoredInf("oem" + n + ".inf", "p.inf", System::Inf("v" + n + "abcdefghijklmno"));
  }
  Outcome run = Tool({"-g", "p.inf"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(16u, run.Count());
  EXPECT_EQ(524u, run.bytes.size());
  EXPECT_EQ("v00abcdefghijkl", run.Entry(0));
  // The sixteenth entry reaches the caller with its first 14 units only.
  EXPECT_EQ("v15abcdefghijk", run.Entry(15));
}

}  // namespace
}  // namespace setup::test
