#include "tests/support/driver/built_request.h"

namespace tarvik::test {

NTSTATUS SendBuilt(PDEVICE_OBJECT top, UCHAR major, UCHAR minor) {
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0, top, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  if (major == IRP_MJ_PNP && minor == IRP_MN_QUERY_CAPABILITIES)
    next->Parameters.DeviceCapabilities.Capabilities = &caps;
  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

}  // namespace tarvik::test
