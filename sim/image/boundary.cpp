#include "sim/image/boundary.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "sim/image/bug_check.h"
#include "sim/image/image.h"
#include "sim/image/stack_use.h"
#include "sim/kernel/callout.h"

namespace sim::image {
namespace {

// Parameter 3 of bug check 0xD1 for an instruction fetch.
constexpr uint64_t kExecute = 8;

// Whether `address` is pageable code of an image while the IRQL, in *irql,
// is DISPATCH_LEVEL or above.
bool PageableNow(uintptr_t address, KIRQL* irql) {
  Image* image = ImageAt(address);
  *irql = KeGetCurrentIrql();
  return image && *irql >= DISPATCH_LEVEL && image->Pageable(address);
}

[[noreturn]] void PageableAtRaisedIrql(uintptr_t address, KIRQL irql, const char* what) {
  const uint64_t args[4] = {address, irql, kExecute, address};
  RaiseBugCheck(0xD1, "DRIVER_IRQL_NOT_LESS_OR_EQUAL", args, what, address);
}

// The kernel is about to call a driver routine: a routine in PAGE at
// DISPATCH_LEVEL or above would fault on its first instruction under forced
// paging. A completion routine is the usual case: IofCompleteRequest runs it
// at the IRQL of whoever completes the request, DISPATCH_LEVEL when the lower
// driver completes from its DPC (the simulated bus does), and
// IO_COMPLETION_ROUTINE's documentation says it runs at IRQL <= DISPATCH_LEVEL
// and must not be pageable.
void Entering(const CalloutFrame& frame) {
  auto routine = reinterpret_cast<uintptr_t>(frame.routine);
  KIRQL irql;
  if (PageableNow(routine, &irql)) {
    char what[160];
    char entry[64];
    DescribeEntry(frame, entry, sizeof entry);
    snprintf(what, sizeof what, "pageable %s routine called at IRQL %u", entry, irql);
    PageableAtRaisedIrql(routine, irql, what);
  }
}

const CalloutWatcher kWatcher = {Entering, PrepareThreadForBugChecks};

}  // namespace

// Whether the instruction before `returnAddress` is a call of `thunk`: through
// the import slot (call [rip+disp32]) or through the import library's stub
// (call rel32 to jmp [rip+disp32]). Otherwise a routine elsewhere reached the
// kernel with a jump (a tail call) and `returnAddress` is only where the
// kernel returns to.
bool CallsThunk(const Image& image, uintptr_t returnAddress, const void* thunk) {
  auto bytes = reinterpret_cast<const uint8_t*>(returnAddress);
  auto slotHolds = [&](uintptr_t slot) {
    if (!image.Contains(slot) || !image.Contains(slot + 7))
      return false;
    const void* target;
    std::memcpy(&target, reinterpret_cast<const void*>(slot), sizeof target);
    return target == thunk;
  };
  int32_t displacement;
  if (bytes[-6] == 0xFF && bytes[-5] == 0x15) {
    std::memcpy(&displacement, bytes - 4, 4);
    return slotHolds(returnAddress + displacement);
  }
  if (bytes[-5] == 0xE8) {
    std::memcpy(&displacement, bytes - 4, 4);
    uintptr_t stub = returnAddress + displacement;
    if (!image.Contains(stub) || !image.Contains(stub + 5))
      return false;
    auto code = reinterpret_cast<const uint8_t*>(stub);
    if (code[0] != 0xFF || code[1] != 0x25)
      return false;
    std::memcpy(&displacement, code + 2, 4);
    return slotHolds(stub + 6 + displacement);
  }
  return false;
}

void ReturningToImage(uintptr_t returnAddress) {
  // The image goes on at the return address, at the IRQL the kernel leaves.
  KIRQL irql;
  if (PageableNow(returnAddress, &irql)) {
    char what[96];
    snprintf(what, sizeof what, "pageable code resumed at IRQL %u after a call into the kernel",
             irql);
    PageableAtRaisedIrql(returnAddress, irql, what);
  }
}

void CrossingIntoKernel(uintptr_t returnAddress, uintptr_t callerSp, const void* thunk) {
  Image* image = ImageAt(returnAddress);
  if (!image)
    return;
  // The call instruction itself ran in the image: the routine holding it.
  KIRQL irql = KeGetCurrentIrql();
  if (irql >= DISPATCH_LEVEL && image->Pageable(returnAddress - 1) &&
      CallsThunk(*image, returnAddress, thunk)) {
    char what[96];
    snprintf(what, sizeof what, "pageable code called the kernel at IRQL %u", irql);
    PageableAtRaisedIrql(returnAddress - 1, irql, what);
  }
  CalloutFrame* frame = InnermostCallout();
  if (frame && ImageAt(reinterpret_cast<uintptr_t>(frame->routine)) == image &&
      frame->sp > callerSp)
    NoteStackUse(*frame, frame->sp - callerSp);
}

void WatchCallouts() {
  static std::once_flag once;
  std::call_once(once, [] { SetCalloutWatcher(&kWatcher); });
}

}  // namespace sim::image
