// Requests a simulated bus completes later: kept in due order on the kernel's
// clock, with one kernel timer always set for the first of them and the DPC
// that the timer queues. The caller holds its own lock around every call and
// takes what is due from its DPC.
#pragma once
#include <algorithm>
#include <map>

#include "sim/kernel/clock.h"
#include "sim/kernel/wdm.h"

namespace sim::usb {

template <typename Item>
class TimedQueue {
 public:
  using Clock = sim::clock::KernelClock;

  void Init(PKDEFERRED_ROUTINE routine) {
    KeInitializeTimer(&timer_);
    KeInitializeDpc(&dpc_, routine, nullptr);
  }
  // Adds `item`, due at `due`; the timer follows when it is the first due,
  // unless `arm` is false.
  void Add(Clock::time_point due, const Item& item, bool arm = true) {
    const auto added = items_.emplace(due, item);
    if (added == items_.begin() && arm)
      Arm();
  }
  // Takes the first item if it is due (or with `all`, whatever its time).
  bool TakeDue(bool all, Item* item) {
    if (items_.empty() || (!all && Clock::now() < items_.begin()->first))
      return false;
    *item = items_.begin()->second;
    items_.erase(items_.begin());
    return true;
  }
  // Sets the timer for the first item, in 100 ns units rounded up, so that
  // the DPC never runs before its time.
  void Arm() {
    if (items_.empty())
      return;
    const auto wait = items_.begin()->first - Clock::now();
    LARGE_INTEGER due;
    due.QuadPart = -std::max<LONGLONG>((wait.count() + 99) / 100, 0);
    KeSetTimer(&timer_, due, &dpc_);
  }
  // Stops the timer and waits for a DPC already under way (PASSIVE_LEVEL).
  void Stop() {
    KeCancelTimer(&timer_);
    KeFlushQueuedDpcs();
  }
  template <typename Predicate>
  bool Any(Predicate predicate) const {
    return std::any_of(items_.begin(), items_.end(),
                       [&](const auto& entry) { return predicate(entry.second); });
  }
  void Clear() { items_.clear(); }

 private:
  std::multimap<Clock::time_point, Item> items_;  // by due time, then arrival
  KTIMER timer_{};
  KDPC dpc_{};
};

}  // namespace sim::usb
