// Synchronous USB operations on the key: the driver's only road to the USB
// stack below it. Each builds one request, hands it to LowerDeviceObject and
// waits: without a time limit, except for the interrupt read (below).
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

// How long an interrupt read waits for the key, in 100 ns units: 5 seconds.
// A key with nothing to report NAKs the read, and the USB stack keeps it
// pending for as long as that lasts; a key that has taken a command reports
// within a few milliseconds (and a USB device must finish even a standard
// request within 5 s). At the bound the read is cancelled and fails with
// STATUS_IO_TIMEOUT, so that no client, exchange or drain waits for ever on a
// key that stays silent, while no key that answers is cut short.
constexpr LONGLONG InterruptReadTimeout = 5LL * 1000 * 1000 * 10;

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);
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
