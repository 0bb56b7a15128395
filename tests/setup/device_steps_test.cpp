// -c, -r and -e on the simulated device tree.
#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

using Device = sim::win32::System::Device;

class DeviceSteps : public SetupTest {
 protected:
  void SetUp() override {
    SetupTest::SetUp();
    sys().PutFile(
        "C:\\pkg\\bus.inf",
        sim::win32::System::Inf("1.0", "System", {"Root\\A", "Root\\B", "Root\\TarvikKeyBus"}));
  }
  std::vector<std::string> Ids() {
    std::vector<std::string> ids;
    for (const auto& d : sys().Devices())
      ids.push_back(d.instanceId);
    return ids;
  }
};

TEST_F(DeviceSteps, CreatesARootDeviceWhenNoneHasTheId) {
  sys().AddDevice({"PCI\\VEN_1", "System", {"PCI\\VEN_1&DEV_2"}});
  sys().AddDevice({"ACPI\\X", "System", {}, true});  // no hardware-ID list: skipped
  Outcome run = Tool({"-c", "C:\\pkg\\bus.inf", "Root\\TarvikKeyBus"});
  EXPECT_EQ(0u, run.Code());
  ASSERT_EQ(3u, sys().Devices().size());
  const Device created = sys().Devices()[2];
  EXPECT_EQ("ROOT\\System\\0", created.instanceId);
  EXPECT_EQ(std::vector<std::string>{"Root\\TarvikKeyBus"}, created.hardwareIds);
  ASSERT_EQ(1u, sys().Updates().size());
  EXPECT_EQ("Root\\TarvikKeyBus", sys().Updates()[0].hardwareId);
  EXPECT_EQ("C:\\pkg\\bus.inf", sys().Updates()[0].infPath);
  EXPECT_EQ(1u, sys().Updates()[0].flags);
  EXPECT_EQ(0, sys().LoadedModules());
}

struct ExistingCase {
  const char* name;
  Device device;
};

class Existing : public DeviceSteps, public ::testing::WithParamInterface<ExistingCase> {};

TEST_P(Existing, OnlyTheDriverUpdateRuns) {
  sys().AddDevice(GetParam().device);
  EXPECT_EQ(0u, Tool({"-c", "C:\\pkg\\bus.inf", "Root\\TarvikKeyBus"}).Code());
  EXPECT_EQ(1u, sys().Devices().size());
  EXPECT_EQ(1u, sys().Updates().size());
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Existing,
    ::testing::Values(
        ExistingCase{"SameCase", {"ROOT\\SYSTEM\\0000", "System", {"Root\\TarvikKeyBus"}}},
        ExistingCase{"OtherCase", {"ROOT\\SYSTEM\\0000", "System", {"ROOT\\tarvikkeybus"}}},
        ExistingCase{"AsTheSecondEntry", {"R\\1", "System", {"X", "root\\TARVIKKEYBUS"}}},
        ExistingCase{"NotPresent", {"R\\1", "System", {"Root\\TarvikKeyBus"}, false, false}}),
    [](const auto& info) { return info.param.name; });

TEST_F(DeviceSteps, RebootAndFailedUpdates) {
  sys().SetDriverUpdate(true, true);
  Outcome run = Tool({"-c", "C:\\pkg\\bus.inf", "Root\\A"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(1u, run.Reboot());
  // A failed update removes the device this run created...
  sys().SetDriverUpdate(false, false);
  run = Tool({"-c", "C:\\pkg\\bus.inf", "Root\\B"});
  EXPECT_EQ(RESULT_UPDATE_DRIVER_FAILED, run.Code());
  EXPECT_EQ(std::vector<std::string>{"ROOT\\System\\0"}, Ids());
  // ...and leaves one that was there before.
  EXPECT_EQ(RESULT_UPDATE_DRIVER_FAILED, Tool({"-c", "C:\\pkg\\bus.inf", "Root\\A"}).Code());
  EXPECT_EQ(std::vector<std::string>{"ROOT\\System\\0"}, Ids());
}

struct CreateFailure {
  const char* name;
  const char* function;
  DWORD code;
  size_t devicesAfter;
};

class CreateFailures : public DeviceSteps, public ::testing::WithParamInterface<CreateFailure> {};

TEST_P(CreateFailures, CodeAndWhatIsLeft) {
  const auto& p = GetParam();
  sys().Fail(p.function, ERROR_ACCESS_DENIED);
  EXPECT_EQ(p.code, Tool({"-c", "C:\\pkg\\bus.inf", "Root\\A"}).Code());
  EXPECT_EQ(p.devicesAfter, sys().Devices().size());
  EXPECT_EQ(0, sys().LoadedModules());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CreateFailures,
    ::testing::Values(
        CreateFailure{"ClassDevs", "SetupDiGetClassDevsW", RESULT_GET_CLASS_DEVS_FAILED, 0},
        CreateFailure{"InfClass", "SetupDiGetINFClassW", RESULT_GET_INF_CLASS_FAILED, 0},
        CreateFailure{"List", "SetupDiCreateDeviceInfoList", RESULT_CREATE_DEVICE_LIST_FAILED, 0},
        CreateFailure{"Element", "SetupDiCreateDeviceInfoW", RESULT_CREATE_DEVICE_FAILED, 0},
        CreateFailure{"HardwareId", "SetupDiSetDeviceRegistryPropertyW",
                      RESULT_SET_HARDWARE_ID_FAILED, 0},
        CreateFailure{"Register", "SetupDiCallClassInstaller", RESULT_REGISTER_DEVICE_FAILED, 0},
        CreateFailure{"Newdev", "LoadLibraryExW", RESULT_MODULE_NOT_FOUND, 1},
        CreateFailure{"Enumeration", "SetupDiEnumDeviceInfo", RESULT_ENUM_DEVICE_FAILED, 0}),
    [](const auto& info) { return info.param.name; });

TEST_F(DeviceSteps, MissingUpdateEntryPointLeavesTheNewDevice) {
  sys().RemoveEntryPoint("newdev", "UpdateDriverForPlugAndPlayDevicesW");
  EXPECT_EQ(RESULT_ENTRY_NOT_FOUND, Tool({"-c", "C:\\pkg\\bus.inf", "Root\\A"}).Code());
  EXPECT_EQ(1u, sys().Devices().size());
  EXPECT_EQ(0, sys().LoadedModules());
}

TEST_F(DeviceSteps, HardwareIdPropertyErrors) {
  sys().AddDevice({"R\\1", "System", {"Root\\Other"}});
  sys().Fail("SetupDiGetDeviceRegistryPropertyW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(RESULT_GET_HARDWARE_ID_FAILED, Tool({"-r", "Root\\A"}).Code());
  // No memory for the property buffer: the search fails rather than going on without it.
  sys().Fail("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(RESULT_GET_HARDWARE_ID_FAILED, Tool({"-r", "Root\\A"}).Code());
}

TEST_F(DeviceSteps, EmptyHardwareIdIsRefused) {
  sys().AddDevice({"R\\1", "System", {"Root\\A"}});
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Tool({"-r", ""}).Code());
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Tool({"-c", "C:\\pkg\\bus.inf", ""}).Code());
  EXPECT_EQ(1u, sys().Devices().size());
}

TEST_F(DeviceSteps, RemoveEveryMatchingDevice) {
  sys().AddDevice({"R\\1", "System", {"Root\\A"}});
  sys().AddDevice({"R\\2", "System", {"Root\\B"}});
  sys().AddDevice({"R\\3", "System", {"root\\a"}, false, false});  // not attached
  Device reboot{"R\\4", "System", {"Root\\A"}};
  reboot.removeNeedsReboot = true;
  sys().AddDevice(reboot);
  Outcome run = Tool({"-r", "Root\\A"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(1u, run.Reboot());
  EXPECT_EQ(std::vector<std::string>{"R\\2"}, Ids());
  // Nothing left to remove: success, no restart.
  run = Tool({"-r", "Root\\A"});
  EXPECT_EQ(0u, run.Code());
  EXPECT_EQ(0u, run.Reboot());
}

TEST_F(DeviceSteps, AFailedRemovalDoesNotStopTheOthers) {
  Device reboot{"R\\1", "System", {"Root\\A"}};
  reboot.removeNeedsReboot = true;
  Device stuck{"R\\2", "System", {"Root\\A"}};
  stuck.removeFails = true;
  sys().AddDevice(reboot);
  sys().AddDevice(stuck);
  sys().AddDevice({"R\\3", "System", {"Root\\A"}});
  Outcome run = Tool({"-r", "Root\\A"});
  EXPECT_EQ(RESULT_REMOVE_DEVICE_FAILED, run.Code());
  EXPECT_EQ(0u, run.Reboot());  // failed: no restart reported
  EXPECT_EQ(std::vector<std::string>{"R\\2"}, Ids());
}

struct RescanCase {
  const char* name;
  bool removeModule;
  const char* missingEntry;
  CONFIGRET locate, reenumerate;
  DWORD code;
};

class Rescan : public SetupTest, public ::testing::WithParamInterface<RescanCase> {};

TEST_P(Rescan, CodeAndUnload) {
  const auto& p = GetParam();
  if (p.removeModule)
    sys().RemoveModule("cfgmgr32");
  if (p.missingEntry)
    sys().RemoveEntryPoint("cfgmgr32", p.missingEntry);
  sys().SetConfigManager(p.locate, p.reenumerate);
  EXPECT_EQ(p.code, Tool({"-e"}).Code());
  EXPECT_EQ(0, sys().LoadedModules());
  auto calls = sys().Calls();
  const bool located = std::count(calls.begin(), calls.end(), "CM_Locate_DevNodeW") == 1;
  EXPECT_EQ(!p.removeModule && !p.missingEntry, located);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Rescan,
    ::testing::Values(RescanCase{"Success", false, nullptr, CR_SUCCESS, CR_SUCCESS, 0},
                      RescanCase{"NoModule", true, nullptr, CR_SUCCESS, CR_SUCCESS,
                                 RESULT_MODULE_NOT_FOUND},
                      RescanCase{"NoLocate", false, "CM_Locate_DevNodeW", CR_SUCCESS, CR_SUCCESS,
                                 RESULT_ENTRY_NOT_FOUND},
                      RescanCase{"NoReenumerate", false, "CM_Reenumerate_DevNode", CR_SUCCESS,
                                 CR_SUCCESS, RESULT_ENTRY_NOT_FOUND},
                      RescanCase{"LocateFails", false, nullptr, CR_CALL_NOT_IMPLEMENTED, CR_SUCCESS,
                                 RESULT_LOCATE_DEVNODE_FAILED},
                      RescanCase{"ReenumerateFails", false, nullptr, CR_SUCCESS, CR_FAILURE,
                                 RESULT_REENUMERATE_FAILED}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace setup::test
