// What a function or filter driver may do while it handles a set-power
// request: PowerIrpDDIs (no routine that only PASSIVE_LEVEL allows: a set-power
// may arrive at DISPATCH_LEVEL, and a device that is not pageable for power
// gets it there) and PowerDownAllocate (no pool while the system goes from S0
// to a sleeping state: the pages may already be on their way out).
#include <cstring>

#include "sim/kernel/internal.h"

namespace sim::detail {
namespace {

// The innermost dispatch routine of this thread when it is a set-power
// request in a driver above the bus driver.
const DispatchFrame* SetPowerAboveTheBus() {
  const auto& frames = Current().frames;
  if (frames.empty())
    return nullptr;
  const DispatchFrame& frame = frames.back();
  if (frame.major != IRP_MJ_POWER || frame.minor != IRP_MN_SET_POWER || !frame.device ||
      !frame.device->DeviceObjectExtension || !frame.device->DeviceObjectExtension->AttachedTo)
    return nullptr;
  return &frame;
}

}  // namespace

void AuditPassiveOnlyCall(const char* routine) {
  if (const DispatchFrame* frame = SetPowerAboveTheBus())
    Violation(Check::PowerIrpDDIs, std::string(routine) + " while device " +
                                       Hex(reinterpret_cast<uintptr_t>(frame->device)) +
                                       " handles a set-power request");
}

void AuditPowerDownAllocation(ULONG tag) {
  const DispatchFrame* frame = SetPowerAboveTheBus();
  if (frame && frame->powerType == SystemPowerState && frame->powerState > PowerSystemWorking) {
    char name[5] = {};
    std::memcpy(name, &tag, 4);
    Violation(Check::PowerDownAllocate,
              std::string("pool (tag \"") + name + "\") asked for while device " +
                  Hex(reinterpret_cast<uintptr_t>(frame->device)) +
                  " handles a system set-power to S" + std::to_string(frame->powerState - 1));
  }
}

}  // namespace sim::detail
