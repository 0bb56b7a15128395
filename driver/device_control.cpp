// The control interface of the key: one handler per control code, found
// through a table; the frame common to all of them in DispatchDeviceControl.
#include "driver/device_extension.h"
#include "driver/driver.h"
#include "driver/ioctl.h"
#include "driver/key_transaction.h"
#include "driver/pool_tags.h"
#include "driver/pool_type.h"
#include "driver/query_info.h"
#include "driver/request_handling.h"
#include "driver/usb_requests.h"

namespace {

// One request as the handlers see it. Answers are written over the input in
// the system buffer; Information is the byte count returned.
struct ControlRequest {
  PDEVICE_OBJECT DeviceObject;
  DeviceExtension* Extension;
  PIRP Irp;
  PUCHAR Buffer;  // the system buffer; null only when both lengths are 0
  ULONG In;
  ULONG Out;
  ULONG Information;
};

constexpr ULONG SetupPacketSize = sizeof(SetupPacket);
constexpr ULONG ZeroPayloadLength = 4;
constexpr ULONG InterruptReportSize = 8;
// A command's length goes to the key in the 16-bit wLength of its setup packet.
constexpr ULONG MaxCommandLength = 0xFFFF;
constexpr UCHAR ProbeMask = 0x0F;
constexpr UCHAR ProbeAccepted = 0x01;
constexpr UCHAR QueryInfoNothing = 2;

SetupPacket PacketAt(const UCHAR* Buffer) {
  SetupPacket packet;
  RtlCopyMemory(&packet, Buffer, sizeof(packet));
  return packet;
}

void AcquireTransferMutex(DeviceExtension* Extension) {
  KeWaitForSingleObject(&Extension->TransferMutex, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseTransferMutex(DeviceExtension* Extension) {
  KeReleaseMutex(&Extension->TransferMutex, FALSE);
}

// The payload that follows a header: a pool copy of Length bytes, or four
// zero bytes when Length is 0 (Length then becomes 4). Null without pool.
PVOID CopyPayload(const UCHAR* Source, USHORT* Length, ULONG CopyTag, ULONG ZerosTag) {
  const bool empty = *Length == 0;
  const ULONG size = empty ? ZeroPayloadLength : *Length;
  auto* payload = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(DriverNonPagedPool, size, empty ? ZerosTag : CopyTag));
  if (payload == nullptr) {
    return nullptr;
  }
  if (empty) {
    RtlZeroMemory(payload, size);
    *Length = static_cast<USHORT>(size);
  } else {
    RtlCopyMemory(payload, Source, size);
  }
  return payload;
}

// An exchange's answer goes straight into the system buffer.
NTSTATUS Exchange(ControlRequest& R, ULONG Variant, USHORT OutValue, PVOID OutData,
                  USHORT OutLength) {
  ULONG returned = 0;
  const NTSTATUS status = KeyTransaction(R.DeviceObject, Variant, OutValue, OutData, OutLength,
                                         R.Buffer, R.Out, &returned);
  R.Information = NT_SUCCESS(status) ? returned : 0;
  return status;
}

// Bytes received into a pool buffer go to the client only when they all fit.
NTSTATUS Deliver(ControlRequest& R, NTSTATUS Status, const UCHAR* Data, ULONG Received) {
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  if (Received > R.Out) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (Received > 0) {
    RtlCopyMemory(R.Buffer, Data, Received);
  }
  R.Information = Received;
  return Status;
}

NTSTATUS GetConfigDescriptor(ControlRequest& R) {
  if (R.Buffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const PUSB_CONFIGURATION_DESCRIPTOR descriptor = R.Extension->ConfigurationDescriptor;
  if (descriptor == nullptr) {
    return STATUS_UNSUCCESSFUL;
  }
  return Deliver(R, STATUS_SUCCESS, reinterpret_cast<const UCHAR*>(descriptor),
                 descriptor->wTotalLength);
}

NTSTATUS ResetPortControl(ControlRequest& R) {
  return ResetPort(R.DeviceObject);
}

// Handles carry no pipe in this driver, so this is refused; a handle that
// carried one would have it reset.
NTSTATUS ResetPipe(ControlRequest& R) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(R.Irp)->FileObject;
  auto* pipe = file != nullptr ? static_cast<PUSBD_PIPE_INFORMATION>(file->FsContext) : nullptr;
  if (pipe == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(DriverNonPagedPool, sizeof(_URB_PIPE_REQUEST), TagResetPipeUrb));
  if (urb == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
  const NTSTATUS status = SubmitUrb(R.DeviceObject, urb);
  ExFreePool(urb);
  return status;
}

// Three failed writes whose resets all succeeded report the last write's
// failure: nothing reached the key.
NTSTATUS VendorWrite(ControlRequest& R) {
  if (R.Buffer == nullptr || R.In < SetupPacketSize) {
    return STATUS_INVALID_PARAMETER;
  }
  SetupPacket packet = PacketAt(R.Buffer);
  if (R.In < packet.wLength + SetupPacketSize) {
    return STATUS_INVALID_PARAMETER;
  }
  PVOID payload = CopyPayload(R.Buffer + SetupPacketSize, &packet.wLength, TagVendorWritePayload,
                              TagVendorWriteZeros);
  if (payload == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  AcquireTransferMutex(R.Extension);
  NTSTATUS lastWrite = STATUS_SUCCESS;
  NTSTATUS status = WriteWithRetries(R.DeviceObject, &packet, payload, &lastWrite);
  ReleaseTransferMutex(R.Extension);
  ExFreePool(payload);
  return NT_SUCCESS(status) ? lastWrite : status;
}

NTSTATUS VendorRead(ControlRequest& R) {
  if (R.Buffer == nullptr || R.In != SetupPacketSize) {
    return STATUS_INVALID_PARAMETER;
  }
  const SetupPacket packet = PacketAt(R.Buffer);
  if (packet.wLength == 0) {
    return STATUS_SUCCESS;
  }
  auto* answer = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(DriverNonPagedPool, packet.wLength, TagVendorReadBuffer));
  if (answer == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG received = 0;
  AcquireTransferMutex(R.Extension);
  NTSTATUS status = VendorControlIn(R.DeviceObject, &packet, answer, &received);
  ReleaseTransferMutex(R.Extension);
  status = Deliver(R, status, answer, received);
  ExFreePool(answer);
  return status;
}

// One report, whatever room the caller gives: the key's 8-byte report is a
// full packet of its endpoint, so a longer transfer would not end with it but
// wait for the next report, and the report would be lost with the transfer
// when the wait gives up.
NTSTATUS ReadInterrupt(ControlRequest& R) {
  if (R.Extension->InterruptPipe == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  if (R.Buffer == nullptr || R.Out < InterruptReportSize) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* data = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(DriverNonPagedPool, InterruptReportSize, TagInterruptBuffer));
  if (data == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG received = 0;
  NTSTATUS status = ReadInterruptPipe(R.DeviceObject, data, InterruptReportSize, &received);
  status = Deliver(R, status, data, received);
  ExFreePool(data);
  return status;
}

// Under TransferMutex, so that a query that is rewriting the block cannot
// hand out half of it.
NTSTATUS GetInfoBlock(ControlRequest& R) {
  AcquireTransferMutex(R.Extension);
  const NTSTATUS status =
      Deliver(R, STATUS_SUCCESS, R.Extension->InfoBlock, R.Extension->InfoBlockLength);
  ReleaseTransferMutex(R.Extension);
  return status;
}

// A primary key takes a header (setup packet layout) and a payload; the
// other families take the raw command.
NTSTATUS Transact(ControlRequest& R) {
  if (R.Buffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (R.Extension->Family != FamilyPrimary) {
    if (R.In > MaxCommandLength) {
      return STATUS_INVALID_PARAMETER;
    }
    return Exchange(R, 0, 0, R.Buffer, static_cast<USHORT>(R.In));
  }
  if (R.In < SetupPacketSize) {
    return STATUS_INVALID_PARAMETER;
  }
  const SetupPacket header = PacketAt(R.Buffer);
  USHORT length = header.wLength;
  if (R.In < length + SetupPacketSize) {
    length = static_cast<USHORT>(R.In - SetupPacketSize);  // cut to what the input holds
  }
  PVOID payload =
      CopyPayload(R.Buffer + SetupPacketSize, &length, TagTransactPayload, TagTransactZeros);
  if (payload == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  const ULONG variant = header.bRequest == 0 ? 0 : 1;
  const NTSTATUS status = Exchange(R, variant, header.wValue, payload, length);
  ExFreePool(payload);
  return status;
}

// A command longer than wLength can say is refused rather than cut.
NTSTATUS TransactRaw(ControlRequest& R) {
  if (R.Buffer == nullptr || R.In == 0 || R.In > MaxCommandLength) {
    return STATUS_INVALID_PARAMETER;
  }
  return Exchange(R, 0, 0, R.Buffer, static_cast<USHORT>(R.In));
}

NTSTATUS TransactEx(ControlRequest& R) {
  if (R.Buffer == nullptr || R.In == 0 || R.In - 1 > MaxCommandLength) {
    return STATUS_INVALID_PARAMETER;
  }
  return Exchange(R, 1, R.Buffer[0], R.Buffer + 1, static_cast<USHORT>(R.In - 1));
}

NTSTATUS Probe(ControlRequest& R) {
  if (R.Buffer == nullptr || R.In < 1) {
    return STATUS_INVALID_PARAMETER;
  }
  return (R.Buffer[0] & ProbeMask) == ProbeAccepted ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// The block is read again and served with its check byte when one is due.
// TransferMutex stays held from the read through the copy, so a concurrent
// request cannot rewrite the block in between.
NTSTATUS QueryInfo(ControlRequest& R) {
  if (R.Buffer == nullptr || R.In < 1) {
    return STATUS_INVALID_PARAMETER;
  }
  const UCHAR selector = R.Buffer[0];
  if (selector == QueryInfoNothing) {
    return STATUS_SUCCESS;
  }
  if (selector > QueryInfoNothing) {
    return STATUS_INVALID_PARAMETER;
  }
  DeviceExtension* extension = R.Extension;
  AcquireTransferMutex(extension);
  ReadInfoBlock(R.DeviceObject);  // its failure shows in what the block holds
  const ULONG length = extension->InfoBlockLength;
  const ULONG answer = InfoBlockAnswerLength(extension->InfoBlock, length);
  NTSTATUS status = STATUS_SUCCESS;
  if (answer > R.Out) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    if (length > 0) {
      RtlCopyMemory(R.Buffer, extension->InfoBlock, length);
    }
    if (answer == length + 1) {
      R.Buffer[length] = InfoBlockCheckByte(extension->InfoBlock, length);
    }
    R.Information = answer;
  }
  ReleaseTransferMutex(extension);
  return status;
}

NTSTATUS NotifyChange(ControlRequest& R) {
  return StartNotifyThread(R.DeviceObject);
}

struct ControlCode {
  ULONG Code;
  NTSTATUS (*Handle)(ControlRequest& R);
};

constexpr ControlCode ControlCodes[] = {
    {IOCTL_KEY_GET_CONFIG_DESCRIPTOR, GetConfigDescriptor},
    {IOCTL_KEY_RESET_PORT, ResetPortControl},
    {IOCTL_KEY_RESET_PIPE, ResetPipe},
    {IOCTL_KEY_VENDOR_WRITE, VendorWrite},
    {IOCTL_KEY_VENDOR_READ, VendorRead},
    {IOCTL_KEY_READ_INTERRUPT, ReadInterrupt},
    {IOCTL_KEY_GET_INFO_BLOCK, GetInfoBlock},
    {IOCTL_KEY_TRANSACT, Transact},
    {IOCTL_KEY_TRANSACT_RAW, TransactRaw},
    {IOCTL_KEY_QUERY_INFO, QueryInfo},
    {IOCTL_KEY_PROBE, Probe},
    {IOCTL_KEY_NOTIFY_CHANGE, NotifyChange},
    {IOCTL_KEY_TRANSACT_EX, TransactEx},
};

}  // namespace

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  IoIncrement(extension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ControlRequest request = {DeviceObject,
                            extension,
                            Irp,
                            static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer),
                            stack->Parameters.DeviceIoControl.InputBufferLength,
                            stack->Parameters.DeviceIoControl.OutputBufferLength,
                            0};
  NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
  if (CurrentPnpState(extension) == Started) {
    status = STATUS_INVALID_DEVICE_REQUEST;
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    for (const ControlCode& entry : ControlCodes) {
      if (entry.Code == code) {
        status = entry.Handle(request);
        break;
      }
    }
  }
  CompleteRequest(Irp, status, NT_SUCCESS(status) ? request.Information : 0);
  IoDecrement(extension);
  return status;
}
