#include "tools/keysim/names.h"

#include <cctype>
#include <cstdio>

#include "driver/wdk.h"
#include "driver/ioctl.h"
#include "tools/keysim/script.h"

namespace keysim {
namespace {

struct Named {
  uint32_t value;
  const char* name;
};

#define NAMED(x) \
  { static_cast<uint32_t>(x), #x }

constexpr Named Statuses[] = {
    NAMED(STATUS_SUCCESS),
    NAMED(STATUS_OBJECT_NAME_EXISTS),
    NAMED(STATUS_PENDING),
    NAMED(STATUS_UNSUCCESSFUL),
    NAMED(STATUS_NOT_IMPLEMENTED),
    NAMED(STATUS_INVALID_HANDLE),
    NAMED(STATUS_INVALID_PARAMETER),
    NAMED(STATUS_NO_SUCH_DEVICE),
    NAMED(STATUS_INVALID_DEVICE_REQUEST),
    NAMED(STATUS_MORE_PROCESSING_REQUIRED),
    NAMED(STATUS_ACCESS_DENIED),
    NAMED(STATUS_BUFFER_TOO_SMALL),
    NAMED(STATUS_OBJECT_NAME_NOT_FOUND),
    NAMED(STATUS_SHARING_VIOLATION),
    NAMED(STATUS_DELETE_PENDING),
    NAMED(STATUS_INSUFFICIENT_RESOURCES),
    NAMED(STATUS_DEVICE_DATA_ERROR),
    NAMED(STATUS_DEVICE_NOT_CONNECTED),
    NAMED(STATUS_DEVICE_POWER_FAILURE),
    NAMED(STATUS_DEVICE_NOT_READY),
    NAMED(STATUS_IO_TIMEOUT),
    NAMED(STATUS_NOT_SUPPORTED),
    NAMED(STATUS_INVALID_USER_BUFFER),
    NAMED(STATUS_CANCELLED),
    NAMED(STATUS_INVALID_DEVICE_STATE),
    NAMED(STATUS_IO_DEVICE_ERROR),
    NAMED(STATUS_INVALID_BUFFER_SIZE),
    NAMED(STATUS_NOT_FOUND),
    NAMED(STATUS_DEVICE_REMOVED),
    NAMED(STATUS_POWER_STATE_INVALID),
    NAMED(STATUS_BUFFER_OVERFLOW),
    NAMED(STATUS_DEVICE_BUSY),
};

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

std::string StatusName(uint32_t status) {
  for (const Named& entry : Statuses) {
    if (entry.value == status) {
      return entry.name;
    }
  }
  return Hex32(status);
}

std::optional<uint32_t> StatusByName(const std::string& text) {
  if (std::optional<uint32_t> v = Lookup(Statuses, Upper(text))) {
    return v;
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
