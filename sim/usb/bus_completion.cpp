// The simulated bus's completion thread: requests the bus completes later,
// by due time, at DISPATCH_LEVEL.
#include "sim/usb/bus_state.h"

namespace sim::usb::internal {

void WorkerLoop() {
  auto& bus = TheBus();
  std::unique_lock<std::mutex> lock(bus.mutex);
  for (;;) {
    if (bus.work.empty()) {
      if (bus.stopping)
        return;
      bus.cv.wait(lock);
      continue;
    }
    auto first = bus.work.begin();
    if (!bus.stopping && Clock::now() < first->first) {
      bus.cv.wait_until(lock, first->first);
      continue;
    }
    Work w = first->second;
    bus.work.erase(first);
    NTSTATUS status = w.execute ? Process(*w.state, w.irp) : w.irp->IoStatus.Status;
    if (status == STATUS_PENDING)
      continue;  // waits for the key now
    lock.unlock();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Complete(w.irp, status, 0);
    KeLowerIrql(old);
    lock.lock();
  }
}

void Queue(KeyState& s, PIRP irp, bool execute, Clock::time_point due) {
  auto& bus = TheBus();
  bus.work.emplace(due, Work{irp, &s, execute});
  bus.cv.notify_all();
}

void Queue(KeyState& s, PIRP irp, bool execute) {
  Queue(s, irp, execute, Clock::now() + kPendingDelay);
}

}  // namespace sim::usb::internal
