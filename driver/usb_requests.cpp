// Synchronous USB operations: build one request, hand it to the USB stack
// below and wait for it without a time limit. Nothing here retries, resets or
// interprets an answer; the callers decide what a failure means.
#include "driver/usb_requests.h"

#include "driver/device_extension.h"
#include "driver/pool_tags.h"
#include "driver/pool_type.h"

namespace {

// Only the recipient bits of a caller's request type reach the URB: direction
// and type come from the operation and the URB function.
constexpr UCHAR RecipientBits = 0x1F;

constexpr ULONG VendorOutFlags = USBD_TRANSFER_DIRECTION_OUT;
constexpr ULONG VendorInFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG InterruptReadFlags = USBD_TRANSFER_DIRECTION_IN;

// Sends an internal control request to the device below and waits for it.
// `Urb` (or null) goes to the lower driver in Parameters.Others.Argument1.
NTSTATUS CallUsbStack(DeviceExtension* Extension, ULONG IoControlCode, PURB Urb) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Extension->LowerDeviceObject, nullptr, 0,
                                           nullptr, 0, TRUE, &event, &ioStatus);
  if (irp == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Urb != nullptr) {
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
  }
  NTSTATUS status = IoCallDriver(Extension->LowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  return status;
}

void FillVendorRequest(PURB Urb, const SetupPacket* Packet, PVOID Buffer, ULONG TransferFlags) {
  RtlZeroMemory(Urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request = Urb->UrbControlVendorClassRequest;
  request.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  request.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  request.TransferFlags = TransferFlags;
  request.TransferBufferLength = Packet->wLength;
  request.TransferBuffer = Buffer;
  request.TransferBufferMDL = nullptr;
  request.UrbLink = nullptr;
  request.RequestTypeReservedBits = static_cast<UCHAR>(Packet->bmRequestType & RecipientBits);
  request.Request = Packet->bRequest;
  request.Value = Packet->wValue;
  request.Index = Packet->wIndex;
}

}  // namespace

// The submission holds its own reference on the device while the URB is below.
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  IoIncrement(extension);
  NTSTATUS status = CallUsbStack(extension, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
  IoDecrement(extension);
  return status;
}

NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject) {
  return CallUsbStack(GetDeviceExtension(DeviceObject), IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

NTSTATUS VendorControlOut(PDEVICE_OBJECT DeviceObject, const SetupPacket* Packet, PVOID Buffer,
                          PURB Urb) {
  FillVendorRequest(Urb, Packet, Buffer, VendorOutFlags);
  NTSTATUS status = SubmitUrb(DeviceObject, Urb);
  ExFreePool(Urb);
  return status;
}

NTSTATUS VendorControlIn(PDEVICE_OBJECT DeviceObject, const SetupPacket* Packet, PVOID Buffer,
                         PULONG Returned) {
  *Returned = 0;
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
      DriverNonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), TagVendorInUrb));
  if (urb == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FillVendorRequest(urb, Packet, Buffer, VendorInFlags);
  NTSTATUS status = SubmitUrb(DeviceObject, urb);
  if (NT_SUCCESS(status)) {
    *Returned = urb->UrbControlVendorClassRequest.TransferBufferLength;
  }
  ExFreePool(urb);
  return status;
}

// Asks for exactly Length bytes: a short packet is the USB stack's to judge.
NTSTATUS ReadInterruptPipe(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                           PULONG Returned) {
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
      DriverNonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), TagInterruptUrb));
  if (urb == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
  _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
  transfer.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.PipeHandle = GetDeviceExtension(DeviceObject)->InterruptPipe;
  transfer.TransferFlags = InterruptReadFlags;
  transfer.TransferBufferLength = Length;
  transfer.TransferBuffer = Buffer;
  transfer.TransferBufferMDL = nullptr;
  transfer.UrbLink = nullptr;
  NTSTATUS status = SubmitUrb(DeviceObject, urb);
  if (NT_SUCCESS(status)) {
    *Returned = transfer.TransferBufferLength;
  }
  ExFreePool(urb);
  return status;
}
