// The device installer on the simulated system: device information sets and
// lists, the hardware-ID property, the class installer's register and
// remove, the driver update of newdev and the configuration manager.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim/win32/state.h"

using namespace sim::win32;

namespace {

// A set that is not open is a misuse (a handle used after its release);
// null and the invalid handle value are refused without one.
DeviceSet* FindSet(HDEVINFO set) {
  auto it = S().sets.find(static_cast<int>(reinterpret_cast<intptr_t>(set)));
  if (it == S().sets.end()) {
    if (set != nullptr && set != INVALID_HANDLE_VALUE)
      Violation("a device information set used that is not open");
    return nullptr;
  }
  return &it->second;
}

HDEVINFO NewSet(DeviceSet set) {
  const int id = S().nextSet++;
  S().sets[id] = std::move(set);
  return reinterpret_cast<HDEVINFO>(static_cast<intptr_t>(id));
}

// The device behind a device data structure handed out by this set.
System::Device* Member(HDEVINFO set, PSP_DEVINFO_DATA data, size_t* index = nullptr) {
  DeviceSet* s = FindSet(set);
  if (!s || !data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0)
    return nullptr;
  const size_t i = data->Reserved - 1;
  if (i >= S().devices.size())
    return nullptr;
  if (std::find(s->members.begin(), s->members.end(), i) == s->members.end())
    return nullptr;  // device data of another set
  if (index)
    *index = i;
  return &S().devices[i];
}

// Removes a device and, with it, every device below it.
void RemoveFromTree(size_t index) {
  S().gone[index] = true;
  for (size_t i = 0; i < S().devices.size(); ++i)
    if (!S().gone[i] && !S().devices[index].instanceId.empty() &&
        Lower(U(S().devices[i].parent)) == Lower(U(S().devices[index].instanceId)))
      RemoveFromTree(i);
}

// Whether a device of the tree has the hardware ID as a whole entry of its
// list, letters folded as the system folds them.
bool HasWholeId(const System::Device& device, const std::u16string& id) {
  for (const std::string& entry : FromMultiString(device.property))
    if (Lower(U(entry)) == Lower(id))
      return true;
  return false;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" into a GUID; false when malformed.
bool ParseGuid(const std::string& text, GUID* guid) {
  unsigned a, b, c, d[8];
  if (text.size() != 38 ||
      std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &a, &b, &c, &d[0], &d[1],
                  &d[2], &d[3], &d[4], &d[5], &d[6], &d[7]) != 11)
    return false;
  guid->Data1 = a;
  guid->Data2 = static_cast<uint16_t>(b);
  guid->Data3 = static_cast<uint16_t>(c);
  for (int i = 0; i < 8; ++i)
    guid->Data4[i] = static_cast<uint8_t>(d[i]);
  return true;
}

}  // namespace

// Devices of every class, present or not; DIGCF_PRESENT keeps the attached
// ones, DIGCF_PROFILE those of the current hardware profile.
HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                     DWORD flags) {
  if (!Enter("SetupDiGetClassDevsW"))
    return INVALID_HANDLE_VALUE;
  S().classDevsCalls.push_back(
      {flags, classGuid != nullptr, enumerator != nullptr, parent != nullptr});
  if (classGuid == nullptr && !(flags & DIGCF_ALLCLASSES))
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  DeviceSet set;
  for (size_t i = 0; i < S().devices.size(); ++i) {
    const System::Device& d = S().devices[i];
    if (!S().gone[i] && (!(flags & DIGCF_PRESENT) || d.present) &&
        (!(flags & DIGCF_PROFILE) || d.inProfile))
      set.members.push_back(i);
  }
  for (size_t i : set.members)
    if (S().devices[i].vanishes)
      RemoveFromTree(i);  // listed, then gone before the caller reads it
  return NewSet(set);
}

// A failed destroy still releases the set (see System::Audit).
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  const bool failed = !Enter("SetupDiDestroyDeviceInfoList");
  if (!S().sets.erase(static_cast<int>(reinterpret_cast<intptr_t>(set)))) {
    Violation("SetupDiDestroyDeviceInfoList of a set that is not open");
    return Fail(ERROR_INVALID_HANDLE);
  }
  return failed ? FALSE : TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  if (!Enter("SetupDiEnumDeviceInfo"))
    return FALSE;
  DeviceSet* s = FindSet(set);
  if (!s || !data || data->cbSize != sizeof(SP_DEVINFO_DATA))
    return Fail(ERROR_INVALID_PARAMETER);
  if (index >= s->members.size())
    return Fail(ERROR_NO_MORE_ITEMS);
  std::memset(&data->ClassGuid, 0, sizeof(data->ClassGuid));
  data->DevInst = static_cast<DWORD>(s->members[index] + 1);
  data->Reserved = s->members[index] + 1;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                              PDWORD type, BYTE* buffer, DWORD size,
                                              PDWORD required) {
  if (!Enter("SetupDiGetDeviceRegistryPropertyW"))
    return FALSE;
  System::PropertyRead read{size, -1, false};
  auto block = S().heap.find(buffer);
  if (buffer && block != S().heap.end()) {
    read.blockSize = static_cast<long long>(block->second);
    read.zeroed = true;
    for (size_t i = 0; i < block->second; ++i)
      read.zeroed = read.zeroed && buffer[i] == 0;
  }
  S().propertyReads.push_back(read);
  size_t index = 0;
  System::Device* device = Member(set, data, &index);
  if (!device || property != SPDRP_HARDWAREID || (!buffer && size != 0))
    return Fail(ERROR_INVALID_PARAMETER);
  if (S().gone[index])
    return Fail(ERROR_NO_SUCH_DEVINST);  // removed from the tree since it was listed
  if (device->noList)
    return Fail(ERROR_INVALID_DATA);  // the device has no such property
  // Exactly the bytes stored: no terminator is added to a list without one.
  const std::vector<BYTE>& bytes = device->property;
  if (required)
    *required = static_cast<DWORD>(bytes.size());
  if (type)
    *type = REG_MULTI_SZ;
  if (!buffer || size < bytes.size())
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, bytes.data(), bytes.size());
  return TRUE;
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                              const BYTE* buffer, DWORD size) {
  if (!Enter("SetupDiSetDeviceRegistryPropertyW"))
    return FALSE;
  System::Device* device = Member(set, data);
  if (!device || property != SPDRP_HARDWAREID || !buffer)
    return Fail(ERROR_INVALID_PARAMETER);
  device->property.assign(buffer, buffer + size);
  device->hardwareIds = FromMultiString(device->property);
  device->noList = false;
  return TRUE;
}

// Class and ClassGuid of the INF's [Version] section. With a class GUID the
// call succeeds even without a class name (which is then empty); a name
// that does not fit fails with ERROR_INSUFFICIENT_BUFFER, or under Wine's
// plan succeeds and leaves the buffer as it was.
BOOL WINAPI SetupDiGetINFClassW(PCWSTR infName, LPGUID classGuid, PWSTR className, DWORD size,
                                PDWORD required) {
  if (!Enter("SetupDiGetINFClassW"))
    return FALSE;
  if (!infName || !classGuid || !className || size == 0)
    return Fail(ERROR_INVALID_PARAMETER);
  const File* inf = FindFile(FromW(infName));
  if (!inf)
    return Fail(ERROR_FILE_NOT_FOUND);
  const std::string& text = inf->contents;
  std::string name, guidText;
  const bool haveName = VersionKey(text, "Class", &name) && !name.empty();
  const bool haveGuid = VersionKey(text, "ClassGuid", &guidText);
  GUID guid{};
  if (haveGuid && !ParseGuid(guidText, &guid))
    return Fail(ERROR_INVALID_PARAMETER);
  if (!haveName && !haveGuid)
    return Fail(ERROR_INVALID_DATA);
  if (required)
    *required = haveName ? static_cast<DWORD>(name.size() + 1) : 0;
  *classGuid = guid;
  if (!haveName) {
    className[0] = 0;
    return TRUE;
  }
  if (!ToW(U(name), className, size))
    return Fail(ERROR_INSUFFICIENT_BUFFER, haveGuid && S().infClassLeavesBuffer ? TRUE : FALSE);
  return TRUE;
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID*, HWND) {
  if (!Enter("SetupDiCreateDeviceInfoList"))
    return INVALID_HANDLE_VALUE;
  DeviceSet list;
  list.list = true;
  return NewSet(list);
}

// An element of a list: a device that exists only once it is registered.
BOOL WINAPI SetupDiCreateDeviceInfoW(HDEVINFO set, PCWSTR deviceName, const GUID*, PCWSTR, HWND,
                                     DWORD flags, PSP_DEVINFO_DATA data) {
  if (!Enter("SetupDiCreateDeviceInfoW"))
    return FALSE;
  DeviceSet* s = FindSet(set);
  if (!s || !s->list || !deviceName || !data || data->cbSize != sizeof(SP_DEVINFO_DATA))
    return Fail(ERROR_INVALID_PARAMETER);
  System::Device device;
  device.className = Narrow(FromW(deviceName));
  device.instanceId = (flags & DICD_GENERATE_ID)
                          ? "ROOT\\" + device.className + "\\" + std::to_string(S().generated++)
                          : device.className;
  device.noList = true;
  S().devices.push_back(device);
  S().gone.push_back(true);  // not in the tree until registered
  S().installFlags.push_back(0);
  s->members.push_back(S().devices.size() - 1);
  s->elements++;
  data->DevInst = static_cast<DWORD>(S().devices.size());
  data->Reserved = S().devices.size();
  return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DWORD function, HDEVINFO set, PSP_DEVINFO_DATA data) {
  if (!Enter("SetupDiCallClassInstaller"))
    return FALSE;
  size_t index = 0;
  System::Device* device = Member(set, data, &index);
  if (!device)
    return Fail(ERROR_INVALID_PARAMETER);
  switch (function) {
    case DIF_REGISTERDEVICE:
      S().gone[index] = false;
      return TRUE;
    case DIF_REMOVE:
      if (device->removeFails || S().gone[index])
        return Fail(ERROR_NO_SUCH_DEVINST);
      RemoveFromTree(index);  // the element stays in the set, as on Windows
      S().installFlags[index] |= (device->removeNeedsReboot ? DI_NEEDREBOOT : 0) |
                                 (device->removeNeedsRestart ? DI_NEEDRESTART : 0);
      return TRUE;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA data,
                                           PSP_DEVINSTALL_PARAMS_W params) {
  if (!Enter("SetupDiGetDeviceInstallParamsW"))
    return FALSE;
  size_t index = 0;
  System::Device* device = Member(set, data, &index);
  if (!device || !params || params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W))
    return Fail(ERROR_INVALID_PARAMETER);
  const DWORD size = params->cbSize;
  std::memset(params, 0, sizeof(*params));
  params->cbSize = size;
  params->Flags = S().installFlags[index];  // what the class installer set
  return TRUE;
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR hardwareId, LPCWSTR infPath,
                                               DWORD flags, BOOL* rebootRequired) {
  if (!Enter("UpdateDriverForPlugAndPlayDevicesW"))
    return FALSE;
  S().updates.push_back({Narrow(FromW(hardwareId)), Narrow(FromW(infPath)), flags,
                         static_cast<int>(S().sets.size())});
  if (!hardwareId || !infPath)
    return Fail(ERROR_INVALID_PARAMETER);
  const File* inf = FindFile(FromW(infPath));
  if (!inf)
    return Fail(ERROR_FILE_NOT_FOUND);  // "the path specified for FullInfPath does not exist"
  std::vector<const System::Device*> targets;
  for (size_t i = 0; i < S().devices.size(); ++i)
    if (!S().gone[i] && HasWholeId(S().devices[i], FromW(hardwareId)))
      targets.push_back(&S().devices[i]);
  if (targets.empty())
    return Fail(ERROR_NO_SUCH_DEVINST);  // no device of the system has the ID
  // The driver list: the models x64 Windows reads from the INF on this system
  // must name an ID of a device the update installs on; with none,
  // DIF_SELECTBESTCOMPATDRV finds no driver.
  bool compatible = false;
  for (const std::string& id : InfModelIds(inf->contents, S().os))
    for (const System::Device* device : targets)
      compatible = compatible || HasWholeId(*device, U(id));
  if (!compatible)
    return Fail(ERROR_NO_COMPAT_DRIVERS);
  // Signature checks load their module by bare name, on the tool's behalf.
  if (HMODULE loaded = LoadModule(u"wintrust", 0, &S().systemLoads))
    reinterpret_cast<Module*>(loaded)->references--;
  if (!S().updateSucceeds)
    return Fail(ERROR_NO_SUCH_DEVINST);
  if (rebootRequired)
    *rebootRequired = S().updateReboot ? TRUE : FALSE;
  return TRUE;
}

// With no instance ID the root of the tree; flags are taken as given and
// recorded, a node other than the one handed out is refused.
CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST devInst, LPWSTR deviceId, DWORD flags) {
  const bool failed = !Enter("CM_Locate_DevNodeW");
  S().configCalls.push_back({"locate", 0, deviceId != nullptr, flags});
  if (failed)
    return CR_FAILURE;
  if (!devInst)
    return CR_INVALID_DEVNODE;
  *devInst = 0;
  if (S().locate == CR_SUCCESS)
    *devInst = System::kRootNode;
  return S().locate;
}

CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST devInst, DWORD flags) {
  const bool failed = !Enter("CM_Reenumerate_DevNode");
  S().configCalls.push_back({"reenumerate", devInst, false, flags});
  if (failed)
    return CR_FAILURE;
  if (devInst != System::kRootNode)
    return CR_INVALID_DEVNODE;
  return S().reenumerate;
}
