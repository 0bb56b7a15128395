// Synchronous USB operations: build one request, hand it to the USB stack
// below and wait for it, at most UsbRequestTimeout.
// Nothing here retries, resets or interprets an answer; the callers decide
// what a failure means.
#include "driver/usb_requests.h"

#include "driver/device_extension.h"
#include "driver/event_log.h"
#include "driver/pool_tags.h"
#include "driver/pool_type.h"

namespace {

// Only the recipient bits of a caller's request type reach the URB: direction
// and type come from the operation and the URB function.
constexpr UCHAR RecipientBits = 0x1F;

constexpr ULONG VendorOutFlags = USBD_TRANSFER_DIRECTION_OUT;
constexpr ULONG VendorInFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG InterruptReadFlags = USBD_TRANSFER_DIRECTION_IN;

// A bounded wait races the request's completion for the right to cancel it.
// The request may be cancelled only while it is still below; once it has
// completed, the I/O manager frees it. Whoever comes second learns it from
// the state the first left.
enum BoundedWaitState : LONG {
  RequestBelow = 0,      // sent, not completed, no cancel begun
  CancelStarted = 1,     // the waiter timed out and is cancelling
  RequestCompleted = 2,  // the lower driver completed it
  CancelFinished = 3,    // the waiter is done with the request
};

// Runs when the lower driver completes a request sent with a bounded wait.
// While a cancel is under way the request is held back (the waiter completes
// it again when IoCancelIrp has returned), so that it is never freed under
// IoCancelIrp.
NTSTATUS NTAPI BoundedWaitCompletion(PDEVICE_OBJECT, PIRP, PVOID Context) {
  auto* state = static_cast<LONG volatile*>(Context);
  if (InterlockedExchange(state, RequestCompleted) == CancelStarted) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  return STATUS_CONTINUE_COMPLETION;
}

// The wait has timed out: cancel the request if it is still below. True if
// it was cancelled here.
bool CancelBelow(PIRP Irp, LONG volatile* State) {
  if (InterlockedExchange(State, CancelStarted) != RequestBelow) {
    return false;  // it completed meanwhile, with its own status
  }
  IoCancelIrp(Irp);
  if (InterlockedExchange(State, CancelFinished) == RequestCompleted) {
    IoCompleteRequest(Irp, IO_NO_INCREMENT);  // held back by the completion routine
  }
  return true;
}

// Sends an internal control request to the device below and waits for it,
// at most `Timeout` (relative, 100 ns units). At the limit the request is
// cancelled, its completion still awaited (the URB and the status block must
// outlive it), and a request that then failed reports STATUS_IO_TIMEOUT.
// `Urb` (or null) goes to the lower driver in Parameters.Others.Argument1.
NTSTATUS CallUsbStack(DeviceExtension* Extension, ULONG IoControlCode, PURB Urb, LONGLONG Timeout) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  LONG volatile state = RequestBelow;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Extension->LowerDeviceObject, nullptr, 0,
                                           nullptr, 0, TRUE, &event, &ioStatus);
  if (irp == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Urb != nullptr) {
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
  }
  IoSetCompletionRoutine(irp, BoundedWaitCompletion, const_cast<LONG*>(&state), TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Extension->LowerDeviceObject, irp);
  if (status != STATUS_PENDING) {
    return status;
  }
  bool cancelled = false;
  LARGE_INTEGER limit;
  limit.QuadPart = -Timeout;
  if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
    cancelled = CancelBelow(irp, &state);
  }
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  status = ioStatus.Status;
  if (cancelled && !NT_SUCCESS(status)) {
    status = STATUS_IO_TIMEOUT;
  }
  return status;
}

// The submission holds its own reference on the device while the URB is below.
NTSTATUS SubmitUrbWithin(PDEVICE_OBJECT DeviceObject, PURB Urb, LONGLONG Timeout) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  IoIncrement(extension);
  NTSTATUS status = CallUsbStack(extension, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, Timeout);
  ReportIfTimedOut(DeviceObject, status);
  IoDecrement(extension);
  return status;
}

// Interrupt reads in progress, counted so that a port reset can wait for
// them; InterruptReadsIdle is signalled while there are none. A read does not
// start while a port reset is in progress: it waits for the reset (bounded by
// the reset's own bounded steps), so that none reaches the pipe between the
// reset's abort and the reset itself.
void BeginInterruptRead(DeviceExtension* Extension) {
  for (;;) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->InterruptReadLock);
    if (Extension->PortResetsPending == 0) {
      if (Extension->InterruptReadsPending++ == 0) {
        KeClearEvent(&Extension->InterruptReadsIdle);
      }
      KeReleaseSpinLock(&Extension->InterruptReadLock, oldIrql);
      return;
    }
    KeReleaseSpinLock(&Extension->InterruptReadLock, oldIrql);
    KeWaitForSingleObject(&Extension->NoPortReset, Executive, KernelMode, FALSE, nullptr);
  }
}

// A port reset holds off new interrupt reads from before its abort until the
// hub has answered it.
void HoldOffInterruptReads(DeviceExtension* Extension) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->InterruptReadLock);
  if (Extension->PortResetsPending++ == 0) {
    KeClearEvent(&Extension->NoPortReset);
  }
  KeReleaseSpinLock(&Extension->InterruptReadLock, oldIrql);
}

void AllowInterruptReads(DeviceExtension* Extension) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->InterruptReadLock);
  if (--Extension->PortResetsPending == 0) {
    KeSetEvent(&Extension->NoPortReset, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&Extension->InterruptReadLock, oldIrql);
}

void EndInterruptRead(DeviceExtension* Extension) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->InterruptReadLock);
  if (--Extension->InterruptReadsPending == 0) {
    KeSetEvent(&Extension->InterruptReadsIdle, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&Extension->InterruptReadLock, oldIrql);
}

bool InterruptReadsInProgress(DeviceExtension* Extension) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->InterruptReadLock);
  const bool busy = Extension->InterruptReadsPending != 0;
  KeReleaseSpinLock(&Extension->InterruptReadLock, oldIrql);
  return busy;
}

// The hub's reset must not meet a transfer still below (the documentation of
// IOCTL_INTERNAL_USB_RESET_PORT: cancel all I/O and wait for it first). The
// abort ends the reads that wait on the interrupt pipe; each then returns
// through its own bounded wait, which ends the wait here too. Nothing is sent
// when no read is in progress.
void QuiesceInterruptPipe(PDEVICE_OBJECT DeviceObject) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  if (extension->InterruptPipe == nullptr || !InterruptReadsInProgress(extension)) {
    return;
  }
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(DriverNonPagedPool, sizeof(_URB_PIPE_REQUEST), TagResetAbortUrb));
  if (urb != nullptr) {
    RtlZeroMemory(urb, sizeof(_URB_PIPE_REQUEST));
    urb->UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
    urb->UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    urb->UrbPipeRequest.PipeHandle = extension->InterruptPipe;
    SubmitUrbWithin(DeviceObject, urb, UsbRequestTimeout);
    ExFreePool(urb);
  }
  // Every read ends within its own bound, aborted or not.
  LARGE_INTEGER limit;
  limit.QuadPart = -InterruptReadTimeout;
  KeWaitForSingleObject(&extension->InterruptReadsIdle, Executive, KernelMode, FALSE, &limit);
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

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  return SubmitUrbWithin(DeviceObject, Urb, UsbRequestTimeout);
}

NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  HoldOffInterruptReads(extension);
  QuiesceInterruptPipe(DeviceObject);
  const NTSTATUS status =
      CallUsbStack(extension, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, UsbRequestTimeout);
  AllowInterruptReads(extension);
  return ReportIfFailed(DeviceObject, KeyEventPortResetFailed, status);
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
// A key with nothing to report is waited for InterruptReadTimeout at most.
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
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  BeginInterruptRead(extension);
  NTSTATUS status = SubmitUrbWithin(DeviceObject, urb, InterruptReadTimeout);
  EndInterruptRead(extension);
  if (NT_SUCCESS(status)) {
    *Returned = transfer.TransferBufferLength;
  }
  ExFreePool(urb);
  return status;
}
