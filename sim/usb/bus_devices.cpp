// The simulated bus's device nodes: loading and unloading the bus driver,
// plugging and unplugging keys, their PDOs' Plug and Play and power answers,
// and the settings and records tests read per key.
#include <cstring>

#include "sim/kernel/harness.h"
#include "sim/usb/bus_state.h"

namespace sim::usb {
namespace internal {
namespace {

void EndWaitingOf(PDEVICE_OBJECT pdo, keyport::Outcome o) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  EndAllWaiting(Get(pdo), o);
}

void DeletePdo(PDEVICE_OBJECT pdo) {
  {
    std::lock_guard<std::mutex> lock(TheBus().mutex);
    KeyState& s = Get(pdo);
    TheBus().retiredTraces[s.plugIndex] = std::move(s.trace);
    TheBus().keys.erase(pdo);
  }
  IoDeleteDevice(pdo);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
      requests::Answered(device, irp, STATUS_SUCCESS);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
      EndWaitingOf(device, keyport::kDeviceGone);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      const bool plugged = IsPlugged(device);
      Complete(irp, STATUS_SUCCESS);
      if (!plugged)
        DeletePdo(device);  // the key is gone: so is its PDO
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      auto* caps = stack->Parameters.DeviceCapabilities.Capabilities;
      if (caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return Complete(irp, STATUS_UNSUCCESSFUL);
      std::lock_guard<std::mutex> lock(TheBus().mutex);
      KeyState& s = Get(device);
      std::memcpy(caps->DeviceState, s.deviceStates, sizeof(caps->DeviceState));
      caps->Removable = TRUE;
      caps->UniqueID = TRUE;
      caps->SystemWake = PowerSystemUnspecified;
      caps->DeviceWake = PowerDeviceUnspecified;
      caps->D1Latency = 0;
      caps->D2Latency = 0;
      caps->D3Latency = 0;
      return Complete(irp, STATUS_SUCCESS);
    }
    default:
      return requests::AnswerAsItCame(device, irp);
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
    return Complete(irp, STATUS_SUCCESS);
  return requests::AnswerAsItCame(device, irp);
}

NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT, PIRP irp) {
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace internal

using namespace internal;

void requests::Answered(PDEVICE_OBJECT pdo, PIRP irp, NTSTATUS status) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_PNP || !NT_SUCCESS(status))
    return;
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  KeyState* s = Find(pdo);
  if (!s)
    return;
  if (stack->MinorFunction == IRP_MN_START_DEVICE)
    s->started = true;
  else if (stack->MinorFunction == IRP_MN_STOP_DEVICE)
    s->started = false;
}

namespace internal {
namespace {

// Plug and Play, power and system control are recorded and may be answered by plan.
NTSTATUS NTAPI DispatchPnpRecorded(PDEVICE_OBJECT device, PIRP irp) {
  return requests::Dispatch(device, irp, DispatchPnp);
}
NTSTATUS NTAPI DispatchPowerRecorded(PDEVICE_OBJECT device, PIRP irp) {
  return requests::Dispatch(device, irp, DispatchPower);
}
NTSTATUS NTAPI DispatchSystemControlRecorded(PDEVICE_OBJECT device, PIRP irp) {
  return requests::Dispatch(device, irp, requests::AnswerAsItCame);
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
  auto& bus = TheBus();
  std::vector<PIRP> held;
  {
    std::lock_guard<std::mutex> lock(bus.mutex);
    bus.stopping = true;
    for (auto& [pdo, state] : bus.keys) {
      if (PIRP irp = TakeHeld(*state))
        held.push_back(irp);
    }
    bus.cv.notify_all();
  }
  FinishCompletions();
  requests::FinishPending();
  for (PIRP irp : held)
    Complete(irp, STATUS_CANCELLED);
  std::vector<PIRP> waiting;
  {
    std::lock_guard<std::mutex> lock(bus.mutex);
    for (auto& [pdo, state] : bus.keys) {
      while (PIRP irp = state->waiting.TakeAny())
        waiting.push_back(irp);
      state->waiting.Init();  // those whose cancel routine runs are its to end
    }
  }
  for (PIRP irp : waiting) {
    keyport::Port::Fail(UrbOf(irp), keyport::kDeviceGone);
    Complete(irp, keyport::kDeviceGone.status);
  }
  std::vector<PDEVICE_OBJECT> pdos;
  {
    std::lock_guard<std::mutex> lock(bus.mutex);
    for (auto& entry : bus.keys)
      pdos.push_back(entry.first);
  }
  for (PDEVICE_OBJECT pdo : pdos)
    DeletePdo(pdo);
  std::lock_guard<std::mutex> lock(bus.mutex);
  bus.driver = nullptr;
  bus.stopping = false;
  bus.work.Clear();
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& slot : driver->MajorFunction)
    slot = DispatchOther;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnpRecorded;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPowerRecorded;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControlRecorded;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

}  // namespace
}  // namespace internal

PDRIVER_OBJECT LoadBus() {
  auto& bus = TheBus();
  NTSTATUS status;
  PDRIVER_OBJECT driver = sim::LoadDriver(u"usbkeybus", BusEntry, &status);
  requests::Reset();
  std::lock_guard<std::mutex> lock(bus.mutex);
  bus.keys.clear();  // whatever an aborted earlier test left behind
  bus.plugs = 0;
  bus.plugFaults.clear();
  bus.retiredTraces.clear();
  bus.driver = driver;
  bus.stopping = false;
  StartCompletions();
  return driver;
}

PDEVICE_OBJECT Plug(const KeyConfig& config) {
  auto& bus = TheBus();
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = IoCreateDevice(bus.driver, 0, nullptr, FILE_DEVICE_USB,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  if (!NT_SUCCESS(status))
    return nullptr;
  requests::Forget(pdo);  // a deleted PDO's address may come back
  auto state = std::make_unique<KeyState>();
  state->port.Plug(config);
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  std::lock_guard<std::mutex> lock(bus.mutex);
  state->plugIndex = bus.plugs++;
  auto planned = bus.plugFaults.find(state->plugIndex);
  if (planned != bus.plugFaults.end())
    state->faults = planned->second;
  bus.keys[pdo] = std::move(state);
  return pdo;
}

void Unplug(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  KeyState& s = Get(pdo);
  s.port.Unplug();
  EndAllWaiting(s, keyport::kDeviceGone);
  if (PIRP held = TakeHeld(s))
    Queue(s, held, true);  // fails now: the device is gone
}

bool Exists(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  return Find(pdo) != nullptr;
}

bool IsPlugged(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  KeyState* s = Find(pdo);
  return s && s->port.Plugged();
}

void SetCompletion(PDEVICE_OBJECT pdo, Completion completion) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  Get(pdo).completion = completion;
}

void SetTiming(PDEVICE_OBJECT pdo, const Timing& timing) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  Get(pdo).timing = timing;
}

void SetDescriptors(PDEVICE_OBJECT pdo, const std::vector<UCHAR>& device,
                    const std::vector<UCHAR>& configuration) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  KeyState& s = Get(pdo);
  s.overrideDescriptors = true;
  s.deviceDescriptor = device;
  s.configurationDescriptor = configuration;
}

void SetDeviceStates(PDEVICE_OBJECT pdo, const DEVICE_POWER_STATE* states) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  std::memcpy(Get(pdo).deviceStates, states, sizeof(KeyState::deviceStates));
}

std::vector<WireRecord> Trace(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  return Get(pdo).trace;
}

std::vector<WireRecord> TraceOfPlug(size_t plugIndex) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  auto& bus = TheBus();
  for (auto& [pdo, state] : bus.keys)
    if (state->plugIndex == plugIndex)
      return state->trace;
  auto it = bus.retiredTraces.find(plugIndex);
  return it == bus.retiredTraces.end() ? std::vector<WireRecord>() : it->second;
}

size_t Plugs() {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  return TheBus().plugs;
}

void ClearTrace(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  Get(pdo).trace.clear();
}

const keymodel::Key& KeyOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  return Get(pdo).port.Key();
}

}  // namespace sim::usb
