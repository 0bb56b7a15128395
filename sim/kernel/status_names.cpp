// The names of the statuses the simulation and its tools print.
#include "sim/kernel/status_names.h"

#include <cstdio>

#include "sim/kernel/wdm.h"

namespace sim {
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

#undef NAMED

}  // namespace

const char* KnownStatusName(uint32_t status) {
  for (const Named& entry : Statuses) {
    if (entry.value == status)
      return entry.name;
  }
  return nullptr;
}

std::string StatusName(uint32_t status) {
  if (const char* name = KnownStatusName(status))
    return name;
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", status);
  return buffer;
}

bool StatusByExactName(const std::string& name, uint32_t* status) {
  for (const Named& entry : Statuses) {
    if (name == entry.name) {
      *status = entry.value;
      return true;
    }
  }
  return false;
}

}  // namespace sim
