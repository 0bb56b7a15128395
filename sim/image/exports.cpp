#include "sim/image/exports.h"

#include <strings.h>

#include <cstdint>
#include <type_traits>

#include "sim/image/boundary.h"
#include "sim/kernel/callout.h"
#include "sim/kernel/crt.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/wdm.h"
#include "sim/usb/usb.h"

namespace sim::image {
namespace {

// The image's way into a kernel routine: a thunk with the routine's own
// Windows x64 (ms_abi) signature, so a routine with the host's convention
// cannot slip into the table. It sees where the image called from (its
// return address) and the image's stack pointer at the call, then calls the
// routine with the arguments untouched.
template <auto routine, typename R, typename... A>
struct Thunk {
  __attribute__((noinline)) static R NTAPI Enter(A... args) {
    // The frame pointer is the thunk's: the saved frame pointer and the
    // return address lie above it, the caller's stack pointer above those.
    auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    auto back = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    CrossingIntoKernel(back, frame + 16, reinterpret_cast<const void*>(&Enter));
    uintptr_t& caller = ImageReturnAddress();
    const uintptr_t outer = caller;
    caller = back;
    if constexpr (std::is_void_v<R>) {
      routine(args...);
      caller = outer;
      ReturningToImage(back);
    } else {
      R result = routine(args...);
      caller = outer;
      ReturningToImage(back);
      return result;
    }
  }
};

template <auto routine, typename R, typename... A>
constexpr const void* ThunkFor(R(NTAPI*)(A...)) {
  return reinterpret_cast<const void*>(&Thunk<routine, R, A...>::Enter);
}

#define THUNK(routine) ThunkFor<&routine>(&routine)

// An exported variable: the import slot holds its address.
template <typename T>
constexpr const void* Data(T* variable) {
  return static_cast<const void*>(variable);
}

#define NTOS(routine) \
  { "ntoskrnl.exe", #routine, THUNK(routine) }
#define HAL(routine) \
  { "hal.dll", #routine, THUNK(routine) }
#define USBD(routine) \
  { "usbd.sys", #routine, THUNK(routine) }

const Export kExports[] = {
    // Driver Verifier's special pool for every block the image allocates.
    {"ntoskrnl.exe", "ExAllocatePoolWithTag", THUNK(sim::pool::VerifiedAllocatePoolWithTag)},
    NTOS(ExFreePool),
    NTOS(ExFreePoolWithTag),
    NTOS(IoAllocateErrorLogEntry),
    NTOS(IoAttachDeviceToDeviceStack),
    NTOS(IoBuildDeviceIoControlRequest),
    NTOS(IoCancelIrp),
    NTOS(IoCreateDevice),
    NTOS(IoDeleteDevice),
    NTOS(IoDetachDevice),
    NTOS(IoRegisterDeviceInterface),
    NTOS(IoReportTargetDeviceChangeAsynchronous),
    NTOS(IoSetDeviceInterfaceState),
    NTOS(IoWriteErrorLogEntry),
    NTOS(IofCallDriver),
    NTOS(IofCompleteRequest),
    NTOS(KeAcquireSpinLockRaiseToDpc),
    NTOS(KeClearEvent),
    NTOS(KeDelayExecutionThread),
    NTOS(KeInitializeEvent),
    NTOS(KeInitializeMutex),
    NTOS(KeReleaseMutex),
    NTOS(KeReleaseSpinLock),
    NTOS(KeSetEvent),
    NTOS(KeWaitForSingleObject),
    NTOS(ObReferenceObjectByHandle),
    NTOS(ObfDereferenceObject),
    NTOS(PoRequestPowerIrp),
    NTOS(PoSetPowerState),
    NTOS(PsCreateSystemThread),
    NTOS(PsTerminateSystemThread),
    NTOS(RtlFreeUnicodeString),
    NTOS(RtlGetVersion),
    NTOS(ZwClose),
    {"ntoskrnl.exe", "memcpy", THUNK(sim::crt::Memcpy)},
    {"ntoskrnl.exe", "memset", THUNK(sim::crt::Memset)},
    {"ntoskrnl.exe", "PsThreadType", Data(&PsThreadType)},
    HAL(KeQueryPerformanceCounter),
    USBD(USBD_CreateConfigurationRequestEx),
    USBD(USBD_ParseConfigurationDescriptorEx),
};

}  // namespace

const Export* FindExport(const std::string& module, const std::string& name) {
  for (const auto& e : kExports)
    if (strcasecmp(e.module, module.c_str()) == 0 && name == e.name)
      return &e;
  return nullptr;
}

}  // namespace sim::image
