// Power manager routines drivers call.
#include "sim/kernel/harness.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/internal.h"

namespace sim::detail {
namespace {

std::mutex gMutex;
std::map<PDEVICE_OBJECT, std::vector<power::Report>> gReports;
std::vector<power::PowerRequest> gRequests;

struct PowerCompletion {
  PDEVICE_OBJECT device;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE callback;
  PVOID context;
};

// Top-level completion of a request from PoRequestPowerIrp: tell the
// requester, in the completing thread, then free the request.
NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* completion = static_cast<PowerCompletion*>(context);
  if (completion->callback)
    Callout(EntryKind::PowerCompletion, 0, completion->callback, completion->device,
            completion->minor, completion->state, completion->context, &irp->IoStatus);
  delete completion;
  FreeIrpInternal(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

const void* TakePowerCompletion(PIO_COMPLETION_ROUTINE routine, PVOID context, uintptr_t begin,
                                uintptr_t end) {
  if (routine != PowerRequestDone || !context)
    return nullptr;
  auto* completion = static_cast<PowerCompletion*>(context);
  const auto* callback = reinterpret_cast<const void*>(completion->callback);
  auto at = reinterpret_cast<uintptr_t>(callback);
  if (!callback || at < begin || at >= end)
    return nullptr;
  completion->callback = nullptr;
  return callback;
}

void ResetPower() {
  std::lock_guard<std::mutex> lock(gMutex);
  gReports.clear();
  gRequests.clear();
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim::power {

std::vector<Report> Reports(PDEVICE_OBJECT deviceObject) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gReports.find(deviceObject);
  return it == gReports.end() ? std::vector<Report>{} : it->second;
}

std::vector<PowerRequest> Requests() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gRequests;
}

}  // namespace sim::power

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
  RequireIrql(Check::IrqlDocumented, "PoSetPowerState", DISPATCH_LEVEL);
  std::lock_guard<std::mutex> lock(gMutex);
  auto& reports = gReports[DeviceObject];
  POWER_STATE previous;
  previous.DeviceState = Type == DevicePowerState ? PowerDeviceD0 : PowerDeviceUnspecified;
  if (Type == SystemPowerState)
    previous.SystemState = PowerSystemWorking;
  for (auto it = reports.rbegin(); it != reports.rend(); ++it) {
    if (it->Type == Type) {
      previous = it->State;
      break;
    }
  }
  reports.push_back(power::Report{Type, State, NextSequence()});
  return previous;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP) {}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) {
  RequireIrql(Check::IrqlDocumented, "PoRequestPowerIrp", DISPATCH_LEVEL);
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  if (faults::ShouldFail(faults::Kind::RequestPowerIrp))
    return STATUS_INSUFFICIENT_RESOURCES;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    gRequests.push_back(
        power::PowerRequest{DeviceObject, MinorFunction, PowerState, NextSequence()});
  }
  // The request enters the stack of DeviceObject from its top.
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::Allocated);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
    next->Parameters.Power.ShutdownType = PowerActionNone;
  }
  auto* completion =
      new PowerCompletion{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
  IoSetCompletionRoutine(irp, PowerRequestDone, completion, TRUE, TRUE, TRUE);
  if (Irp)
    *Irp = irp;
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
    IofCallDriver(top, irp);
    ObfDereferenceObject(top);
  } else {
    // A pageable stack cannot take the request at raised IRQL: a worker sends it.
    QueueSystemWork([top, irp] {
      IofCallDriver(top, irp);
      ObfDereferenceObject(top);
    });
  }
  return STATUS_PENDING;
}
