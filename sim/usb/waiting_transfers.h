// Interrupt transfers that the key NAKs: they stay with the bus, cancelable,
// until the key has a report, their sender cancels them, an abort-pipe for
// their pipe or a port reset ends them, or the key leaves. Freestanding, like
// the port: the simulated bus keeps them on the host, the virtual bus driver
// in a real kernel.
//
// Each waits on an intrusive list (Tail.Overlay.ListEntry) with the bus's
// cancel routine set. Whoever takes one off the list first clears its cancel
// routine; if that finds the routine gone, the routine is running and ends
// the transfer itself (it calls Remove). The owner holds its own lock around
// every call, and hands each transfer that ends to its `ended(irp, outcome,
// asked)` callback (the outcome is already in the URB; `asked` is the length
// the transfer asked for) to be completed once that lock is free.
#pragma once
#include "sim/usb/port.h"

namespace keyport {

// The URB an IOCTL_INTERNAL_USB_SUBMIT_URB request carries.
inline PURB UrbOf(PIRP irp) {
  return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

class WaitingTransfers {
 public:
  void Init() { InitializeListHead(&list_); }
  ULONG Count() const;

  // Keeps a transfer that the key NAKs, marked pending, with `cancel` as its
  // cancel routine. False when it was cancelled before it could wait: the
  // caller then ends it.
  bool Wait(PIRP irp, PDRIVER_CANCEL cancel);
  // From the cancel routine: takes `irp` off the list; false when it is not
  // on it.
  bool Remove(PIRP irp);
  // Takes the oldest transfer whose cancel routine has not started off the
  // list, or null (for ending every transfer as the bus unloads).
  PIRP TakeAny();

  // Fails the transfers on `pipe` (every transfer when null) with `outcome`.
  template <typename Ended>
  void End(Outcome outcome, USBD_PIPE_HANDLE pipe, Ended ended);

  // Hands the key's report to the oldest transfer while it has one. A
  // transfer that took a full packet and asked for more goes on waiting, with
  // the bytes it has.
  template <typename Ended>
  void Serve(Port& port, PDRIVER_CANCEL cancel, Ended ended);

  // What a request that the port carried out to `status` does to the
  // transfers that wait: a vendor command lets the key report, a port reset
  // and an abort-pipe for their pipe cancel them. `urb` is null for a port
  // reset.
  template <typename Ended>
  void After(Port& port, PURB urb, NTSTATUS status, PDRIVER_CANCEL cancel, Ended ended);

 private:
  static PIRP IrpOf(PLIST_ENTRY entry) {
    return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
  }
  static ULONG Asked(PIRP irp) {
    return UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength;
  }
  // Takes a transfer back from its cancel routine; false when the routine is
  // already running.
  static bool Reclaim(PIRP irp) { return IoSetCancelRoutine(irp, nullptr) != nullptr; }

  LIST_ENTRY list_;
};

template <typename Ended>
void WaitingTransfers::End(Outcome outcome, USBD_PIPE_HANDLE pipe, Ended ended) {
  PLIST_ENTRY entry = list_.Flink;
  while (entry != &list_) {
    PLIST_ENTRY next = entry->Flink;
    PIRP irp = IrpOf(entry);
    if ((pipe == nullptr || Port::PipeOf(UrbOf(irp)) == pipe) && Reclaim(irp)) {
      RemoveEntryList(entry);
      const ULONG asked = Asked(irp);
      ended(irp, Port::Fail(UrbOf(irp), outcome), asked);
    }
    entry = next;
  }
}

template <typename Ended>
void WaitingTransfers::Serve(Port& port, PDRIVER_CANCEL cancel, Ended ended) {
  PLIST_ENTRY entry = list_.Flink;
  while (entry != &list_ && port.Key().ReportReady()) {
    PLIST_ENTRY next = entry->Flink;
    PIRP irp = IrpOf(entry);
    if (Reclaim(irp)) {
      const ULONG asked = Asked(irp);
      Outcome o = port.Continue(UrbOf(irp));
      if (o.status == STATUS_PENDING) {
        (void)IoSetCancelRoutine(irp, cancel);
        if (!irp->Cancel || !Reclaim(irp)) {
          entry = next;
          continue;
        }
        o = Port::Fail(UrbOf(irp), kCancelled);  // cancelled while it took the packet
      }
      RemoveEntryList(entry);
      ended(irp, o, asked);
    }
    entry = next;
  }
}

template <typename Ended>
void WaitingTransfers::After(Port& port, PURB urb, NTSTATUS status, PDRIVER_CANCEL cancel,
                             Ended ended) {
  if (status != STATUS_SUCCESS)
    return;
  if (urb == nullptr) {
    End(kCancelled, nullptr, ended);
  } else if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
    End(kCancelled, urb->UrbPipeRequest.PipeHandle, ended);
  } else if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE &&
             !USBD_TRANSFER_DIRECTION_FLAG(urb->UrbControlVendorClassRequest.TransferFlags)) {
    Serve(port, cancel, ended);
  }
}

}  // namespace keyport
