// Dispatcher objects, waits, IRQL and spin locks.
//
// One dispatcher lock guards every signal state, as on Windows; waiting
// threads block on one condition variable and re-test their object when any
// object is signalled.
#include <sched.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "sim/kernel/internal.h"

namespace sim::detail {
namespace {

std::mutex gDispatcher;
std::condition_variable gSignalled;

bool IsSignalled(DISPATCHER_HEADER* header, PKTHREAD thread) {
  if (header->Type == MutantObject) {
    auto* mutex = reinterpret_cast<PKMUTEX>(header);
    return header->SignalState > 0 || mutex->OwnerThread == thread;
  }
  return header->SignalState > 0;
}

// Consumes the signal the way the object's type says.
NTSTATUS Satisfy(DISPATCHER_HEADER* header, PKTHREAD thread) {
  switch (header->Type) {
    case EventSynchronizationObject:
      header->SignalState = 0;
      break;
    case SemaphoreObject:
      --header->SignalState;
      break;
    case MutantObject: {
      auto* mutex = reinterpret_cast<PKMUTEX>(header);
      --header->SignalState;
      mutex->OwnerThread = thread;
      if (mutex->Abandoned) {
        mutex->Abandoned = FALSE;
        return STATUS_ABANDONED;
      }
      break;
    }
    default:
      break;
  }
  return STATUS_SUCCESS;
}

void CheckMayWait(const char* routine, bool zeroTimeout) {
  auto& state = Current();
  if (!state.spinLocks.empty())
    Violation(Check::SpinLockHeldAcrossWait, std::string(routine) + " while holding " +
                                                 std::to_string(state.spinLocks.size()) +
                                                 " spin lock(s)");
  if (!zeroTimeout && state.irql >= DISPATCH_LEVEL)
    Violation(Check::WaitAtDispatch,
              std::string(routine) + " at IRQL " + std::to_string(state.irql));
}

// Relative (negative) or absolute (positive) time in 100 ns units.
std::chrono::steady_clock::time_point Deadline(const LARGE_INTEGER* timeout) {
  auto now = std::chrono::steady_clock::now();
  if (timeout->QuadPart < 0)
    return now + std::chrono::nanoseconds(-timeout->QuadPart * 100);
  LARGE_INTEGER system;
  KeQuerySystemTime(&system);
  LONGLONG delta = timeout->QuadPart - system.QuadPart;
  return now + std::chrono::nanoseconds(delta > 0 ? delta * 100 : 0);
}

}  // namespace

std::mutex& DispatcherLock() {
  return gDispatcher;
}

void WakeWaiters() {
  gSignalled.notify_all();
}

void SignalThreadEnded(PETHREAD thread) {
  std::lock_guard<std::mutex> lock(gDispatcher);
  thread->Tcb.Header.SignalState = 1;
  gSignalled.notify_all();
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

// ---- IRQL

KIRQL NTAPI KeGetCurrentIrql(VOID) {
  return Current().irql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  auto& state = Current();
  KIRQL old = state.irql;
  if (NewIrql < old)
    Violation(Check::InvalidCall, "KeRaiseIrql to " + std::to_string(NewIrql) +
                                      " below the current IRQL " + std::to_string(old));
  state.irql = NewIrql;
  return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  auto& state = Current();
  if (NewIrql > state.irql)
    Violation(Check::InvalidCall, "KeLowerIrql to " + std::to_string(NewIrql) +
                                      " above the current IRQL " + std::to_string(state.irql));
  state.irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
  return KfRaiseIrql(DISPATCH_LEVEL);
}

// ---- spin locks

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  auto& state = Current();
  if (state.irql < DISPATCH_LEVEL)
    Violation(Check::SpinLockMisuse, "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
  for (PKSPIN_LOCK held : state.spinLocks) {
    if (held == SpinLock) {
      Violation(Check::SpinLockMisuse, "spin lock " + Hex(reinterpret_cast<uintptr_t>(SpinLock)) +
                                           " acquired again by the thread that holds it");
      return;
    }
  }
  ULONG_PTR owner = reinterpret_cast<ULONG_PTR>(state.thread) | 1;
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, owner, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED))
      break;
    sched_yield();
  }
  state.spinLocks.push_back(SpinLock);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  auto& state = Current();
  KIRQL old = state.irql;
  if (old > DISPATCH_LEVEL)
    Violation(Check::SpinLockMisuse, "spin lock acquired above DISPATCH_LEVEL");
  state.irql = DISPATCH_LEVEL;
  KeAcquireSpinLockAtDpcLevel(SpinLock);
  return old;
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  auto& state = Current();
  bool held = false;
  for (auto it = state.spinLocks.begin(); it != state.spinLocks.end(); ++it) {
    if (*it == SpinLock) {
      state.spinLocks.erase(it);
      held = true;
      break;
    }
  }
  if (!held) {
    Violation(Check::SpinLockMisuse, "spin lock " + Hex(reinterpret_cast<uintptr_t>(SpinLock)) +
                                         " released by a thread that does not hold it");
    return;
  }
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KeReleaseSpinLockFromDpcLevel(SpinLock);
  KfLowerIrql(NewIrql);
}

// ---- events

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  std::lock_guard<std::mutex> lock(gDispatcher);
  Event->Header.Type =
      Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
  Event->Header.Absolute = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  std::lock_guard<std::mutex> lock(gDispatcher);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  gSignalled.notify_all();
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(gDispatcher);
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(gDispatcher);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(gDispatcher);
  return Event->Header.SignalState;
}

// ---- mutexes

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
  std::lock_guard<std::mutex> lock(gDispatcher);
  Mutex->Header.Type = MutantObject;
  Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
  Mutex->Header.SignalState = 1;
  InitializeListHead(&Mutex->Header.WaitListHead);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
  InitializeListHead(&Mutex->MutantListEntry);
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
  PKTHREAD self = &Current().thread->Tcb;
  std::unique_lock<std::mutex> lock(gDispatcher);
  LONG previous = Mutex->Header.SignalState;
  if (Mutex->OwnerThread != self || previous > 0) {
    lock.unlock();
    Violation(Check::MutexNotOwner, "KeReleaseMutex(" + Hex(reinterpret_cast<uintptr_t>(Mutex)) +
                                        ") by a thread that does not own it");
    return previous;
  }
  if (++Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    NoteMutexReleased(Mutex);
    gSignalled.notify_all();
  }
  return previous;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
  std::lock_guard<std::mutex> lock(gDispatcher);
  return Mutex->Header.SignalState;
}

// ---- semaphores

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  std::lock_guard<std::mutex> lock(gDispatcher);
  Semaphore->Header.Type = SemaphoreObject;
  Semaphore->Header.SignalState = Count;
  InitializeListHead(&Semaphore->Header.WaitListHead);
  Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
  std::unique_lock<std::mutex> lock(gDispatcher);
  LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || previous + Adjustment > Semaphore->Limit) {
    lock.unlock();
    Violation(Check::InvalidCall, "KeReleaseSemaphore past the semaphore's limit");
    return previous;
  }
  Semaphore->Header.SignalState = previous + Adjustment;
  gSignalled.notify_all();
  return previous;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  std::lock_guard<std::mutex> lock(gDispatcher);
  return Semaphore->Header.SignalState;
}

// ---- waits

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
  bool zero = Timeout && Timeout->QuadPart == 0;
  CheckMayWait("KeWaitForSingleObject", zero);
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  PKTHREAD self = &Current().thread->Tcb;
  std::unique_lock<std::mutex> lock(gDispatcher);
  if (header->Type == MutantObject && header->SignalState <= -127) {
    lock.unlock();
    Violation(Check::InvalidCall, "mutex recursion limit exceeded");
    return STATUS_UNSUCCESSFUL;
  }
  if (Timeout) {
    auto deadline = Deadline(Timeout);
    while (!IsSignalled(header, self)) {
      if (gSignalled.wait_until(lock, deadline) == std::cv_status::timeout &&
          !IsSignalled(header, self))
        return STATUS_TIMEOUT;
    }
  } else {
    gSignalled.wait(lock, [&] { return IsSignalled(header, self); });
  }
  NTSTATUS status = Satisfy(header, self);
  if (header->Type == MutantObject && header->SignalState == 0)
    NoteMutexOwned(reinterpret_cast<PRKMUTEX>(header));
  return status;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  CheckMayWait("KeDelayExecutionThread", Interval->QuadPart == 0);
  std::this_thread::sleep_until(Deadline(Interval));
  return STATUS_SUCCESS;
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
  while (std::chrono::steady_clock::now() < end) {
  }
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  // 100 ns units since 1601-01-01.
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  CurrentTime->QuadPart =
      (static_cast<LONGLONG>(ts.tv_sec) + 11644473600LL) * 10000000LL + ts.tv_nsec / 100;
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<ULONGLONG>(ts.tv_sec) * 10000000ULL + ts.tv_nsec / 100;
}
