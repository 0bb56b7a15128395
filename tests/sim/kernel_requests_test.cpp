// Request semantics: stack locations, completion routines, threaded requests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/sim/kernel_drivers.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::test::KernelTest;

// A three-device stack of one test driver: each level may set a completion
// routine before passing the request down; the bottom completes it.
struct Level {
  PDEVICE_OBJECT lower;
  int index;
};
struct Plan {
  UCHAR control[3];  // SL_INVOKE_* bits each level asks for (0: no routine)
  NTSTATUS finalStatus;
  bool cancel;
  int moreProcessingAt = -1;  // the level whose routine keeps the request
};
Plan gPlan;
std::string gOrder;
PIRP gKept;

NTSTATUS NTAPI LevelRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  int index = static_cast<int>(reinterpret_cast<intptr_t>(context));
  gOrder += std::to_string(index);
  // The routine runs with the stack at its own driver's location.
  EXPECT_EQ(device, IoGetCurrentIrpStackLocation(irp)->DeviceObject);
  if (index == gPlan.moreProcessingAt) {
    gKept = irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI LevelDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* level = static_cast<Level*>(device->DeviceExtension);
  if (!level->lower) {
    irp->Cancel = gPlan.cancel;
    irp->IoStatus.Status = gPlan.finalStatus;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return gPlan.finalStatus;
  }
  IoCopyCurrentIrpStackLocationToNext(irp);
  UCHAR control = gPlan.control[level->index];
  if (control) {
    IoSetCompletionRoutine(
        irp, LevelRoutine, reinterpret_cast<PVOID>(static_cast<intptr_t>(level->index)),
        (control & SL_INVOKE_ON_SUCCESS) != 0, (control & SL_INVOKE_ON_ERROR) != 0,
        (control & SL_INVOKE_ON_CANCEL) != 0);
  }
  return IofCallDriver(level->lower, irp);
}

NTSTATUS NTAPI LevelEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = LevelDispatch;
  return STATUS_SUCCESS;
}

class RequestTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_ = sim::LoadDriver(u"levels", LevelEntry);
    PDEVICE_OBJECT below = nullptr;
    for (int i = 2; i >= 0; --i) {
      PDEVICE_OBJECT d;
      ASSERT_EQ(STATUS_SUCCESS,
                IoCreateDevice(driver_, sizeof(Level), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d));
      d->Flags &= ~DO_DEVICE_INITIALIZING;
      auto* level = static_cast<Level*>(d->DeviceExtension);
      level->index = i;
      level->lower = below ? IoAttachDeviceToDeviceStack(d, below) : nullptr;
      devices_[i] = d;
      below = d;
    }
    gOrder.clear();
    gKept = nullptr;
  }
  void TearDown() override {
    for (int i = 0; i < 2; ++i)
      IoDetachDevice(devices_[i + 1]);
    for (auto* d : devices_)
      IoDeleteDevice(d);
    KernelTest::TearDown();
  }
  // Sends a control request to the top level and returns its final status.
  // The request may finish after the call: its event lives as long as the test.
  NTSTATUS Send(PIO_STATUS_BLOCK iosb) {
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, devices_[0], nullptr, 0, nullptr, 0, FALSE,
                                             &event_, iosb);
    return IofCallDriver(devices_[0], irp);
  }
  KEVENT event_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT devices_[3] = {};
};

constexpr UCHAR kAll = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

TEST_F(RequestTest, StackSizeGrowsByOnePerAttachedDevice) {
  EXPECT_EQ(1, devices_[2]->StackSize);
  EXPECT_EQ(2, devices_[1]->StackSize);
  EXPECT_EQ(3, devices_[0]->StackSize);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(devices_[2]);
  EXPECT_EQ(devices_[0], top);
  ObDereferenceObject(top);
}

TEST_F(RequestTest, CompletionRoutinesRunBottomUpByTheirInvokeFlags) {
  struct Case {
    const char* name;
    UCHAR control0, control1;
    NTSTATUS status;
    bool cancel;
    const char* order;
  } cases[] = {
      {"success, both on success", SL_INVOKE_ON_SUCCESS, SL_INVOKE_ON_SUCCESS, STATUS_SUCCESS,
       false, "10"},
      {"error, only level 0 on error", SL_INVOKE_ON_ERROR, SL_INVOKE_ON_SUCCESS,
       STATUS_UNSUCCESSFUL, false, "0"},
      {"success, only level 1 on success", SL_INVOKE_ON_ERROR, SL_INVOKE_ON_SUCCESS, STATUS_SUCCESS,
       false, "1"},
      {"warning counts as error", SL_INVOKE_ON_SUCCESS, SL_INVOKE_ON_ERROR, STATUS_DEVICE_BUSY,
       false, "1"},
      {"informational counts as success", SL_INVOKE_ON_SUCCESS, SL_INVOKE_ON_ERROR,
       STATUS_OBJECT_NAME_EXISTS, false, "0"},
      {"cancelled success, cancel flag only", SL_INVOKE_ON_CANCEL, 0, STATUS_SUCCESS, true, "0"},
      {"not cancelled, cancel flag only", SL_INVOKE_ON_CANCEL, SL_INVOKE_ON_CANCEL,
       STATUS_CANCELLED, false, ""},
      {"all flags", kAll, kAll, STATUS_CANCELLED, true, "10"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    gPlan = Plan{{c.control0, c.control1, 0}, c.status, c.cancel};
    gOrder.clear();
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(c.status, Send(&iosb));
    EXPECT_EQ(c.order, gOrder);
    EXPECT_EQ(c.status, iosb.Status);
  }
}

TEST_F(RequestTest, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
  gPlan = Plan{{kAll, kAll, 0}, STATUS_SUCCESS, false, 1};
  IO_STATUS_BLOCK iosb{};
  iosb.Status = -1;
  Send(&iosb);
  EXPECT_EQ("1", gOrder);  // level 0's routine has not run yet
  ASSERT_NE(nullptr, gKept);
  EXPECT_EQ(-1, iosb.Status);  // the request is not finished
  gPlan.moreProcessingAt = -1;
  gKept->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
  IofCompleteRequest(gKept, IO_NO_INCREMENT);  // level 1 completes it again
  EXPECT_EQ("10", gOrder);
  EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, iosb.Status);
}

TEST_F(RequestTest, CopyToNextClearsControlAndSkipReusesTheLocation) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  current->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  current->Parameters.DeviceIoControl.IoControlCode = 0x1234;
  current->Control = SL_PENDING_RETURNED | SL_INVOKE_ON_SUCCESS;
  current->CompletionRoutine = LevelRoutine;
  IoCopyCurrentIrpStackLocationToNext(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, next->MajorFunction);
  EXPECT_EQ(0x1234u, next->Parameters.DeviceIoControl.IoControlCode);
  EXPECT_EQ(0, next->Control);
  EXPECT_EQ(nullptr, next->CompletionRoutine);
  CHAR location = irp->CurrentLocation;
  IoSkipCurrentIrpStackLocation(irp);
  EXPECT_EQ(location + 1, irp->CurrentLocation);
  EXPECT_EQ(current, IoGetNextIrpStackLocation(irp));
  IoFreeIrp(irp);
}

std::atomic<int> gPendingSeen{-1};

NTSTATUS NTAPI PendingSeen(PDEVICE_OBJECT, PIRP irp, PVOID) {
  gPendingSeen = irp->PendingReturned ? 1 : 0;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(KernelTest, PendingReturnedReachesTheRoutineAboveAnAsynchronousCompletion) {
  for (bool async : {false, true}) {
    SCOPED_TRACE(async ? "pending" : "synchronous");
    kt::gBus = kt::BusConfig{};
    kt::gBus.completeAsync = async;
    auto* bus = sim::LoadDriver(u"bus", kt::BusEntry);
    PDEVICE_OBJECT pdo = kt::MakePdo(bus);
    gPendingSeen = -1;
    PIRP irp = IoAllocateIrp(1, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, PendingSeen, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(async ? STATUS_PENDING : STATUS_SUCCESS, IofCallDriver(pdo, irp));
    for (int i = 0; i < 500 && gPendingSeen < 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(async ? 1 : 0, gPendingSeen.load());
    IoFreeIrp(irp);
  }
}

TEST_F(KernelTest, ThreadedControlRequestCopiesOutputSetsTheEventAndFreesItself) {
  for (bool async : {false, true}) {
    SCOPED_TRACE(async ? "completed later from another thread" : "completed at once");
    kt::Stack s = kt::BuildStack();
    kt::gBus.completeAsync = async;
    UCHAR in[4] = {1, 2, 3, 4};
    UCHAR out[8] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    // Buffered: the function driver answers the input reversed.
    PIRP irp = IoBuildDeviceIoControlRequest(
        CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), s.fdo, in, sizeof in,
        out, sizeof out, FALSE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, IoGetNextIrpStackLocation(irp)->MajorFunction);
    EXPECT_EQ(STATUS_SUCCESS, IofCallDriver(s.fdo, irp));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
    EXPECT_EQ(4u, iosb.Information);
    EXPECT_EQ(4, out[0]);
    EXPECT_EQ(1, out[3]);
    EXPECT_EQ(0, out[4]);
    // Internal, to the bus driver, which may pend it.
    KeClearEvent(&event);
    irp =
        IoBuildDeviceIoControlRequest(0x220003, s.pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    EXPECT_EQ(IRP_MJ_INTERNAL_DEVICE_CONTROL, IoGetNextIrpStackLocation(irp)->MajorFunction);
    NTSTATUS status = IofCallDriver(s.pdo, irp);
    EXPECT_EQ(async ? STATUS_PENDING : STATUS_SUCCESS, status);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
  }
}

TEST_F(RequestTest, UnsetDispatchSlotsAnswerInvalidDeviceRequest) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, devices_[0], nullptr, 0, nullptr, 0, TRUE,
                                           &event, &iosb);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IofCallDriver(devices_[0], irp));
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, iosb.Status);
  EXPECT_EQ(1, KeReadStateEvent(&event));
}

TEST_F(RequestTest, BuildingARequestCanBeMadeToFail) {
  sim::faults::Fail(sim::faults::Kind::BuildRequest, {1});
  IO_STATUS_BLOCK iosb;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP first = IoAllocateIrp(1, FALSE);
  EXPECT_NE(nullptr, first);
  EXPECT_EQ(nullptr, IoBuildDeviceIoControlRequest(0x220003, devices_[0], nullptr, 0, nullptr, 0,
                                                   TRUE, &event, &iosb));
  IoFreeIrp(first);
}

}  // namespace
