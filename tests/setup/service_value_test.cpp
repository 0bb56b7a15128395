// -s: a 32-bit value under a service's key.
#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

const std::string kKey = "SYSTEM\\CurrentControlSet\\Services\\Tarvik4v2";

struct ValueCase {
  const char* name;
  std::vector<sim::win32::System::Value> before;
  std::string valueName;
  std::string number;
  DWORD reboot;
  std::optional<DWORD> after;  // the DWORD stored under valueName afterwards, if any
};

std::vector<BYTE> Dword(DWORD v) {
  return {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
          static_cast<BYTE>(v >> 24)};
}

class ServiceValue : public SetupTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ServiceValue, WritesOnlyAChange) {
  const auto& p = GetParam();
  sys().CreateKey(kKey);
  for (const auto& v : p.before)
    sys().PutValue(kKey, v.name, v.type, v.data);
  Outcome run = Tool({"-s", "Tarvik4v2", p.valueName, p.number});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(p.reboot, run.Reboot());
  auto value = sys().GetValue(kKey, p.valueName);
  if (!p.after) {
    EXPECT_TRUE(!value || value->type != REG_DWORD);
    return;
  }
  ASSERT_TRUE(value);
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), value->type);
  EXPECT_EQ(Dword(*p.after), value->data);
}

using V = sim::win32::System::Value;

INSTANTIATE_TEST_SUITE_P(
    Rows, ServiceValue,
    ::testing::Values(
        ValueCase{"Same", {V{u"Level", REG_DWORD, Dword(5)}}, "Level", "5", 0, 5},
        ValueCase{"Other", {V{u"Level", REG_DWORD, Dword(5)}}, "Level", "6", 1, 6},
        ValueCase{"AbsentZero", {}, "Level", "0", 0, std::nullopt},
        ValueCase{"AbsentNonZero", {}, "Level", "3", 1, 3},
        ValueCase{"StringOverwritten", {V{u"Level", REG_SZ, {'a', 0, 0, 0}}}, "Level", "3", 1, 3},
        ValueCase{"StringLeftForZero",
                  {V{u"Level", REG_SZ, {'a', 0, 0, 0}}},
                  "Level",
                  "0",
                  0,
                  std::nullopt},
        ValueCase{"OtherCaseIsAbsent", {V{u"level", REG_DWORD, Dword(7)}}, "Level", "7", 1, 7},
        ValueCase{"MinusOne", {}, "Level", "-1", 1, 0xFFFFFFFF}),
    [](const auto& info) { return info.param.name; });

TEST_F(SetupTest, ServiceValueFailures) {
  EXPECT_EQ(RESULT_REG_OPEN_FAILED, Tool({"-s", "NoSuchService", "v", "1"}).Code());
  sys().CreateKey(kKey);
  sys().PutValue(kKey, std::u16string(260, u'x'), REG_DWORD, Dword(1));
  sys().PutDword(kKey, "Level", 1);
  Outcome run = Tool({"-s", "Tarvik4v2", "Level", "2"});
  EXPECT_EQ(RESULT_REG_ENUM_FAILED, run.Code());
  EXPECT_EQ(0u, run.Reboot());
  // Every failure closes the key it opened.
  struct Failure {
    const char* function;
    DWORD code;
  };
  sys().CreateKey(kKey + "2");
  sys().PutDword(kKey + "2", "Level", 1);
  for (Failure f : {Failure{"RegEnumValueW", RESULT_REG_ENUM_FAILED},
                    Failure{"RegQueryValueExW", RESULT_REG_QUERY_FAILED},
                    Failure{"RegSetValueExW", RESULT_REG_SET_FAILED},
                    Failure{"RegOpenKeyW", RESULT_REG_OPEN_FAILED}}) {
    sys().Fail(f.function, ERROR_ACCESS_DENIED);
    Outcome failed = Tool({"-s", "Tarvik4v22", "Level", "2"});
    EXPECT_EQ(f.code, failed.Code()) << f.function;
    EXPECT_EQ(0u, failed.Reboot());
    auto calls = sys().Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "RegOpenKeyW") - 1 -
                  (std::string(f.function) == "RegOpenKeyW" ? 1 : 0),
              std::count(calls.begin(), calls.end(), "RegCloseKey"))
        << f.function;
  }
  // A service name that does not fit the key path.
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Tool({"-s", std::string(240, 's'), "v", "1"}).Code());
}

// The name buffer's length is set again before every enumeration: a short
// name first must not make the next, longer one fail.
TEST_F(SetupTest, EachEnumerationIsGivenTheWholeNameBuffer) {
  sys().CreateKey(kKey);
  sys().PutDword(kKey, "A", 9);
  sys().PutDword(kKey, "Level", 1);
  Outcome run = Tool({"-s", "Tarvik4v2", "Level", "2"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(1u, run.Reboot());
  EXPECT_EQ(Dword(2), sys().GetValue(kKey, "Level")->data);
}

// An empty service name would name the Services key itself.
TEST_F(SetupTest, AnEmptyServiceNameIsRefused) {
  const auto before = sys().RegistrySnapshot();
  Outcome run = Tool({"-s", "", "Start", "4"});
  EXPECT_EQ(RESULT_INVALID_PARAMETER, run.Code());
  EXPECT_EQ(before, sys().RegistrySnapshot());
  auto calls = sys().Calls();
  EXPECT_EQ(0, std::count(calls.begin(), calls.end(), "RegOpenKeyW"));
}

}  // namespace
}  // namespace setup::test
