#if defined(_WIN32)
#include "client/key_client.h"

#include <initguid.h>
// initguid first: the interface classes are defined here
#include <setupapi.h>

#include "driver/ioctl.h"

namespace keyclient {
namespace {

void AddInterfaces(const GUID& cls, const char* kind, std::vector<KeyInterface>* keys) {
  for (auto& path : InterfacePaths(cls))
    keys->push_back({std::move(path), kind});
}

}  // namespace

std::vector<std::wstring> InterfacePaths(const GUID& cls) {
  std::vector<std::wstring> paths;
  HDEVINFO set =
      SetupDiGetClassDevsW(&cls, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE)
    return paths;
  SP_DEVICE_INTERFACE_DATA data;
  data.cbSize = sizeof(data);
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &cls, i, &data); ++i) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
      continue;  // gone since the enumeration, or no size given
    std::vector<BYTE> buffer(size + sizeof(WCHAR));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr))
      paths.push_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

std::vector<KeyInterface> ListKeys() {
  std::vector<KeyInterface> keys;
  AddInterfaces(GUID_KEY_INTERFACE_PRIMARY, "primary", &keys);
  AddInterfaces(GUID_KEY_INTERFACE_SECONDARY, "secondary", &keys);
  AddInterfaces(GUID_KEY_INTERFACE_AUX, "aux", &keys);
  return keys;
}

HANDLE OpenKey(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

Reply Control(HANDLE key, DWORD code, const Bytes& input, DWORD outputLength) {
  Reply reply{false, 0, Bytes(outputLength)};
  DWORD returned = 0;
  reply.ok =
      DeviceIoControl(key, code, input.empty() ? nullptr : const_cast<uint8_t*>(input.data()),
                      static_cast<DWORD>(input.size()), outputLength ? reply.data.data() : nullptr,
                      outputLength, &returned, nullptr) != FALSE;
  reply.error = reply.ok ? 0 : GetLastError();
  reply.data.resize(reply.ok ? returned : 0);
  return reply;
}

}  // namespace keyclient
#endif
