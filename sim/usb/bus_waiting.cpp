// The simulated bus's transfers that the key NAKs: kept in the shared
// waiting-transfer queue, recorded on the wire trace when they end, and
// completed from the bus's timer DPC, as a transfer does when the
// host controller ends it.
#include "sim/usb/bus_state.h"

namespace sim::usb {
namespace internal {
namespace {

// Records how a waiting transfer ended (`o` is already in its URB, which
// asked for `asked` bytes). Returns when its completion is due.
Clock::time_point Record(KeyState& s, PIRP irp, keyport::Outcome o, ULONG asked) {
  WireRecord r = Describe(irp);
  r.length = asked;
  const WireRecord& ended = RecordEnd(s, irp, std::move(r), o);
  irp->IoStatus.Status = o.status;
  return Due(s, ended);
}

// Fails a transfer that no longer waits with the hub's cancelled status.
Clock::time_point RecordCancelled(KeyState& s, PIRP irp) {
  const ULONG asked = UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength;
  return Record(s, irp, keyport::Port::Fail(UrbOf(irp), keyport::kCancelled), asked);
}

// Records how a waiting transfer ended and queues its completion.
struct EndedOn {
  KeyState& s;
  void operator()(PIRP irp, keyport::Outcome o, ULONG asked) const {
    Queue(s, irp, false, Record(s, irp, o, asked));
  }
};

// A key that completes in the caller's thread has its cancelled transfer
// completed here, inside IoCancelIrp, as a hub driver may do; otherwise the
// completion follows later from the bus's timer DPC.
VOID NTAPI CancelWaiting(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    std::lock_guard<std::mutex> lock(TheBus().mutex);
    KeyState* s = Find(device);
    if (!s || !s->waiting.Remove(irp))
      return;
    const auto due = RecordCancelled(*s, irp);
    if (s->completion != Completion::Synchronous || s->timing.enabled) {
      Queue(*s, irp, false, due);
      return;
    }
  }
  Complete(irp, irp->IoStatus.Status, 0);
}

}  // namespace

void Wait(KeyState& s, PIRP irp) {
  const bool waits = s.waiting.Wait(irp, CancelWaiting);
  TheBus().cv.notify_all();
  if (!waits)  // cancelled before it could wait
    Queue(s, irp, false, RecordCancelled(s, irp));
}

void EndAllWaiting(KeyState& s, keyport::Outcome o) {
  s.waiting.End(o, nullptr, EndedOn{s});
}

void AfterRequest(KeyState& s, PIRP irp, Kind kind, NTSTATUS status) {
  s.waiting.After(s.port, kind == Kind::ResetPort ? nullptr : UrbOf(irp), status, CancelWaiting,
                  EndedOn{s});
}

}  // namespace internal

using namespace internal;

size_t Waiting(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  return Get(pdo).waiting.Count();
}

bool WaitUntilWaiting(PDEVICE_OBJECT pdo, size_t count, int timeoutMs) {
  auto& bus = TheBus();
  std::unique_lock<std::mutex> lock(bus.mutex);
  return bus.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    KeyState* s = Find(pdo);
    return s && s->waiting.Count() >= count;
  });
}

}  // namespace sim::usb
