// Plug and Play requests: start the key once the bus has, drain requests
// before stop and removal, take the key down when it goes away.
#include "driver/device_extension.h"
#include "driver/driver.h"
#include "driver/family_interfaces.h"
#include "driver/request_handling.h"

namespace {

constexpr ACCESS_MASK NotifyThreadAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF;

// The key is ours to talk to only once the lower drivers have started it. A
// start they failed is theirs to report (CompleteRequestStatusCheck), and
// nothing is sent to a port that is not started (UrbBeforeStart: "Starting a Device" says the bus
// finishes its start before other drivers touch the device): nothing of ours was done that would
// need undoing.
TARVIK_PAGED NTSTATUS HandleStart(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  const NTSTATUS lower = ForwardAndWait(GetDeviceExtension(DeviceObject), Irp);
  if (!NT_SUCCESS(lower)) {
    return CompleteRequest(Irp, lower);
  }
  return CompleteRequest(Irp, StartDevice(DeviceObject));
}

// Query-stop and query-remove: shut out new client requests, then wait until
// those already inside have left. The request's own reference goes first so
// that the count can fall back to 1.
TARVIK_PAGED NTSTATUS HandleQuery(DeviceExtension* Extension, PIRP Irp, PnpState Pending) {
  PAGED_CODE();
  SetNewPnpState(Extension, Pending);
  IoDecrement(Extension);
  KeWaitForSingleObject(&Extension->StopEvent, Executive, KernelMode, FALSE, nullptr);
  return PassDownWithSuccess(Extension, Irp);
}

// A query-stop that the key could not follow with a stop fails here: a stop
// itself may not fail. Its unconfigure request is set aside now, before
// anything changes; the query then goes on as a query-remove does.
TARVIK_PAGED NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  const NTSTATUS status = ReserveUnconfigureRequest(DeviceObject);
  if (!NT_SUCCESS(status)) {
    const NTSTATUS result = CompleteRequest(Irp, status);
    IoDecrement(extension);
    return result;
  }
  return HandleQuery(extension, Irp, PendingStop);
}

// Cancels always reach the bus with success, whatever the state: one that
// matches no query of ours (a driver above failed it) has nothing to undo.
TARVIK_PAGED NTSTATUS HandleCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp, PnpState EntryState,
                                   PnpState Pending) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  if (Pending == PendingStop) {
    ReleaseUnconfigureRequest(DeviceObject);
  }
  if (EntryState != Pending) {
    return PassDownWithSuccess(extension, Irp);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  const NTSTATUS status = ForwardAndWait(extension, Irp);
  if (NT_SUCCESS(status)) {
    RestorePnpState(extension);
  }
  return CompleteRequest(Irp, status);
}

// A stop always succeeds and goes down: the key is stopped whatever it
// answers to the unconfigure request. The drain happened at the query-stop.
TARVIK_PAGED NTSTATUS HandleStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  SetNewPnpState(extension, Stopped);
  DeconfigureDevice(DeviceObject);
  return PassDownWithSuccess(extension, Irp);
}

// The key may be pulled at any time without harm; keep the bus driver's
// capabilities for power handling.
TARVIK_PAGED NTSTATUS HandleCapabilities(DeviceExtension* Extension, PIRP Irp) {
  PAGED_CODE();
  PDEVICE_CAPABILITIES capabilities =
      IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  if (capabilities->Version < 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
    return CompleteRequest(Irp, STATUS_UNSUCCESSFUL);
  }
  capabilities->SurpriseRemovalOK = TRUE;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  const NTSTATUS status = ForwardAndWait(Extension, Irp);
  if (NT_SUCCESS(status)) {
    // The bus driver may have cleared it on the way.
    capabilities->SurpriseRemovalOK = TRUE;
    RtlCopyMemory(&Extension->DeviceCapabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
  }
  return CompleteRequest(Irp, status);
}

// Hide the key from client software, let the notification thread finish and
// stop every transfer still waiting on a pipe. Nothing here can be refused.
TARVIK_PAGED void TakeKeyDown(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  // A key that never started still counts as primary; disabling what was
  // never enabled fails harmlessly.
  PUNICODE_STRING first = FamilyInterfaceName(extension, 0);
  PUNICODE_STRING second = FamilyInterfaceName(extension, 1);
  if (first != nullptr) {
    IoSetDeviceInterfaceState(first, FALSE);
  }
  CloseNotifyThread(extension);
  if (second != nullptr) {
    IoSetDeviceInterfaceState(second, FALSE);
  }
  AbortPipes(DeviceObject);
}

TARVIK_PAGED NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  SetNewPnpState(extension, SurpriseRemoved);
  TakeKeyDown(DeviceObject);
  return PassDownWithSuccess(extension, Irp);
}

TARVIK_PAGED void FreeDeviceRecord(DeviceExtension* Extension) {
  PAGED_CODE();
  RtlFreeUnicodeString(&Extension->InterfaceNamePrimary);
  RtlFreeUnicodeString(&Extension->InterfaceNameSecondary);
  RtlFreeUnicodeString(&Extension->InterfaceNameAux);
  if (Extension->DeviceDescriptor != nullptr) {
    ExFreePool(Extension->DeviceDescriptor);
    Extension->DeviceDescriptor = nullptr;
  }
  if (Extension->InterfaceInfo != nullptr) {
    ExFreePool(Extension->InterfaceInfo);
    Extension->InterfaceInfo = nullptr;
  }
  if (Extension->ConfigurationDescriptor != nullptr) {
    ExFreePool(Extension->ConfigurationDescriptor);
    Extension->ConfigurationDescriptor = nullptr;
  }
}

// Drops this request's reference and the device's own, waits for the last
// request to leave, then lets the device object go. Returns the lower
// drivers' status; the device object is gone by then.
TARVIK_PAGED NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp, PnpState EntryState) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  if (EntryState != SurpriseRemoved) {
    TakeKeyDown(DeviceObject);
  }
  SetNewPnpState(extension, Removed);
  IoDecrement(extension);
  IoDecrement(extension);
  KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  // A change request still running at a surprise removal may have started a
  // notification thread after the key was taken down.
  CloseNotifyThread(extension);
  ReleaseUnconfigureRequest(DeviceObject);
  FreeDeviceRecord(extension);
  PDEVICE_OBJECT lower = extension->LowerDeviceObject;
  const NTSTATUS status = PassDownWithSuccess(extension, Irp);
  IoDetachDevice(lower);
  IoDeleteDevice(DeviceObject);
  return status;
}

}  // namespace

// The handle is a kernel handle, so it is valid in the Plug and Play thread
// although a client's request created it.
TARVIK_PAGED void CloseNotifyThread(DeviceExtension* Extension) {
  PAGED_CODE();
  HANDLE handle = InterlockedExchangePointer(&Extension->NotifyThread, nullptr);
  if (handle == nullptr) {
    return;
  }
  PVOID thread = nullptr;
  if (NT_SUCCESS(ObReferenceObjectByHandle(handle, NotifyThreadAccess, *PsThreadType, KernelMode,
                                           &thread, nullptr))) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
  ZwClose(handle);
}

TARVIK_PAGED NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  IoIncrement(extension);
  const PnpState entryState = CurrentPnpState(extension);
  NTSTATUS status;
  if (entryState == Removed) {
    status = CompleteRequest(Irp, STATUS_DELETE_PENDING);
    IoDecrement(extension);
    return status;
  }
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = HandleStart(DeviceObject, Irp);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      return HandleQueryStop(DeviceObject, Irp);  // reference dropped before the wait
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return HandleQuery(extension, Irp, PendingRemove);  // reference dropped before the wait
    case IRP_MN_CANCEL_STOP_DEVICE:
      status = HandleCancel(DeviceObject, Irp, entryState, PendingStop);
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = HandleCancel(DeviceObject, Irp, entryState, PendingRemove);
      break;
    case IRP_MN_STOP_DEVICE:
      status = HandleStop(DeviceObject, Irp);
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      status = HandleCapabilities(extension, Irp);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      status = HandleSurpriseRemoval(DeviceObject, Irp);
      break;
    case IRP_MN_REMOVE_DEVICE:
      return HandleRemove(DeviceObject, Irp, entryState);  // the device object is gone
    default:
      status = PassDown(extension, Irp);
      break;
  }
  IoDecrement(extension);
  return status;
}
