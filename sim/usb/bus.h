// The simulated USB bus: the bus driver below the function driver, one
// physical device object per plugged key, each backed by a key model.
//
// It answers IOCTL_INTERNAL_USB_SUBMIT_URB (descriptors, configuration,
// vendor control transfers, interrupt transfers, abort and reset pipe) and
// IOCTL_INTERNAL_USB_RESET_PORT as the USB stack does, completes Plug and
// Play and power requests as a bus driver does, records every request that
// reaches it (the wire trace) and follows a per-key fault plan. Requests
// complete in the caller's thread or, per key, later from the bus's timer
// DPC at DISPATCH_LEVEL, on the kernel's clock. Plug and Play, power and system
// control requests are recorded and planned in pdo_pnp_power.h.
#pragma once
#include <string>
#include <vector>

#include "sim/fault_rule.h"
#include "sim/kernel/wdm.h"
#include "sim/usb/pdo_pnp_power.h"
#include "sim/usb/key_model.h"
#include "sim/usb/usb.h"

namespace sim::usb {

using KeyConfig = keymodel::KeyConfig;

// Keys of the families the driver knows, and one it does not.
KeyConfig PrimaryKey();        // 7E31:5A3C rev 4.00, signals its answers
KeyConfig LegacyPrimaryKey();  // 7E21:0014 rev 3.00, does not
KeyConfig SecondaryKey();      // 7E21:0013 rev 1.00
KeyConfig UnrecognisedKey();   // 7E21:0015

// Loads the bus driver (once per test; sim::Shutdown unloads it, deleting
// the physical device objects it still owns).
PDRIVER_OBJECT LoadBus();

// A new key on the bus: its physical device object, ready for AddDevice.
PDEVICE_OBJECT Plug(const KeyConfig& config);
// The key leaves the bus: every later request to it fails as for a device
// that is gone; the PDO is deleted at its remove request (or at unload).
void Unplug(PDEVICE_OBJECT pdo);
bool IsPlugged(PDEVICE_OBJECT pdo);
// Whether the PDO still exists (not deleted after its key left).
bool Exists(PDEVICE_OBJECT pdo);

enum class Completion { Synchronous, Pending };
void SetCompletion(PDEVICE_OBJECT pdo, Completion completion);

// The timing model (off by default): transfers complete at USB frame
// boundaries on the kernel's clock, from the bus's timer DPC, as on a real
// full-speed or high-speed port. `answerTimeUs` is how long the key takes to prepare an
// answer after a command.
struct Timing {
  bool enabled = false;
  bool highSpeed = false;
  uint32_t answerTimeUs = 0;
};
void SetTiming(PDEVICE_OBJECT pdo, const Timing& timing);

// Descriptors the key returns instead of its own (at most as many bytes as
// asked for), for keys that lie about themselves.
void SetDescriptors(PDEVICE_OBJECT pdo, const std::vector<UCHAR>& device,
                    const std::vector<UCHAR>& configuration);

// What the bus reports in the device capabilities for each system state
// (indexed by SYSTEM_POWER_STATE, POWER_SYSTEM_MAXIMUM entries).
void SetDeviceStates(PDEVICE_OBJECT pdo, const DEVICE_POWER_STATE* states);

enum class Kind {
  GetDescriptor,
  SelectConfiguration,
  Unconfigure,
  VendorOut,
  VendorIn,
  Interrupt,
  AbortPipe,
  ResetPipe,
  ResetPort,
  Other,
};
const char* KindName(Kind kind);

// One request as it reached the bus, with its outcome.
struct WireRecord {
  Kind kind = Kind::Other;
  USHORT function = 0;  // URB function; 0xFFFF for a port reset
  UCHAR requestTypeBits = 0;
  UCHAR request = 0;
  USHORT value = 0;
  USHORT index = 0;
  UCHAR descriptorType = 0;
  ULONG flags = 0;        // TransferFlags
  ULONG length = 0;       // bytes asked for or offered
  ULONG transferred = 0;  // bytes moved
  USBD_PIPE_HANDLE pipe = nullptr;
  std::vector<UCHAR> data;  // OUT: the bytes sent; IN: the bytes returned
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
  std::string Text() const;
};
std::vector<WireRecord> Trace(PDEVICE_OBJECT pdo);
void ClearTrace(PDEVICE_OBJECT pdo);
// The trace of the plugIndex-th key plugged since the bus was loaded, also
// after its PDO is gone; and how many keys were plugged.
std::vector<WireRecord> TraceOfPlug(size_t plugIndex);
size_t Plugs();

// Fault plan: after `skip` requests of `kind` have gone through, the next
// `count` fail with `status` / `usbdStatus` without reaching the key. With
// `halt`, the key also stalls everything from then on until its port is reset.
struct Fault {
  Kind kind = Kind::Other;
  sim::FaultRule rule;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  USBD_STATUS usbdStatus = USBD_STATUS_STALL_PID;
  bool halt = false;
};
void AddFault(PDEVICE_OBJECT pdo, const Fault& fault);
// Faults planned for a key not plugged yet: the plugIndex-th key plugged
// since the bus was loaded (0-based) starts with them.
void PlanForPlug(size_t plugIndex, const Fault& fault);
void ClearFaults(PDEVICE_OBJECT pdo);

// Hold hook: the next request of `kind` stays pending at the bus until
// ReleaseHeld, which carries it out and completes it. A cancelable held
// request ends at IoCancelIrp with STATUS_CANCELLED, as at a hub; one that is
// not is beyond the reach of a cancel (the hub has already finished it).
void HoldNext(PDEVICE_OBJECT pdo, Kind kind, bool cancelable = true);
bool WaitUntilHeld(PDEVICE_OBJECT pdo, int timeoutMs = 10000);
void ReleaseHeld(PDEVICE_OBJECT pdo);
// Carries the held request out and completes it now, in the calling thread.
// A held request is cancelable: IoCancelIrp ends it with STATUS_CANCELLED.
void CompleteHeld(PDEVICE_OBJECT pdo);

// Interrupt transfers that wait at the bus because the key NAKs them (it has
// nothing to report); WaitUntilWaiting returns once at least `count` wait.
size_t Waiting(PDEVICE_OBJECT pdo);
bool WaitUntilWaiting(PDEVICE_OBJECT pdo, size_t count = 1, int timeoutMs = 10000);

// The key model behind a PDO, for assertions on its state (memory,
// commands). Not for use while requests run.
const keymodel::Key& KeyOf(PDEVICE_OBJECT pdo);

}  // namespace sim::usb
