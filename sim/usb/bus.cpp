// The simulated USB bus driver: PDOs for plugged keys, the URB interface of
// the USB stack, the wire trace, the fault plan, the hold hook and the
// completion thread.
#include "sim/usb/bus.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "sim/kernel/bench.h"
#include "sim/kernel/verifier.h"
#include "sim/usb/bus_requests.h"
#include "sim/usb/fault_plan.h"
#include "sim/usb/port.h"

namespace sim::usb {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::nanoseconds;

constexpr auto kPendingDelay = microseconds(200);
constexpr auto kPortResetTime = std::chrono::milliseconds(10);

struct KeyState {
  keyport::Port port;
  PDEVICE_OBJECT pdo = nullptr;
  size_t plugIndex = 0;  // how many keys were plugged before this one
  Completion completion = Completion::Synchronous;
  DEVICE_POWER_STATE deviceStates[POWER_SYSTEM_MAXIMUM] = {
      PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2, PowerDeviceD2,
      PowerDeviceD2,          PowerDeviceD3, PowerDeviceD3};
  std::vector<WireRecord> trace;
  std::vector<Fault> faults;
  Timing timing;
  bool overrideDescriptors = false;
  std::vector<UCHAR> deviceDescriptor;
  std::vector<UCHAR> configurationDescriptor;
  Clock::time_point answerReady{};  // when the key's answer to the last command is ready
  Clock::time_point pipeFree{};     // the default pipe carries one transfer at a time
  // Started by a start that succeeded, until a stop: a hub refuses URBs to a
  // port whose device it has not started.
  bool started = false;
  bool holdArmed = false;
  bool holdCancelable = true;
  Kind holdKind = Kind::Other;
  PIRP held = nullptr;
  // Interrupt transfers the key NAKs, oldest first, each with the bus's
  // cancel routine set.
  std::vector<PIRP> waiting;
};

struct Work {
  PIRP irp;
  KeyState* state;
  bool execute;  // carry the request out first (a released held request)
};

struct Bus {
  std::mutex mutex;  // guards everything below and every KeyState
  std::condition_variable cv;
  std::map<PDEVICE_OBJECT, std::unique_ptr<KeyState>> keys;
  PDRIVER_OBJECT driver = nullptr;
  std::multimap<Clock::time_point, Work> work;  // by completion time, then arrival
  Clock::time_point epoch = Clock::now();       // frame 0 of the bus
  size_t plugs = 0;                             // keys plugged since the bus was loaded
  std::map<size_t, std::vector<Fault>> plugFaults;
  std::map<size_t, std::vector<WireRecord>> retiredTraces;  // of deleted PDOs
  std::thread worker;
  bool stopping = false;
};

Bus& TheBus() {
  static Bus bus;
  return bus;
}

KeyState* Find(PDEVICE_OBJECT pdo) {
  auto& bus = TheBus();
  auto it = bus.keys.find(pdo);
  return it == bus.keys.end() ? nullptr : it->second.get();
}

KeyState& Get(PDEVICE_OBJECT pdo) {
  KeyState* state = Find(pdo);
  if (!state) {
    std::fprintf(stderr, "sim::usb: %p is not a PDO of the bus\n", static_cast<void*>(pdo));
    std::abort();
  }
  return *state;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---- The URB interface ---------------------------------------------------------

bool IsIoctl(PIO_STACK_LOCATION stack, ULONG code) {
  return stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
         stack->Parameters.DeviceIoControl.IoControlCode == code;
}

// What a request is, before it is carried out.
WireRecord Describe(PIRP irp) {
  WireRecord r;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (IsIoctl(stack, IOCTL_INTERNAL_USB_RESET_PORT)) {
    r.kind = Kind::ResetPort;
    r.function = 0xFFFF;
    return r;
  }
  auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (!IsIoctl(stack, IOCTL_INTERNAL_USB_SUBMIT_URB) || !urb)
    return r;
  r.function = urb->UrbHeader.Function;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& d = urb->UrbControlDescriptorRequest;
      r.kind = Kind::GetDescriptor;
      r.descriptorType = d.DescriptorType;
      r.index = d.Index;
      r.value = d.LanguageId;
      r.length = d.TransferBufferLength;
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
      r.kind = urb->UrbSelectConfiguration.ConfigurationDescriptor ? Kind::SelectConfiguration
                                                                   : Kind::Unconfigure;
      r.length = urb->UrbHeader.Length;
      break;
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto& v = urb->UrbControlVendorClassRequest;
      r.kind = USBD_TRANSFER_DIRECTION_FLAG(v.TransferFlags) ? Kind::VendorIn : Kind::VendorOut;
      r.requestTypeBits = v.RequestTypeReservedBits;
      r.request = v.Request;
      r.value = v.Value;
      r.index = v.Index;
      r.flags = v.TransferFlags;
      r.length = v.TransferBufferLength;
      if (r.kind == Kind::VendorOut && v.TransferBuffer)
        r.data.assign(static_cast<PUCHAR>(v.TransferBuffer),
                      static_cast<PUCHAR>(v.TransferBuffer) + v.TransferBufferLength);
      break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& t = urb->UrbBulkOrInterruptTransfer;
      r.kind = Kind::Interrupt;
      r.pipe = t.PipeHandle;
      r.flags = t.TransferFlags;
      r.length = t.TransferBufferLength;
      break;
    }
    case URB_FUNCTION_ABORT_PIPE:
      r.kind = Kind::AbortPipe;
      r.pipe = urb->UrbPipeRequest.PipeHandle;
      break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
      r.kind = Kind::ResetPipe;
      r.pipe = urb->UrbPipeRequest.PipeHandle;
      break;
    default:
      break;
  }
  return r;
}

// Carries a request out on the key. Called with the bus lock held.
keyport::Outcome Execute(KeyState& s, PIRP irp, WireRecord& r) {
  if (r.kind == Kind::ResetPort)
    return s.port.Reset();
  auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (r.kind == Kind::GetDescriptor && s.overrideDescriptors && s.port.Plugged() &&
      r.descriptorType <= USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    auto& d = urb->UrbControlDescriptorRequest;
    const auto& bytes = r.descriptorType == USB_DEVICE_DESCRIPTOR_TYPE ? s.deviceDescriptor
                                                                       : s.configurationDescriptor;
    d.TransferBufferLength = std::min<ULONG>(d.TransferBufferLength, bytes.size());
    if (d.TransferBufferLength > 0)
      std::memcpy(d.TransferBuffer, bytes.data(), d.TransferBufferLength);
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return {STATUS_SUCCESS, USBD_STATUS_SUCCESS};
  }
  if (r.kind == Kind::Other)
    return keyport::Port::Fail(urb, {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION});
  return s.port.Submit(urb);
}

// What moved, as the URB reports it after the request.
void RecordTransfer(PIRP irp, WireRecord& r) {
  auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  PUCHAR buffer = nullptr;
  switch (r.kind) {
    case Kind::GetDescriptor:
      r.transferred = urb->UrbControlDescriptorRequest.TransferBufferLength;
      break;
    case Kind::VendorOut:
      r.transferred = urb->UrbControlVendorClassRequest.TransferBufferLength;
      break;
    case Kind::VendorIn:
      r.transferred = urb->UrbControlVendorClassRequest.TransferBufferLength;
      buffer = static_cast<PUCHAR>(urb->UrbControlVendorClassRequest.TransferBuffer);
      break;
    case Kind::Interrupt:
      r.transferred = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      buffer = static_cast<PUCHAR>(urb->UrbBulkOrInterruptTransfer.TransferBuffer);
      break;
    default:
      return;
  }
  if (buffer)
    r.data.assign(buffer, buffer + r.transferred);
}

// A planned failure for this request, if any. Called with the bus lock held.
bool TakeFault(KeyState& s, Kind kind, Fault* taken) {
  return TakePlannedFault(
      s.faults, [kind](const Fault& f) { return f.kind == kind; }, taken);
}

// ---- Transfers the key NAKs -----------------------------------------------------
//
// An interrupt IN transfer that the key NAKs stays with the bus, cancelable,
// until the key has a report (after its next command), until its sender
// cancels it, an abort-pipe for its pipe or a port reset ends it
// (STATUS_CANCELLED, USBD_STATUS_CANCELED), or the key leaves
// (STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE). It completes from the
// bus's completion thread, as a transfer does when the host controller ends it.

void Queue(KeyState& s, PIRP irp, bool execute, Clock::time_point due);
Clock::time_point Due(KeyState& s, const WireRecord& r, Clock::time_point now);

PURB UrbOf(PIRP irp) {
  return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

// Records how a waiting transfer ended: `r` describes it as it was sent, `o`
// is already in its URB. Returns when its completion is due.
Clock::time_point RecordEnd(KeyState& s, PIRP irp, WireRecord r, keyport::Outcome o) {
  RecordTransfer(irp, r);
  r.status = o.status;
  r.usbdStatus = o.usbd;
  const auto now = Clock::now();
  const auto due = s.timing.enabled ? Due(s, r, now) : now + kPendingDelay;
  s.trace.push_back(std::move(r));
  irp->IoStatus.Status = o.status;
  return due;
}

// Ends a waiting transfer with a failure (IoStatus.Status holds it then).
Clock::time_point RecordFailure(KeyState& s, PIRP irp, keyport::Outcome o) {
  WireRecord r = Describe(irp);
  keyport::Port::Fail(UrbOf(irp), o);
  return RecordEnd(s, irp, std::move(r), o);
}

// Fails a waiting transfer and queues its completion.
void EndWaiting(KeyState& s, PIRP irp, keyport::Outcome o) {
  Queue(s, irp, false, RecordFailure(s, irp, o));
}

// Takes a waiting transfer back from its cancel routine; false when the
// routine is already running (it then ends the transfer itself).
bool Reclaim(PIRP irp) {
  return IoSetCancelRoutine(irp, nullptr) != nullptr;
}

VOID NTAPI CancelWaiting(PDEVICE_OBJECT device, PIRP irp);

// Lets the transfer's sender cancel it while it waits; false when it was
// cancelled before that (the caller then ends it).
bool Arm(PIRP irp) {
  IoSetCancelRoutine(irp, CancelWaiting);
  return !(irp->Cancel && Reclaim(irp));
}

// Fails the waiting transfers for which `matches` holds.
template <typename Match>
void EndWaitingWhere(KeyState& s, keyport::Outcome o, Match matches) {
  for (auto it = s.waiting.begin(); it != s.waiting.end();) {
    if (matches(*it) && Reclaim(*it)) {
      PIRP irp = *it;
      it = s.waiting.erase(it);
      EndWaiting(s, irp, o);
    } else {
      ++it;
    }
  }
}

void EndAllWaiting(KeyState& s, keyport::Outcome o) {
  EndWaitingWhere(s, o, [](PIRP) { return true; });
}

// Hands the key's report to the oldest waiting transfer. One that took a full
// packet and asked for more goes on waiting, with the bytes it has.
void ServeWaiting(KeyState& s) {
  for (auto it = s.waiting.begin(); it != s.waiting.end() && s.port.Key().ReportReady();) {
    PIRP irp = *it;
    if (!Reclaim(irp)) {
      ++it;  // its cancel routine is ending it
      continue;
    }
    WireRecord r = Describe(irp);
    const keyport::Outcome o = s.port.Continue(UrbOf(irp));
    if (o.status == STATUS_PENDING) {
      if (Arm(irp)) {
        ++it;
        continue;
      }
      it = s.waiting.erase(it);
      EndWaiting(s, irp, keyport::kCancelled);
      continue;
    }
    it = s.waiting.erase(it);
    Queue(s, irp, false, RecordEnd(s, irp, std::move(r), o));
  }
}

// A key that completes in the caller's thread has its cancelled transfer
// completed here, inside IoCancelIrp, as a hub driver may do; otherwise the
// completion follows later from the bus's thread.
VOID NTAPI CancelWaiting(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    std::lock_guard<std::mutex> lock(TheBus().mutex);
    KeyState* s = Find(device);
    if (!s)
      return;
    auto it = std::find(s->waiting.begin(), s->waiting.end(), irp);
    if (it == s->waiting.end())
      return;
    s->waiting.erase(it);
    if (s->completion != Completion::Synchronous || s->timing.enabled) {
      EndWaiting(*s, irp, keyport::kCancelled);
      return;
    }
    RecordFailure(*s, irp, keyport::kCancelled);
  }
  Complete(irp, irp->IoStatus.Status, 0);
}

// A held request is cancelable as any request pending at a hub: cancelled,
// it ends at once with the hub's cancelled status.
void EndHeldCancelled(PDEVICE_OBJECT device, PIRP irp) {
  const bool reset = IsIoctl(IoGetCurrentIrpStackLocation(irp), IOCTL_INTERNAL_USB_RESET_PORT);
  {
    std::lock_guard<std::mutex> lock(TheBus().mutex);
    KeyState* s = Find(device);
    if (s && s->held == irp)
      s->held = nullptr;
    if (!reset)
      keyport::Port::Fail(UrbOf(irp), keyport::kCancelled);
    if (s) {
      WireRecord r = Describe(irp);
      if (!reset)
        RecordTransfer(irp, r);
      r.status = keyport::kCancelled.status;
      r.usbdStatus = keyport::kCancelled.usbd;
      s->trace.push_back(std::move(r));
    }
  }
  Complete(irp, keyport::kCancelled.status);
}

VOID NTAPI CancelHeld(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  EndHeldCancelled(device, irp);
}

// The held request, taken back from its cancel routine; null when there is
// none or the routine is already ending it. Called with the bus lock held.
PIRP TakeHeld(KeyState& s) {
  PIRP irp = s.held;
  if (irp == nullptr || (s.holdCancelable && !Reclaim(irp)))
    return nullptr;
  s.held = nullptr;
  return irp;
}

// Keeps a transfer the key NAKs. Called with the bus lock held.
void Wait(KeyState& s, PIRP irp) {
  IoMarkIrpPending(irp);
  s.waiting.push_back(irp);
  TheBus().cv.notify_all();
  if (!Arm(irp)) {  // cancelled before it could wait
    s.waiting.pop_back();
    EndWaiting(s, irp, keyport::kCancelled);
  }
}

// What a finished request does to the transfers that wait.
void AfterRequest(KeyState& s, Kind kind, PIRP irp, NTSTATUS status) {
  if (status != STATUS_SUCCESS)
    return;
  if (kind == Kind::VendorOut) {
    ServeWaiting(s);
  } else if (kind == Kind::ResetPort) {
    EndAllWaiting(s, keyport::kCancelled);
  } else if (kind == Kind::AbortPipe) {
    const USBD_PIPE_HANDLE pipe = UrbOf(irp)->UrbPipeRequest.PipeHandle;
    EndWaitingWhere(s, keyport::kCancelled,
                    [&](PIRP w) { return keyport::Port::PipeOf(UrbOf(w)) == pipe; });
  }
}

// Runs a request to its end under the bus lock; returns its status, or
// STATUS_PENDING for a transfer that now waits for the key.
NTSTATUS Process(KeyState& s, PIRP irp) {
  WireRecord r = Describe(irp);
  Fault fault;
  keyport::Outcome o;
  if (s.port.Plugged() && TakeFault(s, r.kind, &fault)) {
    if (fault.halt)
      s.port.Key().Halt();
    o = {fault.status, fault.usbdStatus};
    if (r.kind != Kind::ResetPort)
      keyport::Port::Fail(
          static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1), o);
  } else {
    o = Execute(s, irp, r);
  }
  if (o.status == STATUS_PENDING) {
    Wait(s, irp);  // recorded when it ends
    return STATUS_PENDING;
  }
  if (r.kind != Kind::ResetPort)
    RecordTransfer(irp, r);
  r.status = o.status;
  r.usbdStatus = o.usbd;
  const Kind kind = r.kind;
  s.trace.push_back(std::move(r));
  AfterRequest(s, kind, irp, o.status);
  return o.status;
}

void WorkerLoop() {
  auto& bus = TheBus();
  std::unique_lock<std::mutex> lock(bus.mutex);
  for (;;) {
    if (bus.work.empty()) {
      if (bus.stopping)
        return;
      bus.cv.wait(lock);
      continue;
    }
    auto first = bus.work.begin();
    if (!bus.stopping && Clock::now() < first->first) {
      bus.cv.wait_until(lock, first->first);
      continue;
    }
    Work w = first->second;
    bus.work.erase(first);
    NTSTATUS status = w.execute ? Process(*w.state, w.irp) : w.irp->IoStatus.Status;
    if (status == STATUS_PENDING)
      continue;  // waits for the key now
    lock.unlock();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Complete(w.irp, status, 0);
    KeLowerIrql(old);
    lock.lock();
  }
}

void Queue(KeyState& s, PIRP irp, bool execute, Clock::time_point due) {
  auto& bus = TheBus();
  bus.work.emplace(due, Work{irp, &s, execute});
  bus.cv.notify_all();
}

void Queue(KeyState& s, PIRP irp, bool execute) {
  Queue(s, irp, execute, Clock::now() + kPendingDelay);
}

// ---- The timing model ----------------------------------------------------------
//
// Full speed: 1 ms frames, 12 Mbit/s; high speed: 125 us microframes,
// 480 Mbit/s. A control transfer sends its setup, data and status packets
// (data in packets of the key's endpoint-0 size) at wire speed once the
// default pipe is free, waits for the key's answer if it reads one, and
// completes at the next frame boundary. An interrupt transfer completes at
// the first boundary of the endpoint's polling period once the key has
// something to report. Keys do not share bandwidth.

nanoseconds FrameLength(const Timing& t) {
  return t.highSpeed ? nanoseconds(125000) : nanoseconds(1000000);
}

nanoseconds PacketTime(const Timing& t, uint32_t bytes) {
  const uint64_t bits = (static_cast<uint64_t>(bytes) + 13) * 8;  // with token, CRC, handshake
  return nanoseconds(bits * 1000 / (t.highSpeed ? 480 : 12));
}

Clock::time_point NextBoundary(Clock::time_point t, nanoseconds period) {
  const auto& epoch = TheBus().epoch;
  const auto since = std::chrono::duration_cast<nanoseconds>(t - epoch);
  const auto periods = (since.count() + period.count() - 1) / period.count();
  return epoch + nanoseconds(periods * period.count());
}

// The endpoint's polling period: full speed rounds bInterval (ms) down to a
// power of two up to 32; high speed uses 2^(bInterval-1) microframes.
nanoseconds PollingPeriod(const Timing& t, uint8_t interval) {
  if (t.highSpeed) {
    const unsigned exponent = interval < 1 ? 0 : (interval > 16 ? 15 : interval - 1);
    return nanoseconds(125000) * (1u << exponent);
  }
  unsigned ms = 1;
  while (ms * 2 <= interval && ms < 32)
    ms *= 2;
  return nanoseconds(1000000) * ms;
}

Clock::time_point Due(KeyState& s, const WireRecord& r, Clock::time_point now) {
  const Timing& t = s.timing;
  const auto frame = FrameLength(t);
  if (r.kind == Kind::ResetPort)
    return now + kPortResetTime;
  if (r.kind == Kind::Interrupt) {
    const auto& c = s.port.Key().Config();
    const uint8_t interval = c.endpointCount ? c.endpoints[0].interval : 1;
    return NextBoundary(std::max(now, s.answerReady), PollingPeriod(t, interval));
  }
  const uint32_t mps = std::max<uint32_t>(s.port.Key().Config().maxPacketSize0, 8);
  const uint32_t dataPackets = (r.length + mps - 1) / mps;
  auto done = std::max(now, s.pipeFree) + PacketTime(t, 8) + PacketTime(t, 0) +
              PacketTime(t, mps) * dataPackets;
  if (r.kind == Kind::VendorIn)
    done = std::max(done, s.answerReady);
  const auto due = NextBoundary(done, frame);
  s.pipeFree = due;
  if (r.kind == Kind::VendorOut)
    s.answerReady = due + microseconds(t.answerTimeUs);
  return due;
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
  if (s.holdArmed && s.holdKind == kind && !s.held) {
    s.holdArmed = false;
    s.held = irp;
    IoMarkIrpPending(irp);
    if (s.holdCancelable)
      IoSetCancelRoutine(irp, CancelHeld);
    bus.cv.notify_all();
    if (s.holdCancelable && irp->Cancel && TakeHeld(s)) {  // cancelled before it was held
      lock.unlock();
      EndHeldCancelled(device, irp);
    }
    return STATUS_PENDING;
  }
  if (s.timing.enabled) {
    const auto now = Clock::now();
    irp->IoStatus.Status = Process(s, irp);
    if (irp->IoStatus.Status == STATUS_PENDING)
      return STATUS_PENDING;
    IoMarkIrpPending(irp);
    Queue(s, irp, false, Due(s, s.trace.back(), now));
    return STATUS_PENDING;
  }
  if (s.completion == Completion::Pending) {
    irp->IoStatus.Status = Process(s, irp);
    if (irp->IoStatus.Status == STATUS_PENDING)
      return STATUS_PENDING;
    IoMarkIrpPending(irp);
    Queue(s, irp, false);
    return STATUS_PENDING;
  }
  NTSTATUS status = Process(s, irp);
  if (status == STATUS_PENDING)
    return STATUS_PENDING;
  lock.unlock();
  return Complete(irp, status);
}

// ---- Plug and Play and power of the PDOs ------------------------------------------

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
      bool plugged;
      {
        std::lock_guard<std::mutex> lock(TheBus().mutex);
        KeyState& s = Get(device);
        plugged = s.port.Plugged();
      }
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
    default: {
      // Not ours to answer: completed as it came.
      NTSTATUS status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
    return Complete(irp, STATUS_SUCCESS);
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT, PIRP irp) {
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace

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

namespace {

// Plug and Play, power and system control are recorded and may be answered by plan.
NTSTATUS NTAPI DispatchPnpRecorded(PDEVICE_OBJECT device, PIRP irp) {
  return requests::Dispatch(device, irp, DispatchPnp);
}
NTSTATUS NTAPI DispatchPowerRecorded(PDEVICE_OBJECT device, PIRP irp) {
  return requests::Dispatch(device, irp, DispatchPower);
}
NTSTATUS NTAPI DispatchSystemControlRecorded(PDEVICE_OBJECT device, PIRP irp) {
  return requests::Dispatch(device, irp, requests::AnswerSystemControl);
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
  if (bus.worker.joinable())
    bus.worker.join();
  requests::FinishPending();
  for (PIRP irp : held)
    Complete(irp, STATUS_CANCELLED);
  std::vector<PIRP> waiting;
  {
    std::lock_guard<std::mutex> lock(bus.mutex);
    for (auto& [pdo, state] : bus.keys) {
      for (PIRP irp : state->waiting)
        if (Reclaim(irp))
          waiting.push_back(irp);
      state->waiting.clear();
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
  bus.work.clear();
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

KeyConfig WithInfoBlock(KeyConfig c, uint8_t versionHigh, uint8_t versionLow) {
  const uint8_t historical[] = {0x4B, versionHigh, versionLow, 0x54, 0x56, 0x34};
  keymodel::MakeInfoBlock(&c, historical, sizeof(historical));
  return c;
}

KeyConfig Key(uint16_t vendor, uint16_t product, uint16_t revision) {
  KeyConfig c;
  c.vendorId = vendor;
  c.productId = product;
  c.bcdDevice = revision;
  c.serial = 0x4B000000u | static_cast<uint32_t>(product) << 8 | (revision >> 8);
  c.secret = 0x5EC2E7u ^ product;
  return c;
}

}  // namespace

KeyConfig PrimaryKey() {
  return WithInfoBlock(Key(0x7E31, 0x5A3C, 0x0400), 0x04, 0x00);
}
KeyConfig LegacyPrimaryKey() {
  return WithInfoBlock(Key(0x7E21, 0x0014, 0x0300), 0x02, 0x05);
}
KeyConfig SecondaryKey() {
  return WithInfoBlock(Key(0x7E21, 0x0013, 0x0100), 0x01, 0x00);
}
KeyConfig UnrecognisedKey() {
  return Key(0x7E21, 0x0015, 0x0100);
}

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
  if (!bus.worker.joinable())
    bus.worker = std::thread(WorkerLoop);
  return driver;
}

PDRIVER_OBJECT BusDriver() {
  return TheBus().driver;
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
  state->pdo = pdo;
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
  auto& bus = TheBus();
  PIRP held = nullptr;
  {
    std::lock_guard<std::mutex> lock(bus.mutex);
    KeyState& s = Get(pdo);
    s.port.Unplug();
    EndAllWaiting(s, keyport::kDeviceGone);
    held = TakeHeld(s);
    if (held)
      Queue(s, held, true);  // fails now: the device is gone
  }
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

void PlanForPlug(size_t plugIndex, const Fault& fault) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  if (!fault.rule.Spent())
    TheBus().plugFaults[plugIndex].push_back(fault);
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

void AddFault(PDEVICE_OBJECT pdo, const Fault& fault) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  if (!fault.rule.Spent())
    Get(pdo).faults.push_back(fault);
}

void ClearFaults(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  Get(pdo).faults.clear();
}

void HoldNext(PDEVICE_OBJECT pdo, Kind kind, bool cancelable) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  KeyState& s = Get(pdo);
  s.holdArmed = true;
  s.holdCancelable = cancelable;
  s.holdKind = kind;
}

bool WaitUntilHeld(PDEVICE_OBJECT pdo, int timeoutMs) {
  auto& bus = TheBus();
  std::unique_lock<std::mutex> lock(bus.mutex);
  return bus.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    KeyState* s = Find(pdo);
    return s && s->held;
  });
}

void ReleaseHeld(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  KeyState& s = Get(pdo);
  if (PIRP held = TakeHeld(s))
    Queue(s, held, true);
}

void CompleteHeld(PDEVICE_OBJECT pdo) {
  std::unique_lock<std::mutex> lock(TheBus().mutex);
  PIRP held = TakeHeld(Get(pdo));
  if (!held)
    return;
  const NTSTATUS status = Process(Get(pdo), held);
  lock.unlock();
  if (status != STATUS_PENDING)
    Complete(held, status);
}

size_t Waiting(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  return Get(pdo).waiting.size();
}

bool WaitUntilWaiting(PDEVICE_OBJECT pdo, size_t count, int timeoutMs) {
  auto& bus = TheBus();
  std::unique_lock<std::mutex> lock(bus.mutex);
  return bus.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    KeyState* s = Find(pdo);
    return s && s->waiting.size() >= count;
  });
}

const keymodel::Key& KeyOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(TheBus().mutex);
  return Get(pdo).port.Key();
}

const char* KindName(Kind kind) {
  static const char* const names[] = {
      "get-descriptor", "select-configuration", "unconfigure", "vendor-out", "vendor-in",
      "interrupt",      "abort-pipe",           "reset-pipe",  "reset-port", "other"};
  return names[static_cast<int>(kind)];
}

std::string WireRecord::Text() const {
  char head[160];
  switch (kind) {
    case Kind::VendorOut:
    case Kind::VendorIn:
      std::snprintf(head, sizeof(head), "%s %02X %02X %04X %04X len=%u got=%u", KindName(kind),
                    requestTypeBits, request, value, index, length, transferred);
      break;
    case Kind::GetDescriptor:
      std::snprintf(head, sizeof(head), "%s type=%u len=%u got=%u", KindName(kind), descriptorType,
                    length, transferred);
      break;
    case Kind::Interrupt:
      std::snprintf(head, sizeof(head), "%s len=%u got=%u", KindName(kind), length, transferred);
      break;
    default:
      std::snprintf(head, sizeof(head), "%s", KindName(kind));
      break;
  }
  std::string text = head;
  if (status != STATUS_SUCCESS) {
    char failure[48];
    std::snprintf(failure, sizeof(failure), " status=%08X usbd=%08X", static_cast<unsigned>(status),
                  static_cast<unsigned>(usbdStatus));
    text += failure;
  }
  if (!data.empty() && kind != Kind::GetDescriptor) {
    text += " data=";
    char byte[4];
    for (size_t i = 0; i < data.size() && i < 32; ++i) {
      std::snprintf(byte, sizeof(byte), "%02X", data[i]);
      text += byte;
    }
    if (data.size() > 32)
      text += "...";
  }
  return text;
}

}  // namespace sim::usb
