// Plug and Play, power and system-control requests at the bus: the record,
// the plan, and the answers given later: a kernel timer on the kernel's
// clock, whose DPC hands them to the system worker, since a bus driver
// answers Plug and Play and power requests at PASSIVE_LEVEL.
#include "sim/usb/pdo_pnp_power.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "sim/kernel/harness.h"
#include "sim/kernel/threads.h"
#include "sim/usb/fault_matcher.h"
#include "sim/usb/timed_queue.h"

namespace sim::usb {
namespace {

using Clock = sim::clock::KernelClock;

// Long enough that a driver which does not wait for the lower drivers is
// seen going on before they have answered.
constexpr auto kPendingDelay = std::chrono::milliseconds(20);

struct PdoRequests {
  std::vector<BusRequest> records;
  std::vector<BusFault> faults;
  bool clearsSurpriseRemovalOK = false;
  bool answersLate = false;  // the bus's own answers come later (SetAnswersLate)
};

struct Late {
  PDEVICE_OBJECT pdo;
  PIRP irp;
  size_t record;  // index into the PDO's records
  NTSTATUS status;
  PDRIVER_DISPATCH own;  // the bus's own answer, given then; or the planned `status`
};

struct State {
  std::mutex mutex;
  std::map<PDEVICE_OBJECT, PdoRequests> pdos;
  TimedQueue<Late> late;
  // Own answers being given: their records get their status once the bus's
  // routine has returned, and the records are read only when there is none.
  size_t answering = 0;
  std::condition_variable answered;
};

State& TheState() {
  static State state;
  return state;
}

ULONG Raw32(const void* field) {
  ULONG raw;
  std::memcpy(&raw, field, sizeof(raw));
  return raw;
}

BusRequest Describe(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  BusRequest r;
  r.major = stack->MajorFunction;
  r.minor = stack->MinorFunction;
  r.arrivedStatus = irp->IoStatus.Status;
  r.arrivedInformation = irp->IoStatus.Information;
  if (r.major == IRP_MJ_POWER && (r.minor == IRP_MN_SET_POWER || r.minor == IRP_MN_QUERY_POWER)) {
    r.powerType = Raw32(&stack->Parameters.Power.Type);
    r.powerState = Raw32(&stack->Parameters.Power.State);
  }
  return r;
}

bool Matches(const BusFault& f, const BusRequest& r) {
  if (f.major != r.major || f.minor != r.minor)
    return false;
  if (f.powerType && *f.powerType != r.powerType)
    return false;
  return !f.powerState || *f.powerState == r.powerState;
}

// The answer a request got, once the routine that gave it has returned.
void RecordStatus(State& s, PDEVICE_OBJECT pdo, size_t index, NTSTATUS status) {
  auto it = s.pdos.find(pdo);
  if (it != s.pdos.end() && index < it->second.records.size())
    it->second.records[index].status = status;
}

// The plan's answer, instead of the bus's own.
void AnswerPlanned(PDEVICE_OBJECT pdo, PIRP irp, NTSTATUS status) {
  requests::Answered(pdo, irp, status);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Gives the answers that are due, or all of them with `all`, at
// PASSIVE_LEVEL in the calling thread.
void AnswerDue(bool all) {
  State& s = TheState();
  std::unique_lock<std::mutex> lock(s.mutex);
  Late l{};
  while (s.late.TakeDue(all, &l)) {
    if (l.own) {
      // The bus's own answer: it completes the request itself (and may
      // delete the PDO at a removal).
      const size_t index = l.record;
      auto& records = s.pdos[l.pdo].records;
      if (index < records.size())
        records[index].completedSequence = NextSequence();
      ++s.answering;
      lock.unlock();
      const NTSTATUS status = l.own(l.pdo, l.irp);
      lock.lock();
      RecordStatus(s, l.pdo, index, status);
      --s.answering;
      s.answered.notify_all();
      continue;
    }
    BusRequest& record = s.pdos[l.pdo].records[l.record];
    record.status = l.status;
    record.completedSequence = NextSequence();
    lock.unlock();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    AnswerPlanned(l.pdo, l.irp, l.status);
    KeLowerIrql(old);
    lock.lock();
  }
  s.late.Arm();
}

VOID NTAPI AnswerDpc(PKDPC, PVOID, PVOID, PVOID) {
  QueueSystemWork([] { AnswerDue(false); });
}

NTSTATUS AnswerLater(State& s, PDEVICE_OBJECT pdo, PIRP irp, size_t record, NTSTATUS status,
                     PDRIVER_DISPATCH own = nullptr) {
  // Called with the lock held.
  IoMarkIrpPending(irp);
  s.late.Add(Clock::now() + kPendingDelay, Late{pdo, irp, record, status, own});
  return STATUS_PENDING;
}

const char* PnpName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE:
      return "start";
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return "query-remove";
    case IRP_MN_REMOVE_DEVICE:
      return "remove";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return "cancel-remove";
    case IRP_MN_STOP_DEVICE:
      return "stop";
    case IRP_MN_QUERY_STOP_DEVICE:
      return "query-stop";
    case IRP_MN_CANCEL_STOP_DEVICE:
      return "cancel-stop";
    case IRP_MN_QUERY_CAPABILITIES:
      return "capabilities";
    case IRP_MN_SURPRISE_REMOVAL:
      return "surprise-remove";
    default:
      return nullptr;
  }
}

std::string Hex2(UCHAR value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

// Power states as the log writes them: S0..S5 for the system states 1..6,
// D0..D3 for the device states 1..4, the number otherwise.
std::string SystemStateText(ULONG state) {
  if (state >= PowerSystemWorking && state <= PowerSystemShutdown)
    return "S" + std::to_string(state - 1);
  return std::to_string(state);
}

std::string DeviceStateText(ULONG state) {
  if (state >= PowerDeviceD0 && state <= PowerDeviceD3)
    return "D" + std::to_string(state - 1);
  return std::to_string(state);
}

std::string StateText(ULONG type, ULONG state) {
  if (type == SystemPowerState)
    return "system " + SystemStateText(state);
  if (type == DevicePowerState)
    return "device " + DeviceStateText(state);
  return "type=" + std::to_string(type) + " state=" + std::to_string(state);
}

}  // namespace

std::string BusRequest::Text() const {
  switch (major) {
    case IRP_MJ_PNP: {
      const char* name = PnpName(minor);
      return std::string("pnp ") + (name ? name : Hex2(minor));
    }
    case IRP_MJ_POWER:
      if (minor == IRP_MN_SET_POWER)
        return "power set " + StateText(powerType, powerState);
      if (minor == IRP_MN_QUERY_POWER)
        return "power query " + StateText(powerType, powerState);
      if (minor == IRP_MN_WAIT_WAKE)
        return "power wait-wake";
      return "power " + Hex2(minor);
    case IRP_MJ_SYSTEM_CONTROL:
      return "system-control " + Hex2(minor);
    default:
      return "major " + Hex2(major) + " minor " + Hex2(minor);
  }
}

std::vector<BusRequest> BusRequests(PDEVICE_OBJECT pdo) {
  State& s = TheState();
  std::unique_lock<std::mutex> lock(s.mutex);
  s.answered.wait(lock, [&s] { return s.answering == 0; });
  auto it = s.pdos.find(pdo);
  return it == s.pdos.end() ? std::vector<BusRequest>() : it->second.records;
}

void ClearBusRequests(PDEVICE_OBJECT pdo) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.pdos.find(pdo);
  if (it == s.pdos.end())
    return;
  // A request still pending keeps its place: its answer refers to it by index.
  if (s.late.Any([pdo](const Late& l) { return l.pdo == pdo; }))
    return;
  it->second.records.clear();
}

void AddBusFault(PDEVICE_OBJECT pdo, const BusFault& fault) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!fault.rule.Spent())
    s.pdos[pdo].faults.push_back(fault);
}

void ClearBusFaults(PDEVICE_OBJECT pdo) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.pdos[pdo].faults.clear();
}

void SetClearsSurpriseRemovalOK(PDEVICE_OBJECT pdo, bool clears) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.pdos[pdo].clearsSurpriseRemovalOK = clears;
}

std::vector<LogEntry> RequestLog(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo, uint64_t after) {
  std::vector<LogEntry> log;
  for (const BusRequest& r : BusRequests(pdo)) {
    if (r.pended) {
      log.push_back(LogEntry{r.sequence, "bus: " + r.Text() + " (pending)", false, STATUS_PENDING});
      if (r.completedSequence)
        log.push_back(LogEntry{r.completedSequence, "bus completes: " + r.Text(), true, r.status});
    } else {
      log.push_back(LogEntry{r.sequence, "bus: " + r.Text(), true, r.status});
    }
  }
  if (fdo) {
    for (const power::Report& report : power::Reports(fdo)) {
      ULONG type = report.Type;
      ULONG state;
      std::memcpy(&state, &report.State, sizeof(state));
      log.push_back(LogEntry{report.Sequence, "PoSetPowerState " + StateText(type, state)});
    }
    for (const power::PowerRequest& request : power::Requests()) {
      if (request.DeviceObject != fdo)
        continue;
      ULONG state;
      std::memcpy(&state, &request.State, sizeof(state));
      const std::string what = request.MinorFunction == IRP_MN_SET_POWER     ? "set device "
                               : request.MinorFunction == IRP_MN_QUERY_POWER ? "query device "
                                                                             : "wait-wake ";
      log.push_back(LogEntry{request.Sequence, "PoRequestPowerIrp " + what +
                                                   (request.MinorFunction == IRP_MN_WAIT_WAKE
                                                        ? SystemStateText(state)
                                                        : DeviceStateText(state))});
    }
  }
  log.erase(std::remove_if(log.begin(), log.end(),
                           [after](const LogEntry& e) { return e.sequence <= after; }),
            log.end());
  std::sort(log.begin(), log.end(),
            [](const LogEntry& a, const LogEntry& b) { return a.sequence < b.sequence; });
  return log;
}

void SetAnswersLate(PDEVICE_OBJECT pdo, bool late) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.pdos[pdo].answersLate = late;
}

namespace requests {

NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp, PDRIVER_DISPATCH own) {
  State& s = TheState();
  BusRequest r = Describe(irp);
  std::unique_lock<std::mutex> lock(s.mutex);
  PdoRequests& p = s.pdos[pdo];
  r.sequence = NextSequence();
  BusFault fault;
  const bool planned = TakePlannedFault(
      p.faults, [&r](const BusFault& f) { return Matches(f, r); }, &fault);
  r.planned = planned;
  p.records.push_back(r);
  const size_t index = p.records.size() - 1;
  if (planned && fault.pending) {
    p.records[index].pended = true;
    return AnswerLater(s, pdo, irp, index, fault.status);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!planned && p.clearsSurpriseRemovalOK && r.major == IRP_MJ_PNP &&
      r.minor == IRP_MN_QUERY_CAPABILITIES) {
    auto* caps = stack->Parameters.DeviceCapabilities.Capabilities;
    if (caps->Size >= sizeof(DEVICE_CAPABILITIES))
      caps->SurpriseRemovalOK = FALSE;
  }
  if (!planned && p.answersLate && r.major != IRP_MJ_SYSTEM_CONTROL) {
    p.records[index].pended = true;
    return AnswerLater(s, pdo, irp, index, STATUS_PENDING, own);
  }
  // Completed here and now: nothing of the drivers above runs between the
  // two numbers.
  p.records[index].completedSequence = NextSequence();
  lock.unlock();
  NTSTATUS status = fault.status;
  if (planned)
    AnswerPlanned(pdo, irp, status);
  else
    status = own(pdo, irp);
  lock.lock();
  RecordStatus(s, pdo, index, status);
  return status;
}

NTSTATUS AnswerAsItCame(PDEVICE_OBJECT, PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void Forget(PDEVICE_OBJECT pdo) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.pdos.erase(pdo);
}

void Reset() {
  FinishPending();
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.pdos.clear();
  s.late.Init(AnswerDpc);
}

void FinishPending() {
  TheState().late.Stop();
  DrainSystemWork(std::chrono::seconds(10));
  AnswerDue(true);
}

}  // namespace requests

}  // namespace sim::usb
