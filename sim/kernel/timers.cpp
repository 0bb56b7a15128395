// Timers and DPCs. A timer expires on the kernel's clock: it is signalled
// then and queues its DPC, if it has one. DPC routines run one after another
// on the kernel's DPC thread, at DISPATCH_LEVEL in the system process, where
// the verifier's IRQL rules hold as anywhere else: a routine that calls what
// only PASSIVE_LEVEL allows is reported.
#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

#include "sim/kernel/callout.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/threads.h"

namespace sim::detail {
namespace {

struct State {
  std::mutex mutex;  // guards the fields below; taken before the dispatcher lock
  std::condition_variable cv;
  std::multimap<uint64_t, PKTIMER> timers;  // set timers by due time
  std::deque<PKDPC> dpcs;                   // queued DPCs, in order
  bool running = false;                     // a DPC routine runs now
  std::condition_variable idle;             // no DPC queued or running
  std::thread thread;
  bool stopping = false;
};

State& TheState() {
  static State state;
  return state;
}

// A DPC is queued while its DpcData is set (to this).
char gQueued;
void* const kQueued = &gQueued;

void RemoveTimer(State& s, PKTIMER timer) {
  auto range = s.timers.equal_range(timer->DueTime);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == timer) {
      s.timers.erase(it);
      break;
    }
  }
  timer->Header.Inserted = 0;
}

bool QueueDpc(State& s, PKDPC dpc, PVOID argument1, PVOID argument2) {
  if (dpc->DpcData)
    return false;
  dpc->DpcData = kQueued;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  s.dpcs.push_back(dpc);
  s.cv.notify_all();
  return true;
}

void RunDpc(State& s, std::unique_lock<std::mutex>& lock, PKDPC dpc) {
  dpc->DpcData = nullptr;
  auto routine = reinterpret_cast<PKDEFERRED_ROUTINE>(dpc->DeferredRoutine);
  s.running = true;
  lock.unlock();
  Current().irql = DISPATCH_LEVEL;
  const HeldState before = Held();
  Callout(EntryKind::Dpc, 0, routine, dpc, dpc->DeferredContext, dpc->SystemArgument1,
          dpc->SystemArgument2);
  AuditReturn("a DPC routine", before);
  Current().irql = PASSIVE_LEVEL;
  lock.lock();
  s.running = false;
  if (s.dpcs.empty())
    s.idle.notify_all();
}

// The DPC thread: expires the timers whose time has come, then runs the
// queued DPCs, until the kernel is reset.
void DpcLoop() {
  InProcess system(SystemProcess());
  State& s = TheState();
  std::unique_lock<std::mutex> lock(s.mutex);
  while (!s.stopping) {
    const uint64_t now = clock::Now();
    while (!s.timers.empty() && s.timers.begin()->first <= now) {
      PKTIMER timer = s.timers.begin()->second;
      RemoveTimer(s, timer);
      // The DPC is queued before the waiters wake: one of them may free the
      // timer as soon as it returns.
      if (timer->Dpc)
        QueueDpc(s, timer->Dpc, nullptr, nullptr);
      std::lock_guard<std::mutex> dispatcher(DispatcherLock());
      SignalObject(&timer->Header);
    }
    if (!s.dpcs.empty()) {
      PKDPC dpc = s.dpcs.front();
      s.dpcs.pop_front();
      RunDpc(s, lock, dpc);
      continue;
    }
    if (s.timers.empty())
      s.cv.wait(lock);
    else
      s.cv.wait_for(lock, clock::RealUntil(s.timers.begin()->first));
  }
}

void StartLocked(State& s) {
  if (!s.thread.joinable())
    s.thread = std::thread(DpcLoop);
}

}  // namespace

void WakeTimers() {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.cv.notify_all();
}

void ResetTimers() {
  State& s = TheState();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.stopping = true;
    s.cv.notify_all();
  }
  if (s.thread.joinable())
    s.thread.join();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (auto& [due, timer] : s.timers)
    timer->Header.Inserted = 0;
  s.timers.clear();
  for (PKDPC dpc : s.dpcs)
    dpc->DpcData = nullptr;
  s.dpcs.clear();
  s.stopping = false;
  s.idle.notify_all();
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  RequireIrql(Check::IrqlKeDispatchLte, "KeInitializeTimerEx", DISPATCH_LEVEL);
  std::lock_guard<std::mutex> lock(DispatcherLock());
  Timer->Header.Type =
      Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
  Timer->Header.Absolute = 0;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = 0;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime = 0;
  InitializeListHead(&Timer->TimerListEntry);
  Timer->Dpc = nullptr;
  Timer->Processor = 0;
  Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
  KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  RequireIrql(Check::IrqlKeDispatchLte, "KeSetTimer", DISPATCH_LEVEL);
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  const bool wasSet = Timer->Header.Inserted != 0;
  if (wasSet)
    RemoveTimer(s, Timer);
  {
    std::lock_guard<std::mutex> dispatcher(DispatcherLock());
    Timer->Header.SignalState = 0;
  }
  Timer->DueTime = Deadline(&DueTime);
  Timer->Dpc = Dpc;
  Timer->Header.Inserted = 1;
  s.timers.emplace(Timer->DueTime, Timer);
  StartLocked(s);
  s.cv.notify_all();
  return wasSet ? TRUE : FALSE;
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  RequireIrql(Check::IrqlKeDispatchLte, "KeCancelTimer", DISPATCH_LEVEL);
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!Timer->Header.Inserted)
    return FALSE;  // expired already: its DPC, if queued, still runs
  RemoveTimer(s, Timer);
  return TRUE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  RequireIrql(Check::IrqlKeDispatchLte, "KeReadStateTimer", DISPATCH_LEVEL);
  std::lock_guard<std::mutex> lock(DispatcherLock());
  return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 0x13;     // DpcObject
  Dpc->Importance = 1;  // MediumImportance
  Dpc->Number = 0;
  InitializeListHead(&Dpc->DpcListEntry);
  Dpc->DeferredRoutine = reinterpret_cast<PVOID>(DeferredRoutine);
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  const bool queued = QueueDpc(s, Dpc, SystemArgument1, SystemArgument2);
  StartLocked(s);
  return queued ? TRUE : FALSE;
}

// Returns once every DPC queued before the call has run (KeFlushQueuedDpcs,
// PASSIVE_LEVEL only: at DISPATCH_LEVEL it would wait for itself).
VOID NTAPI KeFlushQueuedDpcs(VOID) {
  RequireIrql(Check::IrqlDocumented, "KeFlushQueuedDpcs", PASSIVE_LEVEL);
  if (Current().irql > PASSIVE_LEVEL)
    return;  // reported; waiting here could wait for the caller itself
  State& s = TheState();
  std::unique_lock<std::mutex> lock(s.mutex);
  s.idle.wait(lock, [&s] { return (s.dpcs.empty() && !s.running) || !s.thread.joinable(); });
}
