// Wait lists of dispatcher objects: first come, first served.
#include "sim/kernel/wait_list.h"

#include <cstddef>

#include "sim/kernel/dispatcher.h"
#include "sim/kernel/internal.h"

namespace sim::detail {
namespace {

// Every waiting thread's block, for WakeWaiters; taken after the dispatcher
// lock or alone.
std::mutex gSleepingLock;
LIST_ENTRY gSleeping = {&gSleeping, &gSleeping};

// Objects that no KeInitializeXxx routine set up (a process) start with a
// zeroed list head.
PLIST_ENTRY ListOf(DISPATCHER_HEADER* header) {
  if (!header->WaitListHead.Flink)
    InitializeListHead(&header->WaitListHead);
  return &header->WaitListHead;
}

}  // namespace

void QueueWaiter(DISPATCHER_HEADER* header, WaitBlock* block) {
  InsertTailList(ListOf(header), &block->entry);
}

WaitBlock* FirstWaiter(DISPATCHER_HEADER* header) {
  PLIST_ENTRY list = ListOf(header);
  if (IsListEmpty(list))
    return nullptr;
  return reinterpret_cast<WaitBlock*>(list->Flink);  // the entry comes first
}

void RemoveWaiter(WaitBlock* block) {
  RemoveEntryList(&block->entry);
}

size_t CountWaiters(DISPATCHER_HEADER* header) {
  PLIST_ENTRY list = ListOf(header);
  size_t count = 0;
  for (PLIST_ENTRY e = list->Flink; e != list; e = e->Flink)
    ++count;
  return count;
}

Sleeping::Sleeping(WaitBlock* block) : block_(block) {
  std::lock_guard<std::mutex> lock(gSleepingLock);
  InsertTailList(&gSleeping, &block->sleeping);
}

Sleeping::~Sleeping() {
  std::lock_guard<std::mutex> lock(gSleepingLock);
  RemoveEntryList(&block_->sleeping);
}

// Each block is listed until its thread, holding the dispatcher lock, is done
// with its condition variable, so notifying under the list's own lock is safe
// whether or not the caller holds the dispatcher lock. A waiter tests its
// clock under the dispatcher lock and sleeps releasing it, so a change made
// under that lock before this call is never missed.
void WakeWaiters() {
  std::lock_guard<std::mutex> lock(gSleepingLock);
  for (PLIST_ENTRY e = gSleeping.Flink; e != &gSleeping; e = e->Flink)
    reinterpret_cast<WaitBlock*>(reinterpret_cast<char*>(e) - offsetof(WaitBlock, sleeping))
        ->ready->notify_all();
}

}  // namespace sim::detail

namespace sim {

size_t WaitingThreads(const void* object) {
  std::lock_guard<std::mutex> lock(detail::DispatcherLock());
  return detail::CountWaiters(static_cast<DISPATCHER_HEADER*>(const_cast<void*>(object)));
}

}  // namespace sim
