// Cancellation as the I/O manager does it (IoCancelIrp and the cancel spin
// lock), and timed waits on the kernel's virtual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/kernel/clock.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::test::ExpectViolations;
using sim::test::KernelTest;

struct Seen {
  bool cancel = false;
  bool routineCleared = false;
  KIRQL irql = 0xFF;
  KIRQL cancelIrql = 0xFF;
  int calls = 0;
};
Seen gSeen;

VOID NTAPI ReleasingCancel(PDEVICE_OBJECT, PIRP irp) {
  gSeen.cancel = irp->Cancel;
  gSeen.routineCleared = irp->CancelRoutine == nullptr;
  gSeen.irql = KeGetCurrentIrql();
  gSeen.cancelIrql = irp->CancelIrql;
  ++gSeen.calls;
  IoReleaseCancelSpinLock(irp->CancelIrql);
}

VOID NTAPI ForgetfulCancel(PDEVICE_OBJECT, PIRP) {
  ++gSeen.calls;
}

TEST_F(KernelTest, CancelRoutineRunsOnceAtDispatchWithTheCancelLockHeld) {
  gSeen = Seen{};
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetCancelRoutine(irp, ReleasingCancel);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(1, gSeen.calls);
  EXPECT_TRUE(gSeen.cancel);
  EXPECT_TRUE(gSeen.routineCleared);
  EXPECT_EQ(DISPATCH_LEVEL, gSeen.irql);
  EXPECT_EQ(PASSIVE_LEVEL, gSeen.cancelIrql);
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  // No routine any more: the cancel bit is set and nothing is called.
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_EQ(1, gSeen.calls);
  EXPECT_TRUE(irp->Cancel);
  IoFreeIrp(irp);
}

TEST_F(KernelTest, CancelRoutineThatKeepsTheCancelLockIsAViolation) {
  gSeen = Seen{};
  ExpectViolations violations;
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetCancelRoutine(irp, ForgetfulCancel);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_TRUE(violations.Saw(sim::verifier::Check::SpinLockMisuse));
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  IoFreeIrp(irp);
}

TEST_F(KernelTest, CompletingARequestThatIsStillCancelableIsAViolation) {
  ExpectViolations violations;
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetCancelRoutine(irp, ReleasingCancel);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_TRUE(violations.Saw(sim::verifier::Check::InvalidCall));
  IoFreeIrp(irp);
}

TEST_F(KernelTest, TimedWaitsEndWhenTheClockReachesTheirDeadline) {
  sim::clock::SetRate(0);
  const ULONGLONG start = KeQueryInterruptTime();
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<NTSTATUS> result{STATUS_PENDING};
  std::thread waiter([&] {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -5LL * 10000000;  // 5 s
    result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  });
  ASSERT_TRUE(sim::clock::WaitUntilTimedWaiters(1));
  sim::clock::AdvanceMs(4999);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(STATUS_PENDING, result.load());
  sim::clock::AdvanceMs(1);
  waiter.join();
  EXPECT_EQ(STATUS_TIMEOUT, result.load());
  // A stopped clock moves only by what was advanced.
  EXPECT_EQ(50000000u, KeQueryInterruptTime() - start);
}

TEST_F(KernelTest, DelaysEndWhenTheClockHasMovedOn) {
  sim::clock::SetRate(0);
  std::atomic<bool> done{false};
  std::thread sleeper([&] {
    LARGE_INTEGER interval;
    interval.QuadPart = -10LL * 10000000;  // 10 s
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    done = true;
  });
  ASSERT_TRUE(sim::clock::WaitUntilTimedWaiters(1));
  sim::clock::AdvanceMs(9000);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(done.load());
  sim::clock::AdvanceMs(1000);
  sleeper.join();
  EXPECT_TRUE(done.load());
}

}  // namespace
