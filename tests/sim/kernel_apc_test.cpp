// A request built with IoBuildDeviceIoControlRequest ends in the thread that
// built it: the I/O manager's special kernel APC copies the status block and
// sets the event, and a thread takes that APC only at PASSIVE_LEVEL outside
// any guarded region. A kernel mutex (a critical region) does not hold it
// back; a guarded region or APC_LEVEL (where a fast mutex keeps its owner)
// does, and a wait for the request there never ends on Windows.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "tests/sim/kernel_drivers.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::verifier::Check;

// A lower driver that keeps every internal control request pending until
// the test completes it.
std::atomic<PIRP> gHeld{nullptr};

NTSTATUS NTAPI HoldInternal(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  gHeld.store(irp);
  return STATUS_PENDING;
}

NTSTATUS NTAPI HolderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HoldInternal;
  driver->DriverUnload = kt::BusUnload;
  return STATUS_SUCCESS;
}

// Completes the held request from another thread, as a bus driver's
// completion would, with Information 7.
void CompleteElsewhere() {
  std::thread([] {
    PIRP irp = gHeld.exchange(nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 7;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }).join();
}

// A region of the building thread, entered after the request is below.
struct Region {
  const char* name;
  std::function<void()> enter;
  std::function<void()> leave;
  bool holdsBackTheApc;
};

KMUTEX gMutex;
KIRQL gOldIrql;

const Region kRegions[] = {
    {"GuardedRegion", [] { KeEnterGuardedRegion(); }, [] { KeLeaveGuardedRegion(); }, true},
    // A fast mutex's owner runs at APC_LEVEL.
    {"ApcLevel", [] { KeRaiseIrql(APC_LEVEL, &gOldIrql); }, [] { KeLowerIrql(gOldIrql); }, true},
    // A kernel mutex's owner is in a critical region: normal kernel APCs only.
    {"KernelMutex", [] { KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr); },
     [] { KeReleaseMutex(&gMutex, FALSE); }, false},
    {"Passive", [] {}, [] {}, false},
};

class BuiltRequest : public sim::test::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    KeInitializeMutex(&gMutex, 0);
    gHeld = nullptr;
    holder_ = kt::MakePdo(sim::LoadDriver(u"holder", HolderEntry));
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    iosb_.Status = STATUS_PENDING;
    iosb_.Information = 0xEEEE;
  }
  // Builds a request to the holder and sends it: it stays below.
  void Send() {
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, holder_, nullptr, 0, nullptr, 0, TRUE,
                                             &event_, &iosb_);
    ASSERT_NE(nullptr, irp);
    ASSERT_EQ(STATUS_PENDING, IofCallDriver(holder_, irp));
    ASSERT_NE(nullptr, gHeld.load());
  }
  bool Finished() const { return KeReadStateEvent(const_cast<PKEVENT>(&event_)) == 1; }
  PDEVICE_OBJECT holder_ = nullptr;
  KEVENT event_;
  IO_STATUS_BLOCK iosb_;
};

std::string RegionName(const ::testing::TestParamInfo<Region>& info) {
  return info.param.name;
}

class ApcHeldBack : public BuiltRequest, public ::testing::WithParamInterface<Region> {};

// Completed elsewhere while the builder is in a region that holds back the
// APC: nothing reaches the builder before it takes the APC, not even while it
// waits for something else, and it takes it as it leaves the region.
TEST_P(ApcHeldBack, UntilTheBuilderLeavesTheRegion) {
  const Region& r = GetParam();
  Send();
  r.enter();
  CompleteElsewhere();
  // A wait for something else in the region does not take it either.
  KEVENT other;
  KeInitializeEvent(&other, NotificationEvent, TRUE);
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&other, Executive, KernelMode, FALSE, nullptr));
  EXPECT_FALSE(Finished());
  EXPECT_EQ(STATUS_PENDING, iosb_.Status);
  EXPECT_EQ(0xEEEEu, iosb_.Information);
  r.leave();
  EXPECT_TRUE(Finished());
  EXPECT_EQ(STATUS_SUCCESS, iosb_.Status);
  EXPECT_EQ(7u, iosb_.Information);
}

// The builder waits in the region and the request completes during the wait.
// Where the region holds back the APC the wait could never end: reported (the
// kernel takes the APC after all, so that the test goes on). Elsewhere the
// wait takes the APC and ends with the event set, and nothing is reported.
INSTANTIATE_TEST_SUITE_P(Regions, ApcHeldBack, ::testing::ValuesIn(kRegions, kRegions + 2),
                         RegionName);

class WaitForBuilt : public BuiltRequest, public ::testing::WithParamInterface<Region> {};

TEST_P(WaitForBuilt, InARegionThatHoldsBackTheApcIsReported) {
  const Region& r = GetParam();
  Send();
  {
    sim::test::ExpectViolations expect;
    r.enter();
    std::thread completer([] {
      // Once the wait has begun (or not: the finding is made either way).
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      PIRP irp = gHeld.exchange(nullptr);
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = 7;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
    EXPECT_EQ(STATUS_SUCCESS,
              KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr));
    r.leave();
    completer.join();
    EXPECT_EQ(r.holdsBackTheApc ? 1u : 0u, expect.Count(Check::BuiltRequestWaitApcsDisabled));
    EXPECT_EQ(expect.All().size(), expect.Count(Check::BuiltRequestWaitApcsDisabled));
  }
  EXPECT_EQ(7u, iosb_.Information);
}

INSTANTIATE_TEST_SUITE_P(Regions, WaitForBuilt, ::testing::ValuesIn(kRegions), RegionName);

// The request completed in its own thread at PASSIVE_LEVEL: the APC runs at
// once, before IofCompleteRequest returns, as the interrupt it asks for does.
TEST_F(BuiltRequest, CompletedByItsOwnThreadEndsAtOnce) {
  Send();
  PIRP irp = gHeld.exchange(nullptr);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 7;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_TRUE(Finished());
  EXPECT_EQ(7u, iosb_.Information);
}

}  // namespace
