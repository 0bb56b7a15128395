// The input records of the key's control codes, as client software builds
// them, and hex text for tools. Plain C++: usable on any platform.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace keyclient {

using Bytes = std::vector<uint8_t>;

// The 8-byte setup packet of vendor reads and writes (little-endian fields).
Bytes SetupPacket(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                  uint16_t length);
// IOCTL_KEY_VENDOR_WRITE: the setup packet with wLength = payload size, then the payload.
Bytes VendorWrite(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                  const Bytes& payload);
// IOCTL_KEY_TRANSACT on a primary key: header (byte 1 selects request 1,
// bytes 2-3 its wValue, bytes 6-7 the payload length), then the payload.
Bytes TransactHeader(bool requestOne, uint16_t value, const Bytes& payload);
// IOCTL_KEY_TRANSACT_EX: the request-1 value byte, then the command.
Bytes TransactEx(uint8_t value, const Bytes& command);

std::string Hex(const Bytes& bytes);
// "0a1b" (any case, spaces ignored); nullopt when not whole bytes of hex.
std::optional<Bytes> ParseHex(const std::string& text);

// The control codes by their names without the IOCTL_KEY_ prefix, in any
// case and with '-' for '_' ("transact-raw"); 0 when unknown.
uint32_t ControlCode(const std::string& name);

}  // namespace keyclient
