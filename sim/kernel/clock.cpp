// The kernel's virtual clock: real time scaled by a rate, plus the jumps that
// tests make. Jumps and rate changes happen under the dispatcher lock, which
// every timed wait holds while it computes how long to block, so none of
// them misses a jump.
#include "sim/kernel/clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include <time.h>

#include "sim/kernel/internal.h"

namespace sim::clock {
namespace {

using Real = std::chrono::steady_clock;

struct State {
  std::mutex mutex;  // guards the fields below
  Real::time_point base = Real::now();
  uint64_t baseUnits = 0;  // the clock at `base`
  uint32_t rate = 1;
};

State& TheClock() {
  static State state;
  return state;
}

std::atomic<size_t> gTimedWaiters{0};
std::mutex gHookMutex;
std::function<void()> gDeadlineHook;
std::mutex gSleepMutex;
std::condition_variable gSleepers;
std::condition_variable gWaitersChanged;

uint64_t NowLocked(State& c) {
  const auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(Real::now() - c.base);
  return c.baseUnits + static_cast<uint64_t>(real.count()) / 100 * c.rate;
}

}  // namespace

std::chrono::nanoseconds RealUntil(uint64_t deadline) {
  State& c = TheClock();
  std::lock_guard<std::mutex> lock(c.mutex);
  const uint64_t now = NowLocked(c);
  if (deadline <= now)
    return std::chrono::nanoseconds(0);
  if (c.rate == 0)
    return std::chrono::seconds(60);  // until the next Advance, which wakes the wait
  // Rounded up, so that a wait never ends before its deadline.
  const uint64_t units = (deadline - now + c.rate - 1) / c.rate;
  return std::chrono::nanoseconds(std::min<uint64_t>(units, 1000000000000ULL) * 100);
}

namespace {

void WakeAll() {
  detail::WakeWaiters();
  detail::WakeTimers();
  std::lock_guard<std::mutex> lock(gSleepMutex);
  gSleepers.notify_all();
}

// Changes the clock under the dispatcher lock, then wakes every timed wait.
template <typename Change>
void Rebase(Change change) {
  {
    std::lock_guard<std::mutex> dispatcher(detail::DispatcherLock());
    State& c = TheClock();
    std::lock_guard<std::mutex> lock(c.mutex);
    const auto now = Real::now();
    c.baseUnits = NowLocked(c);
    c.base = now;
    change(c);
  }
  WakeAll();
}

}  // namespace

uint64_t Now() {
  State& c = TheClock();
  std::lock_guard<std::mutex> lock(c.mutex);
  return NowLocked(c);
}

uint64_t SystemTime() {
  static const uint64_t start = [] {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) + 11644473600ULL) * 10000000ULL +
           static_cast<uint64_t>(ts.tv_nsec) / 100;
  }();
  return start + Now();
}

void Advance(uint64_t units) {
  Rebase([units](State& c) { c.baseUnits += units; });
}

void SetRate(uint32_t rate) {
  rate = std::min<uint32_t>(rate, 100000);
  Rebase([rate](State& c) { c.rate = rate; });
}

void Reset() {
  Rebase([](State& c) {
    c.baseUnits = 0;
    c.rate = 1;
  });
  AtNextDeadline(nullptr);
}

size_t TimedWaiters() {
  return gTimedWaiters.load();
}

bool WaitUntilTimedWaiters(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(gSleepMutex);
  return gWaitersChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return gTimedWaiters.load() >= count; });
}

void AtNextDeadline(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(gHookMutex);
  gDeadlineHook = std::move(hook);
}

void DeadlinePassed() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(gHookMutex);
    std::swap(hook, gDeadlineHook);
  }
  if (hook)
    hook();
}

bool WaitStep(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t deadline) {
  const auto real = RealUntil(deadline);
  if (real.count() == 0)
    return false;
  {
    std::lock_guard<std::mutex> counted(gSleepMutex);
    ++gTimedWaiters;
    gWaitersChanged.notify_all();
  }
  cv.wait_for(lock, real);
  --gTimedWaiters;
  return Now() < deadline;
}

void SleepUntil(uint64_t deadline) {
  std::unique_lock<std::mutex> lock(gSleepMutex);
  ++gTimedWaiters;
  gWaitersChanged.notify_all();
  for (;;) {
    const auto real = RealUntil(deadline);
    if (real.count() == 0)
      break;
    gSleepers.wait_for(lock, real);
  }
  --gTimedWaiters;
}

}  // namespace sim::clock
