// Synchronous USB operations on the key: the driver's only road to the USB
// stack below it. Each builds one request, hands it to LowerDeviceObject and
// waits without a time limit.
#pragma once

#include "driver/wdk.h"

// The USB 2.0 setup packet in which callers describe a vendor transfer.
#pragma pack(push, 1)
struct SetupPacket {
  UCHAR bmRequestType;
  UCHAR bRequest;
  USHORT wValue;
  USHORT wIndex;
  USHORT wLength;
};
#pragma pack(pop)
static_assert(sizeof(SetupPacket) == 8, "SetupPacket is 8 bytes");

static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "vendor URB is 136 bytes");
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor URB is 136 bytes");
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk/interrupt URB is 128 bytes");
static_assert(sizeof(_URB_PIPE_REQUEST) == 40, "pipe URB is 40 bytes");

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject);
// Fills, submits and frees Urb, a "kv21" block of 136 bytes that the caller allocated.
NTSTATUS VendorControlOut(PDEVICE_OBJECT DeviceObject, const SetupPacket* Packet, PVOID Buffer,
                          PURB Urb);
NTSTATUS VendorControlIn(PDEVICE_OBJECT DeviceObject, const SetupPacket* Packet, PVOID Buffer,
                         PULONG Returned);
NTSTATUS ReadInterruptPipe(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                           PULONG Returned);
