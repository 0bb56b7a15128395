// The setup tool: its one object, the record it writes and the result codes.
#pragma once

#include "setup/win32.h"

enum ResultCode : DWORD {
  RESULT_SUCCESS = 0,
  RESULT_MODULE_NOT_FOUND = 2,
  RESULT_ENTRY_NOT_FOUND = 3,
  RESULT_INVALID_PARAMETER = 4,
  RESULT_WINDOWS_DIR_FAILED = 0x102,
  RESULT_DELETE_FILE_FAILED = 0x104,
  RESULT_REG_OPEN_FAILED = 0x201,
  RESULT_REG_ENUM_FAILED = 0x203,
  RESULT_REG_QUERY_FAILED = 0x204,
  RESULT_REG_SET_FAILED = 0x205,
  RESULT_GET_HARDWARE_ID_FAILED = 0x301,
  RESULT_SET_HARDWARE_ID_FAILED = 0x302,
  RESULT_ENUM_DEVICE_FAILED = 0x303,
  RESULT_CREATE_DEVICE_FAILED = 0x304,
  RESULT_REGISTER_DEVICE_FAILED = 0x305,
  RESULT_CREATE_DEVICE_LIST_FAILED = 0x306,
  RESULT_GET_CLASS_DEVS_FAILED = 0x307,
  RESULT_GET_INF_CLASS_FAILED = 0x308,
  RESULT_UPDATE_DRIVER_FAILED = 0x309,
  RESULT_COPY_OEM_INF_FAILED = 0x30A,
  RESULT_REMOVE_DEVICE_FAILED = 0x30B,
  RESULT_LOCATE_DEVNODE_FAILED = 0x30C,
  RESULT_REENUMERATE_FAILED = 0x30D,
};

constexpr DWORD VersionEntryUnits = 16;
constexpr DWORD VersionEntryCount = 16;

// The driver versions of the installed copies of an INF (-g).
#pragma pack(push, 1)
struct VersionList {
  DWORD Count;
  WCHAR Entries[VersionEntryCount][VersionEntryUnits];
};

// The record written to standard output: all numbers little-endian.
constexpr DWORD SetupPayloadSize = 512;
struct SetupResult {
  DWORD ResultCode;
  DWORD RebootRequired;
  DWORD PayloadLength;
  BYTE Payload[SetupPayloadSize];
};
#pragma pack(pop)
static_assert(sizeof(VersionList) == 516, "VersionList is 516 bytes");
static_assert(sizeof(SetupResult) == 524, "SetupResult is 524 bytes");

class PathBuffer;

typedef UINT(WINAPI* GetSystemWindowsDirectoryWFn)(LPWSTR, UINT);
typedef BOOL(WINAPI* SetupQueryInfOriginalFileInformationWFn)(PSP_INF_INFORMATION, UINT,
                                                              PSP_ALTPLATFORM_INFO,
                                                              PSP_ORIGINAL_FILE_INFO_W);
typedef BOOL(WINAPI* SetupCopyOEMInfWFn)(PCWSTR, PCWSTR, DWORD, DWORD, PWSTR, DWORD, PDWORD,
                                         PWSTR*);

// The tool's one object: the steps are its operations. A step returns
// nonzero on success; before it returns 0 it stores a code in ResultCode.
class vkDrvPnp {
 public:
  vkDrvPnp();
  virtual ~vkDrvPnp();

  // -i
  BOOL CopyOemInf(LPCWSTR InfPath);
  // -c, -r, -e and the device search they share
  BOOL FindDeviceByHardwareId(HDEVINFO DeviceSet, LPCWSTR HardwareId, PSP_DEVINFO_DATA DeviceData,
                              LONG* Position);
  BOOL InstallRootDevice(LPCWSTR HardwareId, LPCWSTR InfPath);
  BOOL RemoveDevices(LPCWSTR HardwareId);
  BOOL RescanDevices();
  // -u, -d and the notion of an installed copy
  BOOL FindOemInf(LPCWSTR InfName, WCHAR* Found);
  BOOL UninstallOemInf(LPCWSTR InfName);
  BOOL DeleteDriverFile(LPCWSTR FileName, BOOL InDriversFolder);
  // -g
  BOOL QueryInfVersions(LPCWSTR InfName, VersionList* List);
  // -s
  BOOL SetServiceValue(LPCWSTR Service, LPCWSTR ValueName, DWORD Number);

  DWORD RebootRequired;
  DWORD ResultCode;
  GetSystemWindowsDirectoryWFn pfnGetSystemWindowsDirectoryW;
  SetupQueryInfOriginalFileInformationWFn pfnSetupQueryInfOriginalFileInformationW;
  SetupCopyOEMInfWFn pfnSetupCopyOEMInfW;

 private:
  enum class IdMatch { Prefix, Whole };
  // The search of FindDeviceByHardwareId, with entries that begin with the
  // hardware ID or only entries equal to it.
  BOOL FindDevice(HDEVINFO DeviceSet, LPCWSTR HardwareId, IdMatch Match,
                  PSP_DEVINFO_DATA DeviceData, LONG* Position);
  void Bind();
  // The Windows directory into Buffer (MAX_PATH units); false when it cannot
  // be had, or when its entry point was not bound.
  bool WindowsDirectory(WCHAR* Buffer);
  // The Windows directory + "\inf\" + Name into Path: RESULT_SUCCESS,
  // RESULT_WINDOWS_DIR_FAILED, or RESULT_INVALID_PARAMETER when it does not fit.
  DWORD InfFolderPath(LPCWSTR Name, PathBuffer* Path);
  // -c: a root device of the INF's class with the hardware ID; the list that
  // holds it, or null with a code stored.
  HDEVINFO CreateRootDevice(LPCWSTR HardwareId, LPCWSTR InfPath, PSP_DEVINFO_DATA Device);
  // -c: the driver update from newdev; a failed update removes the device
  // of Created, the list of a device this run created (null for none).
  BOOL UpdateDriver(LPCWSTR HardwareId, LPCWSTR InfPath, HDEVINFO Created, PSP_DEVINFO_DATA Device);
  // The original name of an INF in the INF folder, into Name (MAX_PATH units).
  bool OriginalName(LPCWSTR InfPath, WCHAR* Name, PSP_INF_INFORMATION* Information);
};

// From the call on, DLLs that system code loads for the tool come from the
// system folder only (when the system has SetDefaultDllDirectories).
void RestrictDllSearch();

// The program, wmain's whole body: restricts the DLL search, then checks the
// command line, runs one step and writes one record. Returns the exit value.
int SetupMain(int argc, WCHAR** argv);
