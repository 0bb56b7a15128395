// What the simulated bus completes later: queued by due time on the kernel's
// clock, and completed by the bus's timer DPC at DISPATCH_LEVEL, as a host
// controller driver completes transfers from its DPC. One timer serves the
// whole bus; it is always set for the first request due.
#include <algorithm>

#include "sim/usb/bus_state.h"

namespace sim::usb::internal {
namespace {

// Sets the bus's timer for the first request due. Called with the bus lock held.
void SetTimerLocked(Bus& bus) {
  if (bus.work.empty() || bus.stopping)
    return;
  const auto wait = bus.work.begin()->first - Clock::now();
  LARGE_INTEGER due;
  // Relative, in 100 ns units rounded up: the DPC never runs before its time.
  due.QuadPart = -std::max<LONGLONG>((wait.count() + 99) / 100, 0);
  KeSetTimer(&bus.timer, due, &bus.dpc);
}

// Completes what is due now, or everything queued with `all`, in due order.
void CompleteDue(bool all) {
  auto& bus = TheBus();
  std::unique_lock<std::mutex> lock(bus.mutex);
  while (!bus.work.empty() && (all || bus.work.begin()->first <= Clock::now())) {
    auto first = bus.work.begin();
    Work w = first->second;
    bus.work.erase(first);
    NTSTATUS status = w.execute ? Process(*w.state, w.irp) : w.irp->IoStatus.Status;
    if (status == STATUS_PENDING)
      continue;  // waits for the key now
    lock.unlock();
    Complete(w.irp, status, 0);
    lock.lock();
  }
  SetTimerLocked(bus);
}

VOID NTAPI CompletionDpc(PKDPC, PVOID, PVOID, PVOID) {
  CompleteDue(false);
}

}  // namespace

void Queue(KeyState& s, PIRP irp, bool execute, Clock::time_point due) {
  auto& bus = TheBus();
  const auto it = bus.work.emplace(due, Work{irp, &s, execute});
  if (it == bus.work.begin())
    SetTimerLocked(bus);
}

void Queue(KeyState& s, PIRP irp, bool execute) {
  Queue(s, irp, execute, Clock::now() + kPendingDelay);
}

void StartCompletions() {
  auto& bus = TheBus();
  KeInitializeTimer(&bus.timer);
  KeInitializeDpc(&bus.dpc, CompletionDpc, nullptr);
  bus.epoch = Clock::now();
}

void FinishCompletions() {
  auto& bus = TheBus();
  KeCancelTimer(&bus.timer);
  KeFlushQueuedDpcs();  // a completion already under way ends first
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  CompleteDue(true);
  KeLowerIrql(old);
}

}  // namespace sim::usb::internal
