// Command exchanges with the key: write the command, learn the answer length
// from the interrupt report when the key sends one, read the answer.
#include "driver/key_transaction.h"

#include "driver/device_extension.h"
#include "driver/pool_tags.h"
#include "driver/pool_type.h"
#include "driver/usb_requests.h"

namespace {

constexpr UCHAR VendorToDevice = 0x40;
constexpr UCHAR VendorFromDevice = 0xC0;
constexpr ULONG WriteAttempts = 3;
constexpr ULONG InterruptReportLength = 8;
// Keys of the primary family up to this revision never send an interrupt report.
constexpr ULONG LastSilentPrimaryRevision = 0x0300;
// The request that asks the key for its identification block.
constexpr ULONG InfoBlockVariant = 1;
constexpr USHORT InfoBlockOutValue = 2;
constexpr USHORT InfoBlockOutLength = 4;

// Read afresh at every test: the fields may change when the key is started again.
bool KeySignalsAnswers(const DeviceExtension* Extension) {
  return Extension->InterruptPipe != nullptr &&
         (Extension->Family != FamilyPrimary ||
          Extension->DeviceRevision > LastSilentPrimaryRevision);
}

SetupPacket MakeSetupPacket(UCHAR RequestType, ULONG Variant, USHORT Value, USHORT Length) {
  SetupPacket packet;
  packet.bmRequestType = RequestType;
  packet.bRequest = static_cast<UCHAR>(Variant);
  packet.wValue = Value;
  packet.wIndex = 0;
  packet.wLength = Length;
  return packet;
}

void AcquireTransferMutex(DeviceExtension* Extension) {
  KeWaitForSingleObject(&Extension->TransferMutex, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseTransferMutex(DeviceExtension* Extension) {
  KeReleaseMutex(&Extension->TransferMutex, FALSE);
}

// The announced answer length sits in bytes 2-3 of the report, little-endian.
NTSTATUS ReadAnswerLength(PDEVICE_OBJECT DeviceObject, PULONG AnswerLength) {
  UCHAR report[InterruptReportLength] = {};
  ULONG received = 0;
  const NTSTATUS status = ReadInterruptPipe(DeviceObject, report, InterruptReportLength, &received);
  if (NT_SUCCESS(status)) {
    *AnswerLength = static_cast<ULONG>(report[2]) | (static_cast<ULONG>(report[3]) << 8);
  }
  return status;
}

// A key may hand out its answer in pieces: ask again for the whole answer,
// into the start of the buffer, until it comes back at the announced length.
// A key that never gets there is given up on after KeyTransactionMaxReads.
NTSTATUS ReadAnswer(PDEVICE_OBJECT DeviceObject, const SetupPacket* Packet, PVOID InBuffer,
                    ULONG Expected, PULONG Returned) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  for (ULONG reads = 0; reads < KeyTransactionMaxReads; ++reads) {
    const NTSTATUS status = VendorControlIn(DeviceObject, Packet, InBuffer, Returned);
    if (!KeySignalsAnswers(extension) || !NT_SUCCESS(status) || (*Returned & 0xFFFF) == Expected) {
      return status;
    }
  }
  *Returned = 0;
  return STATUS_IO_TIMEOUT;
}

}  // namespace

NTSTATUS WriteWithRetries(PDEVICE_OBJECT DeviceObject, const SetupPacket* Packet, PVOID Data,
                          NTSTATUS* LastWrite) {
  for (ULONG attempt = 0; attempt < WriteAttempts; ++attempt) {
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(
        DriverNonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), TagVendorOutUrb));
    *LastWrite = urb != nullptr ? VendorControlOut(DeviceObject, Packet, Data, urb)
                                : STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(*LastWrite)) {
      return STATUS_SUCCESS;
    }
    const NTSTATUS reset = ResetPort(DeviceObject);
    if (!NT_SUCCESS(reset)) {
      return reset;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS KeyTransaction(PDEVICE_OBJECT DeviceObject, ULONG Variant, USHORT OutValue, PVOID OutData,
                        USHORT OutLength, PVOID InBuffer, ULONG InLength, PULONG Returned) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  // wLength carries 16 bits; a larger capacity could never match the answer length.
  if (InLength > KeyTransactionMaxInLength) {
    InLength = KeyTransactionMaxInLength;
  }
  const SetupPacket outPacket =
      MakeSetupPacket(VendorToDevice, Variant, Variant == 0 ? 0 : OutValue, OutLength);
  AcquireTransferMutex(extension);

  // Three failed writes do not end the exchange: a key may have taken a
  // command whose write was reported failed, and the later phases tell.
  NTSTATUS lastWrite;
  NTSTATUS status = WriteWithRetries(DeviceObject, &outPacket, OutData, &lastWrite);
  if (!NT_SUCCESS(status)) {
    *Returned = 0;
    ReleaseTransferMutex(extension);
    return status;
  }

  ULONG expected = 0;
  const bool reportRead = KeySignalsAnswers(extension);
  if (reportRead) {
    ULONG answerLength = 0;
    status = ReadAnswerLength(DeviceObject, &answerLength);
    if (!NT_SUCCESS(status)) {
      ReleaseTransferMutex(extension);
      return status;
    }
    expected = answerLength < InLength ? answerLength : InLength;
  }

  const SetupPacket inPacket =
      MakeSetupPacket(VendorFromDevice, Variant, 0, static_cast<USHORT>(InLength));
  status = ReadAnswer(DeviceObject, &inPacket, InBuffer, expected, Returned);
  ReleaseTransferMutex(extension);
  // Nothing came back for a command that no write delivered: the command was
  // lost, which an empty answer must not pass for.
  if (!NT_SUCCESS(lastWrite) && NT_SUCCESS(status) && !reportRead && *Returned == 0) {
    return lastWrite;
  }
  return status;
}

NTSTATUS ReadInfoBlock(PDEVICE_OBJECT DeviceObject) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  // The block's first four bytes, all zero, are the command itself.
  RtlZeroMemory(extension->InfoBlock, InfoBlockSize);
  const NTSTATUS status = KeyTransaction(
      DeviceObject, InfoBlockVariant, InfoBlockOutValue, extension->InfoBlock, InfoBlockOutLength,
      extension->InfoBlock, InfoBlockSize, &extension->InfoBlockLength);
  // A failed read leaves nothing of the key's in the block. An exchange that
  // ends at its report does not touch the length, which would otherwise go
  // on announcing the earlier block's bytes over the cleared ones.
  if (!NT_SUCCESS(status)) {
    extension->InfoBlockLength = 0;
  }
  return status;
}
