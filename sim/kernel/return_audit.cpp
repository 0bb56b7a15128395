// What a thread still holds when it goes back to the system.
//
// Windows checks at each way back: the return from a system service (a
// client's request) and the end of a system thread find the thread's kernel
// APC disable count not zero when it still owns a kernel mutex, and stop with
// APC_INDEX_MISMATCH; a raised IRQL there is IRQL_GT_ZERO_AT_SYSTEM_SERVICE;
// a spin lock still held leaves every other processor that wants it spinning
// for ever. The simulated kernel reports each and gives back what was kept.
#include <algorithm>
#include <functional>

#include "sim/kernel/internal.h"

namespace sim::detail {
namespace {

template <typename T>
bool Contains(const std::vector<T>& items, T item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

// Once for every recursive acquisition (at most 128 of them).
void ReleaseOwned(PRKMUTEX mutex) {
  PKTHREAD self = &Current().thread->Tcb;
  for (int i = 0; i < 128 && Contains(Current().mutexes, mutex) && mutex->OwnerThread == self; ++i)
    KeReleaseMutex(mutex, FALSE);
}

}  // namespace

HeldState Held() {
  auto& state = Current();
  return HeldState{state.irql, state.spinLocks, state.mutexes};
}

void NoteMutexOwned(PRKMUTEX mutex) {
  auto& mutexes = Current().mutexes;
  if (!Contains(mutexes, mutex))
    mutexes.push_back(mutex);
}

void NoteMutexReleased(PRKMUTEX mutex) {
  auto& mutexes = Current().mutexes;
  mutexes.erase(std::remove(mutexes.begin(), mutexes.end(), mutex), mutexes.end());
}

void AuditReturn(const std::string& what, const HeldState& before) {
  AuditReturn([&what] { return what; }, before);
}

void AuditReturn(const std::function<std::string()>& describe, const HeldState& before) {
  auto& state = Current();
  if (state.irql == before.irql && state.spinLocks == before.spinLocks &&
      state.mutexes == before.mutexes) {
    DeliverApcs();  // a thread back in the system takes its APCs
    return;         // what it took it gave back: the usual case, and cheap
  }
  const std::string what = describe();
  std::vector<PKSPIN_LOCK> locks;
  for (PKSPIN_LOCK lock : state.spinLocks)
    if (!Contains(before.spinLocks, lock))
      locks.push_back(lock);
  for (PKSPIN_LOCK lock : locks) {
    Violation(Check::SpinLockHeldAtReturn,
              what + " still holds spin lock " + Hex(reinterpret_cast<uintptr_t>(lock)));
    KeReleaseSpinLockFromDpcLevel(lock);
  }
  std::vector<PRKMUTEX> mutexes;
  for (PRKMUTEX mutex : state.mutexes)
    if (!Contains(before.mutexes, mutex))
      mutexes.push_back(mutex);
  for (PRKMUTEX mutex : mutexes) {
    Violation(Check::MutexHeldAtReturn, what + " still owns kernel mutex " +
                                            Hex(reinterpret_cast<uintptr_t>(mutex)) +
                                            " (APC_INDEX_MISMATCH)");
    ReleaseOwned(mutex);
  }
  if (state.irql != before.irql) {
    Violation(Check::IrqlNotRestoredAtReturn, what + " is back at IRQL " +
                                                  std::to_string(state.irql) + ", entered at " +
                                                  std::to_string(before.irql));
    state.irql = before.irql;
  }
  DeliverApcs();
}

}  // namespace sim::detail
