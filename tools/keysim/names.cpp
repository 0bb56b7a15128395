#include "tools/keysim/names.h"

#include <cctype>
#include <cstdio>

#include "driver/wdk.h"
#include "driver/ioctl.h"
#include "sim/kernel/named_values.h"
#include "sim/kernel/status_names.h"
#include "tools/keysim/script.h"

namespace keysim {
namespace {

using sim::NamedValue;

constexpr NamedValue ControlCodes[] = {
    SIM_NAMED(IOCTL_KEY_GET_CONFIG_DESCRIPTOR),
    SIM_NAMED(IOCTL_KEY_RESET_PORT),
    SIM_NAMED(IOCTL_KEY_RESET_PIPE),
    SIM_NAMED(IOCTL_KEY_VENDOR_WRITE),
    SIM_NAMED(IOCTL_KEY_VENDOR_READ),
    SIM_NAMED(IOCTL_KEY_READ_INTERRUPT),
    SIM_NAMED(IOCTL_KEY_GET_INFO_BLOCK),
    SIM_NAMED(IOCTL_KEY_TRANSACT),
    SIM_NAMED(IOCTL_KEY_TRANSACT_RAW),
    SIM_NAMED(IOCTL_KEY_QUERY_INFO),
    SIM_NAMED(IOCTL_KEY_PROBE),
    SIM_NAMED(IOCTL_KEY_NOTIFY_CHANGE),
    SIM_NAMED(IOCTL_KEY_TRANSACT_EX),
};

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
  const char* name = sim::NameIn(ControlCodes, code);
  return name ? name : Hex32(code);
}

std::optional<uint32_t> ControlCodeByName(const std::string& text) {
  std::string name = Upper(text);
  for (char& c : name) {
    if (c == '-') {
      c = '_';
    }
  }
  uint32_t code = 0;
  if (sim::ValueIn(ControlCodes, name, &code) ||
      sim::ValueIn(ControlCodes, "IOCTL_KEY_" + name, &code)) {
    return code;
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
