// The Plug and Play, power and system-control requests that reach the bus's
// physical device objects: recorded in order, with the system-wide sequence
// numbers that the power manager's records carry too, and answered by plan
// where a test wants the lower drivers to fail or to take their time.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/fault_rule.h"
#include "sim/kernel/wdm.h"

namespace sim::usb {

// One request as it reached the bus, with the answer the bus gave.
struct BusRequest {
  uint64_t sequence = 0;           // when it reached the bus
  uint64_t completedSequence = 0;  // when the bus completed it (0 while it pends)
  UCHAR major = 0;
  UCHAR minor = 0;
  ULONG powerType = 0;   // set- and query-power: Parameters.Power.Type, as the 32-bit number sent
  ULONG powerState = 0;  // ... and Parameters.Power.State
  NTSTATUS arrivedStatus = 0;        // IoStatus as the request reached the bus ...
  ULONG_PTR arrivedInformation = 0;  // ... set by the sender and the drivers above
  NTSTATUS status = STATUS_PENDING;  // what the bus completed it with
  bool planned = false;              // answered by the plan instead of the bus's own rules
  bool pended = false;               // the bus returned STATUS_PENDING and completed it later
  // "pnp start", "power set system S3", "power query device D2", "system-control 0x00".
  std::string Text() const;
};

// The requests that reached the PDO since it was plugged (or last cleared).
std::vector<BusRequest> BusRequests(PDEVICE_OBJECT pdo);
void ClearBusRequests(PDEVICE_OBJECT pdo);

// Plan for the lower drivers: after `skip` matching requests have gone
// through, the next `count` are answered with `status` instead of what the
// bus would do, at once or (with `pending`) 20 ms later on the kernel's
// clock, from the system worker at DISPATCH_LEVEL, after the bus has returned
// STATUS_PENDING. A pending plan
// with a success status is a lower driver that takes its time.
struct BusFault {
  UCHAR major = IRP_MJ_PNP;
  UCHAR minor = IRP_MN_START_DEVICE;
  std::optional<ULONG> powerType;   // power requests: only of this type ...
  std::optional<ULONG> powerState;  // ... and this state
  sim::FaultRule rule;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  bool pending = false;
};
void AddBusFault(PDEVICE_OBJECT pdo, const BusFault& fault);
void ClearBusFaults(PDEVICE_OBJECT pdo);

// Lower drivers that take their time with everything: while on, each Plug
// and Play and power request that the plan leaves alone gets the bus's own
// answer 20 ms later on the kernel's clock, from the system worker at
// PASSIVE_LEVEL, after the bus has returned STATUS_PENDING.
void SetAnswersLate(PDEVICE_OBJECT pdo, bool late);

// A bus whose capabilities answer clears SurpriseRemovalOK (by default the
// bus leaves the bit as the drivers above set it).
void SetClearsSurpriseRemovalOK(PDEVICE_OBJECT pdo, bool clears);

// What reached the bus on `pdo` merged with the PoSetPowerState and
// PoRequestPowerIrp calls of `fdo`, in the order they happened, from the
// sequence number `after` on. A request the bus pended has a second entry
// where it completed.
struct LogEntry {
  uint64_t sequence = 0;
  std::string text;     // "bus: power set device D3", "PoSetPowerState device D3", ...
  bool answer = false;  // an answer of the bus: `status` is what it completed with
  NTSTATUS status = STATUS_SUCCESS;
};
std::vector<LogEntry> RequestLog(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo, uint64_t after = 0);

namespace requests {

// For the bus driver itself: `own` is the bus's own answer to a request
// that the plan leaves alone.
NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp, PDRIVER_DISPATCH own);
// Completes the request with the status it came with: what a bus driver does
// with a request that is not its to answer, and a PDO without WMI data with
// system control.
NTSTATUS NTAPI AnswerAsItCame(PDEVICE_OBJECT pdo, PIRP irp);
void Forget(PDEVICE_OBJECT pdo);  // a new PDO: nothing recorded, nothing planned
void Reset();                     // the bus is loaded
void FinishPending();             // the bus is unloaded: complete what still pends
// Called just before a request is completed with `status`, for the bus to
// follow the PDO's state (started or not).
void Answered(PDEVICE_OBJECT pdo, PIRP irp, NTSTATUS status);

}  // namespace requests

}  // namespace sim::usb
