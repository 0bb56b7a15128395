// The control interface of the virtual key bus (tools/vkeybus), for keyctl:
// plug and unplug keys, plan faults on their wire. Not part of the client
// library: a client of the key never talks to the bus.
#pragma once
#include <windows.h>

#include <string>

#include "client/key_client.h"

namespace keyctl {

// The bus's control interface ("" when no bus is installed).
std::wstring BusPath();
// One request to the bus's control interface.
keyclient::Reply BusControl(DWORD code, const keyclient::Bytes& input, DWORD outputLength);

}  // namespace keyctl
