// Dispatcher objects, waits, IRQL and spin locks.
//
// One dispatcher lock guards every signal state and every wait list, as on
// Windows. Each object queues its waiters in arrival order; signalling an
// object satisfies them from the head of its list (wait_list.h).
#include <sched.h>

#include <algorithm>

#include "sim/kernel/clock.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/wait_list.h"

namespace sim::detail {
namespace {

std::mutex gDispatcher;

bool IsSignalled(DISPATCHER_HEADER* header, PKTHREAD thread) {
  return header->SignalState > 0 ||
         (header->Type == MutantObject && reinterpret_cast<PKMUTEX>(header)->OwnerThread == thread);
}

// Consumes the signal the way the object's type says.
NTSTATUS Satisfy(DISPATCHER_HEADER* header, PKTHREAD thread) {
  switch (header->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
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
  // KeWaitForSingleObject's page (and IrqlKeWaitForMutexObject, the rule for
  // the same routine under its mutex name): a wait that may block at
  // APC_LEVEL at most, a zero timeout at DISPATCH_LEVEL at most.
  if (state.irql > (zeroTimeout ? DISPATCH_LEVEL : APC_LEVEL))
    Violation(Check::WaitAtDispatch,
              std::string(routine) + " at IRQL " + std::to_string(state.irql));
}

// Hands the object's signal to its waiters in the order they came while the
// signal lasts: a released mutex gets its next owner, a synchronization event
// is consumed for the first waiter, a notification event, a semaphore's count
// or an ended thread releases as many as it satisfies. Dispatcher lock held;
// the waiter is notified under it, so its wait block outlives the call.
void SatisfyWaiters(DISPATCHER_HEADER* header) {
  while (WaitBlock* first = FirstWaiter(header)) {
    if (!IsSignalled(header, first->thread))
      return;
    RemoveWaiter(first);
    first->status = Satisfy(header, first->thread);
    first->satisfied = true;
    first->ready->notify_one();
  }
}

// Queues the calling thread on the object and sleeps until a signaller has
// satisfied its wait block or the deadline passes. A wait that times out
// leaves the list under the same lock hold that sees it unsatisfied, so a
// signal is either handed to it (and the wait succeeds) or left for the next
// waiter, never both and never lost.
//
// A wait that takes APCs (`apcs`) leaves the list the same way when a special
// kernel APC is queued to its thread, runs it outside the lock and waits
// again for the rest of its time, as Windows does: the APC may well be what
// signals the object.
NTSTATUS WaitInList(std::unique_lock<std::mutex>& lock, DISPATCHER_HEADER* header, PKTHREAD self,
                    const LARGE_INTEGER* timeout, bool apcs) {
  const uint64_t deadline = timeout ? Deadline(timeout) : 0;
  for (;;) {
    std::condition_variable ready;
    WaitBlock block;
    block.thread = self;
    block.ready = &ready;
    QueueWaiter(header, &block);
    bool more = true;
    {
      Sleeping sleeping(&block);
      ApcWait apcWait(self, &ready, apcs);
      auto done = [&] { return block.satisfied || (apcs && ApcPending(self)); };
      if (timeout) {
        while (!done() && (more = clock::WaitStep(ready, lock, deadline))) {
        }
      } else {
        ready.wait(lock, done);
      }
    }
    if (block.satisfied)
      return block.status;
    RemoveWaiter(&block);
    if (!(apcs && ApcPending(self)))
      return STATUS_TIMEOUT;
    lock.unlock();
    DeliverApcs(true);
    lock.lock();
    // A signalled object has nobody queued on it that could take the signal.
    if (IsSignalled(header, self))
      return Satisfy(header, self);
    if (!more)
      return STATUS_TIMEOUT;
  }
}

}  // namespace

// Relative (negative) or absolute (positive) time in 100 ns units, as a
// deadline on the kernel's clock.
uint64_t Deadline(const LARGE_INTEGER* timeout) {
  const uint64_t now = clock::Now();
  if (timeout->QuadPart < 0)
    return now + static_cast<uint64_t>(-timeout->QuadPart);
  LONGLONG delta = timeout->QuadPart - static_cast<LONGLONG>(clock::SystemTime());
  return now + static_cast<uint64_t>(delta > 0 ? delta : 0);
}

std::mutex& DispatcherLock() {
  return gDispatcher;
}

void SignalObject(DISPATCHER_HEADER* header) {
  header->SignalState = 1;
  SatisfyWaiters(header);
}

void SignalThreadEnded(PETHREAD thread) {
  std::lock_guard<std::mutex> lock(gDispatcher);
  SignalObject(&thread->Tcb.Header);
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
  if (NewIrql < APC_LEVEL)
    DeliverApcs();  // the APCs queued while the IRQL was raised
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
  if (std::find(state.spinLocks.begin(), state.spinLocks.end(), SpinLock) !=
      state.spinLocks.end()) {
    Violation(Check::SpinLockMisuse, "spin lock " + Hex(reinterpret_cast<uintptr_t>(SpinLock)) +
                                         " acquired again by the thread that holds it");
    return;
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
  auto held = std::find(state.spinLocks.begin(), state.spinLocks.end(), SpinLock);
  if (held == state.spinLocks.end()) {
    Violation(Check::SpinLockMisuse, "spin lock " + Hex(reinterpret_cast<uintptr_t>(SpinLock)) +
                                         " released by a thread that does not hold it");
    return;
  }
  state.spinLocks.erase(held);
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  if (Current().irql != DISPATCH_LEVEL)
    Violation(Check::IrqlKeReleaseSpinLock, "KeReleaseSpinLock at IRQL " +
                                                std::to_string(Current().irql) +
                                                "; the lock's holder runs at DISPATCH_LEVEL");
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

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN Wait) {
  // With Wait TRUE the caller goes on to wait at once, so no higher than APC_LEVEL.
  RequireIrql(Check::IrqlKeSetEvent, Wait ? "KeSetEvent with Wait TRUE" : "KeSetEvent",
              Wait ? APC_LEVEL : DISPATCH_LEVEL);
  ++Current().eventsSet;
  std::lock_guard<std::mutex> lock(gDispatcher);
  LONG previous = Event->Header.SignalState;
  SignalObject(&Event->Header);
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  RequireIrql(Check::IrqlKeDispatchLte, "KeClearEvent", DISPATCH_LEVEL);
  std::lock_guard<std::mutex> lock(gDispatcher);
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  RequireIrql(Check::IrqlKeDispatchLte, "KeResetEvent", DISPATCH_LEVEL);
  std::lock_guard<std::mutex> lock(gDispatcher);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  RequireIrql(Check::IrqlKeDispatchLte, "KeReadStateEvent", DISPATCH_LEVEL);
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
  RequireIrql(Check::IrqlKeDispatchLte, "KeReleaseMutex", DISPATCH_LEVEL);
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
    SatisfyWaiters(&Mutex->Header);
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
  SatisfyWaiters(&Semaphore->Header);
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
  if (!Timeout && !Current().frames.empty() && IsEventOfLiveBuiltRequest(Object))
    Violation(Check::IoBuildDeviceControlWaitTimeout,
              "a driver waits without a timeout for a request it built, still below and not "
              "cancelled");
  // The request of the dispatch routine that waits, for the completion
  // routine that must end the wait (SignalEventInCompletion).
  struct DispatchWait {
    PIRP irp;
    explicit DispatchWait(PIRP waiting) : irp(waiting) {
      if (irp)
        NoteDispatchWait(irp, 1);
    }
    ~DispatchWait() {
      if (irp)
        NoteDispatchWait(irp, -1);
    }
  } dispatchWait(zero || Current().frames.empty() ? nullptr : Current().frames.back().irp);
  // Every wait takes the thread's special kernel APCs, if it takes them at
  // all. A request the thread built ends only by such an APC (the I/O
  // manager's, which sets the event), so waiting for one with them disabled
  // never ends on Windows ("Disabling APCs": a routine that relies on I/O
  // completion needs special kernel APCs enabled). Reported, and the APCs
  // are taken after all so that the test can go on.
  bool apcs = SpecialApcsEnabled();
  if (!apcs && !zero && IsEventOfUnfinishedBuiltRequest(Object, Current().thread)) {
    Violation(Check::BuiltRequestWaitApcsDisabled,
              "a thread waits for a request it built with special kernel APCs disabled (" +
                  (Current().irql >= APC_LEVEL ? "IRQL " + std::to_string(Current().irql)
                                               : std::string("in a guarded region")) +
                  "): the APC that ends the request can never run");
    apcs = true;
  }
  if (apcs)
    DeliverApcs(true);
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  PKTHREAD self = &Current().thread->Tcb;
  std::unique_lock<std::mutex> lock(gDispatcher);
  if (header->Type == MutantObject && header->SignalState <= -127) {
    lock.unlock();
    Violation(Check::InvalidCall, "mutex recursion limit exceeded");
    return STATUS_UNSUCCESSFUL;
  }
  // A signalled object has nobody queued on it (every signal is handed to the
  // queue first), so taking it here overtakes no one; an owned mutex is taken
  // again by its owner at once. A mutex handed over by its releaser becomes
  // this thread's on its return from the wait list.
  NTSTATUS status;
  if (IsSignalled(header, self))
    status = Satisfy(header, self);
  else if (zero)
    return STATUS_TIMEOUT;
  else
    status = WaitInList(lock, header, self, Timeout, apcs);
  if (status == STATUS_TIMEOUT) {
    lock.unlock();
    clock::DeadlinePassed();
    return status;
  }
  if (header->Type == MutantObject && header->SignalState == 0)
    NoteMutexOwned(reinterpret_cast<PRKMUTEX>(header));
  return status;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  RequireIrql(Check::IrqlKeApcLte1, "KeDelayExecutionThread", APC_LEVEL);
  CheckMayWait("KeDelayExecutionThread", Interval->QuadPart == 0);
  // The APCs queued before and during the delay are taken at its ends.
  DeliverApcs();
  clock::SleepUntil(Deadline(Interval));
  DeliverApcs();
  return STATUS_SUCCESS;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = static_cast<LONGLONG>(clock::SystemTime());
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
  return clock::Now();
}
