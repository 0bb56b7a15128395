// A kernel-mode image small enough to break one rule at a time: the entry
// routine in INIT, a pageable dispatch routine and Unload in PAGE, and two resident
// routines in .text that the pageable one calls, one of them under a spin
// lock. Each PLANT_ macro plants one fault that the binary checks (or, for
// the ones that only show when the image runs, the simulation's image
// loader and verifier) must find.
#include <ntddk.h>

#define PAGEABLE __attribute__((section("PAGE")))
#define DISCARDED_AFTER_ENTRY __attribute__((section("INIT")))

#ifdef PLANT_INLINED_RESIDENT
#define RESIDENT_HELPER __attribute__((always_inline)) inline
#else
#define RESIDENT_HELPER __attribute__((noinline))
#endif

typedef struct {
  KSPIN_LOCK Lock;
  volatile LONG Count;
} Record;

// Resident: runs under the spin lock, so at DISPATCH_LEVEL.
__attribute__((noinline)) void Guarded(Record* R) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&R->Lock);
  ++R->Count;
  KeReleaseSpinLock(&R->Lock, irql);
}

// Resident, takes no lock: the pageable routine must call it, not copy it.
RESIDENT_HELPER LONG Classify(LONG Value) {
  return Value > 7 ? 2 : Value & 1;
}
extern LONG Classify(LONG Value);

#ifdef PLANT_RAISE_THROUGH_REGISTER
__declspec(dllimport) KIRQL KfRaiseIrql(KIRQL NewIrql);
#endif
#ifdef PLANT_FORBIDDEN_IMPORT
__declspec(dllimport) ULONG NdisGetVersion(void);
#endif
#ifdef PLANT_LOCK_THROUGH_THUNK
// Declared without dllimport: the call goes through the import library's thunk.
KIRQL AcquireThroughThunk(PKSPIN_LOCK Lock) __asm__("KeAcquireSpinLockRaiseToDpc");
#endif

#ifdef PLANT_RELEASE_IN_PAGE
// Resident, returns holding the lock: its caller in PAGE releases it.
__attribute__((noinline)) KIRQL Take(Record* R) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&R->Lock);
  ++R->Count;
  return irql;
}
#endif

PAGEABLE NTSTATUS NTAPI Pageable(PDEVICE_OBJECT Device, PIRP Irp) {
  Record* r = (Record*)Device->DeviceExtension;
#ifdef PLANT_SPIN_LOCK_IN_PAGE
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&r->Lock);
  ++r->Count;
  KeReleaseSpinLock(&r->Lock, irql);
#endif
#ifdef PLANT_RELEASE_IN_PAGE
  KeReleaseSpinLock(&r->Lock, Take(r));
#endif
#ifdef PLANT_RAISE_THROUGH_REGISTER
  KIRQL (*volatile raise)(KIRQL) = KfRaiseIrql;
  raise(DISPATCH_LEVEL);
#endif
  Guarded(r);
  Irp->IoStatus.Status = Classify(r->Count);
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

#ifdef PLANT_INIT_CALLED_LATE
// Kept in INIT although Unload calls it after DriverEntry has returned.
DISCARDED_AFTER_ENTRY __attribute__((noinline)) void InitOnly(PDRIVER_OBJECT Driver) {
  Driver->DriverStartIo = NULL;
}
#endif

#ifdef PLANT_THREAD_LEFT_RUNNING
// Sleeps, then returns: into an image that Unload, which never waits for it,
// has let go.
VOID NTAPI Sleeper(PVOID Context) {
  LARGE_INTEGER delay;
  (void)Context;
  delay.QuadPart = -200 * 10000LL;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
}
#endif

#ifdef PLANT_READ_THROUGH
// Reads what its argument points at: a null argument faults inside the image.
__attribute__((noinline)) LONG ReadThrough(volatile LONG* Value) {
  return *Value;
}
#endif

#if defined(PLANT_COMPLETION_LEFT_BELOW) || defined(PLANT_POWER_COMPLETION_LEFT_BELOW)
#define PLANT_ATTACHES
// A filter over a device that keeps what it is sent; Unload lets go of its
// device without waiting for what it sent down.
typedef struct {
  Record Base;  // Pageable's
  PDEVICE_OBJECT Lower;
} Attached;

PAGEABLE NTSTATUS NTAPI Attach(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status =
      IoCreateDevice(Driver, sizeof(Attached), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status))
    return status;
  ((Attached*)device->DeviceExtension)->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PassOn(PDEVICE_OBJECT Device, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(((Attached*)Device->DeviceExtension)->Lower, Irp);
}
#endif

#ifdef PLANT_COMPLETION_LEFT_BELOW
NTSTATUS NTAPI Done(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
  (void)Device;
  (void)Irp;
  (void)Context;
  return STATUS_CONTINUE_COMPLETION;
}

// Sends the request down and asks to see it on its way back.
NTSTATUS NTAPI Control(PDEVICE_OBJECT Device, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, Done, NULL, TRUE, TRUE, TRUE);
  return IoCallDriver(((Attached*)Device->DeviceExtension)->Lower, Irp);
}
#endif

#ifdef PLANT_POWER_COMPLETION_LEFT_BELOW
VOID NTAPI PowerDone(PDEVICE_OBJECT Device, UCHAR Minor, POWER_STATE State, PVOID Context,
                     PIO_STATUS_BLOCK Status) {
  (void)Device;
  (void)Minor;
  (void)State;
  (void)Context;
  (void)Status;
}

// Asks for D0 for its device and answers the request at once.
NTSTATUS NTAPI Control(PDEVICE_OBJECT Device, PIRP Irp) {
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  NTSTATUS status = PoRequestPowerIrp(Device, IRP_MN_SET_POWER, d0, PowerDone, NULL, NULL);
  if (NT_SUCCESS(status))
    status = STATUS_SUCCESS;  // the power request goes on by itself
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
#endif

#ifdef PLANT_PAGEABLE_COMPLETION
// A completion routine left in PAGE: the lower driver may complete at
// DISPATCH_LEVEL, when PAGE may be paged out.
PAGEABLE NTSTATUS NTAPI PagedCompletion(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
  (void)Device;
  (void)Irp;
  (void)Context;
  return STATUS_MORE_PROCESSING_REQUIRED;
}
#endif

#ifdef PLANT_DEEP_RECURSION
// Each level keeps the level above's frame alive: no loop can replace it. The
// end lies a billion levels down, far past any kernel stack.
__attribute__((noinline)) LONG Recurse(volatile LONG* Outer) {
  volatile LONG frame[64];
  if (Outer[0] == 1000000000)
    return 0;
  frame[0] = Outer[0] + 1;
  return Recurse(frame) + frame[0];
}

VOID NTAPI Descend(PVOID Context) {
  volatile LONG start = (LONG)(ULONG_PTR)Context;
  Recurse(&start);
}
#endif

#ifdef PLANT_STACK_HOG
// 8 KiB of locals below DriverEntry, then a call into the kernel.
__attribute__((noinline)) LONG Hog(USHORT Index) {
  UCHAR buffer[8192];
  memset(buffer, 0x5A, sizeof buffer);
  return buffer[Index % sizeof buffer];
}
#endif

// The tag of the PLANT_POOL_ routines' blocks.
#define POOL_TAG 0x766F7053 /* "Spov" */

#ifdef PLANT_POOL_BLOCKS
// Allocation and free of a block through the image's own imports, for a
// caller outside the image.
__attribute__((noinline)) PVOID AllocateBlock(SIZE_T Bytes) {
  return ExAllocatePoolWithTag(NonPagedPoolNx, Bytes, POOL_TAG);
}
__attribute__((noinline)) VOID FreeBlock(PVOID Block) {
  ExFreePoolWithTag(Block, POOL_TAG);
}
#endif

// Each planted routine returns a status, so that its free is not the last
// call (a tail call would leave the routine out of the report).
#ifdef PLANT_POOL_OVERRUN
// Writes the byte after a 32-byte block (a whole number of the pool's
// 16-byte granules: nothing lies between the block and what follows it).
__attribute__((noinline)) NTSTATUS OverrunByOne(void) {
  volatile UCHAR* block = (volatile UCHAR*)ExAllocatePoolWithTag(NonPagedPoolNx, 32, POOL_TAG);
  if (!block)
    return STATUS_INSUFFICIENT_RESOURCES;
  block[32] = 1;
  ExFreePoolWithTag((PVOID)block, POOL_TAG);
  return STATUS_SUCCESS;
}
#endif

#ifdef PLANT_POOL_SLACK_WRITE
// Writes the byte after a 13-byte block, which lies within the block's
// 16-byte granule, then frees the block.
__attribute__((noinline)) NTSTATUS WriteIntoSlack(void) {
  volatile UCHAR* block = (volatile UCHAR*)ExAllocatePoolWithTag(NonPagedPoolNx, 13, POOL_TAG);
  if (!block)
    return STATUS_INSUFFICIENT_RESOURCES;
  block[13] = 1;
  ExFreePoolWithTag((PVOID)block, POOL_TAG);
  return STATUS_SUCCESS;
}
#endif

#ifdef PLANT_POOL_USE_AFTER_FREE
// Reads a block after freeing it.
__attribute__((noinline)) NTSTATUS UseAfterFree(void) {
  volatile UCHAR* block = (volatile UCHAR*)ExAllocatePoolWithTag(NonPagedPoolNx, 32, POOL_TAG);
  volatile UCHAR first;
  if (!block)
    return STATUS_INSUFFICIENT_RESOURCES;
  block[0] = 7;
  ExFreePoolWithTag((PVOID)block, POOL_TAG);
  first = block[0];
  return first;
}
#endif

#ifdef PLANT_POOL_COPY_OVERRUN
// Copies 33 bytes into a 32-byte block: the kernel's copy routine makes the
// fault, for this routine.
static const UCHAR CopySource[33] = {1};
__attribute__((noinline)) NTSTATUS CopyOverrun(void) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, POOL_TAG);
  if (!block)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(block, CopySource, sizeof CopySource);
  ExFreePoolWithTag(block, POOL_TAG);
  return STATUS_SUCCESS;
}
#endif

#ifdef PLANT_POOL_UNDERRUN
// Writes the byte before a 32-byte block.
__attribute__((noinline)) NTSTATUS UnderrunByOne(void) {
  volatile UCHAR* block = (volatile UCHAR*)ExAllocatePoolWithTag(NonPagedPoolNx, 32, POOL_TAG);
  if (!block)
    return STATUS_INSUFFICIENT_RESOURCES;
  block[-1] = 1;
  ExFreePoolWithTag((PVOID)block, POOL_TAG);
  return STATUS_SUCCESS;
}
#endif

#ifndef PLANT_MISPLACED
PAGEABLE
#endif
VOID NTAPI Unload(PDRIVER_OBJECT Driver) {
  (void)Driver;
#ifdef PLANT_ATTACHES
  if (Driver->DeviceObject) {
    IoDetachDevice(((Attached*)Driver->DeviceObject->DeviceExtension)->Lower);
    IoDeleteDevice(Driver->DeviceObject);
  }
#endif
#ifdef PLANT_INIT_CALLED_LATE
  InitOnly(Driver);
#endif
}

// A table of absolute addresses: the image needs base relocations.
PDRIVER_DISPATCH const Dispatchers[] = {Pageable};

DISCARDED_AFTER_ENTRY NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING Path) {
  (void)Path;
  Driver->MajorFunction[IRP_MJ_CREATE] = Dispatchers[0];
  Driver->DriverUnload = Unload;
#ifdef PLANT_ATTACHES
  Driver->DriverExtension->AddDevice = Attach;
  Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
  Driver->MajorFunction[IRP_MJ_POWER] = PassOn;
#endif
#ifdef PLANT_LOCK_THROUGH_THUNK
  AcquireThroughThunk((PKSPIN_LOCK)Driver->DriverExtension);
#endif
#ifdef PLANT_THREAD_LEFT_RUNNING
  HANDLE thread;
  if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Sleeper, NULL)))
    ZwClose(thread);
#endif
#ifdef PLANT_DEEP_RECURSION
  HANDLE deep;
  if (NT_SUCCESS(PsCreateSystemThread(&deep, THREAD_ALL_ACCESS, NULL, NULL, NULL, Descend, NULL)))
    ZwClose(deep);
#endif
#ifdef PLANT_STACK_HOG
  if (Hog(Path->Length) != 0x5A)
    return STATUS_UNSUCCESSFUL;
#endif
#ifdef PLANT_FORBIDDEN_IMPORT
  if (NdisGetVersion() == 0)
    return STATUS_UNSUCCESSFUL;
#endif
  return STATUS_SUCCESS;
}

#ifdef PLANT_WX
__asm__(".section .wx,\"wx\"\n\t.byte 0xc3\n\t.text");
#endif
#ifdef PLANT_TLS
__asm__(".section .tls,\"w\"\n\t.long 0\n\t.text");
#endif
