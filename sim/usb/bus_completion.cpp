// What the simulated bus completes later: queued by due time on the kernel's
// clock, and completed by the bus's timer DPC at DISPATCH_LEVEL, as a host
// controller driver completes transfers from its DPC.
#include "sim/usb/bus_state.h"

namespace sim::usb::internal {
namespace {

// Completes what is due now, or everything queued with `all`, in due order.
void CompleteDue(bool all) {
  auto& bus = TheBus();
  std::unique_lock<std::mutex> lock(bus.mutex);
  Work w{};
  while (bus.work.TakeDue(all, &w)) {
    NTSTATUS status = w.execute ? Process(*w.state, w.irp) : w.irp->IoStatus.Status;
    if (status == STATUS_PENDING)
      continue;  // waits for the key now
    lock.unlock();
    Complete(w.irp, status, 0);
    lock.lock();
  }
  if (!bus.stopping)
    bus.work.Arm();
}

VOID NTAPI CompletionDpc(PKDPC, PVOID, PVOID, PVOID) {
  CompleteDue(false);
}

}  // namespace

void Queue(KeyState& s, PIRP irp, bool execute, Clock::time_point due) {
  auto& bus = TheBus();
  bus.work.Add(due, Work{irp, &s, execute}, !bus.stopping);
}

void Queue(KeyState& s, PIRP irp, bool execute) {
  Queue(s, irp, execute, Clock::now() + kPendingDelay);
}

void StartCompletions() {
  auto& bus = TheBus();
  bus.work.Init(CompletionDpc);
  bus.epoch = Clock::now();
}

void FinishCompletions() {
  TheBus().work.Stop();  // a completion already under way ends first
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  CompleteDue(true);
  KeLowerIrql(old);
}

}  // namespace sim::usb::internal
