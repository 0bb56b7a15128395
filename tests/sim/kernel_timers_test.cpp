// Timers and DPCs: a timer expires on the kernel's clock, relative or
// absolute, signals and queues its DPC; a cancelled one does neither; a DPC
// routine runs at DISPATCH_LEVEL, where the IRQL rules hold.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/kernel/clock.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::verifier::Check;

struct Seen {
  std::atomic<int> runs{0};
  std::atomic<int> irql{-1};
  PVOID argument1 = nullptr;
  PVOID argument2 = nullptr;
};

void NTAPI Record(PKDPC, PVOID context, PVOID argument1, PVOID argument2) {
  auto* seen = static_cast<Seen*>(context);
  seen->argument1 = argument1;
  seen->argument2 = argument2;
  seen->irql = KeGetCurrentIrql();
  ++seen->runs;
}

bool WaitForRuns(const Seen& seen, int runs) {
  for (int i = 0; i < 2000 && seen.runs.load() < runs; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return seen.runs.load() >= runs;
}

class Timers : public sim::test::KernelTest {};

struct DueCase {
  const char* name;
  bool absolute;  // due at the system time 10 ms from now, else in -10 ms
  bool cancel;    // cancelled before it is due
};

const DueCase kDueCases[] = {
    {"relative", false, false},
    {"absolute", true, false},
    {"cancelled", false, true},
};

TEST_F(Timers, ExpireAtTheirDueTimeOnTheKernelsClock) {
  for (const DueCase& c : kDueCases) {
    SCOPED_TRACE(c.name);
    sim::clock::SetRate(0);
    Seen seen;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, Record, &seen);
    LARGE_INTEGER due;
    if (c.absolute) {
      KeQuerySystemTime(&due);
      due.QuadPart += 100000;
    } else {
      due.QuadPart = -100000;
    }
    EXPECT_FALSE(KeSetTimer(&timer, due, &dpc));
    EXPECT_TRUE(KeSetTimer(&timer, due, &dpc)) << "set again while set";
    sim::clock::Advance(99999);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(0, seen.runs.load()) << "before its due time";
    EXPECT_FALSE(KeReadStateTimer(&timer));
    if (c.cancel) {
      EXPECT_TRUE(KeCancelTimer(&timer));
    }
    sim::clock::Advance(1);
    if (c.cancel) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_EQ(0, seen.runs.load());
      EXPECT_FALSE(KeReadStateTimer(&timer));
    } else {
      ASSERT_TRUE(WaitForRuns(seen, 1));
      EXPECT_EQ(1, seen.runs.load());
      EXPECT_TRUE(KeReadStateTimer(&timer));
      EXPECT_FALSE(KeCancelTimer(&timer)) << "expired already";
    }
    sim::clock::SetRate(1);
  }
}

// A thread waiting on a timer wakes when it expires.
TEST_F(Timers, AWaitOnATimerEndsWhenItExpires) {
  sim::clock::SetRate(0);
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  LARGE_INTEGER due;
  due.QuadPart = -50000000;  // 5 s
  KeSetTimer(&timer, due, nullptr);
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::thread waiter(
      [&] { status = KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(STATUS_PENDING, status.load());
  sim::clock::AdvanceMs(5000);
  waiter.join();
  EXPECT_EQ(STATUS_SUCCESS, status.load());
  EXPECT_FALSE(KeReadStateTimer(&timer)) << "a synchronization timer is consumed by its waiter";
}

// A DPC queued from another DPC waits for it: queued once, not twice, and run
// with the arguments of the insertion that queued it.
struct Chain {
  KDPC next;
  Seen seen;
  BOOLEAN first = FALSE;
  BOOLEAN second = TRUE;
};

void NTAPI QueueNextTwice(PKDPC, PVOID context, PVOID, PVOID) {
  auto* chain = static_cast<Chain*>(context);
  chain->first = KeInsertQueueDpc(&chain->next, &chain->first, &chain->second);
  chain->second = KeInsertQueueDpc(&chain->next, nullptr, nullptr);
}

TEST_F(Timers, ADpcRunsOnceAtDispatchLevelWithItsArguments) {
  Chain chain;
  KDPC dpc;
  KeInitializeDpc(&dpc, QueueNextTwice, &chain);
  KeInitializeDpc(&chain.next, Record, &chain.seen);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  ASSERT_TRUE(WaitForRuns(chain.seen, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(1, chain.seen.runs.load());
  EXPECT_TRUE(chain.first);
  EXPECT_FALSE(chain.second);
  EXPECT_EQ(DISPATCH_LEVEL, chain.seen.irql.load());
  EXPECT_EQ(&chain.first, chain.seen.argument1);
  EXPECT_EQ(&chain.second, chain.seen.argument2);
}

// What a DPC routine may not do at DISPATCH_LEVEL is reported under the rule
// that forbids it.
struct Forbidden {
  const char* name;
  Check rule;
  void (*call)();
};

const Forbidden kForbidden[] = {
    {"ObReferenceObjectByHandle", Check::IrqlObPassive,
     [] {
       PVOID object = nullptr;
       ObReferenceObjectByHandle(nullptr, 0, nullptr, KernelMode, &object, nullptr);
     }},
    {"a wait that may block", Check::WaitAtDispatch,
     [] {
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       LARGE_INTEGER timeout;
       timeout.QuadPart = -1;
       KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
     }},
    {"KeFlushQueuedDpcs", Check::IrqlDocumented, [] { KeFlushQueuedDpcs(); }},
};

void NTAPI CallForbidden(PKDPC, PVOID context, PVOID, PVOID argument) {
  static_cast<const Forbidden*>(context)->call();
  ++static_cast<Seen*>(argument)->runs;
}

TEST_F(Timers, APassiveOnlyCallInADpcIsReported) {
  for (const Forbidden& c : kForbidden) {
    SCOPED_TRACE(c.name);
    {
      sim::test::ExpectViolations expect;
      Seen seen;
      KDPC dpc;
      KeInitializeDpc(&dpc, CallForbidden, const_cast<Forbidden*>(&c));
      KeInsertQueueDpc(&dpc, nullptr, &seen);
      ASSERT_TRUE(WaitForRuns(seen, 1));
      EXPECT_TRUE(expect.Saw(c.rule)) << "no " << sim::verifier::Name(c.rule);
    }
    sim::test::FailTestOnViolations();
  }
}

// KeFlushQueuedDpcs returns only once the DPCs queued before it have run,
// the one running at the time included.
struct Gate {
  std::atomic<bool> open{false};
  std::atomic<int> runs{0};
};

void NTAPI WaitAtGate(PKDPC, PVOID context, PVOID, PVOID) {
  auto* gate = static_cast<Gate*>(context);
  while (!gate->open)
    std::this_thread::yield();
  ++gate->runs;
}

TEST_F(Timers, AFlushWaitsForTheQueuedDpcs) {
  Gate gate;
  KDPC running;
  KDPC queued;
  KeInitializeDpc(&running, WaitAtGate, &gate);
  KeInitializeDpc(&queued, WaitAtGate, &gate);
  KeInsertQueueDpc(&running, nullptr, nullptr);
  KeInsertQueueDpc(&queued, nullptr, nullptr);
  std::atomic<bool> flushed{false};
  std::thread flusher([&] {
    KeFlushQueuedDpcs();
    flushed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(flushed) << "returned while a DPC ran";
  gate.open = true;
  flusher.join();
  EXPECT_EQ(2, gate.runs.load());
}

}  // namespace
