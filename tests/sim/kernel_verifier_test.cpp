// Every verifier check fires on deliberately wrong code, and stays quiet on
// the right code next to it.
#include <gtest/gtest.h>

#include <thread>

#include "tests/sim/kernel_drivers.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::faults::Tag;
using sim::verifier::Check;

// ---- small bad drivers, chosen per case through a global
enum class Fault {
  None,
  CompleteTwice,
  CompletePending,
  NeverComplete,
  ReturnOtherStatus,
  KeepIrqlRaised,
  CallWithSpinLock,
  TooMuchInformation,
  KeepInitializing,
  DetachOnSurprise,
  DeleteOnSurprise,
  DeleteTwiceOnRemove,
  DeleteWithoutDetach,
  FailRemove,
  PagedAtDispatch,
  ReturnOwningMutex,
  ReturnHoldingSpinLock,
  AddDeviceOwningMutex,
  // Windows' DDI compliance rules
  CompletePnpHere,        // a Plug and Play request completed without passing it down
  FailStop,               // a stop passed down, then failed by the driver
  HideLowerStartFailure,  // a start the lower drivers failed, completed with success
  CompletePowerHere,      // a set-power completed without passing it down
  CompleteUnderSpinLock,
  WaitForBuiltForever,    // waits without a timeout for a request it built
  MarkThenSucceed,        // marks a request pending, completes it, returns success
  PendUnmarked,           // holds a request and returns STATUS_PENDING without marking it
  CompleteThenPend,       // completes a request and returns STATUS_PENDING
  ForgetEventWhenPended,  // its completion routine sets the event only when nothing pended
  PassPnpDownAtDispatch,  // sends a Plug and Play request down at DISPATCH_LEVEL
  AlterBusRequest,        // sets success on a request only the bus answers, passes it down
  FailBusRequestHere,     // fails a request only the bus answers, without passing it down
  SucceedUncompleted,     // holds a request and returns STATUS_SUCCESS
  PassiveCallInSetPower,  // calls a PASSIVE_LEVEL-only routine while handling a set-power
  AllocateInPowerDown,    // asks for pool while handling a system set-power to sleep
};
Fault gFault = Fault::None;
PIRP gHeld = nullptr;
KEVENT gEvent;
KMUTEX gMutex;
KSPIN_LOCK gSpinLock;

NTSTATUS NTAPI SetEventUnlessPended(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (!irp->PendingReturned)
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI BadDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<kt::FdoExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (gFault) {
    case Fault::CompleteTwice:
      kt::Complete(irp, STATUS_SUCCESS);
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    case Fault::CompletePending:
      irp->IoStatus.Status = STATUS_PENDING;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_PENDING;
    case Fault::NeverComplete:
      IoMarkIrpPending(irp);
      gHeld = irp;
      return STATUS_PENDING;
    case Fault::ReturnOtherStatus:
      kt::Complete(irp, STATUS_UNSUCCESSFUL);
      return STATUS_SUCCESS;
    case Fault::KeepIrqlRaised: {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      return kt::Complete(irp, STATUS_SUCCESS);
    }
    case Fault::CallWithSpinLock: {
      KSPIN_LOCK lock;
      KeInitializeSpinLock(&lock);
      KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IofCallDriver(ext->lower, irp);
      KeReleaseSpinLock(&lock, old);
      return status;
    }
    case Fault::TooMuchInformation:
      return kt::Complete(irp, STATUS_SUCCESS,
                          stack->Parameters.DeviceIoControl.OutputBufferLength + 1);
    case Fault::ReturnOwningMutex:
      KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
      return kt::Complete(irp, STATUS_SUCCESS);
    case Fault::ReturnHoldingSpinLock:
      // Raised by hand, so that only the lock is left behind.
      KfRaiseIrql(DISPATCH_LEVEL);
      KeAcquireSpinLockAtDpcLevel(&gSpinLock);
      KfLowerIrql(PASSIVE_LEVEL);
      return kt::Complete(irp, STATUS_SUCCESS);
    case Fault::CompletePnpHere:
      if (stack->MajorFunction == IRP_MJ_PNP)
        return kt::Complete(irp, STATUS_SUCCESS);
      break;
    case Fault::FailStop:
      if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_STOP_DEVICE) {
        kt::ForwardAndWait(ext->lower, irp);
        return kt::Complete(irp, STATUS_UNSUCCESSFUL);
      }
      break;
    case Fault::HideLowerStartFailure:
      if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_START_DEVICE) {
        kt::ForwardAndWait(ext->lower, irp);
        return kt::Complete(irp, STATUS_SUCCESS);
      }
      break;
    case Fault::CompletePowerHere:
      if (stack->MajorFunction == IRP_MJ_POWER)
        return kt::Complete(irp, STATUS_SUCCESS);
      break;
    case Fault::CompleteUnderSpinLock: {
      KIRQL old = KeAcquireSpinLockRaiseToDpc(&gSpinLock);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      KeReleaseSpinLock(&gSpinLock, old);
      return STATUS_SUCCESS;
    }
    case Fault::WaitForBuiltForever: {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb;
      PIRP built = IoBuildDeviceIoControlRequest(0x220003, ext->lower, nullptr, 0, nullptr, 0, TRUE,
                                                 &event, &iosb);
      if (IofCallDriver(ext->lower, built) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      return kt::Complete(irp, STATUS_SUCCESS);
    }
    case Fault::MarkThenSucceed:
      IoMarkIrpPending(irp);
      return kt::Complete(irp, STATUS_SUCCESS);
    case Fault::PendUnmarked:
      if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        gHeld = irp;
        return STATUS_PENDING;
      }
      break;
    case Fault::CompleteThenPend:
      kt::Complete(irp, STATUS_SUCCESS);
      return STATUS_PENDING;
    case Fault::ForgetEventWhenPended:
      if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, SetEventUnlessPended, &gEvent, TRUE, TRUE, TRUE);
        if (IofCallDriver(ext->lower, irp) == STATUS_PENDING)
          KeWaitForSingleObject(&gEvent, Executive, KernelMode, FALSE, nullptr);
        return kt::Complete(irp, STATUS_SUCCESS);
      }
      break;
    case Fault::PassPnpDownAtDispatch:
      if (stack->MajorFunction == IRP_MJ_PNP &&
          stack->MinorFunction == IRP_MN_QUERY_BUS_INFORMATION) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IofCallDriver(ext->lower, irp);
        KeLowerIrql(old);
        return status;
      }
      break;
    case Fault::AlterBusRequest:
      if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_ID) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(ext->lower, irp);
      }
      break;
    case Fault::FailBusRequestHere:
      if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_ID)
        return kt::Complete(irp, STATUS_UNSUCCESSFUL);
      break;
    case Fault::SucceedUncompleted:
      if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        gHeld = irp;
        return STATUS_SUCCESS;
      }
      break;
    case Fault::PassiveCallInSetPower:
    case Fault::AllocateInPowerDown:
      if (stack->MajorFunction == IRP_MJ_POWER && stack->MinorFunction == IRP_MN_SET_POWER) {
        if (gFault == Fault::PassiveCallInSetPower) {
          UNICODE_STRING none{};
          RtlFreeUnicodeString(&none);
        } else {
          ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("kv21")));
        }
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(ext->lower, irp);
      }
      break;
    case Fault::PagedAtDispatch: {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      PAGED_CODE();
      KeLowerIrql(old);
      return kt::Complete(irp, STATUS_SUCCESS);
    }
    default:
      break;
  }
  if (stack->MajorFunction != IRP_MJ_PNP)
    return kt::Complete(irp, STATUS_SUCCESS);
  switch (stack->MinorFunction) {
    case IRP_MN_SURPRISE_REMOVAL:
      if (gFault == Fault::DetachOnSurprise)
        IoDetachDevice(ext->lower);
      if (gFault == Fault::DeleteOnSurprise)
        IoDeleteDevice(device);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      return IofCallDriver(ext->lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      if (gFault == Fault::FailRemove)
        return kt::Complete(irp, STATUS_UNSUCCESSFUL);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      PDEVICE_OBJECT lower = ext->lower;
      NTSTATUS status = IofCallDriver(lower, irp);
      if (gFault != Fault::DeleteWithoutDetach && gFault != Fault::DetachOnSurprise)
        IoDetachDevice(lower);
      if (gFault != Fault::DeleteOnSurprise)
        IoDeleteDevice(device);
      if (gFault == Fault::DeleteTwiceOnRemove)
        IoDeleteDevice(device);
      return status;
    }
    default:
      IoSkipCurrentIrpStackLocation(irp);
      return IofCallDriver(ext->lower, irp);
  }
}

NTSTATUS NTAPI BadAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  NTSTATUS status = kt::FdoAddDevice(driver, pdo);
  if (gFault == Fault::KeepInitializing)
    IoGetAttachedDevice(pdo)->Flags |= DO_DEVICE_INITIALIZING;
  if (gFault == Fault::AddDeviceOwningMutex)
    KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
  return status;
}

NTSTATUS NTAPI BadEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& slot : driver->MajorFunction)
    slot = BadDispatch;
  driver->DriverExtension->AddDevice = BadAddDevice;
  return STATUS_SUCCESS;
}

struct BadStack {
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT fdo;
};

BadStack Build() {
  kt::gBus = kt::BusConfig{};
  PDRIVER_OBJECT bus = sim::LoadDriver(u"bus", kt::BusEntry);
  PDEVICE_OBJECT pdo = kt::MakePdo(bus);
  PDRIVER_OBJECT bad = sim::LoadDriver(u"bad", BadEntry);
  sim::pnp::AddDevice(bad, pdo);
  return {pdo, sim::pnp::Top(pdo)};
}

// A system thread that runs `routine` and is waited for; its handle is closed.
void RunSystemThread(PKSTART_ROUTINE routine) {
  HANDLE h;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&h, THREAD_ALL_ACCESS, &attributes, nullptr,
                                                 nullptr, routine, nullptr));
  ASSERT_TRUE(sim::WaitForSystemThreads(std::chrono::seconds(5)));
  ZwClose(h);
}

// A system thread with nothing to do, under a kernel handle that is the caller's.
HANDLE StartEmptySystemThread() {
  HANDLE h = nullptr;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  PsCreateSystemThread(
      &h, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, [](PVOID) NTAPI {}, nullptr);
  return h;
}

void SendControl(PDEVICE_OBJECT top, ULONG outputLength = 4) {
  sim::Client client;
  auto open = client.OpenDevice(top, 0);
  client.DeviceIoControl(open.Handle, 0x220000, {1, 2}, outputLength);
  client.Close(open.Handle);
}

// Sends a request the driver holds below (the bus keeps it), requires
// `returned` from IofCallDriver, then lets the bus complete it and waits for
// its end.
void SendHeldRequest(NTSTATUS returned) {
  BadStack s = Build();
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp =
      IoBuildDeviceIoControlRequest(0x220000, s.fdo, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  EXPECT_EQ(returned, IofCallDriver(s.fdo, irp));
  kt::Complete(gHeld, STATUS_SUCCESS);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
}

// ---- the cases
struct Case {
  const char* name;
  Check check;
  Fault fault;  // of the bad driver, for the whole case
  void (*bad)();
};

// What most cases do with the bad driver: each is a stack built for the case.
void SendControlDown() {
  SendControl(Build().fdo);
}
void AddDeviceOnly() {
  Build();
}
void RemoveTheDevice() {
  sim::pnp::Remove(Build().pdo);
}
void SurpriseRemoveThenRemove() {
  BadStack s = Build();
  sim::pnp::SurpriseRemove(s.pdo);
  sim::pnp::Remove(s.pdo);
}
void QueryBusInformation() {
  sim::pnp::Send(Build().pdo, IRP_MN_QUERY_BUS_INFORMATION);
}
void QueryId() {
  sim::pnp::Send(Build().pdo, IRP_MN_QUERY_ID);
}

const Case kCases[] = {
    {"pool leaked", Check::PoolLeak, Fault::None,
     [] {
       ExAllocatePoolWithTag(NonPagedPoolNx, 12, Tag("kv21"));
       sim::verifier::CheckEndOfTest();
     }},
    {"pool freed twice", Check::PoolDoubleFree, Fault::None,
     [] {
       PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 12, Tag("kv21"));
       ExFreePool(p);
       ExFreePool(p);
     }},
    {"freeing what pool never gave", Check::PoolBadFree, Fault::None,
     [] {
       static int notPool;
       ExFreePool(&notPool);
     }},
    {"freed with another tag", Check::PoolTagMismatch, Fault::None,
     [] {
       PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 12, Tag("kv21"));
       ExFreePoolWithTag(p, Tag("kv31"));
     }},
    {"request completed twice", Check::RequestCompletedTwice, Fault::CompleteTwice,
     SendControlDown},
    {"request completed with STATUS_PENDING", Check::RequestCompletedPending,
     Fault::CompletePending, SendControlDown},
    {"request never completed", Check::RequestNeverCompleted, Fault::NeverComplete,
     [] {
       BadStack s = Build();
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       IO_STATUS_BLOCK iosb;
       PIRP irp = IoBuildDeviceIoControlRequest(0x220003, s.fdo, nullptr, 0, nullptr, 0, TRUE,
                                                &event, &iosb);
       IofCallDriver(s.fdo, irp);
       sim::verifier::CheckEndOfTest();
     }},
    {"dispatch completed with one status and returned another", Check::DispatchStatusMismatch,
     Fault::ReturnOtherStatus, SendControlDown},
    {"dispatch returned at raised IRQL", Check::DispatchIrqlChanged, Fault::KeepIrqlRaised,
     SendControlDown},
    {"wait at DISPATCH_LEVEL", Check::WaitAtDispatch, Fault::None,
     [] {
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, TRUE);
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
       KeLowerIrql(old);
     }},
    {"spin lock held across a call to another driver", Check::SpinLockHeldAcrossCall,
     Fault::CallWithSpinLock, QueryBusInformation},
    {"spin lock held across a wait", Check::SpinLockHeldAcrossWait, Fault::None,
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, TRUE);
       KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
       LARGE_INTEGER zero{};
       KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
       KeReleaseSpinLock(&lock, old);
     }},
    {"mutex released by a thread that does not own it", Check::MutexNotOwner, Fault::None,
     [] {
       KMUTEX mutex;
       KeInitializeMutex(&mutex, 0);
       KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
       std::thread([&] { KeReleaseMutex(&mutex, FALSE); }).join();
       KeReleaseMutex(&mutex, FALSE);
     }},
    {"Information larger than the output buffer", Check::InformationOverflow,
     Fault::TooMuchInformation, SendControlDown},
    {"DO_DEVICE_INITIALIZING left set by AddDevice", Check::DeviceInitializing,
     Fault::KeepInitializing, AddDeviceOnly},
    {"device detached during surprise removal", Check::DetachDuringSurpriseRemoval,
     Fault::DetachOnSurprise, SurpriseRemoveThenRemove},
    {"device deleted during surprise removal", Check::DeleteDuringSurpriseRemoval,
     Fault::DeleteOnSurprise, SurpriseRemoveThenRemove},
    {"device deleted twice", Check::DeviceDeletedTwice, Fault::DeleteTwiceOnRemove,
     RemoveTheDevice},
    {"device deleted while still attached", Check::DeleteWhileAttached, Fault::DeleteWithoutDetach,
     RemoveTheDevice},
    {"remove request failed", Check::RemoveFailed, Fault::FailRemove, RemoveTheDevice},
    {"pageable code at DISPATCH_LEVEL", Check::PagedCodeAtRaisedIrql, Fault::PagedAtDispatch,
     SendControlDown},
    {"kernel handle leaked", Check::HandleLeak, Fault::None,
     [] {
       StartEmptySystemThread();  // its handle never closed
       sim::verifier::CheckEndOfTest();
     }},
    {"thread object reference leaked", Check::ObjectLeak, Fault::None,
     [] {
       HANDLE h = StartEmptySystemThread();
       PVOID thread;
       ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr);
       ZwClose(h);
       sim::verifier::CheckEndOfTest();
     }},
    {"closing a handle the process does not have", Check::HandleInvalid, Fault::None,
     [] {
       HANDLE h;
       sim::Process* client = sim::CreateProcess("client");
       {
         sim::InProcess in(client);
         PsCreateSystemThread(
             &h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) NTAPI {}, nullptr);
       }
       ZwClose(h);  // from the system process: not there
       sim::WaitForSystemThreads(std::chrono::seconds(5));
       sim::CloseProcessHandles(client);
     }},
    {"dereferenced once too often", Check::ObjectBadReference, Fault::None,
     [] {
       HANDLE h = StartEmptySystemThread();
       PVOID thread;
       ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr);
       KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
       sim::WaitForSystemThreads(std::chrono::seconds(5));
       ObDereferenceObject(thread);
       ZwClose(h);
       ObDereferenceObject(thread);
     }},
    {"request sent with no stack location left", Check::NoMoreStackLocations, Fault::None,
     [] {
       BadStack s = Build();
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoSetNextIrpStackLocation(irp);  // the owner took the only location
       IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
       EXPECT_EQ(STATUS_INVALID_PARAMETER, IofCallDriver(s.pdo, irp));
       IoFreeIrp(irp);
     }},
    // Windows' DDI compliance rules, each under its name.
    {"cancel-stop completed without passing it down", Check::PnpIrpCompletion,
     Fault::CompletePnpHere, [] { sim::pnp::CancelStop(Build().pdo); }},
    {"stop failed by the function driver", Check::PnpIrpCompletion, Fault::FailStop,
     [] { sim::pnp::Stop(Build().pdo); }},
    {"start completed with success after the bus failed it", Check::CompleteRequestStatusCheck,
     Fault::HideLowerStartFailure,
     [] {
       BadStack s = Build();
       kt::gBus.startStatus = STATUS_DEVICE_POWER_FAILURE;
       sim::pnp::Start(s.pdo);
     }},
    {"hibernation completed without passing it down", Check::PowerDownFail,
     Fault::CompletePowerHere, [] { sim::power::SetSystem(Build().pdo, PowerSystemHibernate); }},
    {"D0 completed without passing it down", Check::PowerUpFail, Fault::CompletePowerHere,
     [] { sim::power::SetDevice(Build().pdo, PowerDeviceD0); }},
    {"request completed under a spin lock", Check::SpinLockSafe, Fault::CompleteUnderSpinLock,
     SendControlDown},
    {"wait without a timeout for a built request", Check::IoBuildDeviceControlWaitTimeout,
     Fault::WaitForBuiltForever,
     [] {
       BadStack s = Build();
       kt::gBus.completeAsync = true;
       // Still below when the driver starts its wait, however the threads run.
       kt::gBus.asyncDelayMs = 200;
       SendControl(s.fdo);
     }},
    {"pending marked, success returned", Check::MarkIrpPending, Fault::MarkThenSucceed,
     SendControlDown},
    {"STATUS_PENDING returned, neither marked nor passed down", Check::MarkIrpPending2,
     Fault::PendUnmarked, [] { SendHeldRequest(STATUS_PENDING); }},
    {"completed unmarked, STATUS_PENDING returned", Check::PendedCompletedRequest,
     Fault::CompleteThenPend, SendControlDown},
    {"completion routine sets no event for a pended request", Check::SignalEventInCompletion,
     Fault::ForgetEventWhenPended,
     [] {
       BadStack s = Build();
       kt::gBus.completeAsync = true;
       // Below long enough for the dispatch routine to be waiting when it comes back.
       kt::gBus.asyncDelayMs = 200;
       std::thread client([&] { SendControl(s.fdo); });
       for (int i = 0; i < 200 && !sim::verifier::CountOf(Check::SignalEventInCompletion); ++i)
         std::this_thread::sleep_for(std::chrono::milliseconds(50));
       KeSetEvent(&gEvent, IO_NO_INCREMENT, FALSE);  // what the routine should have done
       client.join();
     }},
    {"Plug and Play request sent down at DISPATCH_LEVEL", Check::ForwardedAtBadIrql,
     Fault::PassPnpDownAtDispatch, QueryBusInformation},
    {"query-ID reached the bus with success set above it", Check::PnpBusRequestAltered,
     Fault::AlterBusRequest, QueryId},
    {"query-ID failed above the bus", Check::PnpBusRequestAltered, Fault::FailBusRequestHere,
     QueryId},
    {"success returned for a request nobody completed", Check::IrpProcessingComplete,
     Fault::SucceedUncompleted, [] { SendHeldRequest(STATUS_SUCCESS); }},
    {"PASSIVE_LEVEL-only routine called while handling a set-power", Check::PowerIrpDDIs,
     Fault::PassiveCallInSetPower, [] { sim::power::SetDevice(Build().pdo, PowerDeviceD3); }},
    {"pool asked for while handling a system set-power to S3", Check::PowerDownAllocate,
     Fault::AllocateInPowerDown, [] { sim::power::SetSystem(Build().pdo, PowerSystemSleeping3); }},
    {"system-control request completed without passing it down", Check::WmiForward, Fault::None,
     [] {
       BadStack s = Build();
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       IO_STATUS_BLOCK iosb;
       PIRP irp = IoBuildDeviceIoControlRequest(0x220000, s.fdo, nullptr, 0, nullptr, 0, FALSE,
                                                &event, &iosb);
       IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
       IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_ALL_DATA;
       if (IofCallDriver(s.fdo, irp) == STATUS_PENDING)
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
     }},
    {"pool asked for above DISPATCH_LEVEL", Check::PoolBadIrql, Fault::None,
     [] {
       KfRaiseIrql(DISPATCH_LEVEL + 1);
       PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("kv21"));
       KfLowerIrql(PASSIVE_LEVEL);
       ExFreePool(p);
     }},
    {"pool freed above DISPATCH_LEVEL", Check::PoolBadIrql, Fault::None,
     [] {
       PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("kv21"));
       KfRaiseIrql(DISPATCH_LEVEL + 1);
       ExFreePool(p);
       KfLowerIrql(PASSIVE_LEVEL);
     }},
    {"spin lock acquired again by its holder", Check::SpinLockMisuse, Fault::None,
     [] {
       KIRQL old = KeAcquireSpinLockRaiseToDpc(&gSpinLock);
       KeAcquireSpinLockAtDpcLevel(&gSpinLock);
       KeReleaseSpinLock(&gSpinLock, old);
     }},
    {"spin lock released below DISPATCH_LEVEL", Check::IrqlKeReleaseSpinLock, Fault::None,
     [] {
       KfRaiseIrql(DISPATCH_LEVEL);
       KeAcquireSpinLockAtDpcLevel(&gSpinLock);
       KfLowerIrql(PASSIVE_LEVEL);
       KeReleaseSpinLock(&gSpinLock, PASSIVE_LEVEL);
     }},
    {"dispatch returned owning a mutex", Check::MutexHeldAtReturn, Fault::ReturnOwningMutex,
     SendControlDown},
    {"dispatch returned holding a spin lock", Check::SpinLockHeldAtReturn,
     Fault::ReturnHoldingSpinLock, SendControlDown},
    {"dispatch returned with the IRQL raised", Check::IrqlNotRestoredAtReturn,
     Fault::KeepIrqlRaised, SendControlDown},
    {"AddDevice returned owning a mutex", Check::MutexHeldAtReturn, Fault::AddDeviceOwningMutex,
     AddDeviceOnly},
    {"system thread ended owning a mutex", Check::MutexHeldAtReturn, Fault::None,
     [] {
       RunSystemThread([](PVOID) NTAPI {
         KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
       });
     }},
    {"system thread ended holding a spin lock", Check::SpinLockHeldAtReturn, Fault::None,
     [] { RunSystemThread([](PVOID) NTAPI { KeAcquireSpinLockRaiseToDpc(&gSpinLock); }); }},
    {"system thread ended at raised IRQL", Check::IrqlNotRestoredAtReturn, Fault::None,
     [] { RunSystemThread([](PVOID) NTAPI { KfRaiseIrql(APC_LEVEL); }); }},
    {"executable pool where the system has NonPagedPoolNx", Check::ExecutablePool, Fault::None,
     [] { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 12, Tag("kv21"))); }},
    {"allocated request completed past its owner", Check::RequestUnowned, Fault::None,
     [] {
       BadStack s = Build();
       PIRP irp = IoAllocateIrp(s.fdo->StackSize, FALSE);
       IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
       IofCallDriver(s.fdo, irp);
       IoFreeIrp(irp);
     }},
};

class VerifierTest : public sim::test::KernelTest, public ::testing::WithParamInterface<Case> {};

TEST_P(VerifierTest, FiresOnWrongCode) {
  const Case& c = GetParam();
  gFault = Fault::None;
  gHeld = nullptr;
  KeInitializeMutex(&gMutex, 0);
  KeInitializeSpinLock(&gSpinLock);
  KeInitializeEvent(&gEvent, NotificationEvent, FALSE);
  {
    sim::test::ExpectViolations expect;
    gFault = c.fault;
    c.bad();
    gFault = Fault::None;
    sim::Shutdown();
    EXPECT_TRUE(expect.Saw(c.check)) << "no " << sim::verifier::Name(c.check);
    for (const auto& v : expect.All())
      EXPECT_EQ(0u, v.message.rfind(sim::verifier::Name(v.check), 0));
    gFault = Fault::None;
    sim::ResetKernel();
  }
  sim::test::FailTestOnViolations();
}

INSTANTIATE_TEST_SUITE_P(Checks, VerifierTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           // The check's name, numbered from its second case on.
                           size_t earlier = 0;
                           for (size_t i = 0; i < info.index; ++i)
                             earlier += kCases[i].check == info.param.check;
                           std::string name = sim::verifier::Name(info.param.check);
                           return earlier ? name + std::to_string(earlier + 1) : name;
                         });

// The same bench with the fault switched off raises nothing: the checks
// above are not simply always on.
using QuietTest = sim::test::KernelTest;

TEST_F(QuietTest, AWellBehavedStackRaisesNothing) {
  gFault = Fault::None;
  BadStack s = Build();
  SendControl(s.fdo);
  sim::pnp::SurpriseRemove(s.pdo);
  sim::pnp::Remove(s.pdo);
  EXPECT_TRUE(sim::verifier::Violations().empty());
}

// What the caller held before it sent a request is its own business, and a
// mutex taken and given back inside the dispatch routine is no finding.
TEST_F(QuietTest, OnlyWhatTheDriverKeptIsReported) {
  gFault = Fault::None;
  KeInitializeMutex(&gMutex, 0);
  BadStack s = Build();
  KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
  SendControl(s.fdo);
  KeReleaseMutex(&gMutex, FALSE);
  RunSystemThread([](PVOID) NTAPI {
    KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&gMutex, FALSE);
    KeReleaseMutex(&gMutex, FALSE);
  });
  EXPECT_TRUE(sim::verifier::Violations().empty());
}

// Windows stops at the finding; the simulated kernel gives the mutex back so
// that the other threads of the test do not hang on it.
TEST_F(QuietTest, AMutexKeptByADispatchRoutineIsGivenBack) {
  KeInitializeMutex(&gMutex, 0);
  BadStack s = Build();
  {
    sim::test::ExpectViolations expect;
    gFault = Fault::ReturnOwningMutex;
    SendControl(s.fdo);
    gFault = Fault::None;
    ASSERT_TRUE(expect.Saw(Check::MutexHeldAtReturn));
    EXPECT_NE(std::string::npos, expect.All()[0].message.find("APC_INDEX_MISMATCH"));
  }
  EXPECT_EQ(1, KeReadStateMutex(&gMutex));
  std::thread([] {
    KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&gMutex, FALSE);
  }).join();
}

}  // namespace
