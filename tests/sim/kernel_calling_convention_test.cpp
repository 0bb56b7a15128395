// Every routine the kernel and USBD export, and every routine type the kernel
// calls back, use the Windows x64 calling convention on the host as well: the
// host-built driver and the shipped image call, and are called by, the same
// kernel. Checked when this file compiles; a routine declared without NTAPI,
// or a callback type that lost it, stops the build here.
#include <type_traits>

#include "sim/kernel/crt.h"
#include "sim/kernel/wdm.h"
#include "sim/usb/usb.h"

namespace {

template <class F>
constexpr bool kWindowsCall = false;
template <class R, class... A>
constexpr bool kWindowsCall<R NTAPI(A...)> = true;

// The trait itself tells the two conventions apart.
typedef VOID SystemVRoutine(PVOID);
typedef VOID(NTAPI WindowsRoutine)(PVOID);
static_assert(!kWindowsCall<SystemVRoutine>);
static_assert(kWindowsCall<WindowsRoutine>);

#define WINDOWS_CALL_TYPE(type) \
  static_assert(kWindowsCall<type>, #type " uses the Windows x64 convention")
#define WINDOWS_CALL(routine) WINDOWS_CALL_TYPE(decltype(routine))

// Routine types the kernel calls in the driver.
WINDOWS_CALL_TYPE(DRIVER_INITIALIZE);
WINDOWS_CALL_TYPE(DRIVER_UNLOAD);
WINDOWS_CALL_TYPE(DRIVER_ADD_DEVICE);
WINDOWS_CALL_TYPE(DRIVER_DISPATCH);
WINDOWS_CALL_TYPE(DRIVER_STARTIO);
WINDOWS_CALL_TYPE(DRIVER_CANCEL);
WINDOWS_CALL_TYPE(IO_COMPLETION_ROUTINE);
WINDOWS_CALL_TYPE(KSTART_ROUTINE);
WINDOWS_CALL_TYPE(REQUEST_POWER_COMPLETE);
WINDOWS_CALL_TYPE(DEVICE_CHANGE_COMPLETE_CALLBACK);
WINDOWS_CALL_TYPE(std::remove_pointer_t<PIO_APC_ROUTINE>);
WINDOWS_CALL_TYPE(std::remove_pointer_t<PINTERFACE_REFERENCE>);
WINDOWS_CALL_TYPE(std::remove_pointer_t<PINTERFACE_DEREFERENCE>);

// ntoskrnl.exe
WINDOWS_CALL(ExAllocatePoolWithTag);
WINDOWS_CALL(ExFreePool);
WINDOWS_CALL(ExFreePoolWithTag);
WINDOWS_CALL(IoAcquireCancelSpinLock);
WINDOWS_CALL(IoAllocateIrp);
WINDOWS_CALL(IoAttachDeviceToDeviceStack);
WINDOWS_CALL(IoBuildDeviceIoControlRequest);
WINDOWS_CALL(IoCancelIrp);
WINDOWS_CALL(IoCreateDevice);
WINDOWS_CALL(IoDeleteDevice);
WINDOWS_CALL(IoDetachDevice);
WINDOWS_CALL(IoFreeIrp);
WINDOWS_CALL(IoGetAttachedDevice);
WINDOWS_CALL(IoGetAttachedDeviceReference);
WINDOWS_CALL(IoInitializeIrp);
WINDOWS_CALL(IoInvalidateDeviceRelations);
WINDOWS_CALL(IoRegisterDeviceInterface);
WINDOWS_CALL(IoReleaseCancelSpinLock);
WINDOWS_CALL(IoReportTargetDeviceChangeAsynchronous);
WINDOWS_CALL(IoSetDeviceInterfaceState);
WINDOWS_CALL(IofCallDriver);
WINDOWS_CALL(IofCompleteRequest);
WINDOWS_CALL(KeAcquireSpinLockAtDpcLevel);
WINDOWS_CALL(KeAcquireSpinLockRaiseToDpc);
WINDOWS_CALL(KeClearEvent);
WINDOWS_CALL(KeDelayExecutionThread);
WINDOWS_CALL(KeGetCurrentIrql);
WINDOWS_CALL(KeInitializeEvent);
WINDOWS_CALL(KeInitializeMutex);
WINDOWS_CALL(KeInitializeSemaphore);
WINDOWS_CALL(KeInitializeSpinLock);
WINDOWS_CALL(KeQueryInterruptTime);
WINDOWS_CALL(KeQuerySystemTime);
WINDOWS_CALL(KeRaiseIrqlToDpcLevel);
WINDOWS_CALL(KeReadStateEvent);
WINDOWS_CALL(KeReadStateMutex);
WINDOWS_CALL(KeReadStateSemaphore);
WINDOWS_CALL(KeReleaseMutex);
WINDOWS_CALL(KeReleaseSemaphore);
WINDOWS_CALL(KeReleaseSpinLock);
WINDOWS_CALL(KeReleaseSpinLockFromDpcLevel);
WINDOWS_CALL(KeResetEvent);
WINDOWS_CALL(KeSetEvent);
WINDOWS_CALL(KeWaitForSingleObject);
WINDOWS_CALL(KfLowerIrql);
WINDOWS_CALL(KfRaiseIrql);
WINDOWS_CALL(ObReferenceObjectByHandle);
WINDOWS_CALL(ObfDereferenceObject);
WINDOWS_CALL(ObfReferenceObject);
WINDOWS_CALL(PoCallDriver);
WINDOWS_CALL(PoRequestPowerIrp);
WINDOWS_CALL(PoSetPowerState);
WINDOWS_CALL(PoStartNextPowerIrp);
WINDOWS_CALL(PsCreateSystemThread);
WINDOWS_CALL(PsGetCurrentProcessId);
WINDOWS_CALL(PsGetCurrentThread);
WINDOWS_CALL(PsTerminateSystemThread);
WINDOWS_CALL(RtlFreeUnicodeString);
WINDOWS_CALL(RtlGetVersion);
WINDOWS_CALL(RtlInitUnicodeString);
WINDOWS_CALL(ZwClose);
WINDOWS_CALL(sim::crt::Memcmp);
WINDOWS_CALL(sim::crt::Memcpy);
WINDOWS_CALL(sim::crt::Memmove);
WINDOWS_CALL(sim::crt::Memset);

// USBD.SYS
WINDOWS_CALL(USBD_CreateConfigurationRequestEx);
WINDOWS_CALL(USBD_ParseConfigurationDescriptorEx);
WINDOWS_CALL(USBD_ParseDescriptors);

}  // namespace
