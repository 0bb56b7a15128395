// Calls from the kernel into a driver's routine. Every such call (a dispatch
// routine, a completion or cancel routine, a system thread's start routine, a
// power-request completion, AddDevice, DriverEntry, Unload, a notification
// callback, a DPC routine) goes through Callout, which keeps, per thread, the
// chain of driver entries in progress: what was entered, which routine, and the stack
// pointer at the call. The image loader watches the entries (the routine's
// placement against the IRQL, the stack the image's own frames use); a driver
// built into the host process has nothing to watch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "sim/kernel/wdm.h"

namespace sim {

enum class EntryKind : uint8_t {
  DriverEntry,
  AddDevice,
  Dispatch,
  Completion,
  Cancel,
  ThreadStart,
  PowerCompletion,
  Unload,
  Callback,
  Dpc,
};

// One driver entry in progress on the current thread.
struct CalloutFrame {
  EntryKind kind;
  UCHAR major;          // the request's major function, for a dispatch routine
  const void* routine;  // the driver routine entered
  uintptr_t sp;         // the stack pointer at the call, before the return address
  size_t deepest;       // the deepest stack use seen below `sp` (set by the watcher)
  CalloutFrame* outer;  // the entry this one runs inside, or null
};

// "dispatch IRP_MJ_PNP", "completion", "thread start"...
const char* EntryName(EntryKind kind);
// The entry's name with the major function for a dispatch routine.
void DescribeEntry(const CalloutFrame& frame, char* out, size_t size);

// What watches the entries. `entering` runs before the routine, at the IRQL it
// runs at; `threadStarting` on a new system thread before its start routine.
struct CalloutWatcher {
  void (*entering)(const CalloutFrame& frame);
  void (*threadStarting)();
};
void SetCalloutWatcher(const CalloutWatcher* watcher);
const CalloutWatcher* Watcher();

// The innermost entry in progress on the current thread, or null. Readable
// from a signal handler.
CalloutFrame* InnermostCallout();
// Where the current thread's innermost call from a driver image into the
// kernel returns to, or 0 (no such call in progress, or a host-built driver,
// which calls the kernel directly). The image's import thunks set it, saving
// the outer value and restoring it on the way back, so a kernel routine can
// name the driver routine it works for (the one that freed a corrupted pool
// block, say) although the thunk lies between them.
uintptr_t& ImageReturnAddress();

// Forgets the current thread's entries (a thread whose frames were left
// without returning, as PsTerminateSystemThread leaves them).
void ForgetCallouts();

namespace detail {
void PushCallout(CalloutFrame* frame);
void PopCallout(CalloutFrame* frame);

// The stack pointer of the caller at this point (no frame of its own).
__attribute__((always_inline)) inline uintptr_t StackPointer() {
  uintptr_t sp;
  __asm__ volatile("mov %%rsp, %0" : "=r"(sp));
  return sp;
}

}  // namespace detail

// Calls the driver routine `routine` with `args` as the kernel's entry `kind`.
// No destructor pops the entry: PsTerminateSystemThread leaves a thread's
// frames with longjmp, past this one (the thread then forgets its entries).
template <typename R, typename... P, typename... A>
R Callout(EntryKind kind, UCHAR major, R(NTAPI* routine)(P...), A&&... args) {
  CalloutFrame frame{};
  frame.kind = kind;
  frame.major = major;
  frame.routine = reinterpret_cast<const void*>(routine);
  frame.sp = detail::StackPointer();
  detail::PushCallout(&frame);
  if (const CalloutWatcher* watcher = Watcher())
    watcher->entering(frame);
  if constexpr (std::is_void_v<R>) {
    routine(static_cast<A&&>(args)...);
    detail::PopCallout(&frame);
  } else {
    R result = routine(static_cast<A&&>(args)...);
    detail::PopCallout(&frame);
    return result;
  }
}

}  // namespace sim
