// The kernel's clock: the time that timed waits, delays and the time queries
// see.
//
// It is virtual. By default it runs with real time; a test or the bench can
// make it run faster (SetRate) or move it forward at once (Advance), so that
// a timeout of seconds costs no seconds of wall time. Timed waits measure
// their deadline on this clock, and every jump of it wakes them to test it
// again. Nothing else changes: signals wake waiters as before. The simulated
// USB bus keeps its frame timing on this clock too (KernelClock below), and
// completes through kernel timers, so what it does later comes when this
// clock says so.
//
// Why a clock that is moved and not one that jumps by itself when every
// thread waits: many of the threads that matter (test bodies, the DPC
// thread, client threads blocked in host primitives) are not
// kernel threads, so the kernel cannot know that all of them wait; a test
// that moves the clock says so itself, and makes the order of events exact.
// While the clock stands still (SetRate(0)), nothing timed happens until the
// test moves it: no timed wait ends, no timer expires, and neither bus
// completes a request it answers later.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace sim::clock {

// 100 ns units since the kernel was last reset.
uint64_t Now();
// The system time on this clock: 100 ns units since 1601-01-01, starting
// from the real time of day when the process started.
uint64_t SystemTime();
// Moves the clock forward by `units` of 100 ns; timed waits whose deadline
// has come then end.
void Advance(uint64_t units);
inline void AdvanceMs(uint64_t ms) {
  Advance(ms * 10000);
}
// From now on the clock runs `rate` times as fast as real time (up to
// 100000); at 0 it stands still and only Advance moves it, which makes the
// order of events in a test exact.
void SetRate(uint32_t rate);
// Back to real time, starting at 0 (at every kernel reset).
void Reset();

// This clock as a std::chrono clock, in nanoseconds, for simulated devices
// that time what they do on it.
struct KernelClock {
  using rep = int64_t;
  using period = std::nano;
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<KernelClock>;
  static constexpr bool is_steady = true;
  static time_point now() { return time_point(duration(static_cast<rep>(Now()) * 100)); }
};

// Kernel threads inside a timed wait just now; and a wait until at least
// `count` are (false after `timeoutMs` of real time). A test that moves the
// clock first makes sure that the wait it wants to end has begun.
size_t TimedWaiters();
bool WaitUntilTimedWaiters(size_t count, int timeoutMs = 10000);

// Runs `hook` once, in the thread of the next wait for a single object that
// reaches its deadline: after the wait has timed out and before that thread
// goes on. What it does happens exactly at the deadline, before the waiter
// wakes (a held transfer that the bus completes just then). Reset clears it.
void AtNextDeadline(std::function<void()> hook);
// For the dispatcher: a timed wait has just timed out.
void DeadlinePassed();

// For the dispatcher: one step of a timed wait on `cv` (its lock held) with a
// deadline on this clock. False once the deadline has come; true when woken
// before it (the caller tests its condition and calls again).
bool WaitStep(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t deadline);
// How long, in real time, until this clock reaches `deadline` (0 once it has;
// a minute while the clock stands still, or until the next change wakes the
// waiter). For the kernel's timers, whose thread is no timed waiter.
std::chrono::nanoseconds RealUntil(uint64_t deadline);
// Sleeps until the deadline on this clock.
void SleepUntil(uint64_t deadline);

}  // namespace sim::clock
