#include "tools/keysim/names.h"

#include <cctype>
#include <cstdio>

#include "driver/wdk.h"
#include "driver/ioctl.h"
#include "sim/kernel/status_names.h"
#include "tools/keysim/script.h"

namespace keysim {
namespace {

struct Named {
  uint32_t value;
  const char* name;
};

#define NAMED(x) \
  { static_cast<uint32_t>(x), #x }

constexpr Named ControlCodes[] = {
    NAMED(IOCTL_KEY_GET_CONFIG_DESCRIPTOR),
    NAMED(IOCTL_KEY_RESET_PORT),
    NAMED(IOCTL_KEY_RESET_PIPE),
    NAMED(IOCTL_KEY_VENDOR_WRITE),
    NAMED(IOCTL_KEY_VENDOR_READ),
    NAMED(IOCTL_KEY_READ_INTERRUPT),
    NAMED(IOCTL_KEY_GET_INFO_BLOCK),
    NAMED(IOCTL_KEY_TRANSACT),
    NAMED(IOCTL_KEY_TRANSACT_RAW),
    NAMED(IOCTL_KEY_QUERY_INFO),
    NAMED(IOCTL_KEY_PROBE),
    NAMED(IOCTL_KEY_NOTIFY_CHANGE),
    NAMED(IOCTL_KEY_TRANSACT_EX),
};

#undef NAMED

std::string Upper(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

std::string Hex32(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", value);
  return buffer;
}

template <size_t N>
std::optional<uint32_t> Lookup(const Named (&table)[N], const std::string& name) {
  for (const Named& entry : table) {
    if (name == entry.name) {
      return entry.value;
    }
  }
  return std::nullopt;
}

std::optional<uint32_t> Small(const std::string& text, uint32_t limit) {
  std::optional<uint64_t> n = ParseNumber(text);
  if (!n || *n > limit) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(*n);
}

}  // namespace

std::optional<uint32_t> StatusByName(const std::string& text) {
  uint32_t status = 0;
  if (sim::StatusByExactName(Upper(text), &status)) {
    return status;
  }
  return Small(text, 0xFFFFFFFFu);
}

std::string ControlCodeName(uint32_t code) {
  for (const Named& entry : ControlCodes) {
    if (entry.value == code) {
      return entry.name;
    }
  }
  return Hex32(code);
}

std::optional<uint32_t> ControlCodeByName(const std::string& text) {
  std::string name = Upper(text);
  for (char& c : name) {
    if (c == '-') {
      c = '_';
    }
  }
  if (std::optional<uint32_t> v = Lookup(ControlCodes, name)) {
    return v;
  }
  if (std::optional<uint32_t> v = Lookup(ControlCodes, "IOCTL_KEY_" + name)) {
    return v;
  }
  return Small(text, 0xFFFFFFFFu);
}

std::optional<uint32_t> SystemPowerState(const std::string& text) {
  std::string name = Upper(text);
  if (name.size() == 2 && name[0] == 'S' && name[1] >= '0' && name[1] <= '5') {
    return static_cast<uint32_t>(name[1] - '0') + 1;  // S0 is PowerSystemWorking (1)
  }
  return Small(text, 0xFF);  // raw values, 0 and above 7 included
}

std::optional<uint32_t> DevicePowerState(const std::string& text) {
  std::string name = Upper(text);
  if (name.size() == 2 && name[0] == 'D' && name[1] >= '0' && name[1] <= '3') {
    return static_cast<uint32_t>(name[1] - '0') + 1;  // D0 is PowerDeviceD0 (1)
  }
  return Small(text, 0xFF);
}

}  // namespace keysim
