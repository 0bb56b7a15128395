// The Win32 subset that the setup tool calls, on the simulated Windows
// system: names, types, constants and layouts as the Windows headers have
// them (WCHAR is 16-bit: the host build uses -fshort-wchar).
#pragma once
#include <cstddef>
#include <cstdint>

#define WINAPI
#define MAX_PATH 260
#define TRUE 1
#define FALSE 0

typedef int BOOL;
typedef unsigned char BYTE;
typedef BYTE* LPBYTE;
typedef uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef uint16_t WORD;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE HLOCAL;
typedef struct HINSTANCE__* HMODULE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef LONG LSTATUS;
typedef intptr_t (*FARPROC)();
typedef size_t SIZE_T;
typedef struct _OVERLAPPED* LPOVERLAPPED;

static_assert(sizeof(WCHAR) == 2, "WCHAR is 16-bit: build with -fshort-wchar");

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_LINE_NOT_FOUND 0xE0000102L

#define REG_SZ 1
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200
#define LOAD_LIBRARY_SEARCH_USER_DIRS 0x00000400
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080

#define SPOST_PATH 1
#define INFINFO_INF_NAME_IS_ABSOLUTE 2

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;

typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

typedef struct _SP_INF_INFORMATION {
  DWORD InfStyle;
  DWORD InfCount;
  BYTE VersionData[1];
} SP_INF_INFORMATION, *PSP_INF_INFORMATION;

typedef struct _SP_ORIGINAL_FILE_INFO_W {
  DWORD cbSize;
  WCHAR OriginalInfName[MAX_PATH];
  WCHAR OriginalCatalogName[MAX_PATH];
} SP_ORIGINAL_FILE_INFO_W, *PSP_ORIGINAL_FILE_INFO_W;
static_assert(sizeof(SP_ORIGINAL_FILE_INFO_W) == 1044, "SP_ORIGINAL_FILE_INFO_W");

typedef struct _SP_ALTPLATFORM_INFO_V2* PSP_ALTPLATFORM_INFO;

// Devices
typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef struct HWND__* HWND;
typedef void* HDEVINFO;
typedef DWORD DEVINST;
typedef DEVINST* PDEVINST;
typedef DWORD CONFIGRET;
typedef uintptr_t ULONG_PTR;

typedef struct _SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVINSTALL_PARAMS_W {
  DWORD cbSize;
  DWORD Flags;
  DWORD FlagsEx;
  HWND hwndParent;
  void* InstallMsgHandler;
  void* InstallMsgHandlerContext;
  void* FileQueue;
  ULONG_PTR ClassInstallReserved;
  DWORD Reserved;
  WCHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_W, *PSP_DEVINSTALL_PARAMS_W;

#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define SPDRP_HARDWAREID 0x00000001
#define DICD_GENERATE_ID 0x00000001
#define DIF_REMOVE 0x00000005
#define DIF_REGISTERDEVICE 0x00000019
#define DI_NEEDRESTART 0x00000080
#define DI_NEEDREBOOT 0x00000100
#define INSTALLFLAG_FORCE 0x00000001
#define CR_SUCCESS 0x00000000
#define CR_INVALID_DEVNODE 0x00000005
#define CR_FAILURE 0x00000013
#define CR_CALL_NOT_IMPLEMENTED 0x00000034
#define CM_LOCATE_DEVNODE_NORMAL 0x00000000
#define CM_REENUMERATE_NORMAL 0x00000000
#define ERROR_NO_SUCH_DEVINST 0xE000020BL
#define ERROR_NO_COMPAT_DRIVERS 0xE0000228L

// kernel32
DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD error);
HMODULE WINAPI GetModuleHandleW(LPCWSTR name);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
HMODULE WINAPI LoadLibraryW(LPCWSTR name);
HMODULE WINAPI LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags);
BOOL WINAPI FreeLibrary(HMODULE module);
BOOL WINAPI SetDefaultDllDirectories(DWORD directoryFlags);
HANDLE WINAPI GetStdHandle(DWORD which);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written,
                      LPOVERLAPPED overlapped);
HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL WINAPI FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data);
BOOL WINAPI FindClose(HANDLE search);
BOOL WINAPI DeleteFileW(LPCWSTR path);
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL WINAPI LocalFree(HLOCAL memory);
UINT WINAPI GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size);

// setupapi
BOOL WINAPI SetupGetInfInformationW(LPCVOID InfSpec, DWORD SearchControl,
                                    PSP_INF_INFORMATION ReturnBuffer, DWORD ReturnBufferSize,
                                    PDWORD RequiredSize);
BOOL WINAPI SetupQueryInfVersionInformationW(PSP_INF_INFORMATION InfInformation, UINT InfIndex,
                                             PCWSTR Key, PWSTR ReturnBuffer, DWORD ReturnBufferSize,
                                             PDWORD RequiredSize);
BOOL WINAPI SetupQueryInfOriginalFileInformationW(PSP_INF_INFORMATION InfInformation, UINT InfIndex,
                                                  PSP_ALTPLATFORM_INFO AlternatePlatformInfo,
                                                  PSP_ORIGINAL_FILE_INFO_W OriginalFileInfo);
BOOL WINAPI SetupCopyOEMInfW(PCWSTR SourceInfFileName, PCWSTR OEMSourceMediaLocation,
                             DWORD OEMSourceMediaType, DWORD CopyStyle,
                             PWSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                             PDWORD RequiredSize, PWSTR* DestinationInfFileNameComponent);

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set);
HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                     DWORD flags);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                              PDWORD type, BYTE* buffer, DWORD size,
                                              PDWORD required);
BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                              const BYTE* buffer, DWORD size);
BOOL WINAPI SetupDiGetINFClassW(PCWSTR infName, LPGUID classGuid, PWSTR className, DWORD size,
                                PDWORD required);
HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent);
BOOL WINAPI SetupDiCreateDeviceInfoW(HDEVINFO set, PCWSTR deviceName, const GUID* classGuid,
                                     PCWSTR description, HWND parent, DWORD flags,
                                     PSP_DEVINFO_DATA data);
BOOL WINAPI SetupDiCallClassInstaller(DWORD function, HDEVINFO set, PSP_DEVINFO_DATA data);
BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA data,
                                           PSP_DEVINSTALL_PARAMS_W params);

// newdev and cfgmgr32, loaded at run time
BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND parent, LPCWSTR hardwareId, LPCWSTR infPath,
                                               DWORD flags, BOOL* rebootRequired);
CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST devInst, LPWSTR deviceId, DWORD flags);
CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST devInst, DWORD flags);

// advapi32
LSTATUS WINAPI RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result);
LSTATUS WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                             LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataLength);
LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD dataLength);
LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                              const BYTE* data, DWORD dataLength);
LSTATUS WINAPI RegCloseKey(HKEY key);
