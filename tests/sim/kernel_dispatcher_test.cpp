// Dispatcher objects, waits, IRQL, system threads and handles.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/kernel/threads.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::test::KernelTest;
using Clock = std::chrono::steady_clock;

LARGE_INTEGER Relative(int milliseconds) {
  LARGE_INTEGER t;
  t.QuadPart = -10000LL * milliseconds;
  return t;
}

TEST_F(KernelTest, EventTypesDifferInWhatASatisfiedWaitLeaves) {
  struct Case {
    EVENT_TYPE type;
    LONG stateAfterWait;
  } cases[] = {{NotificationEvent, 1}, {SynchronizationEvent, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    KEVENT event;
    KeInitializeEvent(&event, c.type, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(1, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(c.stateAfterWait, KeReadStateEvent(&event));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(1, KeResetEvent(&event));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(0, KeReadStateEvent(&event));
  }
}

TEST_F(KernelTest, WaitBlocksUntilAnotherThreadSignalsAndTimesOutOtherwise) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  auto start = Clock::now();
  LARGE_INTEGER timeout = Relative(30);
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(25));

  std::atomic<bool> set{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    set = true;
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
  EXPECT_TRUE(set);
  setter.join();
}

TEST_F(KernelTest, SynchronizationEventReleasesOneWaiterPerSignal) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      ++woken;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  for (int expected = 1; expected <= 3; ++expected) {
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (int i = 0; i < 200 && woken < expected; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(expected, woken.load());
  }
  for (auto& t : waiters)
    t.join();
}

TEST_F(KernelTest, MutexIsRecursiveForItsOwnerAndBlocksOthers) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(1, KeReadStateMutex(&mutex));
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(-1, KeReadStateMutex(&mutex));

  std::atomic<bool> acquired{false};
  std::thread other([&] {
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    acquired = true;
    KeReleaseMutex(&mutex, FALSE);
  });
  EXPECT_EQ(-1, KeReleaseMutex(&mutex, FALSE));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(acquired);  // still owned once
  EXPECT_EQ(0, KeReleaseMutex(&mutex, FALSE));
  other.join();
  EXPECT_TRUE(acquired);
  EXPECT_EQ(1, KeReadStateMutex(&mutex));
}

TEST_F(KernelTest, SpinLockRaisesToDispatchAndRestoresTheCallersIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(PASSIVE_LEVEL, old);
  EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
  std::atomic<bool> got{false};
  std::thread other([&] {
    KIRQL o = KeAcquireSpinLockRaiseToDpc(&lock);
    got = true;
    KeReleaseSpinLock(&lock, o);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(got);
  KeReleaseSpinLock(&lock, old);
  other.join();
  EXPECT_TRUE(got);
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

std::atomic<int> gThreadRan{0};
VOID NTAPI CountingThread(PVOID context) {
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  gThreadRan += static_cast<int>(reinterpret_cast<intptr_t>(context));
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  EXPECT_EQ(sim::SystemProcess(), sim::CurrentProcess());
  PsTerminateSystemThread(STATUS_SUCCESS);
  ADD_FAILURE() << "PsTerminateSystemThread returned";
}

// Creates a system thread from a thread of `creator`, then references its
// handle from a thread of `user`.
NTSTATUS ReferenceFrom(sim::Process* creator, sim::Process* user, bool kernelHandle,
                       HANDLE* handle) {
  {
    sim::InProcess in(creator);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, kernelHandle ? OBJ_KERNEL_HANDLE : 0, nullptr,
                               nullptr);
    EXPECT_EQ(STATUS_SUCCESS,
              PsCreateSystemThread(handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                   CountingThread, reinterpret_cast<PVOID>(1)));
  }
  sim::InProcess in(user);
  PVOID thread = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(*handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                              &thread, nullptr);
  if (NT_SUCCESS(status)) {
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
    ObDereferenceObject(thread);
  }
  return status;
}

// Two spin locks released in either order: each release lets go of the lock
// it names, and only that one, so the second release finds its lock held.
TEST_F(KernelTest, SpinLocksAreReleasedInAnyOrder) {
  for (bool firstTakenFirstReleased : {true, false}) {
    SCOPED_TRACE(firstTakenFirstReleased ? "first taken, first released"
                                         : "last taken, first released");
    KSPIN_LOCK first;
    KSPIN_LOCK second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    KIRQL old;
    KeAcquireSpinLock(&first, &old);
    KeAcquireSpinLockAtDpcLevel(&second);
    KeReleaseSpinLockFromDpcLevel(firstTakenFirstReleased ? &first : &second);
    KeReleaseSpinLockFromDpcLevel(firstTakenFirstReleased ? &second : &first);
    KeLowerIrql(old);
    EXPECT_EQ(0u, first);
    EXPECT_EQ(0u, second);
  }
}

TEST_F(KernelTest, HandlesBelongToTheCreatingProcessUnlessTheyAreKernelHandles) {
  sim::Process* client = sim::CreateProcess("client");
  sim::Process* system = sim::SystemProcess();
  struct Case {
    const char* name;
    sim::Process* creator;
    sim::Process* user;
    bool kernelHandle;
    NTSTATUS expected;
  } cases[] = {
      {"client handle used in the client", client, client, false, STATUS_SUCCESS},
      {"client handle used in the system process", client, system, false, STATUS_INVALID_HANDLE},
      {"kernel handle made in the client, used in the system process", client, system, true,
       STATUS_SUCCESS},
      {"system handle used in the system process", system, system, false, STATUS_SUCCESS},
      {"system handle used in the client", system, client, false, STATUS_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(sim::WaitForSystemThreads(std::chrono::seconds(5)));
    gThreadRan = 0;
    HANDLE handle = nullptr;
    EXPECT_EQ(c.expected, ReferenceFrom(c.creator, c.user, c.kernelHandle, &handle));
    if (NT_SUCCESS(c.expected)) {
      EXPECT_EQ(1, gThreadRan.load());  // the wait saw the thread end
    }
    sim::InProcess in(c.kernelHandle ? system : c.creator);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
  }
  EXPECT_TRUE(sim::WaitForSystemThreads(std::chrono::seconds(5)));
}

TEST_F(KernelTest, ObjectTypeMismatchAndKernelHandlesFromUserModeAreRefused) {
  HANDLE handle;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr,
                                                 nullptr, CountingThread, nullptr));
  PVOID object;
  EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
            ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr));
  EXPECT_EQ(STATUS_INVALID_HANDLE,
            ObReferenceObjectByHandle(handle, 0, nullptr, UserMode, &object, nullptr));
  EXPECT_EQ(STATUS_SUCCESS,
            ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr));
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
  EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
}

TEST_F(KernelTest, SystemThreadCreationCanBeMadeToFail) {
  sim::faults::Fail(sim::faults::Kind::CreateSystemThread);
  HANDLE handle = nullptr;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 CountingThread, nullptr));
  EXPECT_EQ(0u, sim::LiveSystemThreads());
}

}  // namespace
