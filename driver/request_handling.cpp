// The driver's ways of handling a request: pass down, pass down with
// success, forward and wait, complete.
#include "driver/request_handling.h"

#include "driver/device_extension.h"
#include "driver/driver.h"

TARVIK_RESIDENT NTSTATUS PassDown(DeviceExtension* Extension, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Extension->LowerDeviceObject, Irp);
}

TARVIK_RESIDENT NTSTATUS PassDownWithSuccess(DeviceExtension* Extension, PIRP Irp,
                                             ULONG_PTR Information) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = Information;
  return PassDown(Extension, Irp);
}

TARVIK_RESIDENT NTSTATUS ForwardAndWait(DeviceExtension* Extension, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, IrpCompletionRoutine, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Extension->LowerDeviceObject, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = Irp->IoStatus.Status;
  }
  return status;
}

TARVIK_RESIDENT NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS NTAPI IrpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
