// Waiters on one dispatcher object: queued in arrival order, satisfied from
// the head of the queue by the thread that signals, and a waiter whose
// timeout expires leaves the queue without taking or losing a signal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/dispatcher.h"
#include "tests/support/kernel/kernel_test.h"

namespace {

using sim::test::KernelTest;
using Clock = std::chrono::steady_clock;

enum class Kind { Mutex, SynchronizationEvent, NotificationEvent, Semaphore };

const char* Name(Kind kind) {
  switch (kind) {
    case Kind::Mutex:
      return "mutex";
    case Kind::SynchronizationEvent:
      return "synchronization event";
    case Kind::NotificationEvent:
      return "notification event";
    case Kind::Semaphore:
      return "semaphore";
  }
  return "?";
}

// One object of each kind behind the same calls. A mutex starts owned by the
// thread that sets it up, the others unsignalled.
class Object {
 public:
  explicit Object(Kind kind) : kind_(kind) {
    switch (kind) {
      case Kind::Mutex:
        KeInitializeMutex(&mutex_, 0);
        EXPECT_EQ(STATUS_SUCCESS, Wait(nullptr));
        break;
      case Kind::SynchronizationEvent:
        KeInitializeEvent(&event_, SynchronizationEvent, FALSE);
        break;
      case Kind::NotificationEvent:
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
        break;
      case Kind::Semaphore:
        KeInitializeSemaphore(&semaphore_, 0, 100);
        break;
    }
  }
  void* Pointer() {
    switch (kind_) {
      case Kind::Mutex:
        return &mutex_;
      case Kind::Semaphore:
        return &semaphore_;
      default:
        return &event_;
    }
  }
  NTSTATUS Wait(PLARGE_INTEGER timeout) {
    return KeWaitForSingleObject(Pointer(), Executive, KernelMode, FALSE, timeout);
  }
  NTSTATUS TryWait() {
    LARGE_INTEGER zero{};
    return Wait(&zero);
  }
  // Releases the mutex (by its owner), sets the event, or adds `count` to the
  // semaphore.
  void Signal(LONG count = 1) {
    switch (kind_) {
      case Kind::Mutex:
        KeReleaseMutex(&mutex_, FALSE);
        break;
      case Kind::Semaphore:
        KeReleaseSemaphore(&semaphore_, IO_NO_INCREMENT, count, FALSE);
        break;
      default:
        KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
        break;
    }
  }
  LONG State() {
    switch (kind_) {
      case Kind::Mutex:
        return KeReadStateMutex(&mutex_);
      case Kind::Semaphore:
        return KeReadStateSemaphore(&semaphore_);
      default:
        return KeReadStateEvent(&event_);
    }
  }
  size_t Waiting() { return sim::WaitingThreads(Pointer()); }

 private:
  Kind kind_;
  KMUTEX mutex_;
  KEVENT event_;
  KSEMAPHORE semaphore_;
};

bool Eventually(const std::function<bool()>& condition) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The order in which threads noted that their wait was satisfied.
class Order {
 public:
  void Note(char who) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_ += who;
  }
  std::string Text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

// Starts `count` threads running `body(i)` one after the other, each only
// once the one before it is queued on `object`.
void StartQueued(Object& object, int count, std::vector<std::thread>& threads,
                 const std::function<void(int)>& body) {
  for (int i = 0; i < count; ++i) {
    size_t before = object.Waiting();
    threads.emplace_back(body, i);
    ASSERT_TRUE(Eventually([&] { return object.Waiting() == before + 1; })) << "waiter " << i;
  }
}

// `count` queued waiters that each, once satisfied, note themselves and pass
// the signal on.
struct Relay {
  Relay(Object& object, int count) {
    StartQueued(object, count, threads, [&object, this](int i) {
      EXPECT_EQ(STATUS_SUCCESS, object.Wait(nullptr));
      order.Note(static_cast<char>('0' + i));
      object.Signal();
    });
  }
  Order order;
  std::vector<std::thread> threads;
};

void JoinAll(std::vector<std::thread>& threads) {
  for (auto& t : threads)
    t.join();
}

// Each waiter notes itself and passes the signal on: the notes come in the
// order the signal went round.
TEST_F(KernelTest, WaitersAreSatisfiedInTheOrderTheyCame) {
  for (Kind kind : {Kind::Mutex, Kind::SynchronizationEvent, Kind::Semaphore}) {
    SCOPED_TRACE(Name(kind));
    Object object(kind);
    Relay relay(object, 6);
    object.Signal();
    JoinAll(relay.threads);
    EXPECT_EQ("012345", relay.order.Text());
    EXPECT_EQ(0u, object.Waiting());
    EXPECT_EQ(1, object.State());
  }
}

// What one signal does, seen by the signalling thread as soon as the call
// returns, before any woken waiter has run.
TEST_F(KernelTest, ASignalIsHandedToTheWaitersItSatisfiesBeforeTheyRun) {
  struct Case {
    Kind kind;
    LONG count;  // semaphore adjustment
    size_t satisfied;
    LONG stateAfter;
  } cases[] = {
      {Kind::Mutex, 1, 1, 0},                 // the first waiter owns it
      {Kind::SynchronizationEvent, 1, 1, 0},  // consumed for the first waiter
      {Kind::NotificationEvent, 1, 4, 1},     // releases everyone and stays set
      {Kind::Semaphore, 2, 2, 0},
      {Kind::Semaphore, 6, 4, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(Name(c.kind)) + " signalled by " + std::to_string(c.count));
    Object object(c.kind);
    Order order;
    std::atomic<bool> finish{false};
    std::vector<std::thread> threads;
    StartQueued(object, 4, threads, [&](int i) {
      EXPECT_EQ(STATUS_SUCCESS, object.Wait(nullptr));
      order.Note(static_cast<char>('0' + i));
      while (!finish)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (c.kind == Kind::Mutex)
        object.Signal();
    });
    object.Signal(c.count);
    EXPECT_EQ(4 - c.satisfied, object.Waiting());
    EXPECT_EQ(c.stateAfter, object.State());
    if (c.stateAfter == 0) {
      EXPECT_EQ(STATUS_TIMEOUT, object.TryWait());  // nothing left for the signaller
    }
    ASSERT_TRUE(Eventually([&] { return order.Text().size() == c.satisfied; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string satisfied = order.Text();  // those woken together run in any order
    std::sort(satisfied.begin(), satisfied.end());
    EXPECT_EQ(std::string("0123").substr(0, c.satisfied), satisfied);
    finish = true;
    if (c.kind != Kind::Mutex) {  // mutex owners pass it on themselves
      for (size_t left = 4 - c.satisfied; left > 0; --left)
        object.Signal();
    }
    JoinAll(threads);
    EXPECT_EQ(0u, object.Waiting());
  }
}

// The signalling thread waits again at once: the queued waiters come first.
TEST_F(KernelTest, ASignallerThatWaitsAgainQueuesBehindTheWaiters) {
  for (Kind kind : {Kind::Mutex, Kind::SynchronizationEvent}) {
    SCOPED_TRACE(Name(kind));
    Object object(kind);
    Relay relay(object, 3);
    object.Signal();
    EXPECT_EQ(STATUS_SUCCESS, object.Wait(nullptr));
    relay.order.Note('S');
    // Let the waiters finish even if the signaller came first.
    if (kind == Kind::Mutex || relay.order.Text().size() < 4)
      object.Signal();
    JoinAll(relay.threads);
    EXPECT_EQ("012S", relay.order.Text().substr(0, 4));
  }
}

// A signal given just as a timed wait expires goes either to the waiter (its
// wait succeeds and it holds the signal) or to nobody (the waiter times out,
// the object stays signalled): never to a waiter that has timed out, never lost.
TEST_F(KernelTest, ATimedOutWaiterNeitherTakesNorLosesASignal) {
  for (Kind kind : {Kind::Mutex, Kind::SynchronizationEvent}) {
    SCOPED_TRACE(Name(kind));
    Object object(kind);  // a mutex is owned here at the start of every round
    int handed = 0, timedOut = 0;
    for (int round = 0; round < 300; ++round) {
      std::atomic<NTSTATUS> status{STATUS_PENDING};
      std::atomic<bool> checked{false};
      std::atomic<Clock::rep> start{0};
      std::thread waiter([&] {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000LL * 2;  // 2 ms
        start = Clock::now().time_since_epoch().count();
        NTSTATUS s = object.Wait(&timeout);
        status = s;
        while (!checked)
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (s == STATUS_SUCCESS && kind == Kind::Mutex)
          object.Signal();
      });
      // From 1.6 to 2.4 ms after the wait began, around its timeout.
      while (start == 0)
        std::this_thread::yield();
      auto signalAt = Clock::time_point(Clock::duration(start)) +
                      std::chrono::microseconds(1600 + (round % 21) * 40);
      while (Clock::now() < signalAt)
        std::this_thread::yield();
      object.Signal();
      ASSERT_TRUE(Eventually([&] { return status != STATUS_PENDING; }));
      EXPECT_EQ(0u, object.Waiting());
      if (status == STATUS_SUCCESS) {
        ++handed;
        EXPECT_EQ(0, object.State());
        EXPECT_EQ(STATUS_TIMEOUT, object.TryWait());
      } else {
        ++timedOut;
        EXPECT_EQ(STATUS_TIMEOUT, status.load());
        EXPECT_EQ(1, object.State());
        EXPECT_EQ(STATUS_SUCCESS, object.TryWait());  // the signal is still there
      }
      checked = true;
      waiter.join();
      if (kind == Kind::Mutex && status == STATUS_SUCCESS) {
        EXPECT_EQ(STATUS_SUCCESS, object.Wait(nullptr));  // owned again for the next round
      }
      if (HasFailure())
        break;
    }
    if (kind == Kind::Mutex)
      object.Signal();
    std::printf("%s: handed over %d times, timed out %d times\n", Name(kind), handed, timedOut);
  }
}

}  // namespace
