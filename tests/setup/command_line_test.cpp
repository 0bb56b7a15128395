// The command line, the record and the exit value.
#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

struct LineCase {
  const char* name;
  std::vector<std::string> args;
};

class Refused : public SetupTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(Refused, WithInvalidParameterAndNothingElse) {
  Outcome run = Tool(GetParam().args);
  EXPECT_EQ(0, run.exit);
  ASSERT_EQ(524u, run.bytes.size());
  std::vector<uint8_t> expected(524, 0);
  expected[0] = 4;
  EXPECT_EQ(expected, run.bytes);
  EXPECT_EQ(1, sys().StdoutWrites());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Refused,
    ::testing::Values(LineCase{"Nothing", {}}, LineCase{"UpperCase", {"-C", "a.inf", "id"}},
                      LineCase{"TooLong", {"-cx", "a.inf", "id"}},
                      LineCase{"NoDash", {"c", "a", "b"}}, LineCase{"DoubleDash", {"--"}},
                      LineCase{"UnknownLetter", {"-x"}},
                      LineCase{"CreateOneArgument", {"-c", "a.inf"}},
                      LineCase{"RescanWithArgument", {"-e", "x"}},
                      LineCase{"ServiceTwoArguments", {"-s", "svc", "value"}},
                      LineCase{"DeleteModeX", {"-d", "a.inf", "x"}},
                      LineCase{"DeleteModeEmpty", {"-d", "a.inf", ""}},
                      LineCase{"InstallTwoArguments", {"-i", "a.inf", "b.inf"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(SetupTest, DeleteModeCountsOnlyItsFirstLetter) {
  sys().PutFile(InfFolder() + "a.inf", "x");
  Outcome run = Tool({"-d", "a.inf", "install"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_FALSE(sys().Exists(InfFolder() + "a.inf"));
}

TEST_F(SetupTest, ClosedOrFailingStandardOutput) {
  sys().Fail("WriteFile", ERROR_ACCESS_DENIED);
  EXPECT_EQ(-1, Tool({"-e"}).exit);
  sys().CloseStdout();
  Outcome run = Tool({"-e"});
  EXPECT_EQ(-1, run.exit);
  EXPECT_TRUE(run.bytes.empty());
}

// The number of -s as it reaches the registry.
struct NumberCase {
  const char* name;
  std::string text;
  DWORD stored;
};

class ServiceNumber : public SetupTest, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(ServiceNumber, ReadAsSignedDecimal) {
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\Tarvik4v2";
  sys().CreateKey(key);
  sys().PutDword(key, "Level", 0x5A5A5A5A);
  Outcome run = Tool({"-s", "Tarvik4v2", "Level", GetParam().text});
  EXPECT_EQ(0u, run.Code());
  auto value = sys().GetValue(key, "Level");
  ASSERT_TRUE(value);
  DWORD stored = value->data[0] | value->data[1] << 8 | value->data[2] << 16 |
                 static_cast<DWORD>(value->data[3]) << 24;
  EXPECT_EQ(GetParam().stored, stored);
}

INSTANTIATE_TEST_SUITE_P(Numbers, ServiceNumber,
                         ::testing::Values(NumberCase{"Letters", "abc", 0},
                                           NumberCase{"DigitsThenLetters", "12abc", 12},
                                           NumberCase{"MinusOne", "-1", 0xFFFFFFFF},
                                           NumberCase{"Plus", "+7", 7},
                                           NumberCase{"LeadingSpace", " \t42", 42},
                                           NumberCase{"AboveRange", "99999999999", 0x7FFFFFFF},
                                           NumberCase{"BelowRange", "-99999999999", 0x80000000},
                                           NumberCase{"Lowest", "-2147483648", 0x80000000},
                                           NumberCase{"SignOnly", "-", 0}),
                         [](const auto& info) { return info.param.name; });

TEST_F(SetupTest, InstallCopiesTheInfIntoTheStore) {
  sys().PutFile("C:\\pkg\\Tarvik4v2.inf", sim::win32::System::Inf("01/01/2026,1.2.3.4"));
  Outcome run = Tool({"-i", "C:\\pkg\\Tarvik4v2.inf"});
  EXPECT_EQ(0, run.exit);
  EXPECT_EQ(std::vector<uint8_t>(524, 0), run.bytes);
  EXPECT_TRUE(sys().Exists(InfFolder() + "oem0.inf"));
  EXPECT_TRUE(sys().Exists(InfFolder() + "oem0.pnf"));
  // A missing source fails with the copy's code.
  EXPECT_EQ(RESULT_COPY_OEM_INF_FAILED, Tool({"-i", "C:\\pkg\\missing.inf"}).Code());
}

// Binding: the code it stores, and how each kind of step reports it.
struct BindCase {
  const char* name;
  const char* module;
  const char* entry;  // null: the module is missing
  DWORD code;
};

class Binding : public SetupTest, public ::testing::WithParamInterface<BindCase> {};

TEST_P(Binding, StepsReportTheBindingCode) {
  const auto& p = GetParam();
  if (p.entry)
    sys().RemoveEntryPoint(p.module, p.entry);
  else
    sys().RemoveModule(p.module);
  sys().PutFile(InfFolder() + "a.inf", sim::win32::System::Inf("1.0"));
  sys().PutFile("C:\\pkg\\b.inf", sim::win32::System::Inf("1.0"));
  // Steps judged by ResultCode report the binding code...
  EXPECT_EQ(p.code, Tool({"-u", "a.inf"}).Code());
  Outcome versions = Tool({"-g", "a.inf"});
  EXPECT_EQ(p.code, versions.Code());
  EXPECT_EQ(0u, versions.PayloadLength());
  // ...and a step that needs an entry point that is not there fails with it.
  if (std::string(p.entry ? p.entry : "") == "SetupCopyOEMInfW" || !p.entry) {
    EXPECT_EQ(p.code, Tool({"-i", "C:\\pkg\\b.inf"}).Code());
    EXPECT_FALSE(sys().Exists(InfFolder() + "oem0.inf"));
  }
  // A step that needs nothing bound succeeds with code 0.
  sys().CreateKey("SYSTEM\\CurrentControlSet\\Services\\svc");
  EXPECT_EQ(0u, Tool({"-s", "svc", "v", "1"}).Code());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, Binding,
    ::testing::Values(BindCase{"NoKernel32", "kernel32", nullptr, RESULT_MODULE_NOT_FOUND},
                      BindCase{"NoWindowsDirectory", "kernel32", "GetSystemWindowsDirectoryW",
                               RESULT_ENTRY_NOT_FOUND},
                      BindCase{"NoSetupApi", "setupapi", nullptr, RESULT_MODULE_NOT_FOUND},
                      BindCase{"NoOriginalName", "setupapi",
                               "SetupQueryInfOriginalFileInformationW", RESULT_ENTRY_NOT_FOUND},
                      BindCase{"NoCopy", "setupapi", "SetupCopyOEMInfW", RESULT_ENTRY_NOT_FOUND}),
    [](const auto& info) { return info.param.name; });

// Binding ends at its first failure: nothing after it is looked up.
struct BindOrderCase {
  const char* name;
  const char* module;
  const char* entry;  // null: the module is missing
  int modules;        // GetModuleHandleW calls made
  std::vector<std::string> lookups;
};

class BindingOrder : public SetupTest, public ::testing::WithParamInterface<BindOrderCase> {};

TEST_P(BindingOrder, StopsAtTheFirstFailure) {
  const auto& p = GetParam();
  if (p.module && p.entry)
    sys().RemoveEntryPoint(p.module, p.entry);
  else if (p.module)
    sys().RemoveModule(p.module);
  Tool({"-x"});
  auto calls = sys().Calls();
  EXPECT_EQ(p.modules, std::count(calls.begin(), calls.end(), "GetModuleHandleW"));
  EXPECT_EQ(p.lookups, sys().Lookups());
}

// The DLL search is restricted first: kernel32 is found and
// SetDefaultDllDirectories looked up before binding begins.
const std::vector<std::string> kAllThree = {
    "SetDefaultDllDirectories", "GetSystemWindowsDirectoryW",
    "SetupQueryInfOriginalFileInformationW", "SetupCopyOEMInfW"};

INSTANTIATE_TEST_SUITE_P(
    Failures, BindingOrder,
    ::testing::Values(BindOrderCase{"Bound", nullptr, nullptr, 3, kAllThree},
                      BindOrderCase{"NoKernel32", "kernel32", nullptr, 2, {}},
                      BindOrderCase{"NoWindowsDirectory",
                                    "kernel32",
                                    "GetSystemWindowsDirectoryW",
                                    2,
                                    {"SetDefaultDllDirectories", "GetSystemWindowsDirectoryW"}},
                      BindOrderCase{"NoSetupApi",
                                    "setupapi",
                                    nullptr,
                                    3,
                                    {"SetDefaultDllDirectories", "GetSystemWindowsDirectoryW"}},
                      BindOrderCase{"NoOriginalName",
                                    "setupapi",
                                    "SetupQueryInfOriginalFileInformationW",
                                    3,
                                    {"SetDefaultDllDirectories", "GetSystemWindowsDirectoryW",
                                     "SetupQueryInfOriginalFileInformationW"}},
                      BindOrderCase{"NoCopy", "setupapi", "SetupCopyOEMInfW", 3, kAllThree}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace setup::test
