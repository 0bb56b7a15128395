// The names of the statuses the simulation and its tools print.
#include "sim/kernel/status_names.h"

#include <cstdio>

#include "sim/kernel/named_values.h"
#include "sim/kernel/wdm.h"

namespace sim {
namespace {

constexpr NamedValue Statuses[] = {
    SIM_NAMED(STATUS_SUCCESS),
    SIM_NAMED(STATUS_OBJECT_NAME_EXISTS),
    SIM_NAMED(STATUS_PENDING),
    SIM_NAMED(STATUS_UNSUCCESSFUL),
    SIM_NAMED(STATUS_NOT_IMPLEMENTED),
    SIM_NAMED(STATUS_INVALID_HANDLE),
    SIM_NAMED(STATUS_INVALID_PARAMETER),
    SIM_NAMED(STATUS_NO_SUCH_DEVICE),
    SIM_NAMED(STATUS_INVALID_DEVICE_REQUEST),
    SIM_NAMED(STATUS_MORE_PROCESSING_REQUIRED),
    SIM_NAMED(STATUS_ACCESS_DENIED),
    SIM_NAMED(STATUS_BUFFER_TOO_SMALL),
    SIM_NAMED(STATUS_OBJECT_NAME_NOT_FOUND),
    SIM_NAMED(STATUS_SHARING_VIOLATION),
    SIM_NAMED(STATUS_DELETE_PENDING),
    SIM_NAMED(STATUS_INSUFFICIENT_RESOURCES),
    SIM_NAMED(STATUS_DEVICE_DATA_ERROR),
    SIM_NAMED(STATUS_DEVICE_NOT_CONNECTED),
    SIM_NAMED(STATUS_DEVICE_POWER_FAILURE),
    SIM_NAMED(STATUS_DEVICE_NOT_READY),
    SIM_NAMED(STATUS_IO_TIMEOUT),
    SIM_NAMED(STATUS_NOT_SUPPORTED),
    SIM_NAMED(STATUS_INVALID_USER_BUFFER),
    SIM_NAMED(STATUS_CANCELLED),
    SIM_NAMED(STATUS_INVALID_DEVICE_STATE),
    SIM_NAMED(STATUS_IO_DEVICE_ERROR),
    SIM_NAMED(STATUS_INVALID_BUFFER_SIZE),
    SIM_NAMED(STATUS_NOT_FOUND),
    SIM_NAMED(STATUS_DEVICE_REMOVED),
    SIM_NAMED(STATUS_POWER_STATE_INVALID),
    SIM_NAMED(STATUS_BUFFER_OVERFLOW),
    SIM_NAMED(STATUS_DEVICE_BUSY),
};

}  // namespace

const char* KnownStatusName(uint32_t status) {
  return NameIn(Statuses, status);
}

std::string StatusName(uint32_t status) {
  if (const char* name = KnownStatusName(status))
    return name;
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", status);
  return buffer;
}

bool StatusByExactName(const std::string& name, uint32_t* status) {
  return ValueIn(Statuses, name, status);
}

}  // namespace sim
