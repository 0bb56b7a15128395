// Every option, with each platform call it makes failed in turn: a record
// is always written, with exactly the code that table below gives for that
// call (0 only where the failure is one the step ignores), the run leaves
// nothing open, and the system changed only in the way the option may
// change it.
#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "tests/support/win32/setup_test.h"

namespace setup::test {
namespace {

using sim::win32::System;

enum class Change { None, AddInfFiles, DeleteFiles, ServiceKey, AddDevices, RemoveDevices };

// The code of a run in which the nth call of a function fails (nth 0: any
// call of that function not listed on its own).
struct Expect {
  const char* call;
  int nth;
  DWORD code;
};

struct OptionCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<Expect> table;
  Change change;
};

std::optional<DWORD> Expected(const std::vector<Expect>& table, const std::string& call, int nth) {
  for (const auto& e : table)
    if (call == e.call && e.nth == nth)
      return e.code;
  for (const auto& e : table)
    if (call == e.call && e.nth == 0)
      return e.code;
  return std::nullopt;
}

const std::string kService = "system\\currentcontrolset\\services\\tarvik4v2";

void Prepare(System& s) {
  s.PutFile("C:\\pkg\\Tarvik4v2.inf",
            System::Inf("01/01/2026,1.0.0.0", "USB", {"Root\\NewBus", "Root\\TarvikKeyBus"}));
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
  // A key on the bus: removed with it, gone before -r's walk reaches it.
  System::Device key{"TARVIKBUS\\KEY\\0", "USB", {"Root\\TarvikKeyBus\\Key"}};
  key.parent = "ROOT\\SYSTEM\\0000";
  s.AddDevice(key);
  // A package whose INF has a class GUID and no class name.
  s.PutFile("C:\\pkg\\NoClass.inf",
            "[Version]\r\nSignature=\"$Windows NT$\"\r\n"
            "ClassGuid={4D36E97D-E325-11CE-BFC1-08002BE10318}\r\n");
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

size_t gCases = 0;
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
    const std::string point = call + " #" + std::to_string(nth);
    TearDown();
    SetUp();
    Prepare(sys());
    const Snapshot before = Take(sys());
    sys().Fail(call, ERROR_ACCESS_DENIED, {static_cast<uint32_t>(nth - 1)});
    Outcome run = Tool(p.args);
    if (call == "GetStdHandle" || call == "WriteFile") {
      EXPECT_EQ(-1, run.exit) << point;
      continue;
    }
    EXPECT_EQ(0, run.exit) << point;
    ASSERT_EQ(524u, run.bytes.size()) << point;
    const std::optional<DWORD> code = Expected(p.table, call, nth);
    if (!code) {
      ADD_FAILURE() << point << ": no expectation (the run gave " << run.Code() << ")";
    } else {
      EXPECT_EQ(*code, run.Code()) << point;
    }
    if (run.Code() != 0) {
      EXPECT_EQ(0u, run.Reboot()) << point;
    }
    EXPECT_EQ("", Unexpected(p.change, before, Take(sys()))) << point;
    EXPECT_EQ(0, sys().LoadedModules()) << point;
  }
  gCases++;
  gPoints += calls.size();
  std::printf("[ sweep    ] setup %s: %zu calls failed in turn (%zu cases, %zu calls so far)\n",
              p.name, calls.size(), gCases, gPoints);
}

// The DLL search is restricted before binding; a system that cannot is
// used with its default search order, and the step goes on.
const std::vector<Expect> kHardening = {
    {"GetModuleHandleW", 1, 0}, {"GetProcAddress", 1, 0}, {"SetDefaultDllDirectories", 0, 0}};
// Binding as a step judged by ResultCode sees it: every failure gives its
// code (module 2, entry point 3).
const std::vector<Expect> kBindingReported = {{"GetModuleHandleW", 0, RESULT_MODULE_NOT_FOUND},
                                              {"GetProcAddress", 2, RESULT_ENTRY_NOT_FOUND},
                                              {"GetProcAddress", 3, RESULT_ENTRY_NOT_FOUND},
                                              {"GetProcAddress", 4, RESULT_ENTRY_NOT_FOUND}};
// Binding as a step that needs none of its entry points sees it: success.
const std::vector<Expect> kBindingIgnored = {{"GetModuleHandleW", 0, 0},
                                             {"GetProcAddress", 2, 0},
                                             {"GetProcAddress", 3, 0},
                                             {"GetProcAddress", 4, 0}};
// -d needs the Windows directory's entry point, the first one bound.
const std::vector<Expect> kBindingDelete = {{"GetModuleHandleW", 2, RESULT_MODULE_NOT_FOUND},
                                            {"GetModuleHandleW", 3, 0},
                                            {"GetProcAddress", 2, RESULT_ENTRY_NOT_FOUND},
                                            {"GetProcAddress", 3, 0},
                                            {"GetProcAddress", 4, 0}};
// The record cannot be written: no code, exit value -1.
const std::vector<Expect> kOutput = {{"GetStdHandle", 0, 0}, {"WriteFile", 0, 0}};

std::vector<Expect> Table(std::initializer_list<std::vector<Expect>> parts) {
  std::vector<Expect> table;
  for (const auto& part : parts)
    table.insert(table.end(), part.begin(), part.end());
  return table;
}

// The device search of -c and -r: building the set, walking it, reading
// each hardware-ID list (its size, then into a block that cannot be
// allocated either); releasing the set is not examined.
const std::vector<Expect> kSearch = {
    {"SetupDiGetClassDevsW", 0, RESULT_GET_CLASS_DEVS_FAILED},
    {"SetupDiEnumDeviceInfo", 0, RESULT_ENUM_DEVICE_FAILED},
    {"SetupDiGetDeviceRegistryPropertyW", 0, RESULT_GET_HARDWARE_ID_FAILED},
    {"LocalAlloc", 0, RESULT_GET_HARDWARE_ID_FAILED},
    {"SetupDiDestroyDeviceInfoList", 0, 0}};
// The driver update of -c.
const std::vector<Expect> kUpdate = {
    {"LoadLibraryExW", 0, RESULT_MODULE_NOT_FOUND},
    {"GetProcAddress", 5, RESULT_ENTRY_NOT_FOUND},
    {"UpdateDriverForPlugAndPlayDevicesW", 0, RESULT_UPDATE_DRIVER_FAILED},
    {"FreeLibrary", 0, 0}};
// Reading one INF's information, its original name and its version: a
// candidate that cannot be read is skipped.
const std::vector<Expect> kCandidates = {{"SetupGetInfInformationW", 0, 0},
                                         {"LocalAlloc", 0, 0},
                                         {"SetupQueryInfOriginalFileInformationW", 0, 0},
                                         {"SetupQueryInfVersionInformationW", 0, 0},
                                         {"FindNextFileW", 0, 0},
                                         {"FindClose", 0, 0}};
// -d of an INF or of the driver: the Windows directory, the search for the
// name, and the deletion of what it found.
const std::vector<Expect> kDeleteByName = {
    {"GetSystemWindowsDirectoryW", 0, RESULT_WINDOWS_DIR_FAILED},
    {"FindFirstFileW", 0, 0},
    {"FindClose", 0, 0},
    {"DeleteFileW", 0, RESULT_DELETE_FILE_FAILED}};

INSTANTIATE_TEST_SUITE_P(
    Options, SetupSweep,
    ::testing::Values(
        OptionCase{"Install",
                   {"-i", "C:\\pkg\\Tarvik4v2.inf"},
                   Table({kHardening,
                          kBindingReported,
                          kOutput,
                          {{"SetupCopyOEMInfW", 0, RESULT_COPY_OEM_INF_FAILED}}}),
                   Change::AddInfFiles},
        // Passes: the own-name copy (1: GetSystemWindowsDirectoryW #1, the
        // INF and its .pnf), oem2.inf (2: #2 own name, #3 pattern, #4
        // candidate), then none left (3: #5, #6, #7 for oem3.inf). A failed
        // existence test or pattern search finds nothing, which is no error.
        OptionCase{"Uninstall",
                   {"-u", "Tarvik4v2.inf"},
                   Table({kHardening,
                          kBindingReported,
                          kOutput,
                          kCandidates,
                          {{"GetSystemWindowsDirectoryW", 0, RESULT_WINDOWS_DIR_FAILED},
                           {"FindFirstFileW", 0, 0},
                           {"DeleteFileW", 0, RESULT_DELETE_FILE_FAILED}}}),
                   Change::DeleteFiles},
        OptionCase{"DeleteInf",
                   {"-d", "Tarvik4v2.inf", "i"},
                   Table({kHardening, kBindingDelete, kOutput, kDeleteByName}),
                   Change::DeleteFiles},
        OptionCase{"DeleteDriver",
                   {"-d", "Tarvik4v2.sys", "s"},
                   Table({kHardening, kBindingDelete, kOutput, kDeleteByName}),
                   Change::DeleteFiles},
        // The Windows directory for the own name (#1), the pattern (#2) and
        // each candidate (#3, #4).
        OptionCase{"Versions",
                   {"-g", "Tarvik4v2.inf"},
                   Table({kHardening,
                          kBindingReported,
                          kOutput,
                          kCandidates,
                          {{"GetSystemWindowsDirectoryW", 0, RESULT_WINDOWS_DIR_FAILED},
                           {"FindFirstFileW", 0, 0}}}),
                   Change::None},
        OptionCase{"Service",
                   {"-s", "Tarvik4v2", "Level", "7"},
                   Table({kHardening,
                          kBindingIgnored,
                          kOutput,
                          {{"RegOpenKeyW", 0, RESULT_REG_OPEN_FAILED},
                           {"RegEnumValueW", 0, RESULT_REG_ENUM_FAILED},
                           {"RegQueryValueExW", 0, RESULT_REG_QUERY_FAILED},
                           {"RegSetValueExW", 0, RESULT_REG_SET_FAILED},
                           {"RegCloseKey", 0, 0}}}),
                   Change::ServiceKey},
        OptionCase{"CreateNew",
                   {"-c", "C:\\pkg\\Tarvik4v2.inf", "Root\\NewBus"},
                   Table({kHardening,
                          kBindingIgnored,
                          kOutput,
                          kSearch,
                          kUpdate,
                          {{"SetupDiGetINFClassW", 0, RESULT_GET_INF_CLASS_FAILED},
                           {"SetupDiCreateDeviceInfoList", 0, RESULT_CREATE_DEVICE_LIST_FAILED},
                           {"SetupDiCreateDeviceInfoW", 0, RESULT_CREATE_DEVICE_FAILED},
                           {"SetupDiSetDeviceRegistryPropertyW", 0, RESULT_SET_HARDWARE_ID_FAILED},
                           {"SetupDiCallClassInstaller", 0, RESULT_REGISTER_DEVICE_FAILED}}}),
                   Change::AddDevices},
        OptionCase{"CreateExisting",
                   {"-c", "C:\\pkg\\Tarvik4v2.inf", "Root\\TarvikKeyBus"},
                   Table({kHardening, kBindingIgnored, kOutput, kSearch, kUpdate}),
                   Change::None},
        // Two devices match; reading a removed device's install parameters
        // is only a question about a restart.
        OptionCase{"Remove",
                   {"-r", "Root\\TarvikKeyBus"},
                   Table({kHardening,
                          kBindingReported,
                          kOutput,
                          kSearch,
                          {{"SetupDiCallClassInstaller", 0, RESULT_REMOVE_DEVICE_FAILED},
                           {"SetupDiGetDeviceInstallParamsW", 0, 0}}}),
                   Change::RemoveDevices},
        OptionCase{"Rescan",
                   {"-e"},
                   Table({kHardening,
                          kBindingIgnored,
                          kOutput,
                          {{"LoadLibraryExW", 0, RESULT_MODULE_NOT_FOUND},
                           {"GetProcAddress", 5, RESULT_ENTRY_NOT_FOUND},
                           {"GetProcAddress", 6, RESULT_ENTRY_NOT_FOUND},
                           {"CM_Locate_DevNodeW", 0, RESULT_LOCATE_DEVNODE_FAILED},
                           {"CM_Reenumerate_DevNode", 0, RESULT_REENUMERATE_FAILED},
                           {"FreeLibrary", 0, 0}}}),
                   Change::None},
        // A service name that is a path is refused before any call of the
        // step, whatever the calls before it found.
        OptionCase{"ServicePath",
                   {"-s", "Tarvik4v2\\..\\Other", "Level", "7"},
                   Table({kOutput,
                          {{"GetModuleHandleW", 0, RESULT_INVALID_PARAMETER},
                           {"GetProcAddress", 0, RESULT_INVALID_PARAMETER},
                           {"SetDefaultDllDirectories", 0, RESULT_INVALID_PARAMETER}}}),
                   Change::None},
        // The class query succeeds without a name: 776 unless an earlier
        // call failed.
        OptionCase{"CreateWithoutClassName",
                   {"-c", "C:\\pkg\\NoClass.inf", "Root\\NewBus"},
                   Table({kOutput,
                          {{"GetModuleHandleW", 0, RESULT_GET_INF_CLASS_FAILED},
                           {"GetProcAddress", 0, RESULT_GET_INF_CLASS_FAILED},
                           {"SetDefaultDllDirectories", 0, RESULT_GET_INF_CLASS_FAILED},
                           {"SetupDiGetClassDevsW", 0, RESULT_GET_CLASS_DEVS_FAILED},
                           {"SetupDiEnumDeviceInfo", 0, RESULT_ENUM_DEVICE_FAILED},
                           {"SetupDiGetDeviceRegistryPropertyW", 0, RESULT_GET_HARDWARE_ID_FAILED},
                           {"LocalAlloc", 0, RESULT_GET_HARDWARE_ID_FAILED},
                           {"SetupDiDestroyDeviceInfoList", 0, RESULT_GET_INF_CLASS_FAILED},
                           {"SetupDiGetINFClassW", 0, RESULT_GET_INF_CLASS_FAILED}}}),
                   Change::None},
        // A refused command line reports 4 whatever binding found.
        OptionCase{"BadLine",
                   {"-x"},
                   Table({kOutput,
                          {{"GetModuleHandleW", 0, RESULT_INVALID_PARAMETER},
                           {"GetProcAddress", 0, RESULT_INVALID_PARAMETER},
                           {"SetDefaultDllDirectories", 0, RESULT_INVALID_PARAMETER}}}),
                   Change::None}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace setup::test
