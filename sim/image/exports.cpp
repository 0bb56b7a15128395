#include "sim/image/exports.h"

#include <strings.h>

#include "sim/kernel/crt.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/wdm.h"
#include "sim/usb/usb.h"

namespace sim::image {
namespace {

// A routine the image calls: only a Windows x64 (ms_abi) routine converts,
// so a routine with the host's convention cannot slip into the table.
template <typename R, typename... A>
constexpr const void* Routine(R(NTAPI* routine)(A...)) {
  return reinterpret_cast<const void*>(routine);
}
// An exported variable: the import slot holds its address.
template <typename T>
constexpr const void* Data(T* variable) {
  return static_cast<const void*>(variable);
}

#define NTOS(routine) \
  { "ntoskrnl.exe", #routine, Routine(&routine) }
#define HAL(routine) \
  { "hal.dll", #routine, Routine(&routine) }
#define USBD(routine) \
  { "usbd.sys", #routine, Routine(&routine) }

const Export kExports[] = {
    // Driver Verifier's special pool for every block the image allocates.
    {"ntoskrnl.exe", "ExAllocatePoolWithTag", Routine(&sim::pool::VerifiedAllocatePoolWithTag)},
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
    {"ntoskrnl.exe", "memcpy", Routine(&sim::crt::Memcpy)},
    {"ntoskrnl.exe", "memset", Routine(&sim::crt::Memset)},
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
