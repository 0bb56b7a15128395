// Handles on the key: open under the driver's share rule, close, and the
// data-less read and write.
#include "driver/device_extension.h"
#include "driver/driver.h"
#include "driver/request_handling.h"

namespace {

// Completes the request and drops the reference its dispatch routine took.
NTSTATUS Finish(DeviceExtension* Extension, PIRP Irp, NTSTATUS Status) {
  CompleteRequest(Irp, Status);
  IoDecrement(Extension);
  return Status;
}

// The share rule and the admission as one step, so that concurrent opens
// and closes never see a half-updated pair. Resident: it runs under a spin lock.
TARVIK_RESIDENT NTSTATUS AdmitHandle(DeviceExtension* Extension, USHORT ShareAccess) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->StateLock, &irql);
  NTSTATUS status = STATUS_SUCCESS;
  if (CurrentPnpState(Extension) != Started) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else if (Extension->OpenHandleCount != 0 &&
             (Extension->ShareAccessMask == 0 || ShareAccess == 0)) {
    status = STATUS_ACCESS_DENIED;
  } else {
    Extension->OpenHandleCount++;
    Extension->ShareAccessMask |= ShareAccess;
  }
  KeReleaseSpinLock(&Extension->StateLock, irql);
  return status;
}

// Resident, as AdmitHandle.
TARVIK_RESIDENT void ReleaseHandle(DeviceExtension* Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->StateLock, &irql);
  if (Extension->OpenHandleCount != 0 && --Extension->OpenHandleCount == 0) {
    Extension->ShareAccessMask = 0;
  }
  KeReleaseSpinLock(&Extension->StateLock, irql);
}

TARVIK_PAGED NTSTATUS DataLess(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  IoIncrement(extension);
  return Finish(
      extension, Irp,
      CurrentPnpState(extension) == Started ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE);
}

}  // namespace

TARVIK_PAGED NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  IoIncrement(extension);
  const USHORT share = IoGetCurrentIrpStackLocation(Irp)->Parameters.Create.ShareAccess;
  return Finish(extension, Irp, AdmitHandle(extension, share));
}

// Close takes no reference and succeeds in every state, also after the key is gone.
TARVIK_PAGED NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  ReleaseHandle(GetDeviceExtension(DeviceObject));
  return CompleteRequest(Irp, STATUS_SUCCESS);
}

TARVIK_PAGED NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  return DataLess(DeviceObject, Irp);
}

TARVIK_PAGED NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  return DataLess(DeviceObject, Irp);
}
