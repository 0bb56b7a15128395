// The wait list of a dispatcher object (sim/kernel/*.cpp only).
//
// A thread that has to wait queues one wait block at the tail of the object's
// WaitListHead and sleeps on the block's own condition variable. Whoever
// signals the object hands the signal to the blocks from the head on, all under
// the dispatcher lock: the waiter finds itself satisfied (owner of the mutex,
// the event consumed for it) when it runs again, so a thread that was not
// waiting cannot take the signal first.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <type_traits>

#include "sim/kernel/wdm.h"

namespace sim::detail {

struct WaitBlock {
  LIST_ENTRY entry{};     // first: in the object's WaitListHead while queued
  LIST_ENTRY sleeping{};  // among every waiting thread's blocks (WakeWaiters)
  PKTHREAD thread = nullptr;
  bool satisfied = false;  // removed from the list with the signal handed over
  NTSTATUS status = STATUS_SUCCESS;
  std::condition_variable* ready = nullptr;  // the waiter sleeps on it
};
static_assert(std::is_standard_layout_v<WaitBlock>);

// All with the dispatcher lock held.
void QueueWaiter(DISPATCHER_HEADER* header, WaitBlock* block);
WaitBlock* FirstWaiter(DISPATCHER_HEADER* header);  // nullptr when nobody waits
void RemoveWaiter(WaitBlock* block);
size_t CountWaiters(DISPATCHER_HEADER* header);

// For its lifetime the block's thread is one of those that WakeWaiters wakes
// to test their wait again (after a change of the clock). Made and ended with
// the dispatcher lock held.
class Sleeping {
 public:
  explicit Sleeping(WaitBlock* block);
  ~Sleeping();
  Sleeping(const Sleeping&) = delete;
  Sleeping& operator=(const Sleeping&) = delete;

 private:
  WaitBlock* block_;
};

}  // namespace sim::detail
