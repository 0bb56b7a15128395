// The device steps (-c, -r, -e). Until this tool can reach the device
// installer they report that the module they need cannot be had.
#include "setup/drv_pnp.h"

BOOL vkDrvPnp::InstallRootDevice(LPCWSTR HardwareId, LPCWSTR InfPath) {
  (void)HardwareId;
  (void)InfPath;
  ResultCode = RESULT_MODULE_NOT_FOUND;
  return FALSE;
}

BOOL vkDrvPnp::RemoveDevices(LPCWSTR HardwareId) {
  (void)HardwareId;
  ResultCode = RESULT_MODULE_NOT_FOUND;
  return FALSE;
}

BOOL vkDrvPnp::RescanDevices() {
  ResultCode = RESULT_MODULE_NOT_FOUND;
  return FALSE;
}
