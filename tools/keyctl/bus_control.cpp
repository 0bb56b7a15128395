#include "tools/keyctl/bus_control.h"

#include <initguid.h>
// initguid first: the bus's interface class is defined here
#include <cstdio>

#include "tools/vkeybus/vkeybus_ioctl.h"

namespace keyctl {

std::wstring BusPath() {
  const auto paths = keyclient::InterfacePaths(GUID_VKEYBUS_CONTROL);
  return paths.empty() ? std::wstring() : paths[0];
}

keyclient::Reply BusControl(DWORD code, const keyclient::Bytes& input, DWORD outputLength) {
  const std::wstring path = BusPath();
  if (path.empty()) {
    std::fprintf(stderr, "keyctl: no virtual key bus\n");
    return {false, ERROR_FILE_NOT_FOUND, {}};
  }
  HANDLE bus = keyclient::OpenKey(path);
  if (bus == INVALID_HANDLE_VALUE)
    return {false, GetLastError(), {}};
  auto reply = keyclient::Control(bus, code, input, outputLength);
  CloseHandle(bus);
  return reply;
}

}  // namespace keyctl
