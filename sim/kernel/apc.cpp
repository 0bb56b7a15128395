// Special kernel APCs and the regions that hold them back.
//
// A special kernel APC runs in the thread it was queued to, and only when
// that thread takes it: at PASSIVE_LEVEL and outside any guarded region
// (Disabling APCs: a guarded region, or an IRQL of APC_LEVEL or above,
// disables every APC; a critical region, which a kernel mutex's owner is in,
// leaves special kernel APCs enabled). The thread takes its APCs at once
// when one is queued to itself while they are enabled, when it lowers its
// IRQL below APC_LEVEL or leaves its outermost guarded region, during every
// wait, and when it goes back to the system. Each runs at APC_LEVEL.
#include <algorithm>
#include <deque>
#include <unordered_map>

#include "sim/kernel/internal.h"

namespace sim::detail {
namespace {

struct ApcQueue {
  std::deque<std::function<void()>> routines;
  std::condition_variable* waiting = nullptr;  // set while the thread waits taking APCs
};

// Guarded by the dispatcher lock, so that a thread that begins to wait and an
// APC queued to it meet: either the wait sees the APC or the APC sees the wait.
// Never destroyed: a thread that a test left behind may still lower its IRQL
// while the process exits.
std::unordered_map<PKTHREAD, ApcQueue>& Queues() {
  static auto* queues = new std::unordered_map<PKTHREAD, ApcQueue>;
  return *queues;
}

}  // namespace

bool SpecialApcsEnabled() {
  const auto& state = Current();
  return state.irql < APC_LEVEL && state.guardedRegions == 0 && !state.inApc;
}

void QueueSpecialApc(PKTHREAD thread, std::function<void()> routine) {
  {
    std::lock_guard<std::mutex> lock(DispatcherLock());
    ApcQueue& queue = Queues()[thread];
    queue.routines.push_back(std::move(routine));
    if (queue.waiting)
      queue.waiting->notify_all();
  }
  if (thread == &Current().thread->Tcb)
    DeliverApcs();
}

bool ApcPending(PKTHREAD thread) {
  auto it = Queues().find(thread);
  return it != Queues().end() && !it->second.routines.empty();
}

void DeliverApcs(bool evenIfDisabled) {
  auto& state = Current();
  if (state.inApc || (!evenIfDisabled && !SpecialApcsEnabled()))
    return;
  PKTHREAD self = &state.thread->Tcb;
  for (;;) {
    std::function<void()> routine;
    {
      std::lock_guard<std::mutex> lock(DispatcherLock());
      auto it = Queues().find(self);
      if (it == Queues().end() || it->second.routines.empty())
        return;
      routine = std::move(it->second.routines.front());
      it->second.routines.pop_front();
    }
    const KIRQL irql = state.irql;
    state.irql = std::max<KIRQL>(irql, APC_LEVEL);
    state.inApc = true;
    routine();
    state.inApc = false;
    state.irql = irql;
  }
}

ApcWait::ApcWait(PKTHREAD thread, std::condition_variable* ready, bool takesApcs)
    : thread_(takesApcs ? thread : nullptr) {
  if (thread_)
    Queues()[thread_].waiting = ready;
}

ApcWait::~ApcWait() {
  if (thread_)
    Queues()[thread_].waiting = nullptr;
}

void ResetApcs() {
  std::lock_guard<std::mutex> lock(DispatcherLock());
  Queues().clear();
}

}  // namespace sim::detail

using namespace sim::detail;

VOID NTAPI KeEnterGuardedRegion(VOID) {
  auto& state = Current();
  if (state.irql > APC_LEVEL)
    Violation(Check::InvalidCall, "KeEnterGuardedRegion at IRQL " + std::to_string(state.irql) +
                                      " (IRQL <= APC_LEVEL)");
  ++state.guardedRegions;
}

VOID NTAPI KeLeaveGuardedRegion(VOID) {
  auto& state = Current();
  if (state.guardedRegions == 0) {
    Violation(Check::InvalidCall, "KeLeaveGuardedRegion outside a guarded region");
    return;
  }
  if (--state.guardedRegions == 0)
    DeliverApcs();
}
