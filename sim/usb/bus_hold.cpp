// The simulated bus's hold hook: a request of the awaited kind stays pending
// at the bus until a test releases or completes it, or its sender cancels it.
#include "sim/usb/bus_state.h"

namespace sim::usb {
namespace internal {
namespace {

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
    if (s)
      RecordEnd(*s, irp, Describe(irp), keyport::kCancelled);
  }
  Complete(irp, keyport::kCancelled.status);
}

VOID NTAPI CancelHeld(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  EndHeldCancelled(device, irp);
}

}  // namespace

PIRP TakeHeld(KeyState& s) {
  PIRP irp = s.held;
  if (irp == nullptr || (s.holdCancelable && IoSetCancelRoutine(irp, nullptr) == nullptr))
    return nullptr;
  s.held = nullptr;
  return irp;
}

bool Hold(PDEVICE_OBJECT device, KeyState& s, PIRP irp, Kind kind,
          std::unique_lock<std::mutex>& lock) {
  if (!s.holdArmed || s.holdKind != kind || s.held)
    return false;
  s.holdArmed = false;
  s.held = irp;
  IoMarkIrpPending(irp);
  if (s.holdCancelable)
    IoSetCancelRoutine(irp, CancelHeld);
  TheBus().cv.notify_all();
  if (s.holdCancelable && irp->Cancel && TakeHeld(s)) {  // cancelled before it was held
    lock.unlock();
    EndHeldCancelled(device, irp);
  }
  return true;
}

}  // namespace internal

using namespace internal;

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

}  // namespace sim::usb
