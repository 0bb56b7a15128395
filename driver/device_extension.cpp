// Operations of the per-device record: the Plug and Play state pair and the
// outstanding-request count with its two events. Resident: callable at any
// IRQL up to DISPATCH_LEVEL, from completion paths and power handling.
#include "driver/device_extension.h"

namespace {

// The state is read without the lock by every dispatch routine: its stores
// are single interlocked writes, so a reader sees the old state or the new.
void StoreState(volatile PnpState* Field, PnpState Value) {
  InterlockedExchange(reinterpret_cast<volatile LONG*>(Field), static_cast<LONG>(Value));
}

}  // namespace

PnpState CurrentPnpState(DeviceExtension* Extension) {
  return static_cast<PnpState>(InterlockedCompareExchange(
      reinterpret_cast<volatile LONG*>(&Extension->DevicePnpState), 0, 0));
}

void SetNewPnpState(DeviceExtension* Extension, PnpState NewState) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->StateLock);
  Extension->PreviousPnpState = CurrentPnpState(Extension);
  StoreState(&Extension->DevicePnpState, NewState);
  KeReleaseSpinLock(&Extension->StateLock, oldIrql);
}

// Undoes exactly one SetNewPnpState; the saved state stays as it is.
void RestorePnpState(DeviceExtension* Extension) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->StateLock);
  StoreState(&Extension->DevicePnpState, Extension->PreviousPnpState);
  KeReleaseSpinLock(&Extension->StateLock, oldIrql);
}

// Every increment that leaves the count above 1 clears StopEvent, so a drain
// that starts later waits for this request too.
LONG IoIncrement(DeviceExtension* Extension) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->IoCountLock);
  LONG count = InterlockedIncrement(&Extension->OutstandingIo);
  if (count > 1) {
    KeClearEvent(&Extension->StopEvent);
  }
  KeReleaseSpinLock(&Extension->IoCountLock, oldIrql);
  return count;
}

// Back at 1 nothing but the device itself is outstanding (StopEvent); at 0 the
// device's own reference is gone too and removal may finish (RemoveEvent).
LONG IoDecrement(DeviceExtension* Extension) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->IoCountLock);
  LONG count = InterlockedDecrement(&Extension->OutstandingIo);
  if (count == 1) {
    KeSetEvent(&Extension->StopEvent, IO_NO_INCREMENT, FALSE);
  }
  if (count == 0) {
    KeSetEvent(&Extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&Extension->IoCountLock, oldIrql);
  return count;
}
