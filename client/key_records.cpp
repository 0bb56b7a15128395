#include "client/key_records.h"

#include <cctype>

#include "driver/ioctl.h"

namespace keyclient {
namespace {

void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

struct Named {
  const char* name;
  uint32_t code;
};

constexpr Named kCodes[] = {
    {"get_config_descriptor", IOCTL_KEY_GET_CONFIG_DESCRIPTOR},
    {"reset_port", IOCTL_KEY_RESET_PORT},
    {"reset_pipe", IOCTL_KEY_RESET_PIPE},
    {"vendor_write", IOCTL_KEY_VENDOR_WRITE},
    {"vendor_read", IOCTL_KEY_VENDOR_READ},
    {"read_interrupt", IOCTL_KEY_READ_INTERRUPT},
    {"get_info_block", IOCTL_KEY_GET_INFO_BLOCK},
    {"transact", IOCTL_KEY_TRANSACT},
    {"transact_raw", IOCTL_KEY_TRANSACT_RAW},
    {"query_info", IOCTL_KEY_QUERY_INFO},
    {"probe", IOCTL_KEY_PROBE},
    {"notify_change", IOCTL_KEY_NOTIFY_CHANGE},
    {"transact_ex", IOCTL_KEY_TRANSACT_EX},
};

}  // namespace

Bytes SetupPacket(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                  uint16_t length) {
  Bytes b;
  b.push_back(requestType);
  b.push_back(request);
  Put16(b, value);
  Put16(b, index);
  Put16(b, length);
  return b;
}

Bytes VendorWrite(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                  const Bytes& payload) {
  Bytes b = SetupPacket(requestType, request, value, index, static_cast<uint16_t>(payload.size()));
  for (uint8_t p : payload)
    b.push_back(p);
  return b;
}

Bytes TransactHeader(bool requestOne, uint16_t value, const Bytes& payload) {
  Bytes b;
  b.push_back(0);
  b.push_back(requestOne ? 1 : 0);
  Put16(b, value);
  Put16(b, 0);
  Put16(b, static_cast<uint16_t>(payload.size()));
  for (uint8_t p : payload)
    b.push_back(p);
  return b;
}

Bytes TransactEx(uint8_t value, const Bytes& command) {
  Bytes b;
  b.reserve(command.size() + 1);
  b.push_back(value);
  for (uint8_t c : command)
    b.push_back(c);
  return b;
}

std::string Hex(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text.push_back(digits[b >> 4]);
    text.push_back(digits[b & 15]);
  }
  return text;
}

std::optional<Bytes> ParseHex(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (!std::isspace(static_cast<unsigned char>(c)))
      digits.push_back(c);
  if (digits.size() % 2 != 0)
    return std::nullopt;
  Bytes bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    int value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(digits[j])));
      if (c >= '0' && c <= '9')
        value = value * 16 + (c - '0');
      else if (c >= 'a' && c <= 'f')
        value = value * 16 + (c - 'a' + 10);
      else
        return std::nullopt;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

uint32_t ControlCode(const std::string& name) {
  std::string key;
  for (char c : name)
    key.push_back(c == '-' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (key.rfind("ioctl_key_", 0) == 0)
    key = key.substr(10);
  for (const Named& n : kCodes)
    if (key == n.name)
      return n.code;
  return 0;
}

}  // namespace keyclient
