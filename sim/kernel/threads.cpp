// Processes, per-thread kernel state, system threads and the system worker.
#include "sim/kernel/threads.h"

#include <setjmp.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <thread>

#include "sim/kernel/faults.h"
#include "sim/kernel/internal.h"
#include "sim/kernel/kernel_stack.h"

namespace sim {
namespace {

// Where PsTerminateSystemThread leaves a system thread for: the start of the
// thread, past every frame in between, as Windows ends a thread without
// unwinding it. (An exception could not cross the frames of a driver loaded
// from an image, which carry no unwind information for the host.)
struct ThreadExit {
  jmp_buf start;
  NTSTATUS status;
};
thread_local ThreadExit* tExit = nullptr;

std::mutex gProcessMutex;
std::vector<std::unique_ptr<Process>> gProcesses;

Process* MakeProcess(const std::string& name, bool system) {
  auto process = std::make_unique<Process>();
  process->name = name;
  process->system = system;
  std::lock_guard<std::mutex> lock(gProcessMutex);
  gProcesses.push_back(std::move(process));
  return gProcesses.back().get();
}

Process gSystem = [] {
  Process p;
  p.name = "System";
  p.system = true;
  return p;
}();

// System threads: OS threads joined at the end of a test.
std::mutex gThreadsMutex;
std::vector<KernelThread> gOsThreads;
std::vector<PETHREAD> gRunning;  // referenced while listed
std::condition_variable gThreadsCv;
ULONG gNextThreadId = 0x100;

// The system worker.
std::mutex gWorkMutex;
std::condition_variable gWorkCv;
std::deque<std::function<void()>> gWork;
bool gWorkerRunning = false;
bool gWorkerBusy = false;
std::thread gWorker;

void DestroyThread(void*) {}

// An OS thread that calls into the kernel without being a system thread.
struct ExternalThread {
  _ETHREAD thread{};
  ExternalThread() {
    thread.Tcb.Header.Type = ThreadObject;
    InitializeListHead(&thread.Tcb.Header.WaitListHead);
  }
};

}  // namespace

Process* SystemProcess() {
  return &gSystem;
}

Process* CreateProcess(const std::string& name) {
  return MakeProcess(name, false);
}

const std::string& ProcessName(Process* process) {
  return process->name;
}

Process* CurrentProcess() {
  return detail::Current().process;
}

InProcess::InProcess(Process* process) {
  auto& state = detail::Current();
  previous_ = state.process;
  previousIrql_ = state.irql;
  state.process = process;
  state.irql = PASSIVE_LEVEL;
}

InProcess::~InProcess() {
  auto& state = detail::Current();
  state.process = previous_;
  state.irql = previousIrql_;
}

size_t LiveSystemThreads() {
  std::lock_guard<std::mutex> lock(gThreadsMutex);
  return gRunning.size();
}

bool WaitForSystemThreads(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(gThreadsMutex);
  return gThreadsCv.wait_for(lock, timeout, [] { return gRunning.empty(); });
}

void QueueSystemWork(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(gWorkMutex);
  gWork.push_back(std::move(work));
  if (!gWorkerRunning) {
    gWorkerRunning = true;
    gWorker = std::thread([] {
      InProcess system(SystemProcess());
      std::unique_lock<std::mutex> lock(gWorkMutex);
      for (;;) {
        gWorkCv.wait(lock, [] { return !gWork.empty() || !gWorkerRunning; });
        if (gWork.empty())
          return;
        auto item = std::move(gWork.front());
        gWork.pop_front();
        gWorkerBusy = true;
        lock.unlock();
        item();
        detail::AuditReturn("a system work item", detail::HeldState{});
        lock.lock();
        gWorkerBusy = false;
        gWorkCv.notify_all();
      }
    });
  }
  gWorkCv.notify_all();
}

bool DrainSystemWork(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(gWorkMutex);
  return gWorkCv.wait_for(lock, timeout, [] { return gWork.empty() && !gWorkerBusy; });
}

}  // namespace sim

namespace sim::detail {

ThreadState& Current() {
  thread_local ThreadState state;
  thread_local ExternalThread external;
  if (!state.thread) {
    state.thread = &external.thread;
    state.process = SystemProcess();
  }
  return state;
}

void ResetThreads() {
  {
    std::unique_lock<std::mutex> lock(gWorkMutex);
    gWorkerRunning = false;
    gWorkCv.notify_all();
  }
  if (gWorker.joinable())
    gWorker.join();
  {
    std::lock_guard<std::mutex> lock(gWorkMutex);
    gWork.clear();
    gWorkerBusy = false;
  }
  {
    std::lock_guard<std::mutex> lock(gThreadsMutex);
    gOsThreads.clear();  // detaches the threads still running
    gRunning.clear();
  }
  std::lock_guard<std::mutex> lock(gProcessMutex);
  gProcesses.clear();
}

void EndOfTestThreads() {
  // The test's own thread goes back to the system: it takes its APCs.
  DeliverApcs();
  DrainSystemWork(std::chrono::seconds(10));
  if (!WaitForSystemThreads(std::chrono::seconds(10))) {
    Violation(Check::ThreadStillRunning,
              std::to_string(LiveSystemThreads()) + " system thread(s) still running");
    return;
  }
  std::vector<KernelThread> threads;
  {
    std::lock_guard<std::mutex> lock(gThreadsMutex);
    threads.swap(gOsThreads);
  }
  for (auto& t : threads)
    t.join();
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

PETHREAD NTAPI PsGetCurrentThread(VOID) {
  return Current().thread;
}

HANDLE NTAPI PsGetCurrentProcessId(VOID) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(Current().process));
}

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
  RequireIrql(Check::IrqlPsPassive, "PsCreateSystemThread", PASSIVE_LEVEL);
  if (ProcessHandle) {
    Violation(Check::InvalidCall, "PsCreateSystemThread with a process handle is not supported");
    return STATUS_INVALID_PARAMETER;
  }
  if (faults::ShouldFail(faults::Kind::CreateSystemThread))
    return STATUS_INSUFFICIENT_RESOURCES;
  auto* thread =
      static_cast<PETHREAD>(CreateObject(ObjectKind::Thread, sizeof(_ETHREAD), DestroyThread));
  thread->Tcb.Header.Type = ThreadObject;
  thread->Tcb.SystemThread = true;
  InitializeListHead(&thread->Tcb.Header.WaitListHead);
  thread->StartRoutine = StartRoutine;
  thread->StartContext = StartContext;
  thread->Cid.UniqueProcess = PsGetCurrentProcessId();
  bool kernelHandle = ObjectAttributes && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE);
  // The handle goes to the creating thread's process unless it is a kernel handle.
  *ThreadHandle = InsertHandle(thread, DesiredAccess, kernelHandle);
  {
    std::lock_guard<std::mutex> lock(gThreadsMutex);
    thread->Cid.UniqueThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(gNextThreadId += 4));
    gRunning.push_back(thread);  // the running thread's own reference (from creation)
  }
  if (ClientId)
    *ClientId = thread->Cid;
  KernelThread os([thread] {
    if (const CalloutWatcher* watcher = Watcher())
      watcher->threadStarting();
    auto& state = Current();
    state.thread = thread;
    state.process = SystemProcess();
    state.irql = PASSIVE_LEVEL;
    ThreadExit exit{};
    tExit = &exit;
    if (setjmp(exit.start) == 0) {
      Callout(EntryKind::ThreadStart, 0, thread->StartRoutine, thread->StartContext);
      thread->ExitStatus = STATUS_SUCCESS;
    } else {
      // The start routine's frames were left without returning.
      ForgetCallouts();
      thread->ExitStatus = exit.status;
    }
    tExit = nullptr;
    AuditReturn(
        [thread] {
          return "system thread " + Hex(reinterpret_cast<uintptr_t>(thread->Cid.UniqueThread));
        },
        HeldState{});
    SignalThreadEnded(thread);
    state.thread = nullptr;
    ObfDereferenceObject(thread);
    // Leave the running list and wake the waiters in one step: once a waiter
    // sees the list empty this thread touches nothing shared any more.
    std::lock_guard<std::mutex> lock(gThreadsMutex);
    gRunning.erase(std::remove(gRunning.begin(), gRunning.end(), thread), gRunning.end());
    gThreadsCv.notify_all();
  });
  std::lock_guard<std::mutex> lock(gThreadsMutex);
  gOsThreads.push_back(std::move(os));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  RequireIrql(Check::IrqlPsPassive, "PsTerminateSystemThread", PASSIVE_LEVEL);
  auto& state = Current();
  if (!state.thread || !state.thread->Tcb.SystemThread) {
    Violation(Check::InvalidCall, "PsTerminateSystemThread outside a system thread");
    return STATUS_INVALID_PARAMETER;
  }
  tExit->status = ExitStatus;
  longjmp(tExit->start, 1);
}
