// The record is what the calling installer reads: every result code with
// its number, each reached through a run that stores it, and the exact
// bytes of a record that asks for a restart.
#include <functional>

#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

using sim::win32::System;

const std::string kKey = "SYSTEM\\CurrentControlSet\\Services\\svc";
const std::string kInf = "C:\\pkg\\bus.inf";

struct CodeCase {
  const char* name;
  DWORD number;  // as the installer reads it
  DWORD value;   // the tool's constant
  std::function<void(System&)> prepare;
  std::vector<std::string> args;
};

class ResultCodes : public SetupTest, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(ResultCodes, NumberAndARunThatStoresIt) {
  const auto& p = GetParam();
  EXPECT_EQ(p.number, p.value);
  sys().PutFile(kInf, System::Inf("1.0", "System", {"Root\\A", "Root\\B", "Root\\TarvikKeyBus"}));
  sys().CreateKey(kKey);
  sys().PutDword(kKey, "v", 1);
  sys().AddDevice({"R\\1", "System", {"Root\\A"}});
  if (p.prepare)
    p.prepare(sys());
  Outcome run = Tool(p.args);
  EXPECT_EQ(0, run.exit);
  EXPECT_EQ(p.number, run.Code());
}

void FailCall(System& s, const char* function) {
  s.Fail(function, ERROR_ACCESS_DENIED);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResultCodes,
    ::testing::Values(
        CodeCase{"Success", 0, RESULT_SUCCESS, nullptr, {"-e"}},
        CodeCase{"ModuleNotFound",
                 2,
                 RESULT_MODULE_NOT_FOUND,
                 [](System& s) { s.RemoveModule("cfgmgr32"); },
                 {"-e"}},
        CodeCase{"EntryNotFound",
                 3,
                 RESULT_ENTRY_NOT_FOUND,
                 [](System& s) { s.RemoveEntryPoint("cfgmgr32", "CM_Locate_DevNodeW"); },
                 {"-e"}},
        CodeCase{"InvalidParameter", 4, RESULT_INVALID_PARAMETER, nullptr, {}},
        CodeCase{"WindowsDirFailed",
                 258,
                 RESULT_WINDOWS_DIR_FAILED,
                 [](System& s) { FailCall(s, "GetSystemWindowsDirectoryW"); },
                 {"-d", "a.inf", "i"}},
        CodeCase{"DeleteFileFailed",
                 260,
                 RESULT_DELETE_FILE_FAILED,
                 [](System& s) { s.PutFile("C:\\Windows\\system32\\drivers\\k.sys", "MZ", true); },
                 {"-d", "k.sys", "s"}},
        CodeCase{"RegOpenFailed", 513, RESULT_REG_OPEN_FAILED, nullptr, {"-s", "none", "v", "2"}},
        CodeCase{"RegEnumFailed",
                 515,
                 RESULT_REG_ENUM_FAILED,
                 [](System& s) { FailCall(s, "RegEnumValueW"); },
                 {"-s", "svc", "v", "2"}},
        CodeCase{"RegQueryFailed",
                 516,
                 RESULT_REG_QUERY_FAILED,
                 [](System& s) { FailCall(s, "RegQueryValueExW"); },
                 {"-s", "svc", "v", "2"}},
        CodeCase{"RegSetFailed",
                 517,
                 RESULT_REG_SET_FAILED,
                 [](System& s) { FailCall(s, "RegSetValueExW"); },
                 {"-s", "svc", "v", "2"}},
        CodeCase{"GetHardwareIdFailed",
                 769,
                 RESULT_GET_HARDWARE_ID_FAILED,
                 [](System& s) { FailCall(s, "SetupDiGetDeviceRegistryPropertyW"); },
                 {"-r", "Root\\A"}},
        CodeCase{"SetHardwareIdFailed",
                 770,
                 RESULT_SET_HARDWARE_ID_FAILED,
                 [](System& s) { FailCall(s, "SetupDiSetDeviceRegistryPropertyW"); },
                 {"-c", kInf, "Root\\B"}},
        CodeCase{"EnumDeviceFailed",
                 771,
                 RESULT_ENUM_DEVICE_FAILED,
                 [](System& s) { FailCall(s, "SetupDiEnumDeviceInfo"); },
                 {"-r", "Root\\A"}},
        CodeCase{"CreateDeviceFailed",
                 772,
                 RESULT_CREATE_DEVICE_FAILED,
                 [](System& s) { FailCall(s, "SetupDiCreateDeviceInfoW"); },
                 {"-c", kInf, "Root\\B"}},
        CodeCase{"RegisterDeviceFailed",
                 773,
                 RESULT_REGISTER_DEVICE_FAILED,
                 [](System& s) { FailCall(s, "SetupDiCallClassInstaller"); },
                 {"-c", kInf, "Root\\B"}},
        CodeCase{"CreateDeviceListFailed",
                 774,
                 RESULT_CREATE_DEVICE_LIST_FAILED,
                 [](System& s) { FailCall(s, "SetupDiCreateDeviceInfoList"); },
                 {"-c", kInf, "Root\\B"}},
        CodeCase{"GetClassDevsFailed",
                 775,
                 RESULT_GET_CLASS_DEVS_FAILED,
                 [](System& s) { FailCall(s, "SetupDiGetClassDevsW"); },
                 {"-r", "Root\\A"}},
        CodeCase{"GetInfClassFailed",
                 776,
                 RESULT_GET_INF_CLASS_FAILED,
                 [](System& s) { FailCall(s, "SetupDiGetINFClassW"); },
                 {"-c", kInf, "Root\\B"}},
        CodeCase{"UpdateDriverFailed",
                 777,
                 RESULT_UPDATE_DRIVER_FAILED,
                 [](System& s) { s.SetDriverUpdate(false, false); },
                 {"-c", kInf, "Root\\A"}},
        CodeCase{"CopyOemInfFailed",
                 778,
                 RESULT_COPY_OEM_INF_FAILED,
                 nullptr,
                 {"-i", "C:\\pkg\\missing.inf"}},
        CodeCase{"RemoveDeviceFailed",
                 779,
                 RESULT_REMOVE_DEVICE_FAILED,
                 [](System& s) {
                   System::Device stuck{"R\\2", "System", {"Root\\A"}};
                   stuck.removeFails = true;
                   s.AddDevice(stuck);
                 },
                 {"-r", "Root\\A"}},
        CodeCase{"LocateDevnodeFailed",
                 780,
                 RESULT_LOCATE_DEVNODE_FAILED,
                 [](System& s) { s.SetConfigManager(CR_FAILURE, CR_SUCCESS); },
                 {"-e"}},
        CodeCase{"ReenumerateFailed",
                 781,
                 RESULT_REENUMERATE_FAILED,
                 [](System& s) { s.SetConfigManager(CR_SUCCESS, CR_FAILURE); },
                 {"-e"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(SetupTest, ACreateThatAsksForARestartWritesExactlyTheseBytes) {
  sys().PutFile(kInf, System::Inf("1.0", "System", {"Root\\A", "Root\\B", "Root\\TarvikKeyBus"}));
  sys().SetDriverUpdate(true, true);
  Outcome run = Tool({"-c", kInf, "Root\\TarvikKeyBus"});
  std::vector<uint8_t> expected(524, 0);
  expected[4] = 0x01;
  EXPECT_EQ(0, run.exit);
  EXPECT_EQ(expected, run.bytes);
  EXPECT_EQ(1, sys().StdoutWrites());
}

}  // namespace
}  // namespace setup::test
