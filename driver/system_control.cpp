// System-control (WMI) requests: the key has nothing to say, so they go down
// in every state, before the first start and after a surprise removal alike.
#include "driver/device_extension.h"
#include "driver/driver.h"
#include "driver/request_handling.h"

TARVIK_PAGED NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  IoIncrement(extension);
  const NTSTATUS status = PassDown(extension, Irp);
  IoDecrement(extension);
  return status;
}
