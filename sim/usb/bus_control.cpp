// The simulated bus's control channel: IOCTL_INTERNAL_USB_SUBMIT_URB and
// IOCTL_INTERNAL_USB_RESET_PORT as they reach a key's PDO, through the fault
// plan, the hold hook and the completion the test chose.
#include "sim/kernel/verifier.h"
#include "sim/usb/bus_state.h"
#include "sim/usb/fault_matcher.h"

namespace sim::usb {
namespace internal {

NTSTATUS Process(KeyState& s, PIRP irp) {
  WireRecord r = Describe(irp);
  Fault fault;
  keyport::Outcome o;
  if (s.port.Plugged() &&
      TakePlannedFault(
          s.faults, [&r](const Fault& f) { return f.kind == r.kind; }, &fault)) {
    if (fault.halt)
      s.port.Key().Halt();
    o = {fault.status, fault.usbdStatus};
    if (r.kind != Kind::ResetPort)
      keyport::Port::Fail(UrbOf(irp), o);
  } else {
    o = Execute(s, irp, r);
  }
  if (o.status == STATUS_PENDING) {
    Wait(s, irp);  // recorded when it ends
    return STATUS_PENDING;
  }
  const Kind kind = r.kind;
  const WireRecord& ended = RecordEnd(s, irp, std::move(r), o);
  // Timed before the transfers it wakes: the key prepares its report only
  // once this request is done.
  s.due = Due(s, ended);
  AfterRequest(s, irp, kind, o.status);
  return o.status;
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  auto& bus = TheBus();
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (code != IOCTL_INTERNAL_USB_SUBMIT_URB && code != IOCTL_INTERNAL_USB_RESET_PORT)
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  if (code == IOCTL_INTERNAL_USB_SUBMIT_URB && !stack->Parameters.Others.Argument1)
    return Complete(irp, STATUS_INVALID_PARAMETER);
  std::unique_lock<std::mutex> lock(bus.mutex);
  KeyState& s = Get(device);
  const Kind kind = Describe(irp).kind;
  if (!s.started) {
    lock.unlock();
    verifier::Report(verifier::Check::UrbBeforeStart,
                     std::string(KindName(kind)) +
                         " sent to a device whose start the lower drivers have not completed");
    return Complete(irp, STATUS_DEVICE_NOT_READY);
  }
  if (Hold(device, s, irp, kind, lock))
    return STATUS_PENDING;
  if (s.timing.enabled || s.completion == Completion::Pending) {
    irp->IoStatus.Status = Process(s, irp);
    if (irp->IoStatus.Status == STATUS_PENDING)
      return STATUS_PENDING;
    IoMarkIrpPending(irp);
    Queue(s, irp, false, s.due);
    return STATUS_PENDING;
  }
  NTSTATUS status = Process(s, irp);
  if (status == STATUS_PENDING)
    return STATUS_PENDING;
  lock.unlock();
  return Complete(irp, status);
}

}  // namespace internal

using namespace internal;

void PlanForPlug(size_t plugIndex, const Fault& fault) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  if (!fault.rule.Spent())
    TheBus().plugFaults[plugIndex].push_back(fault);
}

void AddFault(PDEVICE_OBJECT pdo, const Fault& fault) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  if (!fault.rule.Spent())
    Get(pdo).faults.push_back(fault);
}

void ClearFaults(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  Get(pdo).faults.clear();
}

}  // namespace sim::usb
