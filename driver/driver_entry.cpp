// The driver's entry and unload routines and the dispatch table.
#include "driver/device_extension.h"
#include "driver/driver.h"
#include "driver/pool_type.h"

extern "C" TARVIK_INIT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                  PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  ChooseNonPagedPool();
  DriverObject->DriverUnload = Unload;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
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
