// A 32-bit value under a service's registry key (-s).
#include "setup/drv_pnp.h"
#include "setup/wide.h"

namespace {

const WCHAR ServicesKey[] = {'S',  'Y', 'S', 'T', 'E', 'M', '\\', 'C', 'u', 'r',  'r', 'e',
                             'n',  't', 'C', 'o', 'n', 't', 'r',  'o', 'l', 'S',  'e', 't',
                             '\\', 'S', 'e', 'r', 'v', 'i', 'c',  'e', 's', '\\', 0};

enum class Lookup { Found, Absent, Failed };

// A name the service control manager could have given a service: not empty,
// and neither '\\' nor '/' anywhere ("Forward-slash (/) and backslash (\\)
// are not valid service name characters": the lpServiceName parameter of
// CreateServiceW, winsvc.h).
// An empty name or one of separators alone would name the Services key
// itself, one with a '\\' inside a key below another service.
bool IsServiceName(LPCWSTR Name) {
  if (Name[0] == 0) {
    return false;
  }
  for (DWORD i = 0; Name[i] != 0; ++i) {
    if (Name[i] == '\\' || Name[i] == '/') {
      return false;
    }
  }
  return true;
}

// Looks for a REG_DWORD value whose name equals ValueName exactly.
Lookup FindDword(HKEY Key, LPCWSTR ValueName) {
  for (DWORD index = 0;; ++index) {
    WCHAR name[MAX_PATH];
    DWORD nameLength = MAX_PATH;
    DWORD type = 0;
    const LSTATUS status =
        RegEnumValueW(Key, index, name, &nameLength, nullptr, &type, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) {
      return Lookup::Absent;
    }
    if (status != ERROR_SUCCESS) {
      return Lookup::Failed;
    }
    if (type == REG_DWORD && WideEqual(name, ValueName)) {
      return Lookup::Found;
    }
  }
}

}  // namespace

BOOL vkDrvPnp::SetServiceValue(LPCWSTR Service, LPCWSTR ValueName, DWORD Number) {
  if (Service == nullptr || ValueName == nullptr || !IsServiceName(Service)) {
    ResultCode = RESULT_INVALID_PARAMETER;
    return FALSE;
  }
  PathBuffer path;
  if (!path.Set(ServicesKey) || !path.Append(Service)) {
    ResultCode = RESULT_INVALID_PARAMETER;
    return FALSE;
  }
  HKEY key = nullptr;
  if (RegOpenKeyW(HKEY_LOCAL_MACHINE, path.Text(), &key) != ERROR_SUCCESS) {
    ResultCode = RESULT_REG_OPEN_FAILED;
    return FALSE;
  }
  DWORD current = 0;
  DWORD code = RESULT_SUCCESS;
  switch (FindDword(key, ValueName)) {
    case Lookup::Failed:
      code = RESULT_REG_ENUM_FAILED;
      break;
    case Lookup::Found: {
      DWORD type = 0;
      DWORD size = sizeof(current);
      if (RegQueryValueExW(key, ValueName, nullptr, &type, reinterpret_cast<LPBYTE>(&current),
                           &size) != ERROR_SUCCESS) {
        code = RESULT_REG_QUERY_FAILED;
      }
      break;
    }
    case Lookup::Absent:
      break;
  }
  if (code == RESULT_SUCCESS && current != Number) {
    if (RegSetValueExW(key, ValueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&Number),
                       sizeof(Number)) != ERROR_SUCCESS) {
      code = RESULT_REG_SET_FAILED;
    } else {
      RebootRequired = 1;
    }
  }
  RegCloseKey(key);
  if (code != RESULT_SUCCESS) {
    ResultCode = code;
    return FALSE;
  }
  return TRUE;
}
