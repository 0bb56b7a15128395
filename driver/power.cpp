// Power requests: the key's device power state follows the system's. A
// system set-power first brings the key to its target state through a device
// request on our own stack, then lets the system request go on; a query for
// a low system state is refused while other requests are in progress.
#include "driver/device_extension.h"
#include "driver/driver.h"
#include "driver/request_handling.h"

namespace {

// What DispatchPower does with a request.
enum class PowerAction {
  PassDown,
  PowerUp,          // device set-power to D0
  PowerDown,        // device set-power to any other state
  WakeSystem,       // system set-power to working: the key goes to D0
  SleepSystem,      // system set-power to a sleep state: the state the bus reported usable
  HibernateSystem,  // system set-power to hibernate or shutdown: D3
  RefuseWhenBusy,   // system query-power for a sleep, hibernate or shutdown state
};

// By system power state, 0 to PowerSystemMaximum. A state
// outside the table is none the system defines: it goes down unchanged.
struct SystemStateActions {
  PowerAction Set;
  PowerAction Query;
};

constexpr SystemStateActions SystemActions[] = {
    {PowerAction::PassDown, PowerAction::PassDown},               // none given
    {PowerAction::WakeSystem, PowerAction::PassDown},             // working
    {PowerAction::SleepSystem, PowerAction::RefuseWhenBusy},      // sleeping 1
    {PowerAction::SleepSystem, PowerAction::RefuseWhenBusy},      // sleeping 2
    {PowerAction::SleepSystem, PowerAction::RefuseWhenBusy},      // sleeping 3
    {PowerAction::HibernateSystem, PowerAction::RefuseWhenBusy},  // hibernate
    {PowerAction::HibernateSystem, PowerAction::RefuseWhenBusy},  // shutdown
    {PowerAction::WakeSystem, PowerAction::PassDown},             // maximum
};

static_assert(sizeof(SystemActions) / sizeof(SystemActions[0]) == PowerSystemMaximum + 1,
              "one row per system power state");

// The device's own reference and the query's: more than that means some other
// request is inside the driver.
constexpr ULONG IdleOutstandingIo = 2;

// A power type or state as the 32-bit number stored there: a value outside
// its enumeration is still one the sender (or the bus, in the capabilities)
// may put there, and reading it as the enumeration would not be defined.
ULONG AsNumber(const void* Field) {
  ULONG raw;
  RtlCopyMemory(&raw, Field, sizeof(raw));
  return raw;
}

ULONG RawPowerType(PIO_STACK_LOCATION Stack) {
  return AsNumber(&Stack->Parameters.Power.Type);
}

ULONG RawPowerState(PIO_STACK_LOCATION Stack) {
  return AsNumber(&Stack->Parameters.Power.State);
}

// The device state the bus reported as usable in a system state.
ULONG CapabilityState(const DeviceExtension* Extension, ULONG SystemState) {
  return AsNumber(&Extension->DeviceCapabilities.DeviceState[SystemState]);
}

PowerAction ChooseSystemAction(UCHAR MinorFunction, ULONG State) {
  const ULONG index = State;
  if (index > PowerSystemMaximum) {
    return PowerAction::PassDown;
  }
  return MinorFunction == IRP_MN_SET_POWER ? SystemActions[index].Set : SystemActions[index].Query;
}

PowerAction ChooseAction(PIO_STACK_LOCATION Stack) {
  const UCHAR minor = Stack->MinorFunction;
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) {
    return PowerAction::PassDown;
  }
  switch (RawPowerType(Stack)) {
    case SystemPowerState:
      return ChooseSystemAction(minor, RawPowerState(Stack));
    case DevicePowerState:
      if (minor == IRP_MN_QUERY_POWER) {
        return PowerAction::PassDown;
      }
      return RawPowerState(Stack) == PowerDeviceD0 ? PowerAction::PowerUp : PowerAction::PowerDown;
    default:
      return PowerAction::PassDown;
  }
}

POWER_STATE AsPowerState(ULONG DeviceState) {
  POWER_STATE state;
  RtlCopyMemory(&state, &DeviceState, sizeof(state));
  return state;
}

void ReportDevicePower(PDEVICE_OBJECT DeviceObject, ULONG State) {
  PoSetPowerState(DeviceObject, DevicePowerState, AsPowerState(State));
}

// The key is usable only once the lower drivers have powered it: wait for
// them, then tell the power manager, whatever they answered. The request
// completes as they left it.
NTSTATUS PowerUp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const NTSTATUS status = ForwardAndWait(GetDeviceExtension(DeviceObject), Irp);
  ReportDevicePower(DeviceObject, PowerDeviceD0);
  return CompleteRequest(Irp, status, Irp->IoStatus.Information);
}

// Going down, the power manager hears of the new state before the lower
// drivers switch the key off.
NTSTATUS PowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  const ULONG state = RawPowerState(IoGetCurrentIrpStackLocation(Irp));
  ReportDevicePower(DeviceObject, state);
  extension->DevicePower = state;
  return PassDown(extension, Irp);
}

// DevicePower holds the target. The device request runs through this stack
// from the top; the system request goes down only once it has finished, so
// the key is already in its new state when the lower drivers see it.
// A system set-power may not be failed (PowerDownFail, PowerUpFail: a power
// failure ends in bug check 0x9F) and must reach the bus driver: when the
// device request cannot be asked for, the system request still goes down,
// with success (Information as the sender set it).
NTSTATUS SystemTransition(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  const POWER_STATE target = AsPowerState(extension->DevicePower);
  const NTSTATUS status = PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, target,
                                            PowerRequestComplete, &event, nullptr);
  if (status != STATUS_PENDING) {
    return PassDownWithSuccess(extension, Irp, Irp->IoStatus.Information);
  }
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  ReportDevicePower(DeviceObject, extension->DevicePower);
  return PassDown(extension, Irp);
}

// Power requests never wait for client traffic: a low state is refused
// instead while anything else holds a reference.
NTSTATUS RefuseWhenBusy(DeviceExtension* Extension, PIRP Irp) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->IoCountLock);
  const auto outstanding = static_cast<ULONG>(Extension->OutstandingIo);
  KeReleaseSpinLock(&Extension->IoCountLock, oldIrql);
  if (outstanding > IdleOutstandingIo) {
    return CompleteRequest(Irp, STATUS_DEVICE_BUSY);
  }
  return PassDown(Extension, Irp);
}

NTSTATUS HandlePowerRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (ChooseAction(stack)) {
    case PowerAction::PowerUp:
      return PowerUp(DeviceObject, Irp);
    case PowerAction::PowerDown:
      return PowerDown(DeviceObject, Irp);
    case PowerAction::WakeSystem:
      extension->DevicePower = PowerDeviceD0;
      return SystemTransition(DeviceObject, Irp);
    case PowerAction::SleepSystem:
      extension->DevicePower = CapabilityState(extension, RawPowerState(stack));
      return SystemTransition(DeviceObject, Irp);
    case PowerAction::HibernateSystem:
      // Like every system request, also when the key is at D3 already.
      extension->DevicePower = PowerDeviceD3;
      return SystemTransition(DeviceObject, Irp);
    case PowerAction::RefuseWhenBusy:
      return RefuseWhenBusy(extension, Irp);
    case PowerAction::PassDown:
      break;
  }
  return PassDown(extension, Irp);
}

}  // namespace

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension* extension = GetDeviceExtension(DeviceObject);
  IoIncrement(extension);
  NTSTATUS status;
  switch (CurrentPnpState(extension)) {
    case Removed:
      // Information stays as the sender set it.
      status = CompleteRequest(Irp, STATUS_DELETE_PENDING, Irp->IoStatus.Information);
      break;
    case NotStarted:
      // Nothing of the key is ours to power yet.
      status = PassDown(extension, Irp);
      break;
    default:
      status = HandlePowerRequest(DeviceObject, Irp);
      break;
  }
  IoDecrement(extension);
  return status;
}

VOID NTAPI PowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
}
