// The list of transfers that the key NAKs, and its cancel-safe hand-over.
#include "sim/usb/waiting_transfers.h"

namespace keyport {

ULONG WaitingTransfers::Count() const {
  ULONG count = 0;
  for (PLIST_ENTRY entry = list_.Flink; entry != &list_; entry = entry->Flink)
    ++count;
  return count;
}

bool WaitingTransfers::Wait(PIRP irp, PDRIVER_CANCEL cancel) {
  IoMarkIrpPending(irp);
  InsertTailList(&list_, &irp->Tail.Overlay.ListEntry);
  (void)IoSetCancelRoutine(irp, cancel);
  if (irp->Cancel && Reclaim(irp)) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    return false;
  }
  return true;
}

bool WaitingTransfers::Remove(PIRP irp) {
  for (PLIST_ENTRY entry = list_.Flink; entry != &list_; entry = entry->Flink) {
    if (entry == &irp->Tail.Overlay.ListEntry) {
      RemoveEntryList(entry);
      return true;
    }
  }
  return false;
}

PIRP WaitingTransfers::TakeAny() {
  for (PLIST_ENTRY entry = list_.Flink; entry != &list_; entry = entry->Flink) {
    PIRP irp = IrpOf(entry);
    if (Reclaim(irp)) {
      RemoveEntryList(entry);
      return irp;
    }
  }
  return nullptr;
}

}  // namespace keyport
