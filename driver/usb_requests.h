// Synchronous USB operations on the key: the driver's only road to the USB
// stack below it. Each builds one request, hands it to LowerDeviceObject and
// waits for it, at most UsbRequestTimeout.
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

// How long any request to the USB stack is waited for, in 100 ns units: 5
// seconds. USB 2.0 (9.2.6.4) gives a device 5 s to finish a standard request,
// data stage included, and the hub's reset of a port ends well within that; a
// vendor request of the key moves at most a few kilobytes over the default
// pipe. A request still below at the bound belongs to a key that will not
// answer (it NAKs or stalls without end): it is cancelled and fails with
// STATUS_IO_TIMEOUT, so that no client, no exchange holding TransferMutex and
// no stop or removal draining the device waits for ever, while no key that
// answers is cut short.
constexpr LONGLONG UsbRequestTimeout = 5LL * 1000 * 1000 * 10;

// An interrupt read of a key with nothing to report stays pending at the USB
// stack for as long as the key NAKs; a key that has taken a command reports
// within a few milliseconds. The same bound applies.
constexpr LONGLONG InterruptReadTimeout = UsbRequestTimeout;

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);
// Aborts the interrupt pipe and waits for the interrupt reads in progress
// before it asks the hub to reset the key's port.
NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject);
// Fills, submits and frees Urb, a "kv21" block of 136 bytes that the caller allocated.
NTSTATUS VendorControlOut(PDEVICE_OBJECT DeviceObject, const SetupPacket* Packet, PVOID Buffer,
                          PURB Urb);
NTSTATUS VendorControlIn(PDEVICE_OBJECT DeviceObject, const SetupPacket* Packet, PVOID Buffer,
                         PULONG Returned);
// Fails with STATUS_IO_TIMEOUT when the key has sent nothing within
// InterruptReadTimeout.
NTSTATUS ReadInterruptPipe(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                           PULONG Returned);
