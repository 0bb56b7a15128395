// The error-log entries of a key. Resident: the reports come from paths that
// may run at DISPATCH_LEVEL, and IoAllocateErrorLogEntry and
// IoWriteErrorLogEntry allow it.
#include "driver/event_log.h"

#include "driver/device_extension.h"
#include "messages.h"

namespace {

// The message of each event, in KeyEvent order.
constexpr NTSTATUS EventMessages[KeyEventKinds] = {
    TARVIK_EVENT_KEY_NO_ANSWER,       TARVIK_EVENT_PORT_RESET_FAILED, TARVIK_EVENT_START_DESCRIPTOR,
    TARVIK_EVENT_START_CONFIGURATION, TARVIK_EVENT_START_INTERFACES,  TARVIK_EVENT_UNKNOWN_KEY,
};

// The identity as the insertion string: "VID_7E31&PID_5A3C REV_0100", or
// this when the device descriptor has not been read.
constexpr WCHAR IdentityNotRead[] = L"(identity not read)";
constexpr ULONG IdentityChars = sizeof("VID_XXXX&PID_XXXX REV_XXXX");  // NUL included
constexpr ULONG DumpBytes = 2 * sizeof(ULONG);                         // VID << 16 | PID, revision
constexpr ULONG StringOffset = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) + DumpBytes;
constexpr ULONG EntrySize = sizeof(IO_ERROR_LOG_PACKET) + DumpBytes + IdentityChars * sizeof(WCHAR);
static_assert(EntrySize <= ERROR_LOG_MAXIMUM_SIZE, "an entry fits the error log");
static_assert(sizeof(IdentityNotRead) <= IdentityChars * sizeof(WCHAR), "the text fits");

// Milliseconds on the performance counter, plus one, to 32 bits (wrapping
// after 49 days, which the interval test allows for); never 0, which means
// "never written".
ULONG NowStamp() {
  LARGE_INTEGER frequency;
  const LARGE_INTEGER ticks = KeQueryPerformanceCounter(&frequency);
  const ULONGLONG f = static_cast<ULONGLONG>(frequency.QuadPart);
  const ULONGLONG t = static_cast<ULONGLONG>(ticks.QuadPart);
  const ULONG stamp = static_cast<ULONG>(t / f * 1000 + t % f * 1000 / f + 1);
  return stamp != 0 ? stamp : 1;
}

// Claims the event's slot for a write now; false when one was written within
// the interval (or another thread claims it at the same moment). *Previous
// receives what the slot held, to give it back if no entry is written.
bool ClaimSlot(LONG volatile* Slot, ULONG Now, LONG* Previous) {
  // Read with an interlocked operation: other threads claim the slot at once.
  const LONG last = InterlockedOr(Slot, 0);
  if (last != 0 && Now - static_cast<ULONG>(last) < KeyEventInterval) {
    return false;
  }
  *Previous = last;
  return InterlockedCompareExchange(Slot, static_cast<LONG>(Now), last) == last;
}

void PutHex(WCHAR* At, USHORT Value) {
  static const char digits[] = "0123456789ABCDEF";
  for (int i = 3; i >= 0; --i) {
    At[i] = static_cast<WCHAR>(digits[Value & 0xF]);
    Value = static_cast<USHORT>(Value >> 4);
  }
}

void PutText(WCHAR* At, const char* Text) {
  while (*Text != '\0') {
    *At++ = static_cast<WCHAR>(*Text++);
  }
}

// The identity string and dump data of the key, from its device descriptor.
void FillIdentity(const DeviceExtension* Extension, PIO_ERROR_LOG_PACKET Entry) {
  WCHAR* text = reinterpret_cast<WCHAR*>(reinterpret_cast<PUCHAR>(Entry) + StringOffset);
  const PUSB_DEVICE_DESCRIPTOR descriptor = Extension->DeviceDescriptor;
  if (descriptor == nullptr) {
    RtlCopyMemory(text, IdentityNotRead, sizeof(IdentityNotRead));
    return;
  }
  PutText(text, "VID_");
  PutHex(text + 4, descriptor->idVendor);
  PutText(text + 8, "&PID_");
  PutHex(text + 13, descriptor->idProduct);
  PutText(text + 17, " REV_");
  PutHex(text + 22, descriptor->bcdDevice);
  text[26] = 0;
  Entry->DumpData[0] = static_cast<ULONG>(descriptor->idVendor) << 16 | descriptor->idProduct;
  ULONG revision = descriptor->bcdDevice;
  RtlCopyMemory(reinterpret_cast<PUCHAR>(Entry->DumpData) + sizeof(ULONG), &revision,
                sizeof(revision));
}

}  // namespace

TARVIK_RESIDENT void ReportKeyEvent(PDEVICE_OBJECT DeviceObject, KeyEvent Event, NTSTATUS Status) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  LONG volatile* slot = &extension->EventLogTimes[Event];
  const ULONG now = NowStamp();
  LONG previous = 0;
  if (!ClaimSlot(slot, now, &previous)) {
    return;
  }
  auto* entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(DeviceObject, EntrySize));
  if (entry == nullptr) {
    // Nothing was written: the next such event may try again.
    InterlockedCompareExchange(slot, previous, static_cast<LONG>(now));
    return;
  }
  RtlZeroMemory(entry, EntrySize);
  entry->ErrorCode = EventMessages[Event];
  entry->UniqueErrorValue = Event;
  entry->FinalStatus = Status;
  entry->DumpDataSize = DumpBytes;
  entry->NumberOfStrings = 1;
  entry->StringOffset = StringOffset;
  FillIdentity(extension, entry);
  // The I/O manager frees the entry once it has logged it.
  IoWriteErrorLogEntry(entry);
}

TARVIK_RESIDENT NTSTATUS ReportIfFailed(PDEVICE_OBJECT DeviceObject, KeyEvent Event,
                                        NTSTATUS Status) {
  if (!NT_SUCCESS(Status)) {
    ReportKeyEvent(DeviceObject, Event, Status);
  }
  return Status;
}

TARVIK_RESIDENT NTSTATUS ReportIfTimedOut(PDEVICE_OBJECT DeviceObject, NTSTATUS Status) {
  if (Status == STATUS_IO_TIMEOUT) {
    ReportKeyEvent(DeviceObject, KeyEventNoAnswer, Status);
  }
  return Status;
}
