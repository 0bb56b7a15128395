// Routines of Tarvik4v2 that the dispatch table and the other parts call.
#pragma once

#include "driver/wdk.h"

struct DeviceExtension;

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD Unload;
DRIVER_ADD_DEVICE AddDevice;

// Dispatch routines, one per major function.
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchRead;
DRIVER_DISPATCH DispatchWrite;
DRIVER_DISPATCH DispatchDeviceControl;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchSystemControl;
DRIVER_DISPATCH DispatchPnp;

// Plug and Play and configuration.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS IdentifyKey(PDEVICE_OBJECT DeviceObject, PUSB_DEVICE_DESCRIPTOR DeviceDescriptorBuffer);
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
// Returns the key to unconfigured, with the request that a query-stop set
// aside when there is one; the copies of its descriptors go in any case.
NTSTATUS DeconfigureDevice(PDEVICE_OBJECT DeviceObject);
// Sets aside the unconfigure request of the stop to come; fails only for want of pool.
NTSTATUS ReserveUnconfigureRequest(PDEVICE_OBJECT DeviceObject);
void ReleaseUnconfigureRequest(PDEVICE_OBJECT DeviceObject);
NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject);
void CloseNotifyThread(DeviceExtension* Extension);

// Change notification.
KSTART_ROUTINE NotifyThreadRoutine;
// Starts the notification thread once per device life; later calls do nothing.
NTSTATUS StartNotifyThread(PDEVICE_OBJECT DeviceObject);
// Power.
REQUEST_POWER_COMPLETE PowerRequestComplete;
