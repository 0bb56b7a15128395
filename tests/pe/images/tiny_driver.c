// A kernel-mode image small enough to break one rule at a time: the entry
// routine in INIT, a pageable dispatch routine and Unload in PAGE, and two resident
// routines in .text that the pageable one calls, one of them under a spin
// lock. Each PLANT_ macro plants one fault that the binary checks must find.
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

PAGEABLE NTSTATUS NTAPI Pageable(PDEVICE_OBJECT Device, PIRP Irp) {
  Record* r = (Record*)Device->DeviceExtension;
#ifdef PLANT_SPIN_LOCK_IN_PAGE
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&r->Lock);
  ++r->Count;
  KeReleaseSpinLock(&r->Lock, irql);
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

#ifndef PLANT_MISPLACED
PAGEABLE
#endif
VOID NTAPI Unload(PDRIVER_OBJECT Driver) {
  (void)Driver;
}

// A table of absolute addresses: the image needs base relocations.
PDRIVER_DISPATCH const Dispatchers[] = {Pageable};

DISCARDED_AFTER_ENTRY NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING Path) {
  (void)Path;
  Driver->MajorFunction[IRP_MJ_CREATE] = Dispatchers[0];
  Driver->DriverUnload = Unload;
#ifdef PLANT_LOCK_THROUGH_THUNK
  AcquireThroughThunk((PKSPIN_LOCK)Driver->DriverExtension);
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
