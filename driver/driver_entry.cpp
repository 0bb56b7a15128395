// The driver's entry and unload routines and the dispatch table.
#include "driver/device_extension.h"
#include "driver/driver.h"

namespace {

// Stands in for the routines of major functions whose handling is still to
// come: Plug and Play and power requests go down untouched, client requests
// are refused. Nothing it does not handle is ever answered with success.
NTSTATUS NTAPI DispatchNotServed(PDEVICE_OBJECT DeviceObject, PIRP Irp);

}  // namespace

extern "C" TARVIK_INIT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                  PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->DriverUnload = Unload;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchNotServed;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchNotServed;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchNotServed;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchNotServed;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchNotServed;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

// Every device is taken down by its remove request; nothing is left here.
TARVIK_PAGED VOID NTAPI Unload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DriverObject);
}

namespace {

NTSTATUS NTAPI DispatchNotServed(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT lower = GetDeviceExtension(DeviceObject)->LowerDeviceObject;
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(Irp);
      IoSkipCurrentIrpStackLocation(Irp);
      return PoCallDriver(lower, Irp);
    case IRP_MJ_PNP:
      IoSkipCurrentIrpStackLocation(Irp);
      return IoCallDriver(lower, Irp);
    default:
      Irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
      Irp->IoStatus.Information = 0;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return STATUS_INVALID_DEVICE_STATE;
  }
}

}  // namespace
