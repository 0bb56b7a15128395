// Shared internals of the simulated kernel (sim/kernel/*.cpp only).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/callout.h"
#include "sim/kernel/status_names.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/verifier.h"
#include "sim/kernel/wdm.h"

namespace sim {

// A process: a handle table and a name. The system process also holds the
// kernel handle table.
class Process {
 public:
  std::string name;
  bool system = false;
  struct Entry {
    void* object;
    ACCESS_MASK access;
    bool kernel;
  };
  std::map<uint64_t, Entry> handles;  // guarded by the object lock
  uint64_t nextHandle = 4;
  uint64_t nextKernelHandle = 4;
};

}  // namespace sim

struct _KTHREAD {
  DISPATCHER_HEADER Header;  // signalled when the thread has ended
  bool SystemThread;
};

struct _ETHREAD {
  struct _KTHREAD Tcb;
  CLIENT_ID Cid;
  NTSTATUS ExitStatus;
  PKSTART_ROUTINE StartRoutine;
  PVOID StartContext;
};

namespace sim::detail {

using verifier::Check;
void Violation(Check check, const std::string& message);
std::string Hex(uint64_t value);
// Reports `rule` when the current IRQL is above `highest` (irql_rules.cpp).
void RequireIrql(Check rule, const char* routine, KIRQL highest);
// The power rules of a function or filter driver's set-power handling
// (power_rules.cpp): a PASSIVE_LEVEL-only routine called, pool asked for.
void AuditPassiveOnlyCall(const char* routine);
void AuditPowerDownAllocation(ULONG tag);

// ---- threads
struct DispatchFrame {
  PIRP irp;
  PDEVICE_OBJECT device;
  bool completed;
  NTSTATUS completedStatus;
  // The request as the routine received it: its function codes and, for a
  // set- or query-power, the type and state as 32-bit numbers.
  UCHAR major = 0;
  UCHAR minor = 0;
  ULONG powerType = 0;
  ULONG powerState = 0;
};

struct ThreadState {
  PETHREAD thread = nullptr;
  Process* process = nullptr;
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> spinLocks;
  std::vector<PRKMUTEX> mutexes;  // owned, in the order first acquired
  std::vector<DispatchFrame> frames;
  uint64_t eventsSet = 0;  // KeSetEvent calls made by the thread
  int guardedRegions = 0;  // KeEnterGuardedRegion nesting
  bool inApc = false;      // running one of its APCs
};
ThreadState& Current();

// ---- special kernel APCs (apc.cpp)
// Whether the current thread takes special kernel APCs now: PASSIVE_LEVEL,
// outside any guarded region, not inside an APC.
bool SpecialApcsEnabled();
// Queues `routine` to run in `thread` when it takes its APCs (at once if it
// is the current thread and takes them now).
void QueueSpecialApc(PKTHREAD thread, std::function<void()> routine);
// Runs the current thread's queued APCs if it takes APCs now, or, with
// `evenIfDisabled`, whatever its state (after the verifier has reported the
// wait that Windows would never end).
void DeliverApcs(bool evenIfDisabled = false);
// Whether an APC waits for `thread` (dispatcher lock held).
bool ApcPending(PKTHREAD thread);
// For its lifetime an APC queued to `thread` wakes it on `ready`, if the
// wait takes APCs (dispatcher lock held at both ends).
class ApcWait {
 public:
  ApcWait(PKTHREAD thread, std::condition_variable* ready, bool takesApcs);
  ~ApcWait();
  ApcWait(const ApcWait&) = delete;
  ApcWait& operator=(const ApcWait&) = delete;

 private:
  PKTHREAD thread_;
};
void ResetApcs();

// ---- what a thread holds when it goes back to the system
struct HeldState {
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> spinLocks;
  std::vector<PRKMUTEX> mutexes;
};
// What the current thread holds now.
HeldState Held();
// The current thread is back in the system after `what` (for example "the
// dispatch routine of device 0x..."). Whatever it took since `before` and
// still holds is reported and given back, so that the test can go on where
// Windows would have stopped: mutexes are released, spin locks freed, the
// IRQL lowered to where it was.
void AuditReturn(const std::string& what, const HeldState& before);
// The same with the description made only when there is something to report.
void AuditReturn(const std::function<std::string()>& describe, const HeldState& before);
// Bookkeeping of the dispatcher: a mutex acquired for the first time by the
// current thread, or released for the last time.
void NoteMutexOwned(PRKMUTEX mutex);
void NoteMutexReleased(PRKMUTEX mutex);

// ---- objects
enum class ObjectKind : uint32_t { Thread, Device, Driver, File };
const char* KindName(ObjectKind kind);

// Allocates a zeroed object body behind a header; pointer count 1.
void* CreateObject(ObjectKind kind, size_t bodySize, void (*destroy)(void* body));
bool IsLiveObject(const void* body, ObjectKind* kind = nullptr);
// The object lock guards handle tables and the live-object set.
std::mutex& ObjectLock();
HANDLE InsertHandle(void* object, ACCESS_MASK access, bool kernel);
// Describes the objects still alive (for the end-of-test audit).
std::vector<std::string> LiveObjectReport(bool includeDevicesAndDrivers);
void ForgetObjects();

// ---- dispatcher
std::mutex& DispatcherLock();
void WakeWaiters();  // with the dispatcher lock held or not
// Signals a dispatcher object (an expired timer) and hands the signal to its
// waiters. Dispatcher lock held.
void SignalObject(DISPATCHER_HEADER* header);
// Relative (negative) or absolute (positive) time in 100 ns units, as a
// deadline on the kernel's clock.
uint64_t Deadline(const LARGE_INTEGER* timeout);
// Timers and DPCs (timers.cpp): the clock has moved; and the kernel reset.
void WakeTimers();
void ResetTimers();
void SignalThreadEnded(PETHREAD thread);

// ---- system threads
void ResetThreads();
void EndOfTestThreads();

// ---- pool
void* AllocateSystemPool(SIZE_T bytes, ULONG tag);  // never fails, no fault point
void PoolEndOfTest();
void ResetPool();
// Error-log entries allocated and never written are findings.
void ErrorLogEndOfTest();
void ResetErrorLog();

// ---- devices
struct DeviceNode;
}  // namespace sim::detail

// The kernel's private part of a device object.
struct _DEVOBJ_EXTENSION {
  PDEVICE_OBJECT DeviceObject;
  PDEVICE_OBJECT AttachedTo;  // the device below, while attached
  bool Deleted;
  bool HeldForDetach;    // deleted while a device above was still attached
  bool Pdo;              // a device node exists for it
  bool SurpriseRemoved;  // between surprise removal and removal
  ULONG OpenCount;       // file objects open on it
  ULONG Ordinal;         // creation number, for generated names
  std::u16string Name;
};

namespace sim::detail {

std::mutex& DeviceLock();                        // guards attachment chains and device lists
PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device);  // device lock held
PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device);     // device lock held
bool IsLiveDevice(PDEVICE_OBJECT device);
NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT device, PIRP irp);
void ResetDrivers();
std::vector<PDRIVER_OBJECT> LoadedDrivers();

// ---- requests
enum class IrpOrigin : uint32_t {
  Allocated,  // IoAllocateIrp: the allocator owns it and must free it
  Threaded,   // IoBuildDeviceIoControlRequest: freed by the I/O manager at completion
  Bench,      // built by the bench; the bench collects it after completion
};
// Bench requests: the event is set at completion.
struct BenchCompletion {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
};
PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin);
void SetBenchCompletion(PIRP irp, BenchCompletion* completion);
// Buffered control request bookkeeping for copy-back and Information checks.
void SetBufferedOutput(PIRP irp, PVOID userOutput, ULONG outputLength, bool copyBack);
// Sends a bench-built request and waits for its completion; frees it.
// `returned` (if given) receives what the dispatch routine returned.
IO_STATUS_BLOCK SendAndWait(PDEVICE_OBJECT device, PIRP irp, BenchCompletion* completion,
                            NTSTATUS* returned = nullptr);
void FreeIrpInternal(PIRP irp);
// Whether `object` is the event of a request built by IoBuildDeviceIoControlRequest
// that is still below and not cancelled.
bool IsEventOfLiveBuiltRequest(PVOID object);
// The dispatch routine that has `irp` begins (+1) or ends (-1) a wait.
void NoteDispatchWait(PIRP irp, int delta);
// Whether `object` is the event of a request that `thread` built and whose
// completion has not yet run in that thread (its special kernel APC).
bool IsEventOfUnfinishedBuiltRequest(PVOID object, PETHREAD thread);
std::vector<std::string> LiveIrpReport();
void ResetIrps();

// ---- what the kernel still holds of a driver's code when the driver unloads
struct HeldRoutine {
  const char* kind;  // "completion routine", "cancel routine", ...
  const void* routine;
  std::string holder;  // "request 0x... (major 0x03)"
};
// The completion and cancel routines (and the requesters' power completions)
// of requests not yet completed that lie in [begin, end). Each is taken out
// of its request: completing the request later calls nothing there.
std::vector<HeldRoutine> TakeRoutinesOfPendingRequests(uintptr_t begin, uintptr_t end);
// The requester's routine of a request from PoRequestPowerIrp (the kernel's
// `routine` with its `context`) if it lies in [begin, end), cleared then;
// null otherwise.
const void* TakePowerCompletion(PIO_COMPLETION_ROUTINE routine, PVOID context, uintptr_t begin,
                                uintptr_t end);
// Every live object of a kind, each with a reference that the caller drops.
std::vector<void*> ReferenceLiveObjects(ObjectKind kind);
// After DriverUnload, before the driver's image goes: what still points into
// the image is a finding (UnloadedWithPendingOperations).
void AuditUnload(PDRIVER_OBJECT driver);

// ---- interfaces, reports
void ResetInterfaces();
void DisableInterfacesOf(PDEVICE_OBJECT pdo);
void ResetPower();
void ResetBench();
void ResetVersion();

}  // namespace sim::detail
