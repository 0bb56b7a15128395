// The simulated kernel's driver verifier: always on. Every rule that Windows
// would enforce with a bug check is reported here instead, and the kernel
// carries on so that a test can finish and show every finding.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sim::verifier {

enum class Check {
  PoolLeak,                 // pool still allocated at the end of a test (by tag)
  PoolDoubleFree,           // pool freed twice
  PoolBadFree,              // freed address that pool never handed out
  PoolTagMismatch,          // ExFreePoolWithTag with another tag than the allocation's
  PoolBadIrql,              // pool call above DISPATCH_LEVEL, or paged pool at DISPATCH_LEVEL
  RequestCompletedTwice,    // IofCompleteRequest on a request already completed
  RequestCompletedPending,  // IofCompleteRequest with IoStatus.Status == STATUS_PENDING
  RequestNeverCompleted,    // a request still alive at the end of a test
  RequestUnowned,           // a driver-allocated request completed past its owner
  NoMoreStackLocations,     // IofCallDriver on a request with no stack location left
  DispatchStatusMismatch,   // a dispatch routine completed a request and returned another status
  DispatchIrqlChanged,      // a dispatch routine returned at another IRQL than it was called at
  WaitAtDispatch,           // a wait (or delay) at DISPATCH_LEVEL or above
  SpinLockHeldAcrossCall,   // IofCallDriver while holding a spin lock
  SpinLockHeldAcrossWait,   // a wait while holding a spin lock
  SpinLockMisuse,       // recursion, release of a lock not held, acquisition above DISPATCH_LEVEL
  MutexNotOwner,        // KeReleaseMutex by a thread that does not own the mutex
  InformationOverflow,  // Information > output buffer length of a buffered control request
  DeviceInitializing,   // DO_DEVICE_INITIALIZING still set after AddDevice
  DetachDuringSurpriseRemoval,
  DeleteDuringSurpriseRemoval,
  DeviceDeletedTwice,
  DeleteWhileAttached,    // IoDeleteDevice on a device still attached to a lower device
  RemoveFailed,           // a remove request completed with a failure status
  PagedCodeAtRaisedIrql,  // PAGED_CODE() above APC_LEVEL
  HandleInvalid,          // kernel code closed a handle that is not valid in its process
  HandleLeak,             // a handle still open at the end of a test
  ObjectLeak,             // an object (thread, device, file...) still referenced at the end
  ObjectBadReference,     // dereference of something that is not a live object
  ThreadStillRunning,     // a system thread that did not end by the end of a test
  InvalidCall,            // any other misuse of a kernel routine that Windows bug-checks on
  // What a thread still holds when it goes back to the system: a dispatch
  // routine returning to the I/O manager (client, PnP and power requests,
  // AddDevice), a system thread ending, a system work item returning.
  MutexHeldAtReturn,        // a kernel mutex still owned (APC_INDEX_MISMATCH)
  SpinLockHeldAtReturn,     // a spin lock still held
  IrqlNotRestoredAtReturn,  // the IRQL not back where the system called at
  ExecutablePool,  // executable non-paged pool asked for where the system has NonPagedPoolNx
  // Windows' DDI compliance rules, each under the rule's own name.
  UrbBeforeStart,    // a URB sent to a PDO whose start the lower drivers have not completed
  PnpIrpCompletion,  // a PnP request completed by a function driver without passing it down,
                     // or one that may not fail (stop, cancels, removals) failed by it
  CompleteRequestStatusCheck,  // a start completed with success after the lower drivers failed it
  PowerDownFail,  // a set-power to a low state not passed down, or failed by the driver
  PowerUpFail,    // a set-power to working or D0 not passed down, or failed by the driver
  SpinLockSafe,   // IoCompleteRequest while holding a spin lock
  IoBuildDeviceControlWaitTimeout,  // a wait without timeout for a built request still below
  // IrpPending: what a dispatch routine returns against what it did.
  MarkIrpPending,           // marked pending (SL_PENDING_RETURNED), then returned another status
  MarkIrpPending2,          // returned STATUS_PENDING, neither marked nor passed down
  PendedCompletedRequest,   // completed the request itself, unmarked, and returned STATUS_PENDING
  SignalEventInCompletion,  // a completion routine took a pended request back (more processing
                            // required) from a dispatch routine waiting for it, setting no event
  PnpBusRequestAltered,     // a Plug and Play request that only the bus driver answers was kept
                            // from it, or reached it with its status or information changed
  // IRQL rules: a routine called above the IRQL its rule allows.
  IrqlIoPassive1,         // IoCreateDevice, IoSetDeviceInterfaceState (PASSIVE);
                          // IoBuildDeviceIoControlRequest (APC at most)
  IrqlIoPassive3,         // IoDetachDevice, IoRegisterDeviceInterface (PASSIVE)
  IrqlIoApcLte,           // IoDeleteDevice (APC at most)
  IrqlObPassive,          // ObReferenceObjectByHandle (PASSIVE)
  IrqlZwPassive,          // ZwClose (PASSIVE)
  IrqlPsPassive,          // PsCreateSystemThread, PsTerminateSystemThread (PASSIVE)
  IrqlKeApcLte1,          // KeDelayExecutionThread (APC at most)
  IrqlKeDispatchLte,      // KeClearEvent, KeResetEvent, KeReadStateEvent, KeReleaseMutex
  IrqlKeSetEvent,         // KeSetEvent: DISPATCH at most, APC at most with Wait TRUE
  IrqlKeReleaseSpinLock,  // KeReleaseSpinLock anywhere but DISPATCH_LEVEL
  ForwardedAtBadIrql,     // IofCallDriver at DISPATCH_LEVEL with other than power, read, write
                          // or (internal) device control
  IrqlDocumented,  // a routine no compliance rule names, above the IRQL of its reference page
  // IrpProcessing rules of function and filter drivers.
  IrpProcessingComplete,  // a dispatch routine returned success for a request nobody completed
  PowerIrpDDIs,           // a PASSIVE_LEVEL-only routine called while handling a set-power
  PowerDownAllocate,      // pool asked for while handling a system set-power to a sleep state
  WmiForward,             // a system-control request completed without passing it down
  BuiltRequestWaitApcsDisabled,  // a wait for a request the thread built, with special kernel
                                 // APCs disabled (guarded region, IRQL >= APC_LEVEL): the
                                 // I/O manager's APC that ends it can never run; Windows hangs
  ErrorLogEntryLeak,  // an error-log entry allocated and never written (nothing frees it)
  ImageRefused,       // a driver image the loader refused (format, checksum, sections, imports)
  // A driver image unloaded while the kernel still holds a routine of it: a
  // completion or cancel routine of a pending request, a power completion, a
  // system thread still running (bug check 0xCE,
  // DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS).
  UnloadedWithPendingOperations,
  KernelStackUse,  // an entry point of a driver image using more kernel stack than its budget
  Count_
};

// The check's name as it appears in messages, e.g. "PoolLeak".
const char* Name(Check check);

struct Violation {
  Check check;
  std::string message;  // begins with the check's name
};

// Receives every violation as it happens, in the thread where it happens.
// With no hook installed violations are printed to stderr.
using Hook = std::function<void(const Violation&)>;
void SetHook(Hook hook);

// Reports a violation (used by the kernel and by the other simulated drivers).
void Report(Check check, const std::string& message);

// Every violation since the last Clear, in order.
std::vector<Violation> Violations();
size_t CountOf(Check check);
void Clear();

// End-of-test audit: waits (briefly) for system threads to end, then reports
// live requests, pool, handles and objects that are left. Run after
// sim::Shutdown(), which removes the device stacks and unloads the drivers.
void CheckEndOfTest();

// Requests alive now (sent or built and not yet freed), described as the
// end-of-test audit describes them; for checks between two runs on a machine
// kept alive.
std::vector<std::string> LiveRequests();

}  // namespace sim::verifier
