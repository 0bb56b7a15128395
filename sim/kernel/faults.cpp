// The fault plan: one question for every injectable call.
#include "sim/kernel/faults.h"

#include <mutex>

namespace sim::faults {
namespace {

struct Planned {
  Kind kind;
  std::optional<ULONG> tag;
  FaultRule rule;
  std::optional<NTSTATUS> status;  // what the failed call returns, if not its usual failure
};

std::mutex gMutex;
std::vector<Planned> gRules;
std::vector<Point> gRecorded;
uint64_t gCounts[static_cast<size_t>(Kind::Count_)] = {};
uint64_t gFailed = 0;
thread_local std::optional<NTSTATUS> tLastStatus;
std::function<void(const Point&)> gHook;

bool Matches(const Planned& planned, Kind kind, ULONG tag) {
  return planned.kind == kind && (!planned.tag || *planned.tag == tag);
}

}  // namespace

const char* Name(Kind kind) {
  switch (kind) {
    case Kind::PoolAllocation:
      return "PoolAllocation";
    case Kind::CreateDevice:
      return "CreateDevice";
    case Kind::RegisterInterface:
      return "RegisterInterface";
    case Kind::SetInterfaceState:
      return "SetInterfaceState";
    case Kind::AttachDevice:
      return "AttachDevice";
    case Kind::CreateSystemThread:
      return "CreateSystemThread";
    case Kind::RequestPowerIrp:
      return "RequestPowerIrp";
    case Kind::BuildRequest:
      return "BuildRequest";
    case Kind::ErrorLogEntry:
      return "ErrorLogEntry";
    case Kind::Count_:
      break;
  }
  return "?";
}

bool ShouldFail(Kind kind, ULONG tag) {
  std::unique_lock<std::mutex> lock(gMutex);
  uint64_t ordinal = ++gCounts[static_cast<size_t>(kind)];
  gRecorded.push_back(Point{kind, ordinal, tag});
  if (gHook) {
    auto hook = gHook;
    lock.unlock();
    hook(Point{kind, ordinal, tag});
    lock.lock();
  }
  bool fail = false;
  tLastStatus.reset();
  for (auto& planned : gRules) {
    if (!Matches(planned, kind, tag))
      continue;
    if (planned.rule.Take()) {
      fail = true;
      if (planned.status)
        tLastStatus = planned.status;
    }
  }
  if (fail)
    ++gFailed;
  return fail;
}

void Fail(Kind kind, FaultRule rule, std::optional<ULONG> tag) {
  std::lock_guard<std::mutex> lock(gMutex);
  gRules.push_back(Planned{kind, tag, rule, std::nullopt});
}

void FailWith(Kind kind, FaultRule rule, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(gMutex);
  gRules.push_back(Planned{kind, std::nullopt, rule, status});
}

NTSTATUS FailureStatus(NTSTATUS usual) {
  return tLastStatus.value_or(usual);
}

void FailEvery(Kind kind, std::optional<ULONG> tag) {
  Fail(kind, FaultRule{0, FaultRule::kEvery}, tag);
}

void ClearRules() {
  std::lock_guard<std::mutex> lock(gMutex);
  gRules.clear();
}

void SetHook(std::function<void(const Point&)> hook) {
  std::lock_guard<std::mutex> lock(gMutex);
  gHook = std::move(hook);
}

void Reset() {
  std::lock_guard<std::mutex> lock(gMutex);
  gHook = nullptr;
  gRules.clear();
  gRecorded.clear();
  for (auto& c : gCounts)
    c = 0;
  gFailed = 0;
}

std::vector<Point> Recorded() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gRecorded;
}

uint64_t CallCount(Kind kind) {
  std::lock_guard<std::mutex> lock(gMutex);
  return gCounts[static_cast<size_t>(kind)];
}

uint64_t FailedCount() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gFailed;
}

}  // namespace sim::faults
