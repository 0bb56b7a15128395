// A client of the key: finds the first key, opens it, sends the key's echo
// and serial-number commands, reads the identification block and shows what
// a too-small output buffer gives. Built by the win64 preset as key_example.exe.
#include <cstdio>

#include "client/key_client.h"
#include "driver/ioctl.h"

namespace {

void Show(const char* what, const keyclient::Reply& reply) {
  if (reply.ok)
    std::printf("%s: %zu bytes %s\n", what, reply.data.size(), keyclient::Hex(reply.data).c_str());
  else
    std::printf("%s: failed, error %lu\n", what, reply.error);
}

}  // namespace

int wmain() {
  // Every present key interface; a primary key shows "primary" and "aux", a
  // secondary key "secondary".
  const auto keys = keyclient::ListKeys();
  if (keys.empty()) {
    std::printf("no key\n");
    return 1;
  }
  std::printf("%s %ls\n", keys[0].kind, keys[0].path.c_str());
  HANDLE key = keyclient::OpenKey(keys[0].path);
  if (key == INVALID_HANDLE_VALUE) {
    // ERROR_ACCESS_DENIED (5): another program holds the key without sharing it.
    std::printf("open failed, error %lu\n", GetLastError());
    return 1;
  }
  // The echo command (01 <bytes>): the key answers the bytes and 90 00.
  Show("echo", keyclient::Control(key, IOCTL_KEY_TRANSACT_RAW, {0x01, 0xCA, 0xFE}, 64));
  // The serial number (02): four bytes, little-endian, then 90 00.
  Show("serial", keyclient::Control(key, IOCTL_KEY_TRANSACT_RAW, {0x02}, 64));
  // The identification block the driver holds: no traffic to the key.
  Show("info block", keyclient::Control(key, IOCTL_KEY_GET_INFO_BLOCK, {}, 64));
  // Too small for the block: ERROR_INSUFFICIENT_BUFFER (122) and no bytes at all.
  Show("info block in 4 bytes", keyclient::Control(key, IOCTL_KEY_GET_INFO_BLOCK, {}, 4));
  CloseHandle(key);
  return 0;
}
