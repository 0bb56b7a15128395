// The device steps: finding devices by hardware ID, creating a root device
// and installing the INF's driver on it (-c), removing devices (-r) and
// re-enumerating the device tree (-e).
#include "setup/drv_pnp.h"
#include "setup/wide.h"

namespace {

constexpr DWORD AllClassesOfProfile = DIGCF_ALLCLASSES | DIGCF_PROFILE;
constexpr DWORD ClassNameUnits = 32;
// The longest hardware ID -c takes: with its NUL and the list's closing NUL
// it fills the MAX_PATH + 1 units of the property it sets.
constexpr DWORD MaxHardwareIdUnits = MAX_PATH - 1;
constexpr DWORD InstallFlagForce = 1;   // INSTALLFLAG_FORCE
constexpr DWORD ConfigSuccess = 0;      // CR_SUCCESS
constexpr DWORD LocateNormal = 0;       // CM_LOCATE_DEVNODE_NORMAL
constexpr DWORD ReenumerateNormal = 0;  // CM_REENUMERATE_NORMAL

typedef BOOL(WINAPI* UpdateDriverFn)(HWND, LPCWSTR, LPCWSTR, DWORD, BOOL*);
typedef DWORD(WINAPI* LocateDevNodeFn)(DWORD*, LPWSTR, DWORD);
typedef DWORD(WINAPI* ReenumerateDevNodeFn)(DWORD, DWORD);

const WCHAR NewdevName[] = {'n', 'e', 'w', 'd', 'e', 'v', 0};
const WCHAR CfgmgrName[] = {'c', 'f', 'g', 'm', 'g', 'r', '3', '2', 0};

template <typename T>
T EntryPoint(FARPROC Address) {
  return reinterpret_cast<T>(reinterpret_cast<void (*)()>(Address));
}

WCHAR Folded(WCHAR c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c - 'A' + 'a') : c;
}

// An entry matches when it begins with the hardware ID, or when Whole is set
// when it is the hardware ID; only A-Z fold.
bool Matches(LPCWSTR Entry, LPCWSTR HardwareId, bool Whole) {
  DWORD i = 0;
  for (; HardwareId[i] != 0; ++i) {
    if (Entry[i] == 0 || Folded(Entry[i]) != Folded(HardwareId[i])) {
      return false;
    }
  }
  return !Whole || Entry[i] == 0;
}

// The property block for a list of Bytes bytes: the bytes rounded up to a
// whole unit, then one NUL unit, so that every string ends inside the block
// whatever the size the system reports.
SIZE_T PropertyBlockSize(DWORD Bytes) {
  return (static_cast<SIZE_T>(Bytes) + 1) / sizeof(WCHAR) * sizeof(WCHAR) + sizeof(WCHAR);
}

// Whether a hardware-ID list of Bytes bytes, in a block of
// PropertyBlockSize(Bytes) zero-filled bytes, has an entry that begins with
// the hardware ID. Only strings that begin inside the list count.
bool ListMatches(const WCHAR* List, DWORD Bytes, LPCWSTR HardwareId, bool Whole) {
  DWORD at = 0;
  while (static_cast<SIZE_T>(at) * sizeof(WCHAR) < Bytes && List[at] != 0) {
    if (Matches(List + at, HardwareId, Whole)) {
      return true;
    }
    at += WideLength(List + at) + 1;
  }
  return false;
}

}  // namespace

BOOL vkDrvPnp::FindDeviceByHardwareId(HDEVINFO DeviceSet, LPCWSTR HardwareId,
                                      PSP_DEVINFO_DATA DeviceData, LONG* Position) {
  return FindDevice(DeviceSet, HardwareId, IdMatch::Prefix, DeviceData, Position);
}

BOOL vkDrvPnp::FindDevice(HDEVINFO DeviceSet, LPCWSTR HardwareId, IdMatch Match,
                          PSP_DEVINFO_DATA DeviceData, LONG* Position) {
  if (DeviceSet == nullptr || DeviceSet == INVALID_HANDLE_VALUE || HardwareId == nullptr ||
      DeviceData == nullptr || Position == nullptr) {
    ResultCode = RESULT_INVALID_PARAMETER;
    return FALSE;
  }
  DeviceData->cbSize = sizeof(SP_DEVINFO_DATA);
  for (DWORD index = static_cast<DWORD>(*Position + 1);
       SetupDiEnumDeviceInfo(DeviceSet, index, DeviceData); ++index) {
    BYTE* buffer = nullptr;
    DWORD size = 0;
    DWORD required = 0;
    bool listed = true;
    while (!SetupDiGetDeviceRegistryPropertyW(DeviceSet, DeviceData, SPDRP_HARDWAREID, nullptr,
                                              buffer, size, &required)) {
      const DWORD error = GetLastError();
      // No hardware-ID list, or a member gone from the tree since the set
      // was built (a child removed with its parent): not this device.
      if (error == ERROR_INVALID_DATA || error == ERROR_NO_SUCH_DEVINST) {
        listed = false;
        break;
      }
      if (buffer != nullptr) {
        LocalFree(buffer);
        buffer = nullptr;
      }
      if (error != ERROR_INSUFFICIENT_BUFFER) {
        ResultCode = RESULT_GET_HARDWARE_ID_FAILED;
        return FALSE;
      }
      // Zero-filled and larger than reported: the list always ends in a NUL unit.
      buffer = static_cast<BYTE*>(LocalAlloc(LPTR, PropertyBlockSize(required)));
      if (buffer == nullptr) {
        ResultCode = RESULT_GET_HARDWARE_ID_FAILED;
        return FALSE;
      }
      size = required;
    }
    const bool match = listed && buffer != nullptr &&
                       ListMatches(reinterpret_cast<const WCHAR*>(buffer), size, HardwareId,
                                   Match == IdMatch::Whole);
    if (buffer != nullptr) {
      LocalFree(buffer);
    }
    if (match) {
      *Position = static_cast<LONG>(index);
      return TRUE;
    }
  }
  const DWORD error = GetLastError();
  if (error != ERROR_NO_MORE_ITEMS && error != ERROR_SUCCESS) {
    ResultCode = RESULT_ENUM_DEVICE_FAILED;
    return FALSE;
  }
  *Position = -1;
  return TRUE;
}

BOOL vkDrvPnp::InstallRootDevice(LPCWSTR HardwareId, LPCWSTR InfPath) {
  // An empty hardware ID would match every device that has a list; a longer
  // one than the limit is refused before anything is built.
  if (HardwareId == nullptr || InfPath == nullptr || HardwareId[0] == 0 ||
      WideLength(HardwareId) > MaxHardwareIdUnits) {
    ResultCode = RESULT_INVALID_PARAMETER;
    return FALSE;
  }
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, AllClassesOfProfile);
  if (set == INVALID_HANDLE_VALUE) {
    ResultCode = RESULT_GET_CLASS_DEVS_FAILED;
    return FALSE;
  }
  // A device exists when an entry of its list is the hardware ID itself: the
  // driver update that follows installs on whole IDs only, so a device
  // whose entry merely begins with it would leave the update nothing to do.
  SP_DEVINFO_DATA device;
  LONG position = -1;
  if (!FindDevice(set, HardwareId, IdMatch::Whole, &device, &position)) {
    SetupDiDestroyDeviceInfoList(set);
    return FALSE;
  }
  bool created = false;
  if (position == -1) {
    SetupDiDestroyDeviceInfoList(set);
    set = CreateRootDevice(HardwareId, InfPath, &device);
    if (set == nullptr) {
      return FALSE;
    }
    created = true;
  }
  // The set, or the list of the device this run created, is held until the end.
  const BOOL result = UpdateDriver(HardwareId, InfPath, created ? set : nullptr, &device);
  SetupDiDestroyDeviceInfoList(set);
  return result;
}

HDEVINFO vkDrvPnp::CreateRootDevice(LPCWSTR HardwareId, LPCWSTR InfPath, PSP_DEVINFO_DATA Device) {
  GUID classGuid;
  // Cleared first: a call can succeed without writing a name (an INF with a
  // class GUID and no usable class name), and the device is named from it.
  WCHAR className[ClassNameUnits] = {};
  if (!SetupDiGetINFClassW(InfPath, &classGuid, className, ClassNameUnits, nullptr) ||
      className[0] == 0 || className[ClassNameUnits - 1] != 0) {
    ResultCode = RESULT_GET_INF_CLASS_FAILED;
    return nullptr;
  }
  HDEVINFO list = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
  if (list == INVALID_HANDLE_VALUE) {
    ResultCode = RESULT_CREATE_DEVICE_LIST_FAILED;
    return nullptr;
  }
  if (list == nullptr) {
    ResultCode = RESULT_INVALID_PARAMETER;
    return nullptr;
  }
  Device->cbSize = sizeof(*Device);
  if (!SetupDiCreateDeviceInfoW(list, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID,
                                Device)) {
    ResultCode = RESULT_CREATE_DEVICE_FAILED;
    SetupDiDestroyDeviceInfoList(list);
    return nullptr;
  }
  // One entry and the empty string that ends the list.
  WCHAR ids[MaxHardwareIdUnits + 2];
  const DWORD n = WideLength(HardwareId);
  for (DWORD i = 0; i < n; ++i) {
    ids[i] = HardwareId[i];
  }
  ids[n] = 0;
  ids[n + 1] = 0;
  if (!SetupDiSetDeviceRegistryPropertyW(list, Device, SPDRP_HARDWAREID,
                                         reinterpret_cast<const BYTE*>(ids),
                                         (n + 2) * sizeof(WCHAR))) {
    ResultCode = RESULT_SET_HARDWARE_ID_FAILED;
    SetupDiDestroyDeviceInfoList(list);
    return nullptr;
  }
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list, Device)) {
    ResultCode = RESULT_REGISTER_DEVICE_FAILED;
    SetupDiDestroyDeviceInfoList(list);
    return nullptr;
  }
  return list;
}

BOOL vkDrvPnp::UpdateDriver(LPCWSTR HardwareId, LPCWSTR InfPath, HDEVINFO Created,
                            PSP_DEVINFO_DATA Device) {
  // From the system folder only: never a DLL of that name beside the program.
  HMODULE newdev = LoadLibraryExW(NewdevName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (newdev == nullptr) {
    ResultCode = RESULT_MODULE_NOT_FOUND;
    return FALSE;
  }
  BOOL result = FALSE;
  auto update =
      EntryPoint<UpdateDriverFn>(GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesW"));
  if (update == nullptr) {
    ResultCode = RESULT_ENTRY_NOT_FOUND;
  } else if (update(nullptr, HardwareId, InfPath, InstallFlagForce,
                    reinterpret_cast<BOOL*>(&RebootRequired))) {
    result = TRUE;
  } else {
    if (Created != nullptr) {
      SetupDiCallClassInstaller(DIF_REMOVE, Created, Device);  // leave nothing behind
    }
    ResultCode = RESULT_UPDATE_DRIVER_FAILED;
  }
  FreeLibrary(newdev);
  return result;
}

BOOL vkDrvPnp::RemoveDevices(LPCWSTR HardwareId) {
  // An empty hardware ID would remove every device that has a list.
  if (HardwareId == nullptr || HardwareId[0] == 0) {
    ResultCode = RESULT_INVALID_PARAMETER;
    return FALSE;
  }
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, AllClassesOfProfile);
  if (set == INVALID_HANDLE_VALUE) {
    ResultCode = RESULT_GET_CLASS_DEVS_FAILED;
    return FALSE;
  }
  SP_DEVINFO_DATA device;
  LONG position = -1;
  for (;;) {
    if (!FindDeviceByHardwareId(set, HardwareId, &device, &position)) {
      SetupDiDestroyDeviceInfoList(set);
      return FALSE;
    }
    if (position == -1) {
      SetupDiDestroyDeviceInfoList(set);
      return ResultCode == RESULT_SUCCESS;
    }
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
      ResultCode = RESULT_REMOVE_DEVICE_FAILED;  // the other devices are still removed
      continue;
    }
    SP_DEVINSTALL_PARAMS_W params;
    params.cbSize = sizeof(params);
    // Either flag asks for a restart to finish the removal.
    if (SetupDiGetDeviceInstallParamsW(set, &device, &params) &&
        (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0) {
      RebootRequired = 1;
    }
  }
}

BOOL vkDrvPnp::RescanDevices() {
  // From the system folder only: never a DLL of that name beside the program.
  HMODULE cfgmgr = LoadLibraryExW(CfgmgrName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (cfgmgr == nullptr) {
    ResultCode = RESULT_MODULE_NOT_FOUND;
    return FALSE;
  }
  BOOL result = FALSE;
  DWORD root = 0;
  auto locate = EntryPoint<LocateDevNodeFn>(GetProcAddress(cfgmgr, "CM_Locate_DevNodeW"));
  if (locate == nullptr) {
    ResultCode = RESULT_ENTRY_NOT_FOUND;
    FreeLibrary(cfgmgr);
    return FALSE;
  }
  auto reenumerate =
      EntryPoint<ReenumerateDevNodeFn>(GetProcAddress(cfgmgr, "CM_Reenumerate_DevNode"));
  if (reenumerate == nullptr) {
    ResultCode = RESULT_ENTRY_NOT_FOUND;
  } else if (locate(&root, nullptr, LocateNormal) != ConfigSuccess) {
    ResultCode = RESULT_LOCATE_DEVNODE_FAILED;
  } else if (reenumerate(root, ReenumerateNormal) != ConfigSuccess) {
    ResultCode = RESULT_REENUMERATE_FAILED;
  } else {
    result = TRUE;
  }
  FreeLibrary(cfgmgr);
  return result;
}
