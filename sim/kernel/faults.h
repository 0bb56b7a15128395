// Fault injection. Every kernel routine that can fail for want of resources
// asks one question, ShouldFail(kind, tag), before it does its work; a plan
// of rules decides the answer. A reliability sweep first records the fault
// points a scenario passes (kind and ordinal), then reruns the scenario once
// per point, failing it: Fail(kind, {ordinal - 1}).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "sim/fault_rule.h"
#include "sim/kernel/wdm.h"

namespace sim::faults {

enum class Kind {
  PoolAllocation,      // ExAllocatePoolWithTag (tag = the pool tag)
  CreateDevice,        // IoCreateDevice
  RegisterInterface,   // IoRegisterDeviceInterface
  SetInterfaceState,   // IoSetDeviceInterfaceState
  AttachDevice,        // IoAttachDeviceToDeviceStack (returns no device)
  CreateSystemThread,  // PsCreateSystemThread
  RequestPowerIrp,     // PoRequestPowerIrp
  BuildRequest,        // IoBuildDeviceIoControlRequest and IoAllocateIrp (return no request)
  ErrorLogEntry,       // IoAllocateErrorLogEntry (returns no entry)
  Count_
};

const char* Name(Kind kind);

// One call of an injectable routine: its kind, its 1-based ordinal among the
// calls of that kind since the last Reset, and the pool tag (0 for others).
struct Point {
  Kind kind;
  uint64_t ordinal;
  ULONG tag;
};

// The central question. Counts the call, records it, and answers from the plan.
bool ShouldFail(Kind kind, ULONG tag = 0);

// Fail calls from now on that match by `rule`; with a tag only pool
// allocations of that tag match. Every rule counts every matching call.
void Fail(Kind kind, FaultRule rule = {}, std::optional<ULONG> tag = std::nullopt);
// Fail calls of `kind` by `rule` with `status` instead of the routine's usual
// failure (for routines that report a status). A success status makes
// IoRegisterDeviceInterface do its work and return that status.
void FailWith(Kind kind, FaultRule rule, NTSTATUS status);
// In a routine whose ShouldFail just said yes: the status to fail with.
NTSTATUS FailureStatus(NTSTATUS usual);
// Fail every matching call from now on.
void FailEvery(Kind kind, std::optional<ULONG> tag = std::nullopt);
// Drop every rule (recorded points and ordinals stay).
void ClearRules();
// Drop rules, recorded points and ordinals.
void Reset();

// Runs `hook` at every injectable call, in the calling thread, before the
// plan answers: a test can hold a thread at a chosen call while the rest of
// the system goes on. Reset removes it; an empty function does too.
void SetHook(std::function<void(const Point&)> hook);

// The calls seen since the last Reset, in order, and how many of a kind.
std::vector<Point> Recorded();
uint64_t CallCount(Kind kind);
// How many calls the plan has failed since the last Reset.
uint64_t FailedCount();

// Pool tags in memory order, e.g. Tag("kv21").
constexpr ULONG Tag(const char (&s)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(s[0])) |
         (static_cast<ULONG>(static_cast<unsigned char>(s[1])) << 8) |
         (static_cast<ULONG>(static_cast<unsigned char>(s[2])) << 16) |
         (static_cast<ULONG>(static_cast<unsigned char>(s[3])) << 24);
}

}  // namespace sim::faults
