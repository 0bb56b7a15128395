// Requests: allocation, IofCallDriver, IofCompleteRequest and the requests
// the I/O manager builds for drivers.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "sim/kernel/faults.h"
#include "sim/kernel/internal.h"

namespace sim::detail {
namespace {

enum class IrpState { Live, Completing, InRoutine, Done };

struct IrpRecord {
  IrpOrigin origin;
  IrpState state;
  uint64_t generation;
  BenchCompletion* completion;
  // Buffered control requests: the caller's output buffer and its length.
  bool buffered;
  bool copyBack;
  PVOID userOutput;
  ULONG outputLength;
  PDEVICE_OBJECT lastDevice;
  UCHAR major;
  UCHAR minor;
  // The lowest stack location the request reached (1: the bottom driver's),
  // and the status it carried when a driver took it back on its way up.
  CCHAR lowest = 127;
  bool lowerAnswered = false;
  NTSTATUS lowerStatus = STATUS_SUCCESS;
  PKEVENT userEvent = nullptr;  // a built request's event, kept under the lock
  // The stack locations (bit n: location n, up to 63) that carried
  // SL_PENDING_RETURNED when completion passed them; completion clears the
  // flags it passes.
  uint64_t pendingMarks = 0;
  // Dispatch routines of this request waiting in KeWaitForSingleObject.
  int dispatchWaits = 0;
  bool completeCalled = false;  // IofCompleteRequest has run on it
  // What the first sender set in IoStatus, for the requests only the bus answers.
  bool sent = false;
  NTSTATUS sentStatus = STATUS_SUCCESS;
  ULONG_PTR sentInformation = 0;
};

std::mutex gIrpLock;
std::unordered_map<PIRP, IrpRecord> gIrps;
uint64_t gGeneration = 0;
KSPIN_LOCK gCancelLock = 0;

const char* OriginName(IrpOrigin origin) {
  switch (origin) {
    case IrpOrigin::Allocated:
      return "allocated";
    case IrpOrigin::Threaded:
      return "threaded";
    case IrpOrigin::Bench:
      return "system";
  }
  return "?";
}

// Moves the record from `from` to `to` if it is still the same request.
bool Transition(PIRP irp, uint64_t generation, IrpState from, IrpState to) {
  std::lock_guard<std::mutex> lock(gIrpLock);
  auto it = gIrps.find(irp);
  if (it == gIrps.end() || it->second.generation != generation || it->second.state != from)
    return false;
  it->second.state = to;
  return true;
}

// A driver took the request back on its way up: what the lower drivers answered.
void NoteLowerAnswer(PIRP irp, uint64_t generation, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(gIrpLock);
  auto it = gIrps.find(irp);
  if (it != gIrps.end() && it->second.generation == generation) {
    it->second.lowerAnswered = true;
    it->second.lowerStatus = status;
  }
}

PIO_STACK_LOCATION StackAt(PIRP irp, CCHAR location) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

// Completion passes a stack location: its control flags are read, noted
// and cleared under the lock, so that the return of the dispatch routine
// that owned the location reads them race-free (AuditPendingReturn).
UCHAR TakeControl(PIRP irp, uint64_t generation, PIO_STACK_LOCATION stack) {
  std::lock_guard<std::mutex> lock(gIrpLock);
  const UCHAR control = stack->Control;
  auto it = gIrps.find(irp);
  if (it != gIrps.end() && it->second.generation == generation && (control & SL_PENDING_RETURNED) &&
      irp->CurrentLocation < 64)
    it->second.pendingMarks |= uint64_t{1} << irp->CurrentLocation;
  stack->Control = 0;
  return control;
}

// Plug and Play requests whose reference pages say that function and filter
// drivers do not handle them: the bus driver answers them alone, so they
// reach it as the Plug and Play manager sent them.
bool OnlyTheBusAnswers(UCHAR minor) {
  switch (minor) {
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
    case IRP_MN_QUERY_DEVICE_TEXT:
    case IRP_MN_READ_CONFIG:
    case IRP_MN_WRITE_CONFIG:
    case IRP_MN_EJECT:
    case IRP_MN_SET_LOCK:
    case IRP_MN_QUERY_ID:
    case IRP_MN_QUERY_BUS_INFORMATION:
      return true;
    default:
      return false;
  }
}

// SignalEventInCompletion: a completion routine that takes a pended request
// back (STATUS_MORE_PROCESSING_REQUIRED) while the dispatch routine that sent
// it down waits must set the event of that wait, or the wait never ends.
void AuditEventInCompletion(PIRP irp, uint64_t generation) {
  bool waiting;
  {
    std::lock_guard<std::mutex> lock(gIrpLock);
    auto it = gIrps.find(irp);
    waiting =
        it != gIrps.end() && it->second.generation == generation && it->second.dispatchWaits > 0;
  }
  if (waiting)
    Violation(Check::SignalEventInCompletion,
              "request " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                  " pended below and was taken back by a completion routine that set no "
                  "event, while its dispatch routine waits");
}

// The IrpPending rules, at the return of the dispatch routine that had the
// request at stack location `location` (MarkIrpPending, MarkIrpPending2,
// PendedCompletedRequest).
void AuditPendingReturn(PIRP irp, uint64_t generation, CCHAR location, NTSTATUS status,
                        bool completedHere, PDEVICE_OBJECT device) {
  bool marked, passedDown, completeCalled;
  {
    std::lock_guard<std::mutex> lock(gIrpLock);
    auto it = gIrps.find(irp);
    if (it == gIrps.end() || it->second.generation != generation)
      return;  // finished and freed: the flags went with it
    passedDown = it->second.lowest < location;
    completeCalled = it->second.completeCalled;
    marked = location < 64 && ((it->second.pendingMarks >> location) & 1u);
    // Completion notes and clears the flags under this lock. Read here only
    // while no completion routine of another thread may be marking the
    // location: the request never left this driver, or it came back and the
    // routine returns its final status.
    if (!marked && (!passedDown || status != STATUS_PENDING))
      marked = (StackAt(irp, location)->Control & SL_PENDING_RETURNED) != 0;
  }
  const std::string what = "dispatch routine of device " +
                           Hex(reinterpret_cast<uintptr_t>(device)) + " for request " +
                           Hex(reinterpret_cast<uintptr_t>(irp));
  if (marked && status != STATUS_PENDING)
    Violation(Check::MarkIrpPending,
              what + " marked it pending and returned " + StatusName(status));
  else if (!marked && status == STATUS_PENDING && completedHere)
    Violation(Check::PendedCompletedRequest,
              what + " completed it, unmarked, and returned STATUS_PENDING");
  else if (!marked && status == STATUS_PENDING && !passedDown)
    Violation(Check::MarkIrpPending2,
              what + " returned STATUS_PENDING without marking it pending or passing it down");
  // IrpProcessingComplete: success is returned for a request that this
  // driver or one below it completed (a completion routine that took it
  // back counts: completion ran).
  if (NT_SUCCESS(status) && status != STATUS_PENDING && !completeCalled)
    Violation(Check::IrpProcessingComplete,
              what + " returned " + StatusName(status) + " and nobody completed the request");
}

void ReleaseIrpMemory(PIRP irp) {
  if (irp->MdlAddress) {
    delete irp->MdlAddress;
    irp->MdlAddress = nullptr;
  }
  std::free(irp);
}

// The end of a request built by IoBuildDeviceIoControlRequest, in the thread
// that built it: the output copied back, the status block written, the
// request freed and the event set.
void FinishThreadedRequest(PIRP irp, const IrpRecord& record) {
  bool error = (static_cast<ULONG>(irp->IoStatus.Status) >> 30) == 3;
  if (record.copyBack && !error && record.userOutput && irp->AssociatedIrp.SystemBuffer) {
    size_t n = std::min<size_t>(irp->IoStatus.Information, record.outputLength);
    std::memcpy(record.userOutput, irp->AssociatedIrp.SystemBuffer, n);
  }
  if (irp->Flags & IRP_DEALLOCATE_BUFFER)
    std::free(irp->AssociatedIrp.SystemBuffer);
  if (irp->UserIosb)
    *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  FreeIrpInternal(irp);
  if (event)
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// The request has passed its last stack location.
void FinishRequest(PIRP irp) {
  IrpRecord record;
  {
    std::lock_guard<std::mutex> lock(gIrpLock);
    auto it = gIrps.find(irp);
    if (it == gIrps.end())
      return;
    it->second.state = IrpState::Done;
    record = it->second;
  }
  if (record.buffered && irp->IoStatus.Information > record.outputLength) {
    Violation(Check::InformationOverflow, "buffered control request completed with Information " +
                                              std::to_string(irp->IoStatus.Information) +
                                              " > output buffer length " +
                                              std::to_string(record.outputLength));
  }
  switch (record.origin) {
    case IrpOrigin::Threaded:
      // The rest is the I/O manager's special kernel APC to the thread that
      // built the request: until that thread takes it, the status block and
      // the output buffer are untouched and the event is not set.
      QueueSpecialApc(&irp->Tail.Overlay.Thread->Tcb,
                      [irp, record] { FinishThreadedRequest(irp, record); });
      break;
    case IrpOrigin::Bench: {
      std::lock_guard<std::mutex> lock(record.completion->mutex);
      record.completion->done = true;
      record.completion->cv.notify_all();
      break;
    }
    case IrpOrigin::Allocated:
      Violation(Check::RequestUnowned,
                "a request from IoAllocateIrp was completed past its last stack location; its "
                "owner must stop completion with STATUS_MORE_PROCESSING_REQUIRED");
      break;
  }
}

}  // namespace

void NoteDispatchWait(PIRP irp, int delta) {
  std::lock_guard<std::mutex> lock(gIrpLock);
  auto it = gIrps.find(irp);
  if (it != gIrps.end() && it->second.state != IrpState::Done)
    it->second.dispatchWaits += delta;
}

bool IsEventOfLiveBuiltRequest(PVOID object) {
  std::lock_guard<std::mutex> lock(gIrpLock);
  for (const auto& [irp, record] : gIrps) {
    // Only the waiter's own request matches; it alone cancels it.
    if (record.origin == IrpOrigin::Threaded && record.state != IrpState::Done &&
        record.userEvent == object && !irp->Cancel)
      return true;
  }
  return false;
}

bool IsEventOfUnfinishedBuiltRequest(PVOID object, PETHREAD thread) {
  std::lock_guard<std::mutex> lock(gIrpLock);
  for (const auto& [irp, record] : gIrps) {
    if (record.origin == IrpOrigin::Threaded && record.userEvent == object &&
        irp->Tail.Overlay.Thread == thread)
      return true;
  }
  return false;
}

PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin) {
  USHORT size = IoSizeOfIrp(stackSize);
  auto* irp = static_cast<PIRP>(std::calloc(1, size));
  IoInitializeIrp(irp, size, stackSize);
  std::lock_guard<std::mutex> lock(gIrpLock);
  gIrps[irp] = IrpRecord{
      origin, IrpState::Live, ++gGeneration, nullptr, false, false, nullptr, 0, nullptr, 0, 0};
  return irp;
}

void SetBenchCompletion(PIRP irp, BenchCompletion* completion) {
  std::lock_guard<std::mutex> lock(gIrpLock);
  gIrps[irp].completion = completion;
}

void SetBufferedOutput(PIRP irp, PVOID userOutput, ULONG outputLength, bool copyBack) {
  std::lock_guard<std::mutex> lock(gIrpLock);
  auto& record = gIrps[irp];
  record.buffered = true;
  record.copyBack = copyBack;
  record.userOutput = userOutput;
  record.outputLength = outputLength;
}

IO_STATUS_BLOCK SendAndWait(PDEVICE_OBJECT device, PIRP irp, BenchCompletion* completion,
                            NTSTATUS* returned) {
  SetBenchCompletion(irp, completion);
  const UCHAR major = IoGetNextIrpStackLocation(irp)->MajorFunction;
  HeldState before = Held();
  const NTSTATUS status = IofCallDriver(device, irp);
  if (returned)
    *returned = status;
  AuditReturn(
      [device, major] {
        return "the dispatch routine of device " + Hex(reinterpret_cast<uintptr_t>(device)) +
               " for major " + Hex(major);
      },
      before);
  std::unique_lock<std::mutex> lock(completion->mutex);
  completion->cv.wait(lock, [completion] { return completion->done; });
  return irp->IoStatus;
}

void FreeIrpInternal(PIRP irp) {
  {
    std::lock_guard<std::mutex> lock(gIrpLock);
    gIrps.erase(irp);
  }
  ReleaseIrpMemory(irp);
}

std::vector<HeldRoutine> TakeRoutinesOfPendingRequests(uintptr_t begin, uintptr_t end) {
  auto inside = [begin, end](const void* routine) {
    auto at = reinterpret_cast<uintptr_t>(routine);
    return routine && at >= begin && at < end;
  };
  std::vector<HeldRoutine> out;
  std::lock_guard<std::mutex> lock(gIrpLock);
  for (auto& [irp, record] : gIrps) {
    if (record.state != IrpState::Live)
      continue;
    std::string holder = "of request " + Hex(reinterpret_cast<uintptr_t>(irp)) + " (major " +
                         Hex(record.major) + ") still pending";
    if (inside(reinterpret_cast<const void*>(irp->CancelRoutine))) {
      out.push_back({"cancel routine", reinterpret_cast<const void*>(irp->CancelRoutine), holder});
      irp->CancelRoutine = nullptr;
    }
    auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    for (CCHAR i = 0; i < irp->StackCount; ++i) {
      PIO_STACK_LOCATION location = stack + i;
      const auto* routine = reinterpret_cast<const void*>(location->CompletionRoutine);
      if (inside(routine)) {
        out.push_back({"completion routine", routine, holder});
        location->CompletionRoutine = nullptr;
        location->Context = nullptr;
        location->Control &= ~(SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
      } else if (const void* power = TakePowerCompletion(location->CompletionRoutine,
                                                         location->Context, begin, end)) {
        out.push_back({"power completion", power, holder});
      }
    }
  }
  return out;
}

std::vector<std::string> LiveIrpReport() {
  std::vector<std::string> out;
  std::lock_guard<std::mutex> lock(gIrpLock);
  for (const auto& [irp, record] : gIrps) {
    std::string state = record.state != IrpState::Done ? "never completed"
                        : record.origin == IrpOrigin::Threaded
                            ? "completed, its APC never taken by the thread that built it"
                            : "completed, never freed";
    out.push_back("request " + Hex(reinterpret_cast<uintptr_t>(irp)) + " (" +
                  OriginName(record.origin) + ", major " + Hex(record.major) + " minor " +
                  Hex(record.minor) + ", last sent to device " +
                  Hex(reinterpret_cast<uintptr_t>(record.lastDevice)) + "): " + state);
  }
  return out;
}

void ResetIrps() {
  std::lock_guard<std::mutex> lock(gIrpLock);
  for (auto& [irp, record] : gIrps)
    ReleaseIrpMemory(irp);
  gIrps.clear();
  gCancelLock = 0;
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  std::memset(Irp, 0, PacketSize);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  if (faults::ShouldFail(faults::Kind::BuildRequest))
    return nullptr;
  return AllocateIrp(StackSize, IrpOrigin::Allocated);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  std::unique_lock<std::mutex> lock(gIrpLock);
  const bool live = gIrps.count(Irp) != 0;
  lock.unlock();
  if (!live) {
    Violation(Check::InvalidCall, "IoFreeIrp on " + Hex(reinterpret_cast<uintptr_t>(Irp)) +
                                      ", which is not a live request");
    return;
  }
  FreeIrpInternal(Irp);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto& state = Current();
  RequireIrql(Check::IrqlDocumented, "IoCallDriver", DISPATCH_LEVEL);
  uint64_t generation = 0;
  std::string busRequestAltered;
  if (!state.spinLocks.empty())
    Violation(
        Check::SpinLockHeldAcrossCall,
        "IofCallDriver while holding " + std::to_string(state.spinLocks.size()) + " spin lock(s)");
  {
    std::unique_lock<std::mutex> lock(gIrpLock);
    auto it = gIrps.find(Irp);
    if (it == gIrps.end()) {
      lock.unlock();
      Violation(Check::InvalidCall, "IofCallDriver with " + Hex(reinterpret_cast<uintptr_t>(Irp)) +
                                        ", which is not a live request");
      return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
      lock.unlock();
      Violation(Check::NoMoreStackLocations, "IofCallDriver to device " +
                                                 Hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                                                 " on a request with no stack location left");
      return STATUS_INVALID_PARAMETER;
    }
    IrpRecord& record = it->second;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (!record.sent) {
      record.sent = true;
      record.sentStatus = Irp->IoStatus.Status;
      record.sentInformation = Irp->IoStatus.Information;
    } else if (next->MajorFunction == IRP_MJ_PNP && OnlyTheBusAnswers(next->MinorFunction) &&
               !DeviceObject->DeviceObjectExtension->AttachedTo &&
               (Irp->IoStatus.Status != record.sentStatus ||
                Irp->IoStatus.Information != record.sentInformation)) {
      busRequestAltered =
          "Plug and Play request " + Hex(reinterpret_cast<uintptr_t>(Irp)) + " (minor " +
          Hex(next->MinorFunction) + ") reached the bus with " + StatusName(Irp->IoStatus.Status) +
          ", information " + Hex(Irp->IoStatus.Information) + "; it was sent with " +
          StatusName(record.sentStatus) + ", information " + Hex(record.sentInformation);
    }
    record.lastDevice = DeviceObject;
    record.lowest = std::min<CCHAR>(record.lowest, Irp->CurrentLocation - 1);
    record.major = next->MajorFunction;
    record.minor = next->MinorFunction;
    generation = record.generation;
  }
  if (!busRequestAltered.empty())
    Violation(Check::PnpBusRequestAltered, busRequestAltered);
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
    Violation(Check::InvalidCall, "request with major function " + Hex(stack->MajorFunction));
    return STATUS_INVALID_PARAMETER;
  }
  // ForwardedAtBadIrql: only power, read, write and control requests may be
  // sent at DISPATCH_LEVEL.
  if (state.irql == DISPATCH_LEVEL && stack->MajorFunction != IRP_MJ_POWER &&
      stack->MajorFunction != IRP_MJ_READ && stack->MajorFunction != IRP_MJ_WRITE &&
      stack->MajorFunction != IRP_MJ_DEVICE_CONTROL &&
      stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL)
    Violation(Check::ForwardedAtBadIrql,
              "IoCallDriver at DISPATCH_LEVEL with major " + Hex(stack->MajorFunction));
  PDRIVER_DISPATCH routine = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  const CCHAR location = Irp->CurrentLocation;
  KIRQL irql = state.irql;
  DispatchFrame pushed{Irp, DeviceObject, false, 0};
  pushed.major = stack->MajorFunction;
  pushed.minor = stack->MinorFunction;
  if (pushed.major == IRP_MJ_POWER) {
    std::memcpy(&pushed.powerType, &stack->Parameters.Power.Type, sizeof(pushed.powerType));
    std::memcpy(&pushed.powerState, &stack->Parameters.Power.State, sizeof(pushed.powerState));
  }
  state.frames.push_back(pushed);
  NTSTATUS status = Callout(EntryKind::Dispatch, stack->MajorFunction, routine, DeviceObject, Irp);
  DispatchFrame frame = state.frames.back();
  state.frames.pop_back();
  if (state.irql != irql) {
    Violation(Check::DispatchIrqlChanged,
              "dispatch routine of device " + Hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                  " for major " + Hex(stack->MajorFunction) + " returned at IRQL " +
                  std::to_string(state.irql) + ", called at " + std::to_string(irql));
  }
  if (frame.completed && status != STATUS_PENDING && status != frame.completedStatus) {
    Violation(Check::DispatchStatusMismatch,
              "dispatch routine of device " + Hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                  " completed a request with " + StatusName(frame.completedStatus) +
                  " and returned " + StatusName(status));
  }
  AuditPendingReturn(Irp, generation, location, status, frame.completed, DeviceObject);
  return status;
}

namespace {

bool IsPnpMinor(UCHAR minor, std::initializer_list<UCHAR> minors) {
  return std::find(minors.begin(), minors.end(), minor) != minors.end();
}

// Plug and Play and power requests that a function driver completes: the
// rules of Windows' DDI compliance checking that concern them. `record` is
// the request's state just before this completion.
void AuditCompletion(PIRP Irp, const IrpRecord& record) {
  if (Irp->CurrentLocation < 1 || Irp->CurrentLocation > Irp->StackCount)
    return;  // a request not sent
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PDEVICE_OBJECT device = stack->DeviceObject;
  if (!device || !device->DeviceObjectExtension || !device->DeviceObjectExtension->AttachedTo)
    return;  // the bottom of its stack: a bus driver, to which these rules do not apply
  const NTSTATUS status = Irp->IoStatus.Status;
  if (status == STATUS_DELETE_PENDING)
    return;  // a device already removed answers so to whatever still reaches it
  const bool wentDown = record.lowest < Irp->CurrentLocation;
  // A failure of its own, not the lower drivers' answer passed on.
  const bool ownFailure =
      !NT_SUCCESS(status) && !(record.lowerAnswered && record.lowerStatus == status);
  const std::string what = "request " + Hex(reinterpret_cast<uintptr_t>(Irp)) + " (major " +
                           Hex(stack->MajorFunction) + ", minor " + Hex(stack->MinorFunction) +
                           ") completed with " + StatusName(status);
  if (stack->MajorFunction == IRP_MJ_PNP) {
    const UCHAR minor = stack->MinorFunction;
    if (OnlyTheBusAnswers(minor) && !wentDown)
      Violation(Check::PnpBusRequestAltered,
                what + " above the bus driver, which alone answers it");
    const bool mayNotFail = IsPnpMinor(
        minor, {IRP_MN_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE});
    const bool queries = IsPnpMinor(
        minor, {IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE});
    if (!queries && !wentDown && (NT_SUCCESS(status) || mayNotFail))
      Violation(Check::PnpIrpCompletion, what + " without passing it to the lower drivers");
    else if (mayNotFail && ownFailure)
      Violation(Check::PnpIrpCompletion, what + ", a request that may not fail");
    if (minor == IRP_MN_START_DEVICE && NT_SUCCESS(status) && record.lowerAnswered &&
        !NT_SUCCESS(record.lowerStatus))
      Violation(Check::CompleteRequestStatusCheck,
                what + " after the lower drivers failed it with " + StatusName(record.lowerStatus));
    return;
  }
  // WmiForward: a driver that has not registered with WMI (the simulated
  // system has no WMI registration) passes every system-control request down.
  if (stack->MajorFunction == IRP_MJ_SYSTEM_CONTROL && !wentDown) {
    Violation(Check::WmiForward, what + " without passing it to the lower drivers");
    return;
  }
  if (stack->MajorFunction == IRP_MJ_POWER && stack->MinorFunction == IRP_MN_SET_POWER &&
      (!wentDown || ownFailure)) {
    ULONG type, state;
    std::memcpy(&type, &stack->Parameters.Power.Type, sizeof(type));
    std::memcpy(&state, &stack->Parameters.Power.State, sizeof(state));
    const bool up = (type == SystemPowerState && state == PowerSystemWorking) ||
                    (type == DevicePowerState && state == PowerDeviceD0);
    Violation(up ? Check::PowerUpFail : Check::PowerDownFail,
              what + (wentDown ? ", a failure of its own" : " without passing it down"));
  }
}

}  // namespace

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR) {
  uint64_t generation;
  IrpRecord before{};
  {
    std::unique_lock<std::mutex> lock(gIrpLock);
    auto it = gIrps.find(Irp);
    if (it == gIrps.end() || it->second.state == IrpState::Completing ||
        it->second.state == IrpState::Done) {
      bool known = it != gIrps.end();
      lock.unlock();
      Violation(known ? Check::RequestCompletedTwice : Check::InvalidCall,
                known ? "request " + Hex(reinterpret_cast<uintptr_t>(Irp)) + " completed twice"
                      : "IofCompleteRequest on " + Hex(reinterpret_cast<uintptr_t>(Irp)) +
                            ", which is not a live request (completed twice?)");
      return;
    }
    it->second.state = IrpState::Completing;
    it->second.completeCalled = true;
    generation = it->second.generation;
    before = it->second;
  }
  if (!Current().spinLocks.empty())
    Violation(Check::SpinLockSafe, "IoCompleteRequest on " + Hex(reinterpret_cast<uintptr_t>(Irp)) +
                                       " while holding a spin lock");
  AuditCompletion(Irp, before);
  if (Irp->CancelRoutine)
    Violation(Check::InvalidCall, "request " + Hex(reinterpret_cast<uintptr_t>(Irp)) +
                                      " completed with its cancel routine still set "
                                      "(CANCEL_STATE_IN_COMPLETED_IRP)");
  if (Irp->IoStatus.Status == STATUS_PENDING)
    Violation(Check::RequestCompletedPending, "request " + Hex(reinterpret_cast<uintptr_t>(Irp)) +
                                                  " completed with STATUS_PENDING");
  auto& frames = Current().frames;
  for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
    if (it->irp == Irp) {
      if (!it->completed) {
        it->completed = true;
        it->completedStatus = Irp->IoStatus.Status;
      }
      break;
    }
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1) {
    Violation(Check::InvalidCall, "IofCompleteRequest on a request past its last stack location");
    return;
  }
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR control = TakeControl(Irp, generation, stack);
    Irp->PendingReturned = (control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    bool success = NT_SUCCESS(Irp->IoStatus.Status);
    bool invoke = routine && ((success && (control & SL_INVOKE_ON_SUCCESS)) ||
                              (!success && (control & SL_INVOKE_ON_ERROR)) ||
                              (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    if (invoke) {
      PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                  ? nullptr
                                  : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      Transition(Irp, generation, IrpState::Completing, IrpState::InRoutine);
      // Noted before the routine runs: it may hand the request to a waiter at once.
      NoteLowerAnswer(Irp, generation, Irp->IoStatus.Status);
      const bool pendingReturned = Irp->PendingReturned;
      const uint64_t eventsBefore = Current().eventsSet;
      NTSTATUS status = Callout(EntryKind::Completion, 0, routine, device, Irp, context);
      if (status == STATUS_MORE_PROCESSING_REQUIRED) {
        // The routine's driver owns the request again; it may be gone already.
        Transition(Irp, generation, IrpState::InRoutine, IrpState::Live);
        if (pendingReturned && Current().eventsSet == eventsBefore)
          AuditEventInCompletion(Irp, generation);
        return;
      }
      if (!Transition(Irp, generation, IrpState::InRoutine, IrpState::Completing)) {
        Violation(Check::RequestCompletedTwice, "a completion routine completed request " +
                                                    Hex(reinterpret_cast<uintptr_t>(Irp)) +
                                                    " again and let the first completion continue");
        return;
      }
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      std::lock_guard<std::mutex> lock(gIrpLock);
      IoMarkIrpPending(Irp);
    }
  }
  FinishRequest(Irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrql(Check::IrqlIoPassive1, "IoBuildDeviceIoControlRequest", APC_LEVEL);
  if (faults::ShouldFail(faults::Kind::BuildRequest))
    return nullptr;
  PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpOrigin::Threaded);
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  {
    std::lock_guard<std::mutex> lock(gIrpLock);
    gIrps[irp].userEvent = Event;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED:
      if (InputBufferLength || OutputBufferLength) {
        ULONG length = std::max(InputBufferLength, OutputBufferLength);
        irp->AssociatedIrp.SystemBuffer = std::malloc(length);
        if (InputBuffer)
          std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        irp->Flags =
            IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputBuffer ? IRP_INPUT_OPERATION : 0);
      }
      irp->UserBuffer = OutputBuffer;
      SetBufferedOutput(irp, OutputBuffer, OutputBufferLength, OutputBuffer != nullptr);
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (InputBufferLength) {
        irp->AssociatedIrp.SystemBuffer = std::malloc(InputBufferLength);
        std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (OutputBuffer && OutputBufferLength) {
        irp->MdlAddress = new MDL{};
        irp->MdlAddress->MappedSystemVa = OutputBuffer;
        irp->MdlAddress->StartVa = OutputBuffer;
        irp->MdlAddress->ByteCount = OutputBufferLength;
      }
      break;
    default:
      next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  return irp;
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  RequireIrql(Check::IrqlDocumented, "IoCancelIrp", DISPATCH_LEVEL);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  // The device of the driver that holds the request (none before it is sent).
  PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                              ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                              : nullptr;
  Callout(EntryKind::Cancel, 0, routine, device, Irp);
  // A cancel routine runs with the cancel spin lock held and must release it.
  auto& locks = Current().spinLocks;
  if (std::find(locks.begin(), locks.end(), &gCancelLock) != locks.end()) {
    Violation(Check::SpinLockMisuse,
              "a cancel routine returned holding the cancel spin lock "
              "(DRIVER_RETURNED_HOLDING_CANCEL_LOCK)");
    IoReleaseCancelSpinLock(irql);
  }
  return TRUE;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = KeAcquireSpinLockRaiseToDpc(&gCancelLock);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  KeReleaseSpinLock(&gCancelLock, Irql);
}
