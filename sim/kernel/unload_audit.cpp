// What the kernel still holds of a driver's code once DriverUnload has
// returned. Windows unmaps the image then; a routine it still holds is called
// later into freed memory, and the system stops with bug check 0xCE
// DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS (parameters: the
// address referenced, 8 for an execution, the address, 0). Here each routine
// is reported when the driver unloads, naming the kind and the routine, and
// taken out where the kernel can take it out (a request's completion or
// cancel routine, a power completion), so that the test can go on. A system
// thread still running in the image cannot be taken out: when it returns
// into the unmapped image the image loader's crash report names it again.
#include <atomic>

#include "sim/kernel/code_names.h"
#include "sim/kernel/internal.h"

namespace sim {
namespace {

std::atomic<CodeNamer> gNamer{nullptr};

}  // namespace

void SetCodeNamer(CodeNamer namer) {
  gNamer.store(namer);
}

std::string CodeName(const void* address) {
  CodeNamer namer = gNamer.load();
  std::string name = namer ? namer(address) : "";
  return name.empty() ? detail::Hex(reinterpret_cast<uintptr_t>(address)) : name;
}

}  // namespace sim

namespace sim::detail {
namespace {

// System threads whose start routine lies in [begin, end) and that have not
// ended.
std::vector<HeldRoutine> RunningThreadsOf(uintptr_t begin, uintptr_t end) {
  std::vector<HeldRoutine> out;
  for (void* body : ReferenceLiveObjects(ObjectKind::Thread)) {
    auto* thread = static_cast<PETHREAD>(body);
    auto start = reinterpret_cast<uintptr_t>(thread->StartRoutine);
    bool ended;
    {
      std::lock_guard<std::mutex> lock(DispatcherLock());
      ended = thread->Tcb.Header.SignalState != 0;
    }
    if (!ended && start >= begin && start < end)
      out.push_back({"system thread", reinterpret_cast<const void*>(thread->StartRoutine),
                     "still running (thread " +
                         Hex(reinterpret_cast<uintptr_t>(thread->Cid.UniqueThread)) + ")"});
    ObfDereferenceObject(thread);
  }
  return out;
}

}  // namespace

void AuditUnload(PDRIVER_OBJECT driver) {
  if (!driver->DriverStart || !driver->DriverSize)
    return;
  auto begin = reinterpret_cast<uintptr_t>(driver->DriverStart);
  uintptr_t end = begin + driver->DriverSize;
  std::vector<HeldRoutine> held = TakeRoutinesOfPendingRequests(begin, end);
  for (auto& thread : RunningThreadsOf(begin, end))
    held.push_back(std::move(thread));
  std::string name;
  for (USHORT i = 0; i < driver->DriverName.Length / sizeof(WCHAR); ++i)
    name += static_cast<char>(driver->DriverName.Buffer[i]);
  for (const auto& h : held) {
    auto at = reinterpret_cast<uintptr_t>(h.routine);
    Violation(Check::UnloadedWithPendingOperations,
              "bug check 0xCE DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS (" + Hex(at) +
                  ", 0x8, " + Hex(at) + ", 0x0): " + name + " unloaded leaving the " + h.kind +
                  " " + CodeName(h.routine) + " " + h.holder);
  }
}

}  // namespace sim::detail
