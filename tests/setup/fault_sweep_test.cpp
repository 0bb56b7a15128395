// Every option, with each platform call it makes failed in turn: a record
// is always written, its code is one the option can report, and the system
// changed only in the way the option may change it.
#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

using sim::win32::System;

enum class Change { None, AddInfFiles, DeleteFiles, ServiceKey, AddDevices, RemoveDevices };

struct OptionCase {
  const char* name;
  std::vector<std::string> args;
  std::set<DWORD> codes;  // besides 0
  Change change;
};

const std::string kService = "system\\currentcontrolset\\services\\tarvik4v2";

void Prepare(System& s) {
  s.PutFile("C:\\pkg\\Tarvik4v2.inf", System::Inf("01/01/2026,1.0.0.0", "USB"));
  s.PutFile("C:\\Windows\\inf\\Tarvik4v2.inf", System::Inf("1.0"));
  s.PutFile("C:\\Windows\\inf\\Tarvik4v2.pnf", "PNF");
  s.PutStoredInf("oem2.inf", "Tarvik4v2.inf", System::Inf("2.0"));
  s.PutStoredInf("oem3.inf", "Other.inf", System::Inf("3.0"));
  s.PutFile("C:\\Windows\\system32\\drivers\\Tarvik4v2.sys", "MZ");
  s.CreateKey(kService);
  s.PutDword(kService, "Start", 3);
  s.PutDword(kService, "Level", 1);
  s.AddDevice({"USB\\VID_7E31&PID_5A3C\\1", "USB", {"USB\\VID_7E31&PID_5A3C&REV_0400"}});
  s.AddDevice({"ROOT\\SYSTEM\\0000", "System", {"Root\\TarvikKeyBus"}});
  s.AddDevice({"ROOT\\SYSTEM\\0001", "System", {"root\\tarvikkeybus"}, false, false});
}

struct Snapshot {
  std::map<std::string, std::string> files, registry;
  std::vector<std::string> devices;
};

Snapshot Take(System& s) {
  Snapshot snap{s.FileSnapshot(), s.RegistrySnapshot(), {}};
  for (const auto& d : s.Devices())
    snap.devices.push_back(d.instanceId);
  return snap;
}

bool Subset(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  return std::all_of(a.begin(), a.end(),
                     [&](const std::string& x) { return std::count(b.begin(), b.end(), x) > 0; });
}

// What differs between before and after, if the option may not change it.
std::string Unexpected(Change change, const Snapshot& before, const Snapshot& after) {
  const bool filesSame = before.files == after.files;
  const bool registrySame = before.registry == after.registry;
  const bool devicesSame = before.devices == after.devices;
  switch (change) {
    case Change::None:
      return filesSame && registrySame && devicesSame ? "" : "the system changed";
    case Change::AddInfFiles:
      for (const auto& [path, contents] : before.files)
        if (!after.files.count(path) || after.files.at(path) != contents)
          return "a file changed: " + path;
      for (const auto& [path, contents] : after.files)
        if (!before.files.count(path) && path.rfind("C:\\Windows\\inf\\", 0) != 0)
          return "a file outside the INF folder: " + path;
      return registrySame && devicesSame ? "" : "registry or devices changed";
    case Change::DeleteFiles:
      for (const auto& [path, contents] : after.files)
        if (!before.files.count(path) || before.files.at(path) != contents)
          return "a file appeared or changed: " + path;
      return registrySame && devicesSame ? "" : "registry or devices changed";
    case Change::ServiceKey:
      for (const auto& [key, values] : before.registry)
        if (key != kService && after.registry.at(key) != values)
          return "another key changed: " + key;
      return filesSame && devicesSame && before.registry.size() == after.registry.size()
                 ? ""
                 : "files, devices or keys changed";
    case Change::AddDevices:
      return filesSame && registrySame && Subset(before.devices, after.devices)
                 ? ""
                 : "files or registry changed, or a device went";
    case Change::RemoveDevices:
      return filesSame && registrySame && Subset(after.devices, before.devices)
                 ? ""
                 : "files or registry changed, or a device appeared";
  }
  return "?";
}

class SetupSweep : public SetupTest, public ::testing::WithParamInterface<OptionCase> {};

size_t gPoints = 0;

TEST_P(SetupSweep, EveryCallFailedInTurn) {
  const auto& p = GetParam();
  Prepare(sys());
  const std::vector<std::string> calls = [&] {
    Tool(p.args);
    return sys().Calls();
  }();
  std::map<std::string, int> ordinals;
  for (const std::string& call : calls) {
    const int nth = ++ordinals[call];
    TearDown();
    SetUp();
    Prepare(sys());
    const Snapshot before = Take(sys());
    sys().Fail(call, ERROR_ACCESS_DENIED, nth);
    Outcome run = Tool(p.args);
    const std::string point = call + " #" + std::to_string(nth);
    if (call == "GetStdHandle" || call == "WriteFile") {
      EXPECT_EQ(-1, run.exit) << point;
      continue;
    }
    EXPECT_EQ(0, run.exit) << point;
    ASSERT_EQ(524u, run.bytes.size()) << point;
    EXPECT_TRUE(run.Code() == 0 || p.codes.count(run.Code())) << point << ": code " << run.Code();
    if (run.Code() != 0) {
      EXPECT_EQ(0u, run.Reboot()) << point;
    }
    EXPECT_EQ("", Unexpected(p.change, before, Take(sys()))) << point;
    if (call != "FreeLibrary") {  // a failed unload leaves its module; nothing else may
      EXPECT_EQ(0, sys().LoadedModules()) << point;
    }
  }
  gPoints += calls.size();
  std::printf("[ sweep    ] setup %s: %zu calls failed in turn (%zu so far)\n", p.name,
              calls.size(), gPoints);
}

const std::set<DWORD> kBinding = {RESULT_MODULE_NOT_FOUND, RESULT_ENTRY_NOT_FOUND};

std::set<DWORD> With(std::set<DWORD> codes) {
  codes.insert(kBinding.begin(), kBinding.end());
  return codes;
}

INSTANTIATE_TEST_SUITE_P(
    Options, SetupSweep,
    ::testing::Values(
        OptionCase{"Install",
                   {"-i", "C:\\pkg\\Tarvik4v2.inf"},
                   With({RESULT_COPY_OEM_INF_FAILED}),
                   Change::AddInfFiles},
        OptionCase{"Uninstall",
                   {"-u", "Tarvik4v2.inf"},
                   With({RESULT_WINDOWS_DIR_FAILED, RESULT_DELETE_FILE_FAILED}),
                   Change::DeleteFiles},
        OptionCase{"DeleteInf",
                   {"-d", "Tarvik4v2.inf", "i"},
                   With({RESULT_WINDOWS_DIR_FAILED, RESULT_DELETE_FILE_FAILED}),
                   Change::DeleteFiles},
        OptionCase{"DeleteDriver",
                   {"-d", "Tarvik4v2.sys", "s"},
                   With({RESULT_WINDOWS_DIR_FAILED, RESULT_DELETE_FILE_FAILED}),
                   Change::DeleteFiles},
        OptionCase{
            "Versions", {"-g", "Tarvik4v2.inf"}, With({RESULT_WINDOWS_DIR_FAILED}), Change::None},
        OptionCase{"Service",
                   {"-s", "Tarvik4v2", "Level", "7"},
                   With({RESULT_REG_OPEN_FAILED, RESULT_REG_ENUM_FAILED, RESULT_REG_QUERY_FAILED,
                         RESULT_REG_SET_FAILED}),
                   Change::ServiceKey},
        OptionCase{"CreateNew",
                   {"-c", "C:\\pkg\\Tarvik4v2.inf", "Root\\NewBus"},
                   With({RESULT_GET_HARDWARE_ID_FAILED, RESULT_SET_HARDWARE_ID_FAILED,
                         RESULT_ENUM_DEVICE_FAILED, RESULT_CREATE_DEVICE_FAILED,
                         RESULT_REGISTER_DEVICE_FAILED, RESULT_CREATE_DEVICE_LIST_FAILED,
                         RESULT_GET_CLASS_DEVS_FAILED, RESULT_GET_INF_CLASS_FAILED,
                         RESULT_UPDATE_DRIVER_FAILED}),
                   Change::AddDevices},
        OptionCase{"CreateExisting",
                   {"-c", "C:\\pkg\\Tarvik4v2.inf", "Root\\TarvikKeyBus"},
                   With({RESULT_GET_HARDWARE_ID_FAILED, RESULT_ENUM_DEVICE_FAILED,
                         RESULT_GET_CLASS_DEVS_FAILED, RESULT_UPDATE_DRIVER_FAILED}),
                   Change::None},
        OptionCase{"Remove",
                   {"-r", "Root\\TarvikKeyBus"},
                   With({RESULT_GET_HARDWARE_ID_FAILED, RESULT_ENUM_DEVICE_FAILED,
                         RESULT_GET_CLASS_DEVS_FAILED, RESULT_REMOVE_DEVICE_FAILED}),
                   Change::RemoveDevices},
        OptionCase{"Rescan",
                   {"-e"},
                   With({RESULT_LOCATE_DEVNODE_FAILED, RESULT_REENUMERATE_FAILED}),
                   Change::None},
        OptionCase{"BadLine", {"-x"}, {RESULT_INVALID_PARAMETER}, Change::None}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace setup::test
