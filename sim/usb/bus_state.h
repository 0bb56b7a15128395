// The simulated bus's own state, shared by the files that make up the bus
// driver: one record per plugged key, everything under one lock, and the
// routines one part of the bus calls in another. Not for use outside sim/usb.
#pragma once
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/kernel/clock.h"
#include "sim/usb/bus.h"
#include "sim/usb/port.h"
#include "sim/usb/timed_queue.h"
#include "sim/usb/waiting_transfers.h"

namespace sim::usb::internal {

// The bus keeps its time on the kernel's clock.
using Clock = sim::clock::KernelClock;

// A request that the bus completes later, when nothing else sets the time.
constexpr auto kPendingDelay = std::chrono::microseconds(200);
constexpr auto kPortResetTime = std::chrono::milliseconds(10);

struct KeyState {
  KeyState() { waiting.Init(); }
  KeyState(const KeyState&) = delete;
  KeyState& operator=(const KeyState&) = delete;

  keyport::Port port;
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
  Clock::time_point due{};          // when the request just carried out completes, if later
  // Started by a start that succeeded, until a stop: a hub refuses URBs to a
  // port whose device it has not started.
  bool started = false;
  bool holdArmed = false;
  bool holdCancelable = true;
  Kind holdKind = Kind::Other;
  PIRP held = nullptr;
  // Interrupt transfers the key NAKs, oldest first, each with the bus's
  // cancel routine set.
  keyport::WaitingTransfers waiting;
};

struct Work {
  PIRP irp;
  KeyState* state;
  bool execute;  // carry the request out first (a released held request)
};

struct Bus {
  std::mutex mutex;            // guards everything below and every KeyState
  std::condition_variable cv;  // a request held or waiting, for the tests that wait for one
  std::map<PDEVICE_OBJECT, std::unique_ptr<KeyState>> keys;
  PDRIVER_OBJECT driver = nullptr;
  TimedQueue<Work> work;      // what the bus completes later
  Clock::time_point epoch{};  // frame 0 of the bus
  size_t plugs = 0;           // keys plugged since the bus was loaded
  std::map<size_t, std::vector<Fault>> plugFaults;
  std::map<size_t, std::vector<WireRecord>> retiredTraces;  // of deleted PDOs
  bool stopping = false;                                    // unloading: nothing more is timed
};

Bus& TheBus();
KeyState* Find(PDEVICE_OBJECT pdo);
KeyState& Get(PDEVICE_OBJECT pdo);  // aborts for a device that is no PDO of the bus
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// URBs (bus_urbs.cpp).
bool IsIoctl(PIO_STACK_LOCATION stack, ULONG code);
using keyport::UrbOf;
// What a request is, before it is carried out.
WireRecord Describe(PIRP irp);
// Carries a request out on the key. Called with the bus lock held.
keyport::Outcome Execute(KeyState& s, PIRP irp, WireRecord& r);
// What moved, as the URB reports it after the request.
void RecordTransfer(PIRP irp, WireRecord& r);
// Records the end of the request `r` describes on the key's wire trace: what
// moved and its outcome `o`. Called with the bus lock held.
const WireRecord& RecordEnd(KeyState& s, PIRP irp, WireRecord r, keyport::Outcome o);

// The control channel (bus_control.cpp): runs a request to its end under the
// bus lock; returns its status, or STATUS_PENDING for a transfer that now
// waits for the key.
NTSTATUS Process(KeyState& s, PIRP irp);
NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp);

// The hold hook (bus_hold.cpp): keeps the request if one of its kind is
// awaited; true when it did (the request is pending then). Called with the
// bus lock held in `lock`, which it may release.
bool Hold(PDEVICE_OBJECT device, KeyState& s, PIRP irp, Kind kind,
          std::unique_lock<std::mutex>& lock);
// The held request, taken back from its cancel routine; null when there is
// none or the routine is already ending it. Called with the bus lock held.
PIRP TakeHeld(KeyState& s);

// Transfers the key NAKs (bus_waiting.cpp). Called with the bus lock held.
void Wait(KeyState& s, PIRP irp);
void EndAllWaiting(KeyState& s, keyport::Outcome o);
// What a finished request does to the transfers that wait.
void AfterRequest(KeyState& s, PIRP irp, Kind kind, NTSTATUS status);

// Completion later (bus_completion.cpp): by the bus's timer DPC, at
// DISPATCH_LEVEL, once the kernel's clock reaches `due`; with `execute`, the
// request is carried out then. Called with the bus lock held.
void Queue(KeyState& s, PIRP irp, bool execute, Clock::time_point due);
void Queue(KeyState& s, PIRP irp, bool execute);
void StartCompletions();   // at load
void FinishCompletions();  // at unload: completes at once what is still queued

// The timing model (bus_timing.cpp): when a request that ends now completes.
// Without the model, a request the bus completes later is due kPendingDelay
// from now.
Clock::time_point Due(KeyState& s, const WireRecord& r);

}  // namespace sim::usb::internal
