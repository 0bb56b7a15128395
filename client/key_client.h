// Talking to keys from a Windows program: find them through their device
// interfaces, open one, send control codes.
#pragma once
#if defined(_WIN32)
#include <windows.h>

#include <string>
#include <vector>

#include "client/key_records.h"

namespace keyclient {

struct KeyInterface {
  std::wstring path;  // the device interface's path, for CreateFileW
  const char* kind;   // "primary", "secondary" or "aux"
};

// Every present key interface, primary, secondary and aux in that order.
std::vector<KeyInterface> ListKeys();
// The paths of the present interfaces of one class, for CreateFileW.
std::vector<std::wstring> InterfacePaths(const GUID& interfaceClass);
// Opens a key interface for reading and writing, shared; INVALID_HANDLE_VALUE on failure.
HANDLE OpenKey(const std::wstring& path);

struct Reply {
  bool ok;
  DWORD error;  // GetLastError() when not ok
  Bytes data;   // the bytes returned
};
Reply Control(HANDLE key, DWORD code, const Bytes& input, DWORD outputLength);

}  // namespace keyclient
#endif
