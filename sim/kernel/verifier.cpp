// Verifier reporting and the end-of-test audit.
#include "sim/kernel/verifier.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "sim/kernel/internal.h"

namespace sim::verifier {
namespace {

const char* const kNames[] = {
    "PoolLeak",
    "PoolDoubleFree",
    "PoolBadFree",
    "PoolTagMismatch",
    "PoolBadIrql",
    "RequestCompletedTwice",
    "RequestCompletedPending",
    "RequestNeverCompleted",
    "RequestUnowned",
    "NoMoreStackLocations",
    "DispatchStatusMismatch",
    "DispatchIrqlChanged",
    "WaitAtDispatch",
    "SpinLockHeldAcrossCall",
    "SpinLockHeldAcrossWait",
    "SpinLockMisuse",
    "MutexNotOwner",
    "InformationOverflow",
    "DeviceInitializing",
    "DetachDuringSurpriseRemoval",
    "DeleteDuringSurpriseRemoval",
    "DeviceDeletedTwice",
    "DeleteWhileAttached",
    "RemoveFailed",
    "PagedCodeAtRaisedIrql",
    "HandleInvalid",
    "HandleLeak",
    "ObjectLeak",
    "ObjectBadReference",
    "ThreadStillRunning",
    "InvalidCall",
    "MutexHeldAtReturn",
    "SpinLockHeldAtReturn",
    "IrqlNotRestoredAtReturn",
    "ExecutablePool",
    "UrbBeforeStart",
    "PnpIrpCompletion",
    "CompleteRequestStatusCheck",
    "PowerDownFail",
    "PowerUpFail",
    "SpinLockSafe",
    "IoBuildDeviceControlWaitTimeout",
    "MarkIrpPending",
    "MarkIrpPending2",
    "PendedCompletedRequest",
    "SignalEventInCompletion",
    "PnpBusRequestAltered",
    "IrqlIoPassive1",
    "IrqlIoPassive3",
    "IrqlIoApcLte",
    "IrqlObPassive",
    "IrqlZwPassive",
    "IrqlPsPassive",
    "IrqlKeApcLte1",
    "IrqlKeDispatchLte",
    "IrqlKeSetEvent",
    "IrqlKeReleaseSpinLock",
    "ForwardedAtBadIrql",
    "IrqlDocumented",
    "IrpProcessingComplete",
    "PowerIrpDDIs",
    "PowerDownAllocate",
    "WmiForward",
    "BuiltRequestWaitApcsDisabled",
    "ErrorLogEntryLeak",
    "ImageRefused",
    "UnloadedWithPendingOperations",
    "KernelStackUse",
};
static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<size_t>(Check::Count_),
              "a name per check");

std::mutex gMutex;
Hook gHook;
std::vector<Violation> gViolations;

}  // namespace

const char* Name(Check check) {
  auto index = static_cast<size_t>(check);
  return index < static_cast<size_t>(Check::Count_) ? kNames[index] : "?";
}

void SetHook(Hook hook) {
  std::lock_guard<std::mutex> lock(gMutex);
  gHook = std::move(hook);
}

void Report(Check check, const std::string& message) {
  Violation violation{check, std::string(Name(check)) + ": " + message};
  Hook hook;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    gViolations.push_back(violation);
    hook = gHook;
  }
  if (hook)
    hook(violation);
  else
    std::fprintf(stderr, "verifier: %s\n", violation.message.c_str());
}

std::vector<Violation> Violations() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gViolations;
}

size_t CountOf(Check check) {
  std::lock_guard<std::mutex> lock(gMutex);
  return std::count_if(gViolations.begin(), gViolations.end(),
                       [check](const Violation& v) { return v.check == check; });
}

void Clear() {
  std::lock_guard<std::mutex> lock(gMutex);
  gViolations.clear();
}

void CheckEndOfTest() {
  detail::EndOfTestThreads();
  for (const auto& line : detail::LiveIrpReport())
    Report(Check::RequestNeverCompleted, line);
  detail::PoolEndOfTest();
  detail::ErrorLogEndOfTest();
  for (const auto& line : detail::LiveObjectReport(true))
    Report(line.rfind("handle", 0) == 0 ? Check::HandleLeak : Check::ObjectLeak, line);
}

std::vector<std::string> LiveRequests() {
  return detail::LiveIrpReport();
}

}  // namespace sim::verifier

namespace sim::detail {

void Violation(Check check, const std::string& message) {
  verifier::Report(check, message);
}

std::string Hex(uint64_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(value));
  return buffer;
}

}  // namespace sim::detail
